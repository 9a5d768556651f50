#!/usr/bin/env python3
"""Boots the operator's flashing stick as a real machine would boot it: OVMF
starts the stick's own UEFI Shell from USB storage, with an "internal" SATA
disk beside it that holds a startup.nsh and an ec.bin of its own (so the
stick is not FS0:). The test build of the stick carries the simulated EC.

    stick_e2e.py BUILD_DIR [--keep DIR]

Prints one line per scenario; exits non-zero when any fails.
"""

import os
import re
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import qemu  # noqa: E402
from side_by_side import run_cases, suite_folders
import simrecord as record
import stick
from run_e2e import SERIAL, SMBIOS, UUID
from scenarios import ADVICE, OLD_BLOCKS, PRODUCT, flash_holds, log_pattern, old_firmware, random_image

BOOT_LIMIT_S = 120
DONE, FAILED = "EC FLASH DONE.", "EC FLASH FAILED. DO NOT REMOVE POWER."
UNCHANGED = "NOTHING WAS CHANGED. The machine may be switched off."
INTERNAL = "INTERNAL DISK SCRIPT RAN"


class StickBoot:
    """One machine: the stick built for image, an internal disk, and QEMU."""

    def __init__(self, build, folder, image, sim, damage=False, model=None):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.image = image
        self.name = "ec_fw.bin"
        path = os.path.join(folder, self.name)
        with open(path, "wb") as out:
            out.write(image)
        self.stick = os.path.join(folder, "stick.img")
        stick.build(build, path, "%08X" % zlib.crc32(image), self.stick, sim, model)
        self.volume = "%s@@%d" % (self.stick, stick.PARTITION_START * stick.SECTOR)
        if damage:
            with open(path, "r+b") as out:
                out.seek(len(image) // 2)
                out.write(bytes([image[len(image) // 2] ^ 0x40]))
            subprocess.run(["mcopy", "-o", "-i", self.volume, path, "::/" + self.name], check=True,
                           capture_output=True)
        internal = qemu.make_disk(folder, {
            "startup.nsh": ("@echo -off\r\necho \"%s\"\r\nMorvane.efi ec.bin\r\n" % INTERNAL).encode(),
            "ec.bin": random_image(record.BLOCK, 99),
            "Morvane.efi": os.path.join(build, "Morvane.efi"),
        })
        self.drives = ["-drive", "if=none,id=internal,format=raw,file=" + internal,
                       "-device", "ide-hd,drive=internal,bus=ide.0",
                       "-device", "qemu-xhci",
                       "-drive", "if=none,id=stick,format=raw,file=" + self.stick,
                       "-device", "usb-storage,drive=stick"]
        self.serial = ""
        self.to_flash = None
        self.limit = BOOT_LIMIT_S
        self.smbios = SMBIOS

    def run(self, until, kind=qemu.Boot):
        """Boots; until(boot, text) answers whether the run is over. Notes the
        seconds from power-on to Morvane's screen (boot-to-flash)."""
        started = time.monotonic()

        def watch(boot):
            if self.to_flash is None and b"Loop : 1" in boot.serial:
                self.to_flash = time.monotonic() - started
            if until(boot, boot.serial.decode("latin-1")):
                time.sleep(1)
                boot.stop = True
        boot = kind(self.folder, None, self.limit, on_output=watch, extra=self.smbios, drives=self.drives)
        self.serial = boot.run()
        with open(os.path.join(self.folder, "serial.log"), "w", encoding="latin-1") as log:
            log.write(self.serial)
        return boot.timed_out

    def read(self, name):
        return qemu.read_from_disk(self.volume, name)

    def flash(self):
        data = self.read("SIM.FL") or b""
        return data

    def log_lines(self):
        data = self.read(stick.RUN_LOG)
        return [] if not data else [line for line in data.decode("latin-1").split("\r\n") if line]


def common_checks(machine, timed_out):
    problems = ["boot time limit reached"] if timed_out else []
    if INTERNAL in machine.serial:
        problems.append("the internal disk's startup.nsh ran")
    if "Morvane will check %s" % machine.name not in machine.serial:
        problems.append("the stick's script did not announce its image")
    return problems


def flash_equals(machine, image):
    return flash_holds(machine.flash(), image)


def log_matches(line, pattern):
    return [] if re.fullmatch(pattern, line) else ["log line is %r" % line]


def figures(machine):
    return "boot to flash %.1f s" % machine.to_flash if machine.to_flash is not None else "Morvane never started"


def success(build, folder):
    image = random_image(2 * record.BLOCK, 21)
    machine = StickBoot(build, folder, image, "old=%d" % OLD_BLOCKS, model=PRODUCT.upper())
    timed_out = machine.run(lambda boot, text: "old firmware: SAVE001.BIN" in text)
    problems = common_checks(machine, timed_out) + flash_equals(machine, image)
    if DONE not in machine.serial or "Remove power, then reboot the machine." not in machine.serial:
        problems.append("no success banner")
    if machine.read("SAVE001.BIN") != old_firmware(2):
        problems.append("SAVE001.BIN is not the EC's old firmware")
    lines = machine.log_lines()
    pattern = log_pattern("flash", machine.name, image, "2/2", "0x0",
                          "Morvane finished: 2 of 2 blocks rewritten, remove power and reboot.", SERIAL, UUID)
    problems += ["%d log lines" % len(lines)] if len(lines) != 1 else log_matches(lines[0], pattern)
    return problems, figures(machine)


def never_verifies(build, folder):
    image = random_image(record.BLOCK, 22)
    machine = StickBoot(build, folder, image, "corrupt=0 attempts=0xFFFFFFFF old=%d" % OLD_BLOCKS)
    state = {"keys": 0}

    def until(boot, text):
        if text.count(FAILED) > state["keys"] and state["keys"] == 0 and "continue" in text[text.rfind(FAILED):]:
            state["keys"] = 1
            boot.send(b" ")
        return text.count(FAILED) >= 2 and "continue" in text[text.rfind(FAILED):]
    timed_out = machine.run(until)
    problems = common_checks(machine, timed_out)
    if machine.serial.count(FAILED) != 2:
        problems.append("%d failure banners, expected 2 (one after the retry)" % machine.serial.count(FAILED))
    if machine.read("SAVE001.BIN") != old_firmware(1):
        problems.append("SAVE001.BIN is not the EC's old firmware")
    if machine.read("SAVE002.BIN") is not None:
        problems.append("the retry saved again")
    pattern = log_pattern("flash", machine.name, image, "0/1", "0x7", "Block 0 never verified." + ADVICE, SERIAL, UUID,
                          ec="incomplete", changed=1)
    lines = machine.log_lines()
    problems += ["%d log lines, expected 2" % len(lines)] if len(lines) != 2 else \
        log_matches(lines[0], pattern) + log_matches(lines[1], pattern)
    data = machine.read("SIM.REC")
    events = record.text(record.read_record(data)[1]) if data else []
    after_id = [events[index + 1] for index in range(len(events) - 1) if events[index] == "O:1"]
    if after_id != ["C:03", "C:03"]:
        problems.append("after each ID read the EC got %s: expected a save read, then a compare read" % after_id)
    return problems, figures(machine)


def damaged(build, folder):
    image = random_image(record.BLOCK, 23)
    machine = StickBoot(build, folder, image, "old=%d" % OLD_BLOCKS, damage=True)
    timed_out = machine.run(lambda boot, text: UNCHANGED in text)
    problems = common_checks(machine, timed_out)
    if UNCHANGED not in machine.serial or FAILED in machine.serial:
        problems.append("no nothing-was-changed banner")
    if "nothing was flashed" not in machine.serial:
        problems.append("Morvane did not refuse the damaged image")
    data = machine.read("SIM.REC")
    if not data or record.read_record(data)[1]:
        problems.append("the EC received bytes")
    if machine.read("SAVE001.BIN") is not None:
        problems.append("a save was made")
    lines = machine.log_lines()
    if len(lines) != 1 or " status=0x21 " not in lines[0] or " ec=unchanged " not in lines[0]:
        problems.append("log is %r" % lines)
    return problems, figures(machine)


def retry_rewrites_what_differs(build, folder):
    """Block 2 fails its first 8 programs: the first run flashes blocks 0 and
    1 and fails; the retry finds them equal and rewrites block 2 only."""
    image = random_image(3 * record.BLOCK, 26)
    machine = StickBoot(build, folder, image, "corrupt=2 attempts=8 old=%d" % OLD_BLOCKS)
    state = {"keys": 0}

    def until(boot, text):
        if state["keys"] == 0 and FAILED in text and "continue" in text[text.rfind(FAILED):]:
            state["keys"] = 1
            boot.send(b" ")
        return "old firmware: SAVE001.BIN" in text
    timed_out = machine.run(until)
    problems = common_checks(machine, timed_out) + flash_equals(machine, image)
    if machine.serial.count(FAILED) != 1 or DONE not in machine.serial:
        problems.append("expected one failure banner, then the success banner")
    if machine.read("SAVE001.BIN") != old_firmware(3) or machine.read("SAVE002.BIN") is not None:
        problems.append("expected one save, of the old firmware")
    lines = machine.log_lines()
    first = log_pattern("flash", machine.name, image, "2/3", "0x7", "Block 2 never verified." + ADVICE, SERIAL, UUID,
                        ec="incomplete", changed=3)
    second = log_pattern("flash", machine.name, image, "3/3", "0x0",
                         "Morvane finished: 1 of 3 blocks rewritten, remove power and reboot.", SERIAL, UUID, changed=1)
    problems += ["%d log lines, expected 2" % len(lines)] if len(lines) != 2 else \
        log_matches(lines[0], first) + log_matches(lines[1], second)
    return problems, figures(machine)


def wrong_model(build, folder):
    """A stick made for another product: nothing reaches the EC, and the
    operator is told the machine may be switched off."""
    image = random_image(record.BLOCK, 24)
    machine = StickBoot(build, folder, image, "old=%d" % OLD_BLOCKS, model="Other 9")
    timed_out = machine.run(lambda boot, text: UNCHANGED in text)
    problems = common_checks(machine, timed_out)
    if UNCHANGED not in machine.serial or FAILED in machine.serial:
        problems.append("no nothing-was-changed banner")
    data = machine.read("SIM.REC")
    if not data or record.read_record(data)[1]:
        problems.append("the EC received bytes")
    lines = machine.log_lines()
    refusal = "This machine is %s; the image is for Other 9. Nothing was flashed." % PRODUCT
    if len(lines) != 1 or not lines[0].endswith(' status=0x3 product="%s" ec=unchanged changed=0 secureboot=off signer=- version=- outcome="%s"' % (PRODUCT, refusal)):
        problems.append("log is %r" % lines)
    return problems, figures(machine)


def pulled_out(build, folder):
    """The image's own USB stick is pulled out once the flash has started:
    the image is in memory by then, so the flash still ends complete and
    verified."""
    image = random_image(12 * record.BLOCK, 25)
    usb_folder = os.path.join(folder, "usb")
    os.makedirs(usb_folder, exist_ok=True)
    usb = qemu.make_disk(usb_folder, {"pull.bin": image})
    internal = qemu.make_disk(folder, {
        "startup.nsh": "\r\n".join([
            "@echo -off", "fs0:", "load EcSimDxe.efi", "EcSimCtl.efi reset old=%d" % OLD_BLOCKS,
            'echo "=== PULL BEGIN ==="', "Morvane.efi -l run.log fs1:\\pull.bin",
            'echo "=== PULL END %lasterror% ==="', "EcSimCtl.efi dump SIM.FL SIM.REC", "reset -s", ""]).encode(),
        "EcSimDxe.efi": os.path.join(build, "EcSimDxe.efi"),
        "EcSimCtl.efi": os.path.join(build, "EcSimCtl.efi"),
        "Morvane.efi": os.path.join(build, "Morvane.efi"),
    })
    drives = ["-drive", "if=none,id=internal,format=raw,file=" + internal,
              "-device", "ide-hd,drive=internal,bus=ide.0",
              "-device", "qemu-xhci",
              "-drive", "if=none,id=img,format=raw,file=" + usb,
              "-device", "usb-storage,drive=img,id=imgdev"]
    state = {"pulled": False}

    def watch(boot):
        text = boot.serial.decode("latin-1")
        if not state["pulled"] and "Block Number: 2 " in text:
            boot.monitor("device_del imgdev")
            state["pulled"] = "Morvane finished" not in boot.serial.decode("latin-1")
    boot = qemu.Boot(folder, internal, BOOT_LIMIT_S, on_output=watch, extra=SMBIOS, drives=drives)
    serial = boot.run()
    with open(os.path.join(folder, "serial.log"), "w", encoding="latin-1") as log:
        log.write(serial)
    problems = ["boot time limit reached"] if boot.timed_out else []
    if not state["pulled"]:
        problems.append("the stick was not pulled out while Morvane flashed")
    if "=== PULL END 0x0 ===" not in serial:
        problems.append("Morvane did not end with 0x0")
    problems += flash_holds(qemu.read_from_disk(internal, "SIM.FL"), image)
    line = (qemu.read_from_disk(internal, "run.log") or b"").decode("latin-1").strip()
    problems += log_matches(line, log_pattern("flash", "fs1:\\pull.bin", image, "12/12", "0x0",
                                              "Morvane finished, remove power and reboot.", SERIAL, UUID))
    return problems, ""


def main():
    build, work = suite_folders("stick")
    cases = [("stick: flash, save, log", success), ("stick: never verifies, retry", never_verifies),
             ("stick: damaged image", damaged), ("stick: another model", wrong_model),
             ("stick: retry rewrites what differs", retry_rewrites_what_differs),
             ("image pulled out mid-flash", pulled_out)]
    return run_cases([(name, lambda folder, case=case: case(build, folder)) for name, case in cases],
                     work, "stick", "stick e2e")


if __name__ == "__main__":
    sys.exit(main())
