#!/usr/bin/env python3
"""Morvane's -p in OVMF's shell under QEMU, against the simulated EC and the
project's nginx depot on the host's 127.0.0.1 (the guest's 10.0.2.2).

    depot_e2e.py BUILD_DIR [--keep DIR]

Three machines side by side: a flash with a save, sent to the depot; a depot
with nothing listening; a depot that stops after the save reached it. Each
server is started and stopped by its own PID; each boot is bounded.
"""

import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import qemu  # noqa: E402
from side_by_side import run_cases, suite_folders
import simrecord as record
from depot_probe import NIC, SERVER, free_port
from run_e2e import SMBIOS
from scenarios import OLD_BLOCKS, old_firmware, random_image

BOOT_LIMIT_S = 240
END = re.compile(r"=== END (0x[0-9A-Fa-f]+) ===")


class Machine:
    """One QEMU boot of the shell on a disk that also carries the shell as its
    boot program (a network card makes OVMF try HTTP boot first otherwise)."""

    def __init__(self, build, folder, image, port, on_output=None):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        url = "http://10.0.2.2:%d/results/" % port
        script = "\r\n".join([
            "@echo -off", "fs0:", "load EcSimDxe.efi", "EcSimCtl.efi reset old=%d" % OLD_BLOCKS,
            'echo "=== BEGIN ==="', "Morvane.efi -s save.bin -l run.log -p %s img.bin" % url,
            'echo "=== END %lasterror% ==="', "EcSimCtl.efi dump sim.fl sim.rec", "reset -s", ""])
        self.disk = qemu.make_disk(folder, {
            "startup.nsh": script.encode(), "img.bin": image,
            "Morvane.efi": os.path.join(build, "Morvane.efi"),
            "EcSimDxe.efi": os.path.join(build, "EcSimDxe.efi"),
            "EcSimCtl.efi": os.path.join(build, "EcSimCtl.efi")})
        qemu.make_folder_on_disk(self.disk, "EFI")
        qemu.make_folder_on_disk(self.disk, "EFI/BOOT")
        subprocess.run(["mcopy", "-i", self.disk, os.path.join(build, "Shell.efi"), "::EFI/BOOT/BOOTX64.EFI"],
                       check=True, capture_output=True)
        self.on_output = on_output
        self.serial = ""
        self.seconds = 0.0

    def run(self):
        boot = qemu.Boot(self.folder, self.disk, BOOT_LIMIT_S, on_output=self.on_output, extra=NIC + SMBIOS)
        started = time.monotonic()
        self.serial = boot.run()
        text = self.serial
        if "=== BEGIN ===" in text and END.search(text):
            self.seconds = time.monotonic() - started
        with open(os.path.join(self.folder, "serial.log"), "w", encoding="latin-1") as log:
            log.write(self.serial)
        return boot.timed_out

    def status(self):
        found = END.search(self.serial)
        return int(found.group(1), 16) if found else None

    def events(self):
        data = qemu.read_from_disk(self.disk, "sim.rec")
        return record.text(record.read_record(data)[1]) if data else None


class Depot:
    """The project's test depot on a free port, stopped by its PID."""

    def __init__(self, folder):
        self.served = os.path.join(folder, "served")
        shutil.rmtree(self.served, ignore_errors=True)
        os.makedirs(self.served)
        self.port = free_port()
        self.pid = subprocess.run(["bash", SERVER, "start", self.served, str(self.port)], check=True,
                                  capture_output=True, text=True).stdout.strip()

    def stop(self):
        if self.pid:
            subprocess.run(["bash", SERVER, "stop", self.pid], check=False, capture_output=True)
            self.pid = None

    def file(self, suffix):
        """The one file of the run in results/DAY/ whose name ends so."""
        names = []
        for folder, _, files in os.walk(os.path.join(self.served, "results")):
            names += [os.path.join(folder, name) for name in files if name.endswith(suffix)]
        if len(names) != 1:
            return None
        with open(names[0], "rb") as data:
            return data.read()


def erased(events):
    return any(events[index] == "C:01" and events[index + 1] == "C:D8" for index in range(len(events) - 1))


def with_save(build, folder):
    """The depot holds the EC's old firmware and the final line."""
    image = random_image(2 * record.BLOCK, 31)
    depot = Depot(folder)
    try:
        machine = Machine(build, folder, image, depot.port)
        timed_out = machine.run()
    finally:
        depot.stop()
    problems = ["boot time limit reached"] if timed_out else []
    if machine.status() != 0:
        problems.append("exit status %r" % machine.status())
    if depot.file(".bin") != old_firmware(2):
        problems.append("the depot's .bin is not the EC's old firmware")
    line = (depot.file(".log") or b"").decode("latin-1")
    if " status=0x0 " not in line or " ec=flashed " not in line:
        problems.append("the depot's log line is %r" % line)
    if qemu.read_from_disk(machine.disk, "save.bin") != old_firmware(2):
        problems.append("no local save")
    return problems, "flash with save and depot %.0f s" % machine.seconds


def nothing_listening(build, folder):
    image = random_image(record.BLOCK, 32)
    machine = Machine(build, folder, image, free_port())
    timed_out = machine.run()
    problems = ["boot time limit reached"] if timed_out else []
    if machine.status() != 0x10:
        problems.append("exit status %r, not 0x10" % machine.status())
    if "cannot be reached" not in machine.serial or "nothing was flashed." not in machine.serial:
        problems.append("no clear line")
    events = machine.events()
    if events is None or events:
        problems.append("the devices received %s" % (events or [])[:6])
    return problems, "refused after %.0f s" % machine.seconds


def stops_half_way(build, folder):
    """The server goes away once the flash has started: the flash finishes,
    the lost line is said, the depot still shows the run as running."""
    image = random_image(4 * record.BLOCK, 33)
    depot = Depot(folder)

    def watch(boot):
        if depot.pid and b"Block Number: 1 " in boot.serial:
            depot.stop()
    try:
        machine = Machine(build, folder, image, depot.port, on_output=watch)
        timed_out = machine.run()
    finally:
        depot.stop()
    problems = ["boot time limit reached"] if timed_out else []
    if machine.status() != 0:
        problems.append("exit status %r" % machine.status())
    if "The run log could not be sent to the depot" not in machine.serial:
        problems.append("the lost log line was not said")
    line = (depot.file(".run") or b"").decode("latin-1")
    if " status=running " not in line or depot.file(".log") is not None:
        problems.append("the depot's log line is %r" % line)
    events = machine.events() or []
    if not erased(events) or depot.file(".bin") != old_firmware(4):
        problems.append("expected the save at the depot and the flash done")
    return problems, ""


def main():
    build, work = suite_folders("depot")
    cases = [("depot: flash with a save", with_save), ("depot: nothing listening", nothing_listening),
             ("depot: server gone mid-flash", stops_half_way)]
    return run_cases([(name, lambda folder, case=case: case(build, folder)) for name, case in cases],
                     work, "depot", "depot e2e")


if __name__ == "__main__":
    sys.exit(main())
