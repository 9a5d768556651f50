#!/usr/bin/env python3
"""Signed capsules end to end: Morvane.efi built with TRUST (EDK II's test
root, `scripts/build.sh` with TRUST=...) boots from a stick without a shell,
or from a depot by HTTP boot, with the simulated EC as a PCI option ROM, on a
machine whose SMBIOS names it (its hardware IDs computed here by Debian's
fwupd from the same fields). The capsules come from `make capsule`'s script,
signed by EDK II's TestCert (under TestSub, under TestRoot).

    signed_e2e.py BUILD_DIR [--keep DIR]

- a capsule for this machine flashes its payload, and the run log names its
  signer and version; on the same machine (its variables kept) a capsule of
  a version below the recorded lowest is refused at the next boot;
- a changed byte, another signer, a raw image and another machine's capsule
  are refused: no byte reaches the EC, ec=unchanged, and the operator is
  never told not to remove power;
- a machine booted from a trusted depot refuses the changed capsule the
  depot serves (its MORVANE.CFG changed to match);
- under Secure Boot with Debian's test keys, the trusted Morvane signed with
  them flashes.

Prints one line per scenario; exits non-zero when any fails.
"""

import functools
import os
import re
import shutil
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import qemu  # noqa: E402
import simrecord as record
from boot_e2e import EDK2, SNAKEOIL_CERT, SNAKEOIL_KEY, Machine, option_rom
from capsule_probe import fwupd_ids
from depot_probe import free_port
from netboot_e2e import NetMachine, result
from scenarios import OLD_BLOCKS, PRODUCT, flash_holds, random_image
from side_by_side import run_cases, suite_folders
from stick_e2e import StickBoot

CERTS = os.path.join(EDK2, "BaseTools", "Source", "Python", "Pkcs7Sign")
TRUST = os.path.join(CERTS, "TestRoot.pub.pem")
MANUFACTURER = "Morvane Test"
SERIAL, UUID = "MORV-SIGNED-9", "6A1C2E3F-4B5D-4C6E-8F70-8192A3B4C5E9"
SMBIOS = ["-smbios", "type=1,manufacturer=%s,product=%s,serial=%s,uuid=%s" % (MANUFACTURER, PRODUCT, SERIAL, UUID)]
DONE = "EC FLASH DONE."
BACK = "Press a key to return to the firmware."
UNCHANGED = "NOTHING WAS CHANGED."
FLASHING = "Flashing: do not remove power."
OLD = "old=%d" % OLD_BLOCKS
EFI_UNSUPPORTED, EFI_INCOMPATIBLE_VERSION, EFI_SECURITY_VIOLATION = 0x3, 0x19, 0x1A


def hardware_id(work, product):
    """fwupd's HardwareID-9 (manufacturer and product name) for a machine."""
    folder = os.path.join(work, "hwids")
    os.makedirs(os.path.join(folder, "none"), exist_ok=True)
    fields = os.path.join(folder, "machine.ini")
    with open(fields, "w") as out:
        out.write("[HwIds]\nManufacturer=%s\nProductName=%s\n" % (MANUFACTURER, product))
    return fwupd_ids(folder, fields)[9]


def make_capsule(folder, name, payload, version, lowest, hwid, key, cert, other=None):
    """`make capsule`'s script; returns the payload and the capsule."""
    source = os.path.join(folder, "signed-e2e-%s.bin" % name)
    with open(source, "wb") as out:
        out.write(payload)
    env = dict(os.environ, IMAGE=source, VERSION="0x%X" % version, LOWEST="0x%X" % lowest, HWID=hwid,
               SIGN_KEY=key, SIGN_CERT=cert)
    if other:
        env["OTHER_CERT"] = other
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "capsule.sh")], env=env, check=True, capture_output=True)
    built = os.path.join(ROOT, "build", "signed-e2e-%s.cap" % name)
    with open(built, "rb") as capsule:
        data = capsule.read()
    os.remove(built)
    return payload, data


def fields(line):
    """A run log line's fields: key=value or key="value"."""
    return {key: value.strip('"') for key, value in re.findall(r'(\w+)=("[^"]*"|\S+)', line)}


def no_byte_to_the_ec(data):
    """The option ROM's EC dumps its record when the EC leaves flash mode:
    no record, or an empty one, means no byte reached it."""
    return ["the EC received bytes"] if data and record.read_record(data)[1] else []


def refused(machine, timed_out, status, outcome):
    """The checks every refusal on a stick shares."""
    problems = ["boot time limit reached"] if timed_out else []
    if UNCHANGED not in machine.serial or DONE in machine.serial:
        problems.append("no nothing-was-changed banner")
    if "not remove power" in machine.serial.lower():
        problems.append("the operator was told not to remove power")
    problems += no_byte_to_the_ec(machine.sim("SIM.REC"))
    lines = machine.log_lines()
    if len(lines) != 1:
        return problems + ["%d log lines" % len(lines)]
    got = fields(lines[0])
    want = {"status": "0x%X" % status, "ec": "unchanged", "changed": "0", "outcome": outcome}
    problems += ["log %s=%s, not %s" % (key, got.get(key), value) for key, value in want.items() if got.get(key) != value]
    return problems


def flashed(machine, timed_out, payload, version, secure=False):
    """A capsule flashed from a stick: its payload on the EC, its signer and
    version in the log."""
    problems = ["boot time limit reached"] if timed_out else []
    if DONE not in machine.serial or FLASHING not in machine.serial:
        problems.append("no %r before the done banner" % FLASHING)
    problems += flash_holds(machine.sim("SIM.FL"), payload)
    lines = machine.log_lines()
    if len(lines) != 1:
        return problems + ["%d log lines" % len(lines)]
    got = fields(lines[0])
    want = {"status": "0x0", "ec": "flashed", "size": str(len(payload)), "crc32": "%08X" % zlib.crc32(payload),
            "version": "0x%08X" % version, "signer": "TestCert", "secureboot": "on" if secure else "off"}
    problems += ["log %s=%s, not %s" % (key, got.get(key), value) for key, value in want.items() if got.get(key) != value]
    if not lines[0].split(" outcome=")[0].endswith(' signer="TestCert" version=0x%08X' % version):
        problems.append("signer= and version= are not just before outcome=")
    return problems


def stick(build, folder, rom, efi, image, name="ec.cap", secure=False):
    machine = Machine(build, folder, rom, image, OLD, efi, secure, name=name, model=None)
    machine.smbios = SMBIOS
    return machine


def version_rule(build, rom, efi, capsules):
    """0x200 (lowest 0x200) flashes; at the next boot 0x100 is refused."""
    def case(folder):
        payload, first = capsules["v200"]
        machine = stick(build, os.path.join(folder, "first"), rom, efi, first)
        problems = flashed(machine, machine.run(lambda boot, text: BACK in text), payload,
                           0x200)
        older = stick(build, os.path.join(folder, "second"), rom, efi, capsules["v100"][1])
        shutil.copyfile(os.path.join(folder, "first", "vars.fd"), os.path.join(folder, "second", "vars.fd"))
        timed_out = StickBoot.run(older, lambda boot, text: UNCHANGED in text, functools.partial(qemu.Boot, keep_vars=True))
        problems += ["next boot: " + problem for problem in refused(
            older, timed_out, EFI_INCOMPATIBLE_VERSION,
            "ec.cap is version 0x00000100; this machine takes 0x00000200 or later. Nothing was flashed.")]
        return problems, "boot to flash %.1f s" % (machine.to_flash or 0)
    return case


def refusal(build, rom, efi, image, status, outcome, name="ec.cap"):
    def case(folder):
        machine = stick(build, folder, rom, efi, image, name)
        return refused(machine, machine.run(lambda boot, text: UNCHANGED in text), status, outcome), ""
    return case


def secure_flash(build, rom, efi, capsules):
    def case(folder):
        payload, capsule = capsules["good"]
        machine = stick(build, folder, rom, efi, capsule, secure=True)
        return flashed(machine, machine.run(lambda boot, text: BACK in text), payload,
                       0x200, secure=True), ""
    return case


def depot_refusal(rom, port, depot):
    """A machine booted from the depot, which now serves a changed capsule."""
    def case(folder):
        machine = NetMachine(folder, rom, port, "NB-SIGNED", OLD)
        machine.extra[machine.extra.index("-smbios") + 1] = "type=1,manufacturer=%s,product=%s,serial=NB-SIGNED" % (
            MANUFACTURER, PRODUCT)
        problems = ["boot time limit reached"] if machine.run(UNCHANGED) else []
        got = fields((result(depot, "NB-SIGNED", ".log") or b"").decode("latin-1"))
        want = {"status": "0x1A", "ec": "unchanged",
                "outcome": "The signature of ec.cap does not verify against TestRoot. Nothing was flashed."}
        problems += ["the depot's log %s=%s, not %s" % (key, got.get(key), value) for key, value in want.items()
                     if got.get(key) != value]
        if "not remove power" in machine.serial.lower():
            problems.append("the operator was told not to remove power")
        return problems + no_byte_to_the_ec(machine.sim("SIM.REC")), ""
    return case


def trusted_builds(build, work):
    """Morvane.efi built with TRUST, and a copy signed with Debian's test
    keys; the build folder's own Morvane.efi is built again without TRUST."""
    env = {key: value for key, value in os.environ.items() if key != "TRUST"}
    script = os.path.join(ROOT, "scripts", "build.sh")
    subprocess.run(["bash", script], env=dict(env, TRUST=TRUST), check=True, capture_output=True)
    trusted = os.path.join(work, "Morvane-trusted.efi")
    shutil.copyfile(os.path.join(build, "Morvane.efi"), trusted)
    subprocess.run(["bash", script], env=env, check=True, capture_output=True)
    key = os.path.join(work, "snakeoil.key")
    signed = os.path.join(work, "Morvane-trusted-signed.efi")
    subprocess.run(["openssl", "pkey", "-in", SNAKEOIL_KEY, "-passin", "pass:snakeoil", "-out", key], check=True)
    subprocess.run(["sbsign", "--key", key, "--cert", SNAKEOIL_CERT, "--output", signed, trusted], check=True,
                   capture_output=True)
    return trusted, signed


def all_capsules(work):
    """{name: (payload, capsule)} for the scenarios."""
    folder = os.path.join(work, "capsules")
    os.makedirs(folder, exist_ok=True)
    key, cert = os.path.join(folder, "signer.key"), os.path.join(folder, "signer.pem")
    subprocess.run(["openssl", "pkey", "-in", os.path.join(CERTS, "TestCert.pem"), "-out", key], check=True)
    subprocess.run(["openssl", "x509", "-in", os.path.join(CERTS, "TestCert.pem"), "-out", cert], check=True)
    other_key, other_cert = os.path.join(folder, "other.key"), os.path.join(folder, "other.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=Another signer", "-keyout", other_key, "-out", other_cert], check=True, capture_output=True)
    sub = os.path.join(CERTS, "TestSub.pub.pem")
    this, elsewhere = hardware_id(work, PRODUCT), hardware_id(work, "Other Model")
    payload = random_image(2 * record.BLOCK, 71)
    made = {
        "good": make_capsule(folder, "good", payload, 0x200, 0x100, this, key, cert, sub),
        "v200": make_capsule(folder, "v200", payload, 0x200, 0x200, this, key, cert, sub),
        "v100": make_capsule(folder, "v100", random_image(record.BLOCK, 72), 0x100, 0x0, this, key, cert, sub),
        "other signer": make_capsule(folder, "other", payload, 0x200, 0x100, this, other_key, other_cert),
        "elsewhere": make_capsule(folder, "elsewhere", payload, 0x200, 0x100, elsewhere, key, cert, sub),
    }
    good = made["good"][1]
    at = len(good) - len(payload) // 2
    made["changed"] = (payload, good[:at] + bytes([good[at] ^ 0x01]) + good[at + 1:])
    return made, elsewhere


def main():
    build, work = suite_folders("signed")
    rom = option_rom(build, work)
    trusted, signed = trusted_builds(build, work)
    capsules, elsewhere = all_capsules(work)
    refusal_of = "The signature of ec.cap does not verify against TestRoot. Nothing was flashed."

    # The depot serves the good capsule; then someone changes it there, and
    # its MORVANE.CFG to match.
    depot = os.path.join(work, "depot")
    subprocess.run(["rm", "-rf", depot], check=True)
    good_path = os.path.join(work, "ec.cap")
    with open(good_path, "wb") as out:
        out.write(capsules["good"][1])
    port = free_port()
    env = dict(os.environ, DEPOT_DIR=depot, ADDRESS="127.0.0.1:%d" % port, MORVANE_EFI=trusted, TRUST=TRUST)
    env.pop("MODEL", None)
    started = subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot.sh"), "--start", good_path], env=env,
                             check=True, capture_output=True, text=True)
    pid = started.stdout.strip().splitlines()[-1]
    changed = capsules["changed"][1]
    with open(os.path.join(depot, "ec.cap"), "wb") as out:
        out.write(changed)
    with open(os.path.join(depot, "MORVANE.CFG"), "rb") as cfg:
        settings = re.sub(rb"crc32=[0-9A-F]{8}", b"crc32=%08X" % zlib.crc32(changed), cfg.read())
    with open(os.path.join(depot, "MORVANE.CFG"), "wb") as cfg:
        cfg.write(settings)
    try:
        return run_cases([
            ("signed: 0x200, then 0x100 refused", version_rule(build, rom, trusted, capsules)),
            ("signed: changed byte", refusal(build, rom, trusted, capsules["changed"][1], EFI_SECURITY_VIOLATION,
                                             refusal_of)),
            ("signed: another signer", refusal(build, rom, trusted, capsules["other signer"][1],
                                               EFI_SECURITY_VIOLATION, refusal_of)),
            ("signed: raw image", refusal(build, rom, trusted, capsules["good"][0], EFI_SECURITY_VIOLATION,
                                          "ec.bin is not a signed capsule; this Morvane flashes only images signed by "
                                          "TestRoot. Nothing was flashed.", name="ec.bin")),
            ("signed: another machine's", refusal(build, rom, trusted, capsules["elsewhere"][1], EFI_UNSUPPORTED,
                                                  "This machine (%s) is not the one ec.cap is for ({%s}). Nothing was "
                                                  "flashed." % (PRODUCT, elsewhere.upper()))),
            ("signed: depot serves a change", depot_refusal(rom, port, depot)),
            ("signed: secure boot flashes", secure_flash(build, rom, signed, capsules)),
        ], work, "signed", "signed e2e")
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot-server.sh"), "stop", pid], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
