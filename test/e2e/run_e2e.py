#!/usr/bin/env python3
"""Runs Morvane.efi in OVMF's UEFI Shell under QEMU against the simulated EC.

Scenarios are shared between two boots that run side by side; each boot runs
its scenarios from one startup.nsh and powers off. Prints one line per
scenario and the totals; exits non-zero when any scenario fails.

    run_e2e.py BUILD_DIR [--keep DIR]
"""

import argparse
import os
import sys
import tempfile
import threading
import time

# The QEMU runner, the record reader and the sample image are the demo's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import qemu  # noqa: E402
import simrecord as record
import scenarios
from screen import render

BOOT_LIMIT_S = 300
DRIVER, CONTROL, TOOL = "EcSimDxe.efi", "EcSimCtl.efi", "Morvane.efi"


def begin(index):
    return "=== BEGIN %d ===" % index


def end(index):
    return "=== END %d " % index


# The machine's identity as QEMU publishes it in SMBIOS; the run log records it.
SERIAL, UUID = "MORV-E2E-0042", "6A1C2E3F-4B5D-4C6E-8F70-8192A3B4C5D6"
SMBIOS = ["-smbios", "type=1,serial=%s,uuid=%s,product=%s" % (SERIAL, UUID, scenarios.PRODUCT)]


def script(entries):
    """startup.nsh for (index, scenario) pairs; runs without a simulated EC
    come first, before the driver is loaded."""
    lines = ["@echo -off", "fs0:"]
    loaded = False
    for index, scenario in entries:
        if scenario.sim is not None and not loaded:
            lines.append("load %s" % DRIVER)
            loaded = True
        if scenario.sim == scenarios.KEEP:
            lines.append("%s newrecord" % CONTROL)
        elif scenario.sim is not None:
            lines.append("%s reset %s" % (CONTROL, scenario.sim))
        lines.append('echo "%s"' % begin(index))
        lines.append(scenario.command or " ".join([TOOL] + scenario.args))
        lines.append('echo "%s%%lasterror%% ==="' % end(index))
        if scenario.sim is not None:
            lines.append("%s dump s%d.fl s%d.rec" % (CONTROL, index, index))
    lines.append("reset -s")
    return "\r\n".join(lines) + "\r\n"


def disk_files(build, entries):
    files = {name: os.path.join(build, name) for name in (DRIVER, CONTROL, TOOL)}
    for _, scenario in entries:
        if scenario.image is not None:
            files[scenario.args[-1]] = scenario.image
        files.update(scenario.files)
    files["startup.nsh"] = script(entries).encode()
    return files


class Timer:
    """Notes when each scenario's begin and end marks reach the serial line."""

    def __init__(self, indexes):
        self.marks = {}
        self.indexes = indexes

    def __call__(self, boot):
        now = time.monotonic()
        text = boot.serial[-4096:].decode("latin-1")
        for index in self.indexes:
            for mark in (begin(index), end(index)):
                if mark not in self.marks and mark in text:
                    self.marks[mark] = now

    def seconds(self, index):
        if begin(index) in self.marks and end(index) in self.marks:
            return self.marks[end(index)] - self.marks[begin(index)]
        return float("inf")


def outcome(boot, serial, timer, index, scenario):
    start = serial.find(begin(index))
    stop = serial.find(end(index))
    if start < 0 or stop < 0:
        return None
    slice_ = serial[start + len(begin(index)):stop]
    status = serial[stop + len(end(index)):].split(" ", 1)[0]
    flash, header, events = b"", None, []
    if scenario.sim is not None:
        flash = qemu.read_from_disk(boot.disk, "s%d.fl" % index) or b""
        data = qemu.read_from_disk(boot.disk, "s%d.rec" % index)
        if data:
            header, events = record.read_record(data)
    rows = render("\x1b[2J\x1b[H" + slice_.lstrip("\r\n"))
    found = scenarios.Outcome(int(status, 16), rows, flash, header, events, timer.seconds(index), slice_)
    found.read = lambda name: qemu.read_from_disk(boot.disk, name)
    return found


def run_boot(build, entries, folder, results):
    disk = qemu.make_disk(folder, disk_files(build, entries))
    qemu.make_folder_on_disk(disk, "fwdir")
    timer = Timer([index for index, _ in entries])
    boot = qemu.Boot(folder, disk, BOOT_LIMIT_S, on_output=timer, extra=SMBIOS)
    started = time.monotonic()
    serial = boot.run()
    elapsed = time.monotonic() - started
    with open(os.path.join(folder, "serial.log"), "w", encoding="latin-1") as log:
        log.write(serial)
    for index, scenario in entries:
        found = outcome(boot, serial, timer, index, scenario)
        if found is None:
            problems = ["did not run" + (" (boot time limit reached)" if boot.timed_out else "")]
        else:
            problems = []
            if scenario.rc is not None and found.rc != scenario.rc:
                problems.append("exit status 0x%X, expected 0x%X" % (found.rc, scenario.rc))
            for check in scenario.checks:
                problems += check(found)
        results[index] = (scenario, problems, found)
    results[("boot", folder)] = elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--keep", help="folder for disks and serial logs")
    parser.add_argument("--only", help="run only the scenarios whose name holds this text")
    options = parser.parse_args()
    work = options.keep or tempfile.mkdtemp(prefix="morvane-e2e-")
    everything = [(index, scenario) for index, scenario in enumerate(scenarios.all_scenarios(SERIAL, UUID))
                  if not options.only or options.only in scenario.name]
    # Each scenario names its boot, so that the slow ones spread over both.
    halves = [[e for e in everything if e[1].boot == number] for number in range(scenarios.BOOTS)]
    halves = [entries for entries in halves if entries]
    results = {}
    threads = []
    for number, entries in enumerate(halves):
        folder = os.path.join(work, "boot%d" % number)
        os.makedirs(folder, exist_ok=True)
        thread = threading.Thread(target=run_boot, args=(options.build, entries, folder, results))
        thread.start()
        threads.append(thread)
    for thread in threads:
        thread.join()

    failed = 0
    for index, scenario in everything:
        _, problems, found = results[index]
        seconds = "" if found is None else " (%.1f s)" % found.seconds
        if problems:
            failed += 1
            print("FAIL %-32s %s%s" % (scenario.name, "; ".join(problems), seconds))
        else:
            print("ok   %-32s%s" % (scenario.name, seconds))
    boots = ", ".join("%.0f s" % value for key, value in results.items() if isinstance(key, tuple))
    print("e2e: %d scenarios, %d passed, %d failed (boots: %s; logs in %s)" % (
        len(everything), len(everything) - failed, failed, boots, work))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
