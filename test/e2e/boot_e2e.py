#!/usr/bin/env python3
"""Boots the stick without a shell as a real machine would: OVMF starts
Morvane.efi from USB storage as EFI/BOOT/BOOTX64.EFI, with an "internal"
SATA disk beside it. The simulated EC is in place before Morvane starts: its
driver is a PCI option ROM (EfiRom) on QEMU's PCI test device, and it takes
its faults from ECSIM.CFG on the internal disk and dumps its flash and
record there (SIM.FL, SIM.REC). Nothing of the test is on the stick.

    boot_e2e.py BUILD_DIR [--keep DIR]

Scenarios: a flash with its save, log and banner (boot-to-flash time); a
failure and a key that flashes again in place; Secure Boot with Debian's
test keys, a stick signed with them flashing and one unsigned refused by
the firmware. Prints one line per scenario; exits non-zero when any fails.
"""

import os
import shutil
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import qemu  # noqa: E402
from side_by_side import run_cases, suite_folders
import simrecord as record
import stick
from run_e2e import SERIAL, SMBIOS, UUID
from scenarios import ADVICE, OLD_BLOCKS, PRODUCT, flash_holds, log_pattern, old_firmware, random_image
from stick_e2e import StickBoot, log_matches

EDK2 = os.environ.get("EDK2_DIR", os.path.expanduser("~/.cache/morvane/edk2-stable202211"))
EFIROM = os.path.join(EDK2, "BaseTools", "Source", "C", "bin", "EfiRom")
SECURE_CODE = "/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd"
SECURE_VARS = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
SNAKEOIL_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
BOOT_LIMIT_S = 150
DONE = "EC FLASH DONE. Remove power, then reboot the machine."
FAILED = "EC FLASH FAILED. DO NOT REMOVE POWER."
BACK = "Press a key to return to the firmware."
AGAIN = "Press a key to flash again."
INTERNAL = "INTERNAL DISK SCRIPT RAN"


class SecureBoot(qemu.Boot):
    """OVMF with Secure Boot on and Debian's test keys enrolled."""

    def command(self):
        vars_copy = os.path.join(self.folder, "vars.fd")
        shutil.copyfile(SECURE_VARS, vars_copy)
        return ["qemu-system-x86_64", "-machine", "q35,smm=on", "-m", "256", "-nographic", "-no-reboot", "-net", "none",
                "-global", "driver=cfi.pflash01,property=secure,value=on",
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + SECURE_CODE,
                "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy] + self.drives + [
                "-monitor", "unix:%s,server,nowait" % self.monitor_path] + self.extra


class Machine(StickBoot):
    """One machine: the stick built for image, an internal disk with the
    simulated EC's settings, the EC's option ROM, and QEMU."""

    def __init__(self, build, folder, rom, image, sim, efi=None, secure=False, name="ec_fw.bin", model=PRODUCT.upper()):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.image = image
        self.name = name
        path = os.path.join(folder, self.name)
        with open(path, "wb") as out:
            out.write(image)
        self.stick = os.path.join(folder, "stick.img")
        stick.build_boot(build, path, "%08X" % zlib.crc32(image), self.stick, model, efi)
        self.volume = "%s@@%d" % (self.stick, stick.PARTITION_START * stick.SECTOR)
        self.internal = qemu.make_disk(folder, {
            "ECSIM.CFG": (sim + "\r\n").encode(),
            "startup.nsh": ("@echo -off\r\necho \"%s\"\r\n" % INTERNAL).encode(),
        })
        self.drives = ["-drive", "if=none,id=internal,format=raw,file=" + self.internal,
                       "-device", "ide-hd,drive=internal,bus=ide.0",
                       "-device", "qemu-xhci",
                       "-drive", "if=none,id=stick,format=raw,file=" + self.stick,
                       "-device", "usb-storage,drive=stick",
                       "-device", "pci-testdev,romfile=" + rom]
        self.secure = secure
        self.serial = ""
        self.to_flash = None
        self.limit = BOOT_LIMIT_S
        self.smbios = SMBIOS

    def run(self, until):
        return StickBoot.run(self, until, SecureBoot if self.secure else qemu.Boot)

    def sim(self, name):
        return qemu.read_from_disk(self.internal, name)


def common_checks(machine, timed_out):
    problems = ["boot time limit reached"] if timed_out else []
    if INTERNAL in machine.serial:
        problems.append("the internal disk's script ran")
    if "Morvane will check %s (%d bytes, CRC-32 %08X)" % (machine.name, len(machine.image), zlib.crc32(machine.image)) \
            not in machine.serial:
        problems.append("Morvane did not announce its image")
    return problems


def flash_equals(machine):
    return flash_holds(machine.sim("SIM.FL"), machine.image)


def figures(machine):
    return "boot to flash %.1f s" % machine.to_flash if machine.to_flash is not None else "Morvane never started"


def flashes(build, folder, rom, efi=None, secure=False):
    """The stick saves, flashes, logs and ends with the done banner."""
    image = random_image(2 * record.BLOCK, 31)
    machine = Machine(build, folder, rom, image, "old=%d" % OLD_BLOCKS, efi, secure)
    timed_out = machine.run(lambda boot, text: BACK in text)
    problems = common_checks(machine, timed_out) + flash_equals(machine)
    if DONE not in machine.serial or "old firmware: SAVE001.BIN." not in machine.serial:
        problems.append("no done banner naming the save")
    if machine.read("SAVE001.BIN") != old_firmware(2):
        problems.append("SAVE001.BIN is not the EC's old firmware")
    lines = machine.log_lines()
    pattern = log_pattern("flash", "\\" + machine.name, image, "2/2", "0x0",
                          "Morvane finished: 2 of 2 blocks rewritten, remove power and reboot.", SERIAL, UUID,
                          secureboot="on" if secure else "off")
    problems += ["%d log lines" % len(lines)] if len(lines) != 1 else log_matches(lines[0], pattern)
    return problems, figures(machine)


def retries(build, folder, rom):
    """Block 2 fails its first 8 programs: the failure banner, a key, and a
    second attempt that rewrites block 2 only, with no second save."""
    image = random_image(3 * record.BLOCK, 32)
    machine = Machine(build, folder, rom, image, "corrupt=2 attempts=8 old=%d" % OLD_BLOCKS)
    state = {"keys": 0}

    def until(boot, text):
        if state["keys"] == 0 and AGAIN in text:
            state["keys"] = 1
            boot.send(b" ")
        return BACK in text
    timed_out = machine.run(until)
    problems = common_checks(machine, timed_out) + flash_equals(machine)
    if machine.serial.count(FAILED) != 1 or DONE not in machine.serial:
        problems.append("expected one failure banner, then the done banner")
    if machine.read("SAVE001.BIN") != old_firmware(3) or machine.read("SAVE002.BIN") is not None:
        problems.append("expected one save, of the old firmware")
    lines = machine.log_lines()
    first = log_pattern("flash", "\\" + machine.name, image, "2/3", "0x7", "Block 2 never verified." + ADVICE, SERIAL,
                        UUID, ec="incomplete", changed=3)
    second = log_pattern("flash", "\\" + machine.name, image, "3/3", "0x0",
                         "Morvane finished: 1 of 3 blocks rewritten, remove power and reboot.", SERIAL, UUID, changed=1)
    problems += ["%d log lines, expected 2" % len(lines)] if len(lines) != 2 else \
        log_matches(lines[0], first) + log_matches(lines[1], second)
    return problems, figures(machine)


def unsigned_refused(build, folder, rom):
    """Under Secure Boot the firmware refuses an unsigned Morvane.efi: it
    never starts, and the EC gets no byte."""
    image = random_image(record.BLOCK, 33)
    machine = Machine(build, folder, rom, image, "old=%d" % OLD_BLOCKS, secure=True)
    timed_out = machine.run(lambda boot, text: "Access Denied" in text)
    problems = ["boot time limit reached"] if timed_out else []
    if "Access Denied" not in machine.serial:
        problems.append("the firmware did not refuse the unsigned image")
    if "Loop : 1" in machine.serial or machine.log_lines():
        problems.append("Morvane started")
    if machine.sim("SIM.REC") is not None or machine.read("SAVE001.BIN") is not None:
        problems.append("the EC was reached")
    return problems, ""


def option_rom(build, work):
    """The simulated EC's driver as a PCI option ROM, which the firmware loads
    before any boot program: nothing test-only is on Morvane's boot path."""
    rom = os.path.join(work, "ecsim.rom")
    subprocess.run([EFIROM, "-f", "0x1b36", "-i", "0x0005", "-e", os.path.join(build, "EcSimDxe.efi"), "-o", rom],
                   check=True, capture_output=True)
    return rom


def main():
    build, work = suite_folders("boot")
    rom = option_rom(build, work)
    key = os.path.join(work, "snakeoil.key")
    signed = os.path.join(work, "Morvane-signed.efi")
    subprocess.run(["openssl", "pkey", "-in", SNAKEOIL_KEY, "-passin", "pass:snakeoil", "-out", key], check=True)
    subprocess.run(["sbsign", "--key", key, "--cert", SNAKEOIL_CERT, "--output", signed,
                    os.path.join(build, "Morvane.efi")], check=True, capture_output=True)
    cases = [("boot: flash, save, log", lambda f: flashes(build, f, rom)),
             ("boot: failure, key, retry", lambda f: retries(build, f, rom)),
             ("secure boot: signed stick", lambda f: flashes(build, f, rom, signed, True)),
             ("secure boot: unsigned refused", lambda f: unsigned_refused(build, f, rom))]
    return run_cases(cases, work, "boot", "boot e2e")


if __name__ == "__main__":
    sys.exit(main())
