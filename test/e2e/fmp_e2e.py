#!/usr/bin/env python3
"""The EC update driver in OVMF's UEFI Shell: the driver, a capsule service
and the ESRT driver are one PCI option ROM (as on a machine where they are
in the firmware), and the simulated EC is another (as boot_e2e attaches
it), taking its faults from ECSIM.CFG on the disk. CapsuleApp (EDK II's,
built from the same tree) plays the update tool; EcSimCtl dumps the
simulated EC's flash and command record.

    fmp_e2e.py BUILD_DIR [--keep DIR]

BUILD_DIR must hold EcSimDxe.efi and EcSimCtl.efi (scripts/build.sh).
Three boots:
  1. (machine A) the device and its ESRT entry before any update; a signed
     capsule flashes the EC as Morvane -u does (each block compared, the
     differing ones erased, programmed and verified, the closing check):
     the flash equals the payload, the version record and FmpDxe's last
     attempt say the capsule's version; a capsule with one payload byte
     changed, and one below the lowest supported version, are refused by
     FmpDxe with no byte to the EC (last-attempt statuses 0x1012, 0x1010);
  2. (machine A) after a reset the ESRT has the version the update left and
     the last refusal;
  3. (machine B) an EC whose block 0 never verifies: eight attempts, and
     the update fails with the device library's status for a block that
     never verified (0x1804: the EC is incomplete); the version stays 0;
  4. (machine C, whose SMBIOS names it; the driver built for its
     HardwareID-9) one version floor for both routes, one variable store:
     the driver applies a capsule whose lowest retires 0x100, then a
     Morvane.efi built with TRUST (EDK II's test root) refuses a validly
     signed capsule of 0x100 (0x19, no byte to the EC); Morvane flashes
     0x300 with lowest 0x280, then the driver refuses a capsule of 0x200
     (FmpDxe's 0x1010, from the record's lowest; no byte to the EC).
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
import simrecord as record
from capsule_probe import fwupd_ids
from scenarios import PRODUCT, update_record
from side_by_side import suite_folders

BOOT_LIMIT_S = 400
PAYLOAD_SIZE = 128 * 1024
GOOD, LSV = 0x200, 0x100
# The simulated EC holds old firmware in its first blocks, so that a block
# left unwritten shows; block 0 of machine B never verifies.
OLD_BLOCKS = 3
EC_SETTINGS = "old=%d" % OLD_BLOCKS
NEVER_VERIFIES = "corrupt=0 attempts=0xFFFFFFFF old=%d" % OLD_BLOCKS
# The device library's last-attempt status for a block that never verified.
NEVER_VERIFIED = 0x1804
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


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


def boot(machine, build, rom, ecsim_rom, name, steps, files, settings=EC_SETTINGS, extra=()):
    disk = qemu.make_disk(machine, dict(files, **{
        "CapsuleApp.efi": os.path.join(build, "fmp-test", "CapsuleApp.efi"),
        "EcSimCtl.efi": os.path.join(build, "EcSimCtl.efi"),
        "ECSIM.CFG": (settings + "\r\n").encode(),
        "startup.nsh": shell_script(steps)}))
    drives = ["-drive", "format=raw,file=" + disk, "-device", "pci-testdev,romfile=" + rom,
              "-device", "pci-testdev,romfile=" + ecsim_rom]
    run = qemu.Boot(machine, disk, BOOT_LIMIT_S, drives=drives, keep_vars=True, extra=extra)
    started = time.monotonic()
    serial = run.run()
    seconds = time.monotonic() - started
    with open(os.path.join(machine, "serial-%s.log" % name), "w", encoding="latin-1") as log:
        log.write(serial)
    problems = ["boot time limit reached"] if run.timed_out else []
    found = sections(serial)
    if "end" not in found:
        problems.append("the script did not finish")
    return found, problems, seconds, disk


DUMP = "dmpstore %s -guid " + capsules.RECORD_GUID


def sim_dump(name):
    """The shell line that dumps the simulated EC's flash and record."""
    return "EcSimCtl.efi dump %s.FL %s.REC" % (name, name)


def sim_record(disk, name):
    """The command record EcSimCtl dumped as NAME.REC, as text, and its
    header; ([], None) when there is none."""
    data = qemu.read_from_disk(disk, name + ".REC")
    if not data:
        return [], None
    header, events = record.read_record(data)
    return record.text(events), header


def first_session(events):
    """The record a machine's first session must leave, without its first
    event: the simulated EC reads ECSIM.CFG at its first port access and
    starts afresh there, just after the keyboard controller's 0xAD."""
    return events[1:] if events[:1] == ["K:AD"] else ["(no K:AD first)"] + events


def flash_problems(disk, name, payload):
    """Problems if the flash EcSimCtl dumped as NAME.FL is not the payload
    flashed over the old firmware."""
    flash = qemu.read_from_disk(disk, name + ".FL") or b""
    size = max(len(payload), OLD_BLOCKS * record.BLOCK)
    have = flash + b"\xff" * size
    return [] if have[:size] == record.expected_flash(payload, size, OLD_BLOCKS) else \
        ["the simulated flash is not the payload (%d bytes dumped)" % len(flash)]


def option_rom(build, machine):
    """The simulated EC's driver as a PCI option ROM: the machine has an EC
    before the update driver runs."""
    ecsim = os.path.join(build, "EcSimDxe.efi")
    rom = os.path.join(machine, "ecsim.rom")
    subprocess.run([os.path.join(capsules.EDK2, "BaseTools", "Source", "C", "bin", "EfiRom"), "-f", "0x1b36",
                    "-i", "0x0005", "-e", ecsim, "-o", rom], check=True, capture_output=True)
    return rom


def never_verifies(build, rom, work, good):
    """Machine B: the EC's block 0 never verifies."""
    machine = os.path.join(work, "never")
    shutil.rmtree(machine, ignore_errors=True)
    os.makedirs(machine)
    found, problems, seconds, disk = boot(machine, build, rom, option_rom(build, machine), "never-verifies", [
        ("update", ["CapsuleApp.efi good.cap", sim_dump("NEVER")]),
        ("after", ["CapsuleApp.efi -P", DUMP % "MorvaneEcVersion"]),
    ], {"good.cap": good}, NEVER_VERIFIES)
    device_checks(problems, found.get("after"), "never verifies:", 0, 0, GOOD, NEVER_VERIFIED)
    if "MorvaneEcVersion" in variables(found.get("after")):
        problems.append("never verifies: the version record was written")
    events, _ = sim_record(disk, "NEVER")
    # -u compares block 0 first; then its erase and eight attempts, each
    # erased again before the next; then the EC leaves flash mode.
    wanted = record.expected_record(b"\x00" * record.BLOCK, attempts={0: 8}, stop_after=0)
    wanted[4:4] = ["C:03", "C:00", "O:65536"]
    if events != first_session(wanted):
        problems.append("never verifies: the EC's record is not eight attempts on block 0 (%d events)" % len(events))
    return problems, seconds


MANUFACTURER = "Morvane Test"
FLOOR_SMBIOS = ["-smbios", "type=1,manufacturer=%s,product=%s" % (MANUFACTURER, PRODUCT)]
EFI_INCOMPATIBLE_VERSION = 0x19


def machine_hwid(work):
    """fwupd's HardwareID-9 (manufacturer and product name) of machine C."""
    folder = os.path.join(work, "hwids")
    os.makedirs(os.path.join(folder, "none"), exist_ok=True)
    fields = os.path.join(folder, "machine.ini")
    with open(fields, "w") as out:
        out.write("[HwIds]\nManufacturer=%s\nProductName=%s\n" % (MANUFACTURER, PRODUCT))
    return fwupd_ids(folder, fields)[9]


def trusted_morvane(build, work):
    """Morvane.efi built with EDK II's test root as TRUST; the build
    folder's own is built again without it."""
    env = {key: value for key, value in os.environ.items() if key != "TRUST"}
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "build.sh")
    subprocess.run(["bash", script], env=dict(env, TRUST=capsules.TRUST), check=True, capture_output=True)
    trusted = os.path.join(work, "Morvane-trusted.efi")
    shutil.copyfile(os.path.join(build, "Morvane.efi"), trusted)
    subprocess.run(["bash", script], env=env, check=True, capture_output=True)
    return trusted


def last_error(text):
    """The status `echo %lasterror%` printed in text; None when none."""
    match = re.search(r"^\s*0x([0-9A-Fa-f]+)\s*$", text or "", re.M)
    return int(match.group(1), 16) if match else None


def one_floor(build, work, trusted):
    """Machine C: the driver and Morvane hold capsules to one floor in one
    variable store, each raising it for the other."""
    machine = os.path.join(work, "floor")
    shutil.rmtree(machine, ignore_errors=True)
    os.makedirs(machine)
    hwid = machine_hwid(work)
    capsules.build_driver("test", hwid)
    rom = os.path.join(machine, "fmp-floor.rom")
    shutil.copyfile(os.path.join(build, "fmp-test", "fmp-test.rom"), rom)

    def capsule(name, version, lsv):
        return capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(machine, name), version, lsv, machine, hwid)

    files = {"Morvane.efi": trusted, "new.cap": capsule("new.cap", GOOD, 0x180), "old.cap": capsule("old.cap", 0x100, 0),
             "v300.cap": capsule("v300.cap", 0x300, 0x280), "mid.cap": capsule("mid.cap", 0x200, 0)}
    found, problems, seconds, disk = boot(machine, build, rom, option_rom(build, machine), "floor", [
        ("driver", ["CapsuleApp.efi new.cap", "EcSimCtl.efi newrecord", DUMP % "MorvaneEcVersion"]),
        ("morvane old", ["Morvane.efi -l OLD.LOG old.cap", "echo %lasterror%", sim_dump("MOLD"),
                         "EcSimCtl.efi newrecord"]),
        ("morvane raises", ["Morvane.efi -l NEW.LOG v300.cap", "echo %lasterror%", "EcSimCtl.efi newrecord",
                            DUMP % "MorvaneEcVersion"]),
        ("driver older", ["CapsuleApp.efi mid.cap", "CapsuleApp.efi -P", sim_dump("DOLD")]),
    ], files, extra=FLOOR_SMBIOS)
    expect(problems, "floor: the record after the driver's update",
           variables(found.get("driver")).get("MorvaneEcVersion"), bytes.fromhex("0002000080010000"))
    expect(problems, "floor: Morvane's status for a capsule the driver retired", last_error(found.get("morvane old")),
           EFI_INCOMPATIBLE_VERSION)
    log = (qemu.read_from_disk(disk, "OLD.LOG") or b"").decode("latin-1")
    wanted = 'outcome="old.cap is version 0x00000100; this machine takes 0x00000180 or later. Nothing was flashed."'
    if wanted not in log:
        problems.append("floor: Morvane's log does not say why: %r" % log[-200:])
    expect(problems, "floor: what reached the EC from Morvane's refusal", sim_record(disk, "MOLD")[0], [])
    expect(problems, "floor: Morvane's status for a capsule above the floor", last_error(found.get("morvane raises")), 0)
    expect(problems, "floor: the record after Morvane's flash",
           variables(found.get("morvane raises")).get("MorvaneEcVersion"), bytes.fromhex("0003000080020000"))
    expect(problems, "floor: the driver's last attempt for a capsule Morvane retired",
           field(found.get("driver older"), "LastAttemptStatus"), "0x%x" % capsules.VERSION_TOO_LOW)
    expect(problems, "floor: what reached the EC from the driver's refusal", sim_record(disk, "DOLD")[0], [])
    return problems, seconds


def main():
    build, work = suite_folders("fmp")
    for tool in ("EcSimDxe.efi", "EcSimCtl.efi"):
        if not os.path.exists(os.path.join(build, tool)):
            print("FAIL fmp: %s is not built (bash scripts/build.sh)" % os.path.join(build, tool))
            return 1
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

    first, problems, first_s, disk = boot(machine, build, rom, ecsim_rom, "update", [
        ("before", ["CapsuleApp.efi -P", "CapsuleApp.efi -E"]),
        ("update", ["CapsuleApp.efi good.cap", sim_dump("UPDATE"), "EcSimCtl.efi newrecord"]),
        ("record", [DUMP % "MorvaneEcVersion"]),
        ("after", ["CapsuleApp.efi -P"]),
        ("changed", ["CapsuleApp.efi changed.cap", "CapsuleApp.efi -P"]),
        ("old", ["CapsuleApp.efi old.cap", "CapsuleApp.efi -P", sim_dump("REFUSED")]),
    ], files)
    device_checks(problems, first.get("before"), "before:", 0, 0, 0, 0)
    esrt_checks(problems, first.get("before"), "before: ESRT", 0, 0, 0, 0)
    problems += flash_problems(disk, "UPDATE", payload)
    events, header = sim_record(disk, "UPDATE")
    expect(problems, "update: the EC's record (-u over old firmware, then the closing check)", events,
           first_session(update_record(payload, {0, 1})))
    if header and header["violations"]:
        problems.append("update: %d bytes sent while the EC was busy" % header["violations"])
    kept = variables(first.get("record"))
    expect(problems, "version record", kept.get("MorvaneEcVersion"), bytes.fromhex("0002000000010000"))
    device_checks(problems, first.get("after"), "after update:", GOOD, LSV, GOOD, 0)
    device_checks(problems, first.get("changed"), "changed byte:", GOOD, LSV, 0, capsules.AUTH_FAILURE)
    device_checks(problems, first.get("old"), "below lowest:", GOOD, LSV, 0x80, capsules.VERSION_TOO_LOW)
    refused, _ = sim_record(disk, "REFUSED")
    expect(problems, "refused capsules: what reached the EC or the keyboard controller", refused, [])
    problems += ["refusals: " + problem for problem in flash_problems(disk, "REFUSED", payload)]

    second, again, second_s, _ = boot(machine, build, rom, ecsim_rom, "reset",
                                      [("esrt", ["CapsuleApp.efi -E", "CapsuleApp.efi -P"])], {})
    problems += again
    esrt_checks(problems, second.get("esrt"), "after reset: ESRT", GOOD, LSV, 0x80, capsules.VERSION_TOO_LOW)

    never, third_s = never_verifies(build, rom, work, good)
    problems += never

    floor, fourth_s = one_floor(build, work, trusted_morvane(build, work))
    problems += floor

    print("\n".join("  " + line for line in built))
    print("%s fmp: shell, CapsuleApp: update flashes the EC, changed byte and below lowest refused; ESRT after "
          "reset; an EC that never verifies; one floor with Morvane (driver build %.1f s; boots %.1f s, %.1f s, "
          "%.1f s and %.1f s)%s" % (
              "FAIL" if problems else "ok  ", build_seconds, first_s, second_s, third_s, fourth_s,
              "".join("\n  " + problem for problem in problems)))
    print("fmp e2e: 1 scenarios, %d passed, %d failed (logs in %s)" % (0 if problems else 1, 1 if problems else 0,
                                                                       work))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
