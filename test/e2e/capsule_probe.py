#!/usr/bin/env python3
"""The capsule library on real firmware: CapsuleProbe.efi in OVMF's shell
under QEMU, with CryptoPkg's own OpenSSL, on capsules from GenerateCapsule.py.

    capsule_probe.py BUILD_DIR [--keep DIR]

One boot, with SMBIOS system fields set on QEMU's command line. The probe
writes the firmware's SMBIOS table to the disk and prints the hardware IDs
it computed from it; Debian's fwupd computes them from the same table here,
and all fifteen must agree (QEMU's table holds every string they use, so
fwupd needs no /sys/class/dmi/id beside it). The good capsule is made for this machine's
HardwareID-9 (manufacturer and product name, as fwupd computes it) and
signed by EDK II's TestCert: it must parse, verify against TestRoot and
match; a changed byte and another signer must fail verification; an
unsigned capsule and a raw image must be refused by the parser.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

import qemu  # noqa: E402

BOOT_LIMIT_S = 300
MANUFACTURER = "Morvane Test"
PRODUCT = "MV-14 QEMU"
SMBIOS = ["-smbios", "type=1,manufacturer=%s,product=%s,sku=MV14-Q,family=MV 14" % (MANUFACTURER, PRODUCT)]


def fwupd_ids(env_dir, key_file=None):
    """fwupd's fifteen IDs ("" where it has none), from a table under env_dir/fw or a key file."""
    env = dict(os.environ, FWUPD_SYSFSFWDIR=os.path.join(env_dir, "fw"), FWUPD_SYSFSDMIDIR=os.path.join(env_dir, "none"))
    out = subprocess.run(["fwupdtool", "hwids"] + ([key_file] if key_file else []), env=env,
                         capture_output=True, text=True, check=True).stdout
    lines = out.split("Hardware IDs\n------------\n", 1)[1].splitlines()[:15]
    return [line[1:37] if line.startswith("{") else "" for line in lines]


def table_for_fwupd(env_dir, table):
    folder = os.path.join(env_dir, "fw", "dmi", "tables")
    os.makedirs(folder, exist_ok=True)
    entry = bytearray(b"_SM3_" + bytes([0, 0x18, 3, 0, 0, 1, 0]) + len(table).to_bytes(4, "little") + bytes(8))
    entry[5] = (-sum(entry)) & 0xFF
    with open(os.path.join(folder, "smbios_entry_point"), "wb") as out:
        out.write(entry)
    with open(os.path.join(folder, "DMI"), "wb") as out:
        out.write(table)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--keep")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="capsule-probe-")
    os.makedirs(os.path.join(work, "none"), exist_ok=True)
    edk2 = subprocess.run(["bash", os.path.join(HERE, "..", "..", "scripts", "setup.sh")],
                          capture_output=True, text=True, check=True).stdout.strip().splitlines()[-1]

    with open(os.path.join(work, "machine.ini"), "w") as out:
        out.write("[HwIds]\nManufacturer=%s\nProductName=%s\n" % (MANUFACTURER, PRODUCT))
    machine = fwupd_ids(work, os.path.join(work, "machine.ini"))[9]
    data = os.path.join(work, "data")
    subprocess.run(["bash", os.path.join(HERE, "..", "capsule", "make_capsules.sh"), data, edk2, machine],
                   check=True, capture_output=True)
    shutil.copyfile(os.path.join(data, "good.cap"), os.path.join(data, "changed.cap"))
    with open(os.path.join(data, "changed.cap"), "r+b") as changed:
        changed.seek(-1, os.SEEK_END)
        last = changed.read(1)[0]
        changed.seek(-1, os.SEEK_END)
        changed.write(bytes([last ^ 1]))

    names = ["good.cap", "changed.cap", "other.cap", "unsigned.cap", "ec.bin"]
    script = ("@echo -off\r\nfs0:\r\nCapsuleProbe.efi root.cer table.bin %s\r\nreset -s\r\n" % " ".join(names)).encode()
    files = {"CapsuleProbe.efi": os.path.join(build, "CapsuleProbe.efi"), "startup.nsh": script,
             "root.cer": os.path.join(data, "root.cer")}
    files.update({name: os.path.join(data, name) for name in names})
    boot_dir = os.path.join(work, "boot")
    os.makedirs(boot_dir, exist_ok=True)
    disk = qemu.make_disk(boot_dir, files)
    boot = qemu.Boot(boot_dir, disk, BOOT_LIMIT_S, extra=SMBIOS)
    serial = boot.run()
    with open(os.path.join(work, "serial.log"), "w") as out:
        out.write(serial)
    lines = [re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", line).strip() for line in serial.splitlines()]
    lines = [line[line.index("capsuleprobe:"):] for line in lines if "capsuleprobe:" in line]
    text = "\n".join(lines)
    for line in lines:
        print("  " + line)

    problems = []
    table = qemu.read_from_disk(disk, "table.bin")
    if not table:
        problems.append("the probe wrote no SMBIOS table")
    else:
        table_for_fwupd(work, table)
        theirs = fwupd_ids(work)
        ours = []
        for index in range(15):
            found = re.search(r"hwid %d (\S+)" % index, text)
            ours.append("" if not found or found.group(1) == "none" else found.group(1).lower())
        for index, (mine, reference) in enumerate(zip(ours, theirs)):
            if mine != reference:
                problems.append("HardwareID-%d: firmware %s, fwupd %s" % (index, mine or "none", reference or "none"))
        if theirs[9] != machine:
            problems.append("fwupd's HardwareID-9 from the table is not the one from the fields")
    for pattern in [r"trust name=Success TestRoot",
                    r"good.cap parse=Success type=%s version=0x200 lowest=0x80 count=7 payload=3000" % machine,
                    r"good.cap verify=Success signer=TestCert match=1 which=9",
                    r"changed.cap verify=Security Violation signer=TestCert match=1",
                    r"other.cap verify=Security Violation signer=Another signer match=1",
                    r"unsigned.cap looks=1 parse=Unsupported reason=not signed",
                    r"ec.bin looks=0 parse=Unsupported reason=not a capsule",
                    r"capsuleprobe: done"]:
        if not re.search(pattern, text, re.IGNORECASE):
            problems.append("missing: " + pattern)
    if boot.timed_out:
        problems.append("the boot hit its time limit")
    for problem in problems:
        print("  " + problem)
    print("capsule probe: %s" % ("FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
