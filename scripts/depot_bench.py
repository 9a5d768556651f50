#!/usr/bin/env python3
"""make depot-bench: a depot (scripts/depot.sh --start, on a free 127.0.0.1
port) serving a fleet, measured from this machine.

    depot_bench.py [--machines 1000] [--at-once 200] [--held 200] [--stranger 8100]

Each simulated machine does what Morvane does at a depot, on one kept-alive
connection: GET MORVANE.CFG, GET the 1 MiB image, PUT its .run line, PUT a
1 MiB save and GET it back, PUT its final .flashed.log. At most --at-once
machines run at a time, while --held strangers hold half-sent PUTs open
(a byte every few seconds, so that nginx keeps waiting), and one more
stranger tries to hold --stranger such PUTs at once from a single address,
opening a new one 10 s after the depot drops one. Loopback stands in for the
LAN: the machines come from 127.0.0.10 to 127.0.0.209, the held PUTs from
127.0.0.3, the one stranger from 127.0.0.2, each its own address to the
depot's per-address bounds. Afterwards every machine's three files must be
in results/ as sent, and nothing of the strangers' PUTs. Prints the wall
time, per-machine p50/p99, requests refused, what the stranger held, and
the depot's memory (RSS of nginx's master and workers). Bounded: it gives
up after 10 minutes, and it always stops the nginx it started, by its PID.
"""

import argparse
import asyncio
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MIB = 1024 * 1024
LIMIT_S = 600
REQUEST_LIMIT_S = 60
HELD_EVERY_S = 4
# The stranger tries again this long after the depot dropped a PUT of its.
RETRY_S = 10
DAY = time.strftime("%Y%m%d")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def rss_kib(master):
    """RSS of the master and its children (the workers), in KiB."""
    pids = [master]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    if stat.read().rsplit(")", 1)[1].split()[1] == master:
                        pids.append(entry)
            except OSError:
                pass
    total = 0
    for pid in pids:
        try:
            with open("/proc/%s/status" % pid) as status:
                total += int(status.read().split("VmRSS:")[1].split()[0])
        except (OSError, IndexError):
            pass
    return total


class Memory(threading.Thread):
    """The depot's RSS, sampled every 0.2 s; peak kept."""

    def __init__(self, master):
        super().__init__(daemon=True)
        self.master, self.peak, self.done = master, 0, threading.Event()

    def run(self):
        while not self.done.wait(0.2):
            self.peak = max(self.peak, rss_kib(self.master))


class Connection:
    """HTTP/1.1 on one kept-alive connection, opened again when nginx closes it."""

    def __init__(self, port, source):
        self.port, self.source, self.reader, self.writer = port, source, None, None

    async def ask(self, method, path, body=b""):
        if self.writer is None:
            self.reader, self.writer = await asyncio.open_connection("127.0.0.1", self.port,
                                                                     local_addr=(self.source, 0))
        head = "%s %s HTTP/1.1\r\nHost: depot\r\n" % (method, path)
        if method == "PUT":
            head += "Content-Length: %d\r\n" % len(body)
        self.writer.write(head.encode() + b"\r\n" + body)
        await self.writer.drain()
        lines = (await self.reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {line.split(":", 1)[0].lower(): line.split(":", 1)[1].strip() for line in lines[1:] if ":" in line}
        if headers.get("transfer-encoding") == "chunked":
            data = b""
            while True:
                size = int((await self.reader.readuntil(b"\r\n")).split(b";")[0], 16)
                data += await self.reader.readexactly(size + 2)
                if size == 0:
                    break
        else:
            data = await self.reader.readexactly(int(headers.get("content-length", "0")))
        if headers.get("connection") == "close":
            self.close()
        return status, data

    def close(self):
        if self.writer is not None:
            self.writer.close()
            self.writer = None


class Fleet:
    def __init__(self, port, settings, image, save):
        self.port, self.settings, self.image, self.save = port, settings, image, save
        self.seconds, self.refused, self.failed = [], 0, []

    @staticmethod
    def base(number):
        return "BENCH%04d-0011223%05X-%s-101000" % (number, number, DAY)

    def sent(self, number):
        """What machine number PUTs: its .run line, its save, its final line."""
        line = "2026-12-07 10:10:00 mode=flash serial=BENCH%04d status=%s ec=%s\r\n"
        return {".run": (line % (number, "running", "unchanged")).encode(),
                ".bin": number.to_bytes(8, "little") + self.save[8:],
                ".flashed.log": (line % (number, "0x0", "flashed")).encode()}

    async def machine(self, number, at_once):
        async with at_once:
            started = time.monotonic()
            connection = Connection(self.port, "127.0.0.%d" % (10 + number % 200))
            sent = self.sent(number)
            path = "/results/%s/%s" % (DAY, self.base(number))
            steps = [("GET", "/MORVANE.CFG", b"", 200, self.settings), ("GET", "/ec.bin", b"", 200, self.image),
                     ("PUT", path + ".run", sent[".run"], 201, b""), ("PUT", path + ".bin", sent[".bin"], 201, b""),
                     ("GET", path + ".bin", b"", 200, sent[".bin"]),
                     ("PUT", path + ".flashed.log", sent[".flashed.log"], 201, b"")]
            try:
                for method, target, body, wanted, answer in steps:
                    status, data = await asyncio.wait_for(connection.ask(method, target, body), REQUEST_LIMIT_S)
                    if status != wanted:
                        self.refused += 1
                        self.failed.append("%s %s: %d" % (method, target, status))
                        return
                    if data != answer:
                        self.failed.append("%s %s: not what was sent" % (method, target))
                        return
            except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError, ValueError) as error:
                self.refused += 1
                self.failed.append("machine %d: %r" % (number, error))
                return
            finally:
                connection.close()
            self.seconds.append(time.monotonic() - started)


async def held_put(port, number, stop, source="127.0.0.3"):
    """A stranger's PUT: headers and a byte now and then, never the body."""
    path = "/results/%s/HELD%04d-00112233FFFF-%s-101000.bin" % (DAY, number, DAY)
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0))
        writer.write(("PUT %s HTTP/1.1\r\nHost: depot\r\nContent-Length: %d\r\n\r\n" % (path, MIB)).encode())
        while True:
            writer.write(b"x")
            await writer.drain()
            try:
                await asyncio.wait_for(stop.wait(), HELD_EVERY_S)
                break
            except asyncio.TimeoutError:
                pass
        try:
            await asyncio.wait_for(reader.read(1), 0.1)
            open_at_end = False
        except asyncio.TimeoutError:
            open_at_end = True
        writer.close()
        return open_at_end
    except OSError:
        return False


class Stranger:
    """One address holding as many trickled PUTs as the depot lets it, each
    opened again as soon as the depot drops it."""

    def __init__(self):
        self.opened, self.dropped, self.held_at_end = 0, 0, 0

    async def slot(self, port, number, stop):
        path = "/results/%s/HOG%05d-00112233EEEE-%s-101000.bin" % (DAY, number, DAY)
        while not stop.is_set():
            try:
                reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=("127.0.0.2", 0))
            except OSError:
                self.dropped += 1
                await asyncio.sleep(1)
                continue
            self.opened += 1
            writer.write(("PUT %s HTTP/1.1\r\nHost: depot\r\nContent-Length: %d\r\n\r\n" % (path, MIB)).encode())
            dropped = False
            while not stop.is_set() and not dropped:
                try:
                    writer.write(b"x")
                    await writer.drain()
                    # Anything back, or the end, means the depot let go of it.
                    dropped = bool(await asyncio.wait_for(reader.read(100), HELD_EVERY_S)) or True
                except asyncio.TimeoutError:
                    pass
                except OSError:
                    dropped = True
            if dropped:
                self.dropped += 1
                writer.close()
                await asyncio.sleep(RETRY_S)
            else:
                self.held_at_end += 1
                writer.close()

    async def run(self, port, count, stop):
        await asyncio.gather(*(self.slot(port, number, stop) for number in range(count)))


async def bench(port, fleet, machines, at_once_count, held_count, stranger, stranger_count):
    stop = asyncio.Event()
    held = [asyncio.ensure_future(held_put(port, number, stop)) for number in range(held_count)]
    # The held PUTs are open before the stranger's burst: thousands of
    # connections opened in one instant overflow the kernel's queues of the
    # depot's port, and others opened in that very instant are reset (only
    # a firewall's rate of new connections per address prevents that).
    await asyncio.sleep(1)
    hog = asyncio.ensure_future(stranger.run(port, stranger_count, stop))
    await asyncio.sleep(3)
    at_once = asyncio.Semaphore(at_once_count)
    started = time.monotonic()
    await asyncio.gather(*(fleet.machine(number, at_once) for number in range(machines)))
    wall = time.monotonic() - started
    stop.set()
    still_open = sum(await asyncio.gather(*held))
    await hog
    return wall, still_open


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--machines", type=int, default=1000)
    parser.add_argument("--at-once", type=int, default=200)
    parser.add_argument("--held", type=int, default=200)
    parser.add_argument("--stranger", type=int, default=8100)
    options = parser.parse_args()
    if not (1 <= options.machines <= 5000 and 1 <= options.at_once <= 1000 and 0 <= options.held <= 1000 and
            0 <= options.stranger <= 9000):
        sys.exit("depot-bench: at most 5000 machines, 1000 at once, 1000 held connections and a stranger's 9000")
    work = os.path.join(ROOT, "build", "depot-bench")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chmod(work, 0o755)
    image = os.urandom(MIB)
    with open(os.path.join(work, "ec.bin"), "wb") as out:
        out.write(image)
    with open(os.path.join(work, "Morvane.efi"), "wb") as out:
        out.write(b"MZ")
    port = free_port()
    depot = os.path.join(work, "depot")
    env = dict(os.environ, DEPOT_DIR=depot, ADDRESS="127.0.0.1:%d" % port, MODEL="Bench 7",
               MORVANE_EFI=os.path.join(work, "Morvane.efi"))
    started = subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot.sh"), "--start",
                              os.path.join(work, "ec.bin")], env=env, capture_output=True, text=True, timeout=120)
    if started.returncode != 0:
        sys.exit("depot-bench: the depot did not start:\n" + started.stderr[-1000:])
    master = started.stdout.split()[-1]
    try:
        with open(os.path.join(depot, "MORVANE.CFG"), "rb") as cfg:
            fleet = Fleet(port, cfg.read(), image, os.urandom(MIB))
        idle = rss_kib(master)
        memory = Memory(master)
        memory.start()
        stranger = Stranger()
        try:
            wall, still_open = asyncio.run(asyncio.wait_for(
                bench(port, fleet, options.machines, options.at_once, options.held, stranger, options.stranger),
                LIMIT_S))
        except asyncio.TimeoutError:
            sys.exit("depot-bench: not done after %d s; %d machines done" % (LIMIT_S, len(fleet.seconds)))
        memory.done.set()
        memory.join()
        missing = 0
        for number in range(options.machines):
            for ending, body in fleet.sent(number).items():
                try:
                    with open(os.path.join(depot, "results", DAY, fleet.base(number) + ending), "rb") as kept:
                        missing += kept.read() != body
                except OSError:
                    missing += 1
        strays = [name for name in os.listdir(os.path.join(depot, "results", DAY)) if name.startswith(("HELD", "HOG"))]
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot-server.sh"), "stop", master], capture_output=True)
        shutil.rmtree(os.path.join(ROOT, "build", "depot-%d" % port), ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    done = len(fleet.seconds)
    print("depot-bench: %d machines, %d at a time, %d held half-sent PUTs, one stranger trying %d, on loopback"
          " (%d cores)" % (options.machines, options.at_once, options.held, options.stranger, os.cpu_count()))
    print("  wall time:           %.1f s (%.0f machines/s, %.0f MiB/s through the depot)"
          % (wall, done / wall, done * 3 / wall))
    print("  per machine:         p50 %.2f s, p99 %.2f s" % (percentile(fleet.seconds, 0.5),
                                                             percentile(fleet.seconds, 0.99)))
    print("  exchanges complete:  %d of %d" % (done, options.machines))
    print("  requests refused:    %d" % fleet.refused)
    print("  files not as sent:   %d of %d" % (missing, 3 * options.machines))
    print("  held PUTs:           %d still open at the end, %d left a file" % (still_open, len(strays)))
    print("  one stranger:        %d trickled PUTs tried at once from 127.0.0.2: %d opened, %d dropped by the depot,"
          " %d held at the end" % (options.stranger, stranger.opened, stranger.dropped, stranger.held_at_end))
    print("  depot memory (RSS):  %.1f MiB idle, %.1f MiB at the peak (nginx master and workers)"
          % (idle / 1024, memory.peak / 1024))
    for failure in fleet.failed[:10]:
        print("  failed: " + failure)
    return 0 if done == options.machines and missing == 0 and not strays and fleet.refused == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
