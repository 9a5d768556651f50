#!/usr/bin/env python3
"""Many machines from one depot: `make depot`'s script serves Morvane.efi,
MORVANE.CFG and the image with nginx on the host's 127.0.0.1; QEMU machines
boot Morvane by the firmware's HTTP boot (QEMU's user network hands out the
boot URL, the guest reaches the host as 10.0.2.2), each with the simulated
EC as a PCI option ROM, so nothing test-only is on Morvane's boot path.

    netboot_e2e.py BUILD_DIR [--keep DIR]

Two machines with their own serials boot at the same time: one flashes, one
never verifies. Then the depot's image is swapped for one that does not
match the settings' CRC-32 and a third boots: nothing reaches its EC. Last,
headless chromium renders the depot's page and the rows and counts are
checked. The depot is stopped by its PID; every boot is bounded.
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
sys.path.insert(0, os.path.join(HERE, "..", "page"))

import qemu  # noqa: E402
import simrecord as record
from boot_e2e import option_rom
from depot_probe import free_port
from page_test import Dom, chromium
from scenarios import OLD_BLOCKS, PRODUCT, flash_holds, old_firmware, random_image
from side_by_side import run_cases, suite_folders

ROOT = os.path.join(HERE, "..", "..")
BOOT_LIMIT_S = 180
UUID = "6A1C2E3F-4B5D-4C6E-8F70-8192A3B4C5D%d"
DONE = "EC FLASH DONE."
FAILED = "EC FLASH FAILED. DO NOT REMOVE POWER."
UNCHANGED = "NOTHING WAS CHANGED."


class NetMachine:
    """A machine whose firmware boots Morvane from the depot's URL."""

    def __init__(self, folder, rom, port, serial, sim):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.internal = qemu.make_disk(folder, {"ECSIM.CFG": (sim + "\r\n").encode()})
        self.drives = ["-drive", "if=none,id=internal,format=raw,file=" + self.internal,
                       "-device", "ide-hd,drive=internal,bus=ide.0",
                       "-device", "pci-testdev,romfile=" + rom]
        self.extra = ["-netdev", "user,id=n0,ipv6=off,bootfile=http://10.0.2.2:%d/Morvane.efi" % port,
                      "-device", "virtio-net-pci,netdev=n0,romfile=,bootindex=1",
                      "-fw_cfg", "name=opt/org.tianocore/IPv4PXESupport,string=n",
                      "-fw_cfg", "name=opt/org.tianocore/IPv6PXESupport,string=n",
                      "-smbios", "type=1,serial=%s,uuid=%s,product=%s" % (serial, UUID % len(serial), PRODUCT)]
        self.serial = ""
        self.to_screen = None
        self.fetched = None

    def run(self, banner):
        """Boots until the banner is on the screen. Notes the seconds from
        power-on to Morvane's screen, and from there to its announcement
        (the settings and the image fetched)."""
        started = time.monotonic()
        marks = {}

        def watch(boot):
            now = time.monotonic() - started
            if "screen" not in marks and b"Loop : 1" in boot.serial:
                marks["screen"] = now
            if "fetched" not in marks and b"Morvane will check" in boot.serial:
                marks["fetched"] = now
            if banner.encode() in boot.serial:
                time.sleep(1)
                boot.stop = True
        boot = qemu.Boot(self.folder, None, BOOT_LIMIT_S, on_output=watch, extra=self.extra, drives=self.drives)
        self.serial = boot.run()
        with open(os.path.join(self.folder, "serial.log"), "w", encoding="latin-1") as log:
            log.write(self.serial)
        self.to_screen = marks.get("screen")
        if "screen" in marks and "fetched" in marks:
            self.fetched = marks["fetched"] - marks["screen"]
        return boot.timed_out

    def sim(self, name):
        return qemu.read_from_disk(self.internal, name)


def result(depot, serial, suffix):
    """The one file of a machine's run in results/DAY/ whose name ends so."""
    names = []
    for folder, _, files in os.walk(os.path.join(depot, "results")):
        names += [os.path.join(folder, name) for name in files if name.startswith(serial + "-") and name.endswith(suffix)]
    if len(names) != 1:
        return None
    with open(names[0], "rb") as data:
        return data.read()


def machine_case(work, rom, port, depot, serial, sim, banner, check):
    def case(folder):
        machine = NetMachine(folder, rom, port, serial, sim)
        problems = ["boot time limit reached"] if machine.run(banner) else []
        line = (result(depot, serial, ".log") or b"").decode("latin-1")
        problems += check(machine, line)
        note = "power-on to screen %s s" % ("%.1f" % machine.to_screen if machine.to_screen else "-")
        if machine.fetched is not None:
            note += ", settings and image fetched in %.1f s" % machine.fetched
        return problems, note
    return case


def flashed(image, depot):
    def check(machine, line):
        problems = []
        if " status=0x0 " not in line or " ec=flashed " not in line:
            problems.append("the depot's line is %r" % line)
        if result(depot, "NB-FLASH", ".bin") != old_firmware(len(image) // record.BLOCK):
            problems.append("the depot's save is not the EC's old firmware")
        return problems + flash_holds(machine.sim("SIM.FL"), image)
    return check


def never_verifies(machine, line):
    problems = [] if " status=0x7 " in line and " ec=incomplete " in line else ["the depot's line is %r" % line]
    return problems + ([] if FAILED in machine.serial else ["no failure banner"])


def refused(machine, line):
    problems = [] if " status=0x21 " in line and " ec=unchanged " in line else ["the depot's line is %r" % line]
    data = machine.sim("SIM.REC")
    if data and record.read_record(data)[1]:
        problems.append("the EC received bytes")
    return problems


def page_shows(work, port):
    dom = Dom()
    dump = chromium(work, "--dump-dom", "http://127.0.0.1:%d/" % port)
    dom.feed(dump)
    problems = [] if dom.title == "Morvane depot" else ["the page's title is %r" % dom.title]
    wanted = {"flashed": "1", "failed-unchanged": "1", "failed-incomplete": "1", "running": "0"}
    if any(dom.counts.get(key) != value for key, value in wanted.items()):
        problems.append("counts %r" % dom.counts)
    states = sorted((row["state"], row["cells"][1]) for row in dom.rows if len(row["cells"]) > 1)
    if states != [("failed-incomplete", "NB-NEVER"), ("failed-unchanged", "NB-WRONG"), ("flashed", "NB-FLASH")]:
        problems.append("rows %r" % states)
    # The depot guide's picture of the page (docs/depot.md) comes from these runs.
    chromium(work, "--screenshot=" + os.path.join(ROOT, "build", "netboot-page.png"), "--window-size=1200,420",
             "http://127.0.0.1:%d/" % port)
    return problems


def main():
    build, work = suite_folders("netboot")
    rom = option_rom(build, work)
    image = random_image(2 * record.BLOCK, 41)
    image_path = os.path.join(work, "ec.bin")
    with open(image_path, "wb") as out:
        out.write(image)
    depot = os.path.join(work, "depot")
    subprocess.run(["rm", "-rf", depot], check=True)
    port = free_port()
    env = dict(os.environ, DEPOT_DIR=depot, ADDRESS="127.0.0.1:%d" % port, MODEL=PRODUCT,
               MORVANE_EFI=os.path.join(build, "Morvane.efi"))
    started = subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot.sh"), "--start", image_path], env=env,
                             check=True, capture_output=True, text=True)
    pid = started.stdout.strip().splitlines()[-1]
    try:
        status = run_cases([
            ("netboot: flashes", machine_case(work, rom, port, depot, "NB-FLASH", "old=%d" % OLD_BLOCKS, DONE,
                                              flashed(image, depot))),
            ("netboot: never verifies", machine_case(work, rom, port, depot, "NB-NEVER",
                                                     "corrupt=0 attempts=0xFFFFFFFF old=%d" % OLD_BLOCKS, FAILED,
                                                     never_verifies))], work, "both", "netboot e2e, two at once")
        # A 16 MiB image that is not the one the settings name: the fetch is
        # timed, and nothing reaches the EC.
        with open(os.path.join(depot, "ec.bin"), "wb") as out:
            out.write(random_image(16, 42) * (1 << 20))
        status |= run_cases([("netboot: image does not match", machine_case(
            work, rom, port, depot, "NB-WRONG", "old=%d" % OLD_BLOCKS, UNCHANGED, refused))],
            work, "alone", "netboot e2e, alone")
        problems = page_shows(work, port)
        print("%s %-32s %s" % ("FAIL" if problems else "ok  ", "depot page after the runs", "; ".join(problems)))
        print("netboot page: 1 scenario, %d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
        status |= 1 if problems else 0
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot-server.sh"), "stop", pid], capture_output=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
