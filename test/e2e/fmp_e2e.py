#!/usr/bin/env python3
"""The EC update driver in OVMF's UEFI Shell: the driver, a capsule service
and the ESRT driver are one PCI option ROM (as on a machine where they are
in the firmware), with the simulated EC's ROM beside it when it is built.
CapsuleApp (EDK II's, built from the same tree) plays the update tool.

    fmp_e2e.py BUILD_DIR [--keep DIR]

Two boots of one machine (its variables kept between them):
  1. the device and its ESRT entry before any update; a signed capsule
     reaches the device's SetImage with its payload byte for byte and the
     device reports the new version; a capsule with one payload byte
     changed, and one below the lowest supported version, are refused by
     FmpDxe before the device (last-attempt statuses 0x1012, 0x1010);
  2. after a reset the ESRT has the version the update left and the last
     refusal.
Prints one line per boot with its figures; exits non-zero when any check
fails. Each boot has a generous time limit as a hang guard.
"""

import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import capsules  # noqa: E402
import qemu
from side_by_side import suite_folders

BOOT_LIMIT_S = 400
PAYLOAD_SIZE = 128 * 1024
GOOD, LSV = 0x200, 0x100
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class KeptVarsBoot(qemu.Boot):
    """A boot that keeps the machine's variable store from boot to boot."""

    def command(self):
        vars_copy = os.path.join(self.folder, "vars.fd")
        if not os.path.exists(vars_copy):
            shutil.copyfile(qemu.OVMF_VARS, vars_copy)
        return ["qemu-system-x86_64", "-machine", "q35", "-m", "256", "-nographic", "-no-reboot", "-net", "none",
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + qemu.OVMF_CODE,
                "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy] + self.drives + [
                "-monitor", "unix:%s,server,nowait" % self.monitor_path] + self.extra


def sections(serial):
    """The console text between the script's '== NAME' lines, by NAME."""
    text = ANSI.sub("", serial).replace("\r", "")
    found = {}
    for part in re.split(r"^== ", text, flags=re.M)[1:]:
        name, _, body = part.partition("\n")
        found[name.strip()] = body
    return found


def field(text, name):
    """The value CapsuleApp prints for name ('Version  - 0x200' -> '0x200')."""
    match = re.search(r"^\s*%s\s+- (\S+)" % re.escape(name), text or "", re.M)
    return match.group(1) if match else None


def variables(text):
    """The variables dmpstore printed in text, by name: their bytes."""
    found = {}
    for part in (text or "").split("Variable ")[1:]:
        name = re.search(r":(\w+)' DataSize", part)
        if not name:
            continue
        data = bytearray()
        for line in part.splitlines()[1:]:
            match = re.match(r"^\s*[0-9A-F]{8}: ((?:[0-9A-F]{2}[ -]){1,16})", line + " ")
            if match:
                data += bytes(int(byte, 16) for byte in re.findall(r"[0-9A-F]{2}", match.group(1)))
        found[name.group(1)] = bytes(data)
    return found


def expect(problems, what, seen, wanted):
    if seen != wanted:
        problems.append("%s: %s, expected %s" % (what, seen, wanted))


def device_checks(problems, text, label, version, lsv, attempt_version, attempt_status):
    """What CapsuleApp -P shows of the EC's image descriptor."""
    expect(problems, label + " ImageTypeId", (field(text, "ImageTypeId") or "").lower(), capsules.HWID)
    expect(problems, label + " ImageIdName", field(text, "ImageIdName"), '"Morvane')
    expect(problems, label + " Version", field(text, "Version"), "0x%x" % version)
    expect(problems, label + " LowestSupportedImageVersion", field(text, "LowestSupportedImageVersion"), "0x%x" % lsv)
    expect(problems, label + " AttributesSetting", field(text, "AttributesSetting"), "0xF")
    expect(problems, label + " LastAttemptVersion", field(text, "LastAttemptVersion"), "0x%x" % attempt_version)
    expect(problems, label + " LastAttemptStatus", field(text, "LastAttemptStatus"), "0x%x" % attempt_status)


def esrt_checks(problems, text, label, version, lsv, attempt_version, attempt_status):
    expect(problems, label + " FwClass", (field(text, "FwClass") or "").lower(), capsules.HWID)
    expect(problems, label + " FwVersion", field(text, "FwVersion"), "0x%x" % version)
    expect(problems, label + " LowestSupportedFwVersion", field(text, "LowestSupportedFwVersion"), "0x%x" % lsv)
    expect(problems, label + " LastAttemptVersion", field(text, "LastAttemptVersion"), "0x%x" % attempt_version)
    expect(problems, label + " LastAttemptStatus", field(text, "LastAttemptStatus"), "0x%x" % attempt_status)


def shell_script(steps):
    """startup.nsh: each step is (name, [commands]); the name is echoed first."""
    lines = ["@echo -off", "fs0:"]
    for name, commands in steps:
        lines.append('echo "== %s"' % name)
        lines += commands
    lines += ['echo "== end"', "reset -s"]
    return ("\r\n".join(lines) + "\r\n").encode()


def boot(machine, build, rom, ecsim_rom, name, steps, files):
    disk = qemu.make_disk(machine, dict(files, **{
        "CapsuleApp.efi": os.path.join(build, "fmp-test", "CapsuleApp.efi"),
        "startup.nsh": shell_script(steps)}))
    drives = ["-drive", "format=raw,file=" + disk, "-device", "pci-testdev,romfile=" + rom]
    if ecsim_rom:
        drives += ["-device", "pci-testdev,romfile=" + ecsim_rom]
    run = KeptVarsBoot(machine, disk, BOOT_LIMIT_S, drives=drives)
    started = time.monotonic()
    serial = run.run()
    seconds = time.monotonic() - started
    with open(os.path.join(machine, "serial-%s.log" % name), "w", encoding="latin-1") as log:
        log.write(serial)
    problems = ["boot time limit reached"] if run.timed_out else []
    found = sections(serial)
    if "end" not in found:
        problems.append("the script did not finish")
    return found, problems, seconds


DUMP = "dmpstore %s -guid " + capsules.RECORD_GUID


def option_rom(build, machine):
    """The simulated EC's option ROM when it is built (the machine then has
    an EC for the update driver to find), else None."""
    ecsim = os.path.join(build, "EcSimDxe.efi")
    if not os.path.exists(ecsim):
        return None
    rom = os.path.join(machine, "ecsim.rom")
    subprocess.run([os.path.join(capsules.EDK2, "BaseTools", "Source", "C", "bin", "EfiRom"), "-f", "0x1b36",
                    "-i", "0x0005", "-e", ecsim, "-o", rom], check=True, capture_output=True)
    return rom


def main():
    build, work = suite_folders("fmp")
    started = time.monotonic()
    built = capsules.build_driver("test")
    build_seconds = time.monotonic() - started
    rom = os.path.join(build, "fmp-test", "fmp-test.rom")
    machine = os.path.join(work, "machine")
    shutil.rmtree(machine, ignore_errors=True)
    os.makedirs(machine)
    ecsim_rom = option_rom(build, machine)

    payload = os.urandom(PAYLOAD_SIZE)
    good = capsules.generate(payload, os.path.join(work, "good.cap"), GOOD, LSV, work)
    bad = capsules.changed(capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(work, "next.cap"), 0x300, LSV,
                                             work), PAYLOAD_SIZE)
    old = capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(work, "old.cap"), 0x80, 0x80, work)
    files = {"good.cap": good, "changed.cap": bad, "old.cap": old}

    first, problems, first_s = boot(machine, build, rom, ecsim_rom, "update", [
        ("before", ["CapsuleApp.efi -P", "CapsuleApp.efi -E"]),
        ("update", ["CapsuleApp.efi good.cap"]),
        ("record", [DUMP % "MorvaneEcTestSetImage", DUMP % "MorvaneEcVersion"]),
        ("after", ["CapsuleApp.efi -P"]),
        ("changed", ["CapsuleApp.efi changed.cap", "CapsuleApp.efi -P"]),
        ("old", ["CapsuleApp.efi old.cap", "CapsuleApp.efi -P", DUMP % "MorvaneEcTestSetImage"]),
    ], files)
    device_checks(problems, first.get("before"), "before:", 0, 0, 0, 0)
    esrt_checks(problems, first.get("before"), "before: ESRT", 0, 0, 0, 0)
    kept = variables(first.get("record"))
    expect(problems, "SetImage got", kept.get("MorvaneEcTestSetImage"), capsules.test_record(payload, GOOD))
    expect(problems, "version record", kept.get("MorvaneEcVersion"), bytes.fromhex("0002000000000000"))
    device_checks(problems, first.get("after"), "after update:", GOOD, LSV, GOOD, 0)
    device_checks(problems, first.get("changed"), "changed byte:", GOOD, LSV, 0, capsules.AUTH_FAILURE)
    device_checks(problems, first.get("old"), "below lowest:", GOOD, LSV, 0x80, capsules.VERSION_TOO_LOW)
    expect(problems, "SetImage after the refusals", variables(first.get("old")).get("MorvaneEcTestSetImage"),
           capsules.test_record(payload, GOOD))

    second, again, second_s = boot(machine, build, rom, ecsim_rom, "reset", [("esrt", ["CapsuleApp.efi -E", "CapsuleApp.efi -P"])], {})
    problems += again
    esrt_checks(problems, second.get("esrt"), "after reset: ESRT", GOOD, LSV, 0x80, capsules.VERSION_TOO_LOW)

    print("\n".join("  " + line for line in built))
    print("%s fmp: shell, CapsuleApp: update, changed byte, below lowest; ESRT after reset "
          "(driver build %.1f s; boots %.1f s and %.1f s)%s" % (
              "FAIL" if problems else "ok  ", build_seconds, first_s, second_s,
              "".join("\n  " + problem for problem in problems)))
    print("fmp e2e: 1 scenarios, %d passed, %d failed (logs in %s)" % (0 if problems else 1, 1 if problems else 0,
                                                                       machine))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
