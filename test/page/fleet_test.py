#!/usr/bin/env python3
"""The depot's page at fleet scale.

    fleet_test.py

100,000 runs planted in results/ as machines leave them: 20,000 on the
depot's today (each verdict, some still running, some incomplete, a few
with two final logs, then 501 newer .run lines of strangers that never went
on), the seven days before and a nodate folder. scripts/depot-server.sh
serves them on a free 127.0.0.1 port and headless chromium shows the page:
today's counts from the names; the runs needing attention on every day,
incomplete ones first, so that the strangers' lines cannot push them off;
the rest newest first, the files ignored; then the nodate folder picked in
the day list; each shown row's log is read once. Prints the time from
loading the page to the counts drawn.
"""

import calendar
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser, drawn  # noqa: E402
from page_test import Dom, free_port, log_line  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SERVER_SH = os.path.join(ROOT, "scripts", "depot-server.sh")
# The depot's today (its local date, as nginx gives it to the page).
NEWEST = time.strftime("%Y%m%d")
OLDER_DAYS = [time.strftime("%Y%m%d", time.localtime(time.time() - 86400 * back)) for back in range(7, 0, -1)]
MAX_ROWS = 300
MAX_ATTENTION = 500
# The last line of each verdict, and the state the page shows for it.
FINALS = {"flashed": ("0x0", "flashed", "flashed"), "uptodate": ("0x0", "unchanged", "uptodate"),
          "unchanged": ("0x12", "unchanged", "failed-unchanged"), "incomplete": ("0x7", "incomplete",
                                                                                 "failed-incomplete")}
ATTENTION = ("running", "failed-incomplete", "conflicting")
# Most urgent first (none of these runs is running with a save).
RANK = {"failed-incomplete": 0, "conflicting": 2, "running": 3}

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tally import expect, free_port, passed, problems  # noqa: E402


def write(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        if data:
            os.write(fd, data)
    finally:
        os.close(fd)


def kind(number):
    if number % 5000 == 11:
        return "conflicting"
    if number % 400 == 7:
        return "running"
    if number % 250 == 3:
        return "incomplete"
    return "unchanged" if number % 10 == 9 else "uptodate" if number % 10 >= 7 else "flashed"


def plant_day(results, day, count, tag, fakes=0):
    """Plants a day of runs; returns its counts, its runs needing attention as (rank, -start, base, state, serial),
    the rest's (state, serial) rows the page should list, in order, and how many of them it leaves out.

    Only the logs the page may read hold a line (the runs needing attention, the newest of the rest): an
    older log read by mistake would show as unreadable."""
    folder = os.path.join(results, day)
    os.mkdir(folder)
    counts = dict.fromkeys(["flashed", "uptodate", "noimage", "failed-unchanged", "failed-incomplete", "running",
                            "conflicting"], 0)
    runs = []
    attention = []
    then = int(time.time()) - 3 * 3600
    for number in range(count + fakes):
        fake = number >= count
        what = "flashed" if fake else kind(number)
        serial = ("FAKE%03d" % (number - count)) if fake else "%s%05d" % (tag, number)
        mac = "%s%02X%06X" % ("FFFF" if fake else "00AA", ord(tag), number)
        if day == "nodate":
            base, start = "%s-%s-nodate-%08X" % (serial, mac, number * 2654435761 % 2 ** 32), "time=unknown"
            key = (then + number) * 1000
        else:
            seconds = (80000 // count) * number if not fake else 84600 + 2 * (number - count)
            clock = "%02d%02d%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
            base = "%s-%s-%s-%s" % (serial, mac, day, clock)
            start = "%s-%s-%s %s:%s:%s" % (day[:4], day[4:6], day[6:], clock[:2], clock[2:4], clock[4:])
            key = (calendar.timegm(time.strptime(day, "%Y%m%d")) + seconds) * 1000
        state = ("conflicting" if what == "conflicting" else "running" if what == "running" or fake
                 else FINALS[what][2])
        counts[state] += 1
        if state in ATTENTION:
            attention.append((RANK[state], -key, base, state, serial))
        else:
            runs.append((state, serial))
        read = state in ATTENTION or fake or number >= count - 400

        def line(status, ec):
            return (log_line(start, serial, status, ec, "done") + "\r\n").encode() if read else b""
        names = [(base + ".run", line("running", None))]
        for verdict in (["flashed", "incomplete"] if what == "conflicting" else [] if what == "running" or fake
                        else [what]):
            names.append(("%s.%s.log" % (base, verdict), line(*FINALS[verdict][:2])))
        if number % 50 == 3 and not fake:
            names.append((base + ".bin", b"\xee" * 2048))
        for name, data in names:
            path = os.path.join(folder, name)
            write(path, data)
            if day == "nodate":
                os.utime(path, (then + number, then + number))
    # Newest first: the later a run's number, the later it started.
    rest = list(reversed(runs))
    return counts, attention, rest[:MAX_ROWS], len(rest) - min(len(rest), MAX_ROWS)


def plant(results):
    """The depot's results/: returns what the page should show for the newest day and for nodate."""
    os.makedirs(results)
    newest = plant_day(results, NEWEST, 20000, "F", fakes=501)
    attention = newest[1]
    for at, day in enumerate(OLDER_DAYS):
        attention += plant_day(results, day, 10000, "ABCDEGH"[at])[1]
    nodate = plant_day(results, "nodate", 10000, "N")
    attention += nodate[1]
    # Every day's runs needing attention, most urgent first, then newest first.
    attention = sorted(attention)
    shown = [(state, serial) for _, _, _, state, serial in attention[:MAX_ATTENTION]]
    newest = (newest[0], shown + newest[2], newest[3])
    nodate = (nodate[0], shown + nodate[2], nodate[3])
    # Names the page ignores: not of the machines' form, a run filed under the wrong day, a folder in a day,
    # a save without its run, a log in no day folder.
    day = os.path.join(results, NEWEST)
    for name in ["notes.txt", "x.log", "F00001-00AA46000001-%s-000004.flashed.log" % OLDER_DAYS[-1]]:
        write(os.path.join(day, name), b"x")
    os.mkdir(os.path.join(day, "sub"))
    write(os.path.join(results, "stray.log"), b"x")
    return newest, nodate, 5  # the four above, and stray.log


def shows(browser, day, wanted, ignored=None):
    dom = Dom()
    dom.feed(browser.dom())
    counts, rows, older = wanted
    expect("%s: counts %r, not %r" % (day, dom.counts, counts),
           dom.counts == dict({k: str(v) for k, v in counts.items()}, noimage="0", unreadable="0"))
    got = [(row["state"], row["cells"][1]) for row in dom.rows]
    first_wrong = next((at for at, pair in enumerate(zip(got, rows)) if pair[0] != pair[1]), None)
    expect("%s: %d rows, %d wanted, first difference at %r: %r" % (
        day, len(got), len(rows), first_wrong, None if first_wrong is None else (got[first_wrong],
                                                                                 rows[first_wrong])),
           got == rows)
    status = browser.evaluate("document.getElementById('status').textContent")
    expect("%s: status %r" % (day, status), "%d older runs not shown" % older in status)
    if ignored is not None:
        expect("%s: status %r" % (day, status), "%d files with other names ignored" % ignored in status)
    return dom


def logs_read(port):
    with open(os.path.join(ROOT, "build", "depot-%d" % port, "access.log")) as log:
        return sum(1 for line in log if re.search(r'"GET /results/[^ ]+\.(run|log) ', line))


def main():
    # 200,000 files: on a busy disk they took a minute to make and half a minute to delete; in memory, seconds.
    work = tempfile.mkdtemp(prefix="morvane-fleet-", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    # Started as root, the depot's workers run as www-data: they must reach the folder.
    os.chmod(work, 0o755)
    port = free_port()
    pid = None
    try:
        depot = os.path.join(work, "depot")
        began = time.monotonic()
        newest, nodate, ignored = plant(os.path.join(depot, "results"))
        print("fleet: 100,000 runs planted in %.1f s" % (time.monotonic() - began))
        for name in ["index.html", "page.js", "fleet.js", "page.css"]:
            shutil.copy(os.path.join(ROOT, "depot", "page", name), depot)
        write(os.path.join(depot, "MORVANE.CFG"), b"image=ec.bin\r\ncrc32=C674A181\r\n")
        started = subprocess.run(["bash", SERVER_SH, "start", depot, str(port)], capture_output=True, text=True,
                                 timeout=30)
        if started.returncode != 0:
            print("FAIL fleet: the depot did not start: " + started.stderr[-300:])
            return 1
        pid = started.stdout.split()[-1]
        with Browser(work) as browser:
            began = time.monotonic()
            browser.open("http://127.0.0.1:%d/" % port)
            browser.wait(drawn(NEWEST), timeout=120)
            rows_seconds = time.monotonic() - began
            dom = shows(browser, NEWEST, newest, ignored)
            expect("days offered %r" % dom.days, dom.days == [NEWEST] + OLDER_DAYS[::-1] + ["nodate"])
            print("fleet: %d runs on one day: counts drawn %s ms after the page was opened, %d rows %.1f s after" %
                  (sum(newest[0].values()), dom.counts_ms, len(dom.rows), rows_seconds))
            began = time.monotonic()
            browser.evaluate("(s => { s.value = 'nodate'; s.dispatchEvent(new Event('change')); })"
                             "(document.getElementById('day'))")
            browser.wait(drawn("nodate"), timeout=120)
            print("fleet: the nodate folder's 10,000 runs drawn %.1f s after it was picked" %
                  (time.monotonic() - began))
            shows(browser, "nodate", nodate)
            expect("the day picked is in the address", browser.evaluate("location.hash") == "#nodate")
            # Each row's log is read once, and only the rows' logs: a refresh later, none read again.
            status = browser.evaluate("document.getElementById('status').textContent")
            browser.wait("document.getElementById('status').textContent !== %r" % status, timeout=60)
            reads = logs_read(port)
            rows = len(set(newest[1]) | set(nodate[1]))
            expect("%d logs read for %d rows" % (reads, rows), reads == rows)
    finally:
        if pid is not None:
            subprocess.run(["bash", SERVER_SH, "stop", pid], check=False)
        shutil.rmtree(os.path.join(ROOT, "build", "depot-%d" % port), ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("FAIL fleet: %s" % problem)
    print("fleet: %d passed, %d failed" % (passed(), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
