#!/usr/bin/env python3
"""Figures for signed images (no pass/fail), printed by `make bench`:
Morvane.efi's size built without and with TRUST, and how long a Morvane
built with TRUST takes to verify a capsule's signature in QEMU (OVMF under
TCG, one core), for a 1 MiB and a 16 MiB EC image.

    signed_bench.py

The time is taken on the serial console, from the line echoed before
`Morvane.efi -l LOG CAPSULE` to the line echoed after it, for two capsules
of the same payload: one signed for another machine (Morvane reads it,
verifies the signature, then refuses it for its hardware ID, before any
port) and one unsigned (read, then refused by the parser, nothing
verified). The difference is the verification: the digest of the payload
and the RSA check. Each runs three times; the figures are the medians.
The 16 MiB capsule's payload is 16 MiB less 8 KiB, so that the capsule
file stays within the 16 MiB Morvane reads.
"""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import qemu  # noqa: E402

EDK2 = subprocess.run(["bash", os.path.join(HERE, "setup.sh")], capture_output=True,
                      text=True, check=True).stdout.strip().splitlines()[-1]
PYTHON_TOOLS = os.path.join(EDK2, "BaseTools", "Source", "Python")
CERTS = os.path.join(PYTHON_TOOLS, "Pkcs7Sign")
TRUST = os.path.join(CERTS, "TestRoot.pub.pem")
ELSEWHERE = "0b6c9e3a-5d21-5f47-8a19-3c2e7d4b6a10"
SIZES = [("1 MiB", 1 << 20), ("16 MiB", (16 << 20) - 8192)]
ROUNDS = 3
BOOT_LIMIT_S = 900


def build(trusted):
    """scripts/build.sh without TRUST or with EDK II's test root; the size of
    the Morvane.efi it made."""
    env = {key: value for key, value in os.environ.items() if key != "TRUST"}
    if trusted:
        env["TRUST"] = TRUST
    subprocess.run(["bash", os.path.join(HERE, "build.sh")], env=env, check=True, capture_output=True)
    return os.path.getsize(os.path.join(ROOT, "build", "Morvane.efi"))


def capsule(folder, name, payload, signed):
    """GenerateCapsule.py's capsule of payload for another machine, signed by
    TestCert (under TestSub, under TestRoot) or not at all."""
    source = os.path.join(folder, name + ".bin")
    with open(source, "wb") as out:
        out.write(payload)
    signing = ["--signer-private-cert", os.path.join(CERTS, "TestCert.pem"),
               "--other-public-cert", os.path.join(CERTS, "TestSub.pub.pem"),
               "--trusted-public-cert", TRUST] if signed else []
    subprocess.run(["python3", os.path.join(PYTHON_TOOLS, "Capsule", "GenerateCapsule.py"), "--encode",
                    "--guid", ELSEWHERE, "--fw-version", "0x200", "--lsv", "0x100"] + signing +
                   ["-o", os.path.join(folder, name + ".cap"), source],
                   env=dict(os.environ, PYTHONPATH=PYTHON_TOOLS), check=True, capture_output=True)
    os.remove(source)
    return os.path.join(folder, name + ".cap")


def main():
    work = tempfile.mkdtemp(prefix="morvane-signed-bench-")
    try:
        plain = build(False)
        trusted = build(True)
        efi = os.path.join(work, "Morvane.efi")
        shutil.copyfile(os.path.join(ROOT, "build", "Morvane.efi"), efi)
        build(False)

        files = {"Morvane.efi": efi}
        runs = []
        for index, (label, size) in enumerate(SIZES):
            payload = random.Random(index).randbytes(size)
            for kind, signed in (("verified", True), ("unverified", False)):
                name = "%s%d" % (kind[0], index)
                files[name + ".cap"] = capsule(work, name, payload, signed)
                runs.append((label, kind, name))
        order = [run for _ in range(ROUNDS) for run in runs]
        lines = ["@echo -off", "fs0:"]
        for number, (_, _, name) in enumerate(order):
            lines += ['echo "=== BEGIN %d ==="' % number, "Morvane.efi -l %s.log %s.cap" % (name, name),
                      'echo "=== END %d %%lasterror%% ==="' % number]
        files["startup.nsh"] = ("\r\n".join(lines + ["reset -s", ""])).encode()
        disk = qemu.make_disk(work, files)

        marks = {}

        def watch(boot):
            text = boot.serial[-8192:].decode("latin-1")
            for number in range(len(order)):
                for mark in ("=== BEGIN %d ===" % number, "=== END %d " % number):
                    if mark not in marks and mark in text:
                        marks[mark] = time.monotonic()
        boot = qemu.Boot(work, disk, BOOT_LIMIT_S, on_output=watch)
        with open(os.path.join(work, "serial.log"), "w", encoding="latin-1") as log:
            log.write(boot.run())
        seconds = {}
        for number, (label, kind, name) in enumerate(order):
            begin, end = marks.get("=== BEGIN %d ===" % number), marks.get("=== END %d " % number)
            if begin is None or end is None:
                sys.exit("signed bench: run %d (%s) did not finish; serial log in %s" % (number, name, work))
            seconds.setdefault((label, kind), []).append(end - begin)
        # What each run must have ended with: another machine's capsule after
        # its signature held, the unsigned one at the parser.
        for label, kind, name in runs:
            log = (qemu.read_from_disk(disk, "%s.log" % name) or b"").decode("latin-1")
            said = "is not the one" if kind == "verified" else "not a capsule Morvane takes (not signed)"
            if log.count(said) != ROUNDS:
                sys.exit("signed bench: %s did not end as expected: %r" % (name, log[-300:]))

        print("signed images (make TRUST=...; QEMU, OVMF under TCG):")
        print("  Morvane.efi without TRUST:  %d bytes" % plain)
        print("  Morvane.efi with TRUST:     %d bytes (+%d: the signature check and the OpenSSL it needs)"
              % (trusted, trusted - plain))
        for label, _ in SIZES:
            verified = statistics.median(seconds[(label, "verified")])
            unverified = statistics.median(seconds[(label, "unverified")])
            print("  verifying a %-6s capsule:  %.2f s (read and verified %.2f s, read only %.2f s; medians of %d)"
                  % (label, verified - unverified, verified, unverified, ROUNDS))
    except BaseException:
        print("signed bench: its files are in %s" % work, file=sys.stderr)
        raise
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
