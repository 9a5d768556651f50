#!/usr/bin/env python3
"""The depot's nginx (scripts/depot-server.sh) as machines and strangers
meet it, started from a checkout whose path holds a space, serving a folder
whose path holds one too.

    depot_server_test.py

Results are written once, one folder deep, under the names machines make;
anything else is refused and creates nothing; bodies are bounded; held-open
half-sent PUTs do not keep a machine from MORVANE.CFG; started as root, the
workers are not root.
"""

import http.client
import json
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DAY = "20261207"
BASE = "SER-1.a_b-0011223344AA-%s-101000" % DAY
NODATE = "none-0011223344AABBCCDD-nodate-0a1B2c3D"
RANDOM = BASE + "-9fA0b1C2"
# The depot's default bound on one address's PUTs under way, and a stranger
# on its own loopback address (every honest request here comes from
# 127.0.0.1).
HOST_PUTS = 512
STRANGER = "127.0.0.2"
KIB = 1024
MIB = 1024 * KIB

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tally import expect, free_port, passed, problems  # noqa: E402


class Depot:
    def __init__(self, folder, port):
        self.folder, self.port = folder, port

    def ask(self, method, path, body=None, headers=None, source="127.0.0.1"):
        """(status, headers, body) of one request on its own connection, path sent as it is."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30, source_address=(source, 0))
        try:
            connection.request(method, path, body=body, headers=headers or {})
            answer = connection.getresponse()
            return answer.status, answer.headers, answer.read()
        except (OSError, http.client.HTTPException):
            # nginx may answer 413 and close before the whole body is sent.
            return None, {}, b""
        finally:
            connection.close()

    def files(self):
        found = set()
        for top, folders, names in os.walk(os.path.join(self.folder, "results")):
            found |= {os.path.relpath(os.path.join(top, name), self.folder) for name in folders + names}
        return found

    def held_put(self, path, length, source="127.0.0.1"):
        """A PUT whose headers and first bytes are sent, and no more."""
        held = socket.create_connection(("127.0.0.1", self.port), timeout=10, source_address=(source, 0))
        held.sendall(b"PUT %s HTTP/1.1\r\nHost: depot\r\nContent-Length: %d\r\n\r\nxx" % (path.encode(), length))
        return held


def write_once(depot):
    """First PUT 201, a second 409 with the file unchanged, GET gives the first."""
    for name in [BASE + ".run", BASE + ".bin", BASE + ".flashed.log", BASE + "-2.run",
                 NODATE + ".incomplete.log", NODATE + ".bin", RANDOM + ".run", RANDOM + ".noimage.log",
                 BASE + "-2.conflict.log", NODATE + "-3.bin", NODATE + "-A5C30001.run"]:
        folder = "nodate" if name.startswith(NODATE) else DAY
        path = "/results/%s/%s" % (folder, name)
        first = os.urandom(2 * MIB if name.endswith(".bin") else 300)
        status, _, _ = depot.ask("PUT", path, first)
        expect("%s: first PUT answered %s" % (name, status), status == 201)
        status, _, _ = depot.ask("PUT", path, b"a stranger's " + first)
        expect("%s: second PUT answered %s" % (name, status), status == 409)
        status, _, body = depot.ask("GET", path)
        expect("%s: GET answered %s, %s" % (name, status, "equal" if body == first else "changed"),
               status == 200 and body == first)
    # The first PUT to arrive whole takes the name: a slow one started
    # earlier cannot land over it, nor keep the name from a machine.
    path = "/results/%s/%s-3.bin" % (DAY, BASE)
    held = depot.held_put(path, 4)
    status, _, _ = depot.ask("PUT", path, b"meanwhile")
    held.sendall(b"yy")
    ended = held.recv(100).split(b"\r\n")[0]
    held.close()
    expect("a PUT beside one under way answered %s" % status, status == 201)
    expect("the PUT under way ended %r" % ended, ended == b"HTTP/1.1 409 Conflict")
    expect("the name holds the PUT that ended first", depot.ask("GET", path)[2] == b"meanwhile")


def contention(depot):
    """40 PUTs of one name at once, across the workers: one 201, 39 409, the file the 201's."""
    path = "/results/%s/%s-4.bin" % (DAY, BASE)
    bodies = [bytes([number]) * (2 * MIB) for number in range(40)]
    ready = threading.Barrier(len(bodies))
    answers = [None] * len(bodies)

    def put(number):
        connection = socket.create_connection(("127.0.0.1", depot.port), timeout=30)
        head = b"PUT %s HTTP/1.1\r\nHost: depot\r\nContent-Length: %d\r\n\r\n" % (path.encode(), len(bodies[number]))
        connection.sendall(head + bodies[number][:-1])
        ready.wait()
        connection.sendall(bodies[number][-1:])
        answers[number] = connection.recv(100).split(b"\r\n")[0]
        connection.close()
    threads = [threading.Thread(target=put, args=(number,)) for number in range(len(bodies))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    created = [number for number, answer in enumerate(answers) if answer == b"HTTP/1.1 201 Created"]
    refused = [answer for answer in answers if answer == b"HTTP/1.1 409 Conflict"]
    expect("%d PUTs created, %d refused with 409, of %d" % (len(created), len(refused), len(bodies)),
           len(created) == 1 and len(refused) == len(bodies) - 1)
    kept = depot.ask("GET", path)[2]
    expect("the name holds the PUT answered 201", len(created) == 1 and kept == bodies[created[0]])


def per_address(depot):
    """One address holding PUTs half-sent is dropped past its bound; another address is served."""
    held = []
    try:
        for number in range(HOST_PUTS):
            held.append(depot.held_put("/results/%s/HOLD%d-0011223344AA-%s-101000.bin" % (DAY, number, DAY), MIB,
                                       STRANGER))
        status, _, _ = depot.ask("PUT", "/results/%s/%s-7.run" % (DAY, BASE), b"x", source=STRANGER)
        expect("the stranger's PUT past its bound answered %s" % status, status is None)
        status, _, _ = depot.ask("GET", "/MORVANE.CFG", source=STRANGER)
        expect("the stranger's GET within its bound answered %s" % status, status == 200)
        status, _, _ = depot.ask("PUT", "/results/%s/%s-8.run" % (DAY, BASE), b"x")
        expect("a machine's PUT beside the stranger's answered %s" % status, status == 201)
    finally:
        for connection in held:
            connection.close()


def refused(depot):
    """Every other write answers 403 (or a 4xx nginx chooses) and creates nothing."""
    existing = "/results/%s/%s.run" % (DAY, BASE)
    cases = [
        ("PUT", "/results/%s.run" % BASE, 403),
        ("PUT", "/results/x.log", 403),
        ("PUT", "/results/%s/sub/%s.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/../%s.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/.%s.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/x.log" % DAY, 403),
        ("PUT", "/results/%s/%s.run" % (DAY, BASE.replace("AA", "aa")), 403),
        ("PUT", "/results/%s/%s.run" % (DAY, "S" * 25 + BASE[3:]), 403),
        ("PUT", "/results/%s/%s.bogus.log" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s.log" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s-10.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s-0a1b2c3.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s-0a1b2c3d-2.run" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s.conflict.bin" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s.run%%0A" % (DAY, BASE), 403),
        ("PUT", "/results/%s/%s.run" % ("20261208", BASE), 403),
        ("PUT", "/results/nodate/%s.run" % BASE, 403),
        ("PUT", "/results/%s/%s.run" % (DAY[:7], BASE), 403),
        ("PUT", "/results/other/%s.run" % BASE, 403),
        ("PUT", "/results/%s/" % DAY, 403),
        ("PUT", "/MORVANE.CFG", 403),
        ("MKCOL", "/results/20261208/", 403),
        ("MKCOL", "/results/%s/sub/" % DAY, 403),
        ("DELETE", existing, 403),
        ("MOVE", existing, 403),
        ("POST", existing, 403),
    ]
    before = depot.files()
    for method, path, wanted in cases:
        status, _, _ = depot.ask(method, path, b"x" if method in ("PUT", "POST") else None,
                                 {"Destination": "http://depot/results/%s/%s-4.run" % (DAY, BASE)})
        expect("%s %s answered %s, not %s" % (method, path, status, wanted), status == wanted)
    expect("refused requests created or removed %r" % (before ^ depot.files()), before == depot.files())


def bounded(depot):
    """Logs up to 64 KiB, saves up to 16 MiB + 64 KiB: 413 above, and nothing kept."""
    before = depot.files()
    for name, size, wanted in [("-5.run", 64 * KIB, 201), ("-6.run", 64 * KIB + 1, 413),
                               ("-5.uptodate.log", 64 * KIB + 1, 413),
                               ("-5.bin", 16 * MIB + 64 * KIB, 201), ("-6.bin", 16 * MIB + 64 * KIB + 1, 413)]:
        status, _, _ = depot.ask("PUT", "/results/%s/%s%s" % (DAY, BASE, name), bytes(size))
        expect("%s of %d bytes answered %s" % (name, size, status), status == wanted)
    kept = {os.path.basename(name) for name in depot.files() - before}
    expect("kept %r" % kept, kept == {BASE + "-5.run", BASE + "-5.bin"})


def listed(depot):
    """results/ and a day folder list as JSON; what machines wrote is served as text, never a page."""
    for path, name in [("/results/", DAY), ("/results/%s/" % DAY, BASE + ".run")]:
        status, headers, body = depot.ask("GET", path)
        names = [entry.get("name") for entry in json.loads(body or b"[]")] if status == 200 else []
        expect("%s lists %r" % (path, names), name in names and headers.get("Content-Type") == "application/json")
    status, headers, _ = depot.ask("GET", "/results/%s/%s.flashed.log" % (DAY, BASE))
    expect("a log served as %r, %r" % (headers.get("Content-Type"), headers.get("Content-Security-Policy")),
           headers.get("Content-Type") == "text/plain" and "sandbox" in headers.get("Content-Security-Policy", "")
           and headers.get("X-Content-Type-Options") == "nosniff")


def slow(depot):
    """300 PUTs held half-sent do not keep a machine from MORVANE.CFG, and leave nothing."""
    before = depot.files()
    held = []
    try:
        for number in range(300):
            held.append(depot.held_put("/results/%s/HELD%d-0011223344AA-%s-101000.bin" % (DAY, number, DAY), MIB))
        status, _, body = depot.ask("GET", "/MORVANE.CFG")
        expect("MORVANE.CFG beside 300 held PUTs: %s %r" % (status, body[:40]), status == 200 and body == b"cfg\r\n")
    finally:
        for connection in held:
            connection.close()
    expect("held PUTs left %r" % (depot.files() - before), depot.files() == before)


def workers(depot, master):
    """Started as root: the master root, its workers and what they wrote www-data."""
    if os.geteuid() != 0:
        return
    worker_uid = pwd.getpwnam("www-data").pw_uid
    children = subprocess.run(["ps", "-o", "pid=", "--ppid", master], capture_output=True, text=True).stdout.split()
    uids = {int(open("/proc/%s/status" % child).read().split("\nUid:")[1].split()[0]) for child in children}
    expect("workers run as %r" % uids, uids == {worker_uid})
    owner = os.stat(os.path.join(depot.folder, "results", DAY, BASE + ".run")).st_uid
    expect("a result owned by uid %d" % owner, owner == worker_uid)


def main():
    work = tempfile.mkdtemp(prefix="morvane-depot-server-")
    os.chmod(work, 0o755)
    # A checkout and a depot folder with spaces in their paths.
    server = os.path.join(work, "check out", "scripts", "depot-server.sh")
    os.makedirs(os.path.dirname(server))
    for name in ("depot-server.sh", "depot-fwupd.conf", "fwupd-report.js"):
        shutil.copy(os.path.join(ROOT, "scripts", name), os.path.dirname(server))
    folder = os.path.join(work, "de pot")
    os.makedirs(folder)
    open(os.path.join(folder, "MORVANE.CFG"), "wb").write(b"cfg\r\n")
    port = free_port()
    started = subprocess.run(["bash", server, "start", folder, str(port)], capture_output=True, text=True, timeout=30)
    master = started.stdout.strip()
    try:
        expect("the depot did not start: %s" % started.stderr[-300:], started.returncode == 0)
        if started.returncode == 0:
            depot = Depot(folder, port)
            for scenario in (write_once, contention, per_address, refused, bounded, listed, slow):
                scenario(depot)
            workers(depot, master)
    finally:
        if started.returncode == 0:
            subprocess.run(["bash", server, "stop", master], capture_output=True, timeout=30)
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("FAIL depot server: %s" % problem)
    print("depot server: %d passed, %d failed" % (passed(), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
