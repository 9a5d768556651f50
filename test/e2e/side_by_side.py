"""Runs QEMU machines side by side, as many at once as the host has cores
(each runs under TCG on one), and prints one line per case and the totals.

A machine that waits for a core does not spend its boot time limit: the
limit starts when its QEMU does.
"""

import argparse
import os
import tempfile
import threading
import time


def suite_folders(name):
    """The command line every suite takes, BUILD_DIR [--keep DIR]: returns the
    build folder and the suite's work folder (made when missing)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--keep", help="folder for disks, sticks and serial logs")
    options = parser.parse_args()
    work = os.path.abspath(options.keep or tempfile.mkdtemp(prefix="morvane-%s-e2e-" % name))
    os.makedirs(work, exist_ok=True)
    # A depot served from here, started as root, is read by nginx's workers as www-data.
    os.chmod(work, 0o755)
    return os.path.abspath(options.build), work


def run_cases(cases, work, prefix, label):
    """cases: [(name, case)] where case(folder) returns (problems, note).
    Returns the exit status: 1 when any case failed."""
    slots = threading.BoundedSemaphore(max(2, os.cpu_count() or 2))
    results = {}

    def run(name, case, folder):
        with slots:
            started = time.monotonic()
            try:
                problems, note = case(folder)
            except Exception as error:  # a broken case must show, not hang the others
                problems, note = ["%s: %s" % (type(error).__name__, error)], ""
            results[name] = (problems, note, time.monotonic() - started)

    threads = [threading.Thread(target=run, args=(name, case, os.path.join(work, "%s%d" % (prefix, index))))
               for index, (name, case) in enumerate(cases)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    failed = 0
    for name, _ in cases:
        problems, note, seconds = results[name]
        failed += 1 if problems else 0
        print("%s %-32s %s(%.1f s; %s)" % ("FAIL" if problems else "ok  ", name,
                                           "; ".join(problems) + " " if problems else "", seconds, note))
    print("%s: %d scenarios, %d passed, %d failed (logs in %s)" % (label, len(cases), len(cases) - failed, failed, work))
    return 1 if failed else 0
