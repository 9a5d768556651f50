#!/usr/bin/env python3
"""The stick builder's model rule as `make stick MODEL=...` applies it: what
the stick's script could misread is refused, and what it takes reaches
Morvane's command line unchanged; and a capsule whose payload would not
reach the EC whole never goes on a stick.

    stick_tool.py
"""

import os
import struct
import subprocess
import sys
import tempfile
import uuid

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import stick  # noqa: E402


def refused(model):
    try:
        stick.check_model(model)
    except SystemExit as refusal:
        return "cannot go on the stick" in str(refusal)
    return False


def capsule(payload):
    """A capsule laid out as make capsule's, for the parser alone: its
    signature block holds no real signature (nothing here verifies one)."""
    fmp, pkcs7 = (uuid.UUID(text).bytes_le for text in ("6dcbd5ed-e82d-4c44-bda1-7194199ad92a",
                                                         "4aafd29d-68df-49ee-8aa9-347d375665a7"))
    signature = b"\x30" + bytes(15)
    image = struct.pack("<QIHH", 7, 24 + len(signature), 0x0200, 0x0EF1) + pkcs7 + signature + \
        struct.pack("<4sIII", b"MSS1", 16, 0x200, 0x80) + payload
    item = struct.pack("<I16sB3xIIQQ", 3, uuid.uuid4().bytes_le, 1, len(image), 0, 0, 1) + image
    body = struct.pack("<IHHQ", 1, 0, 1, 16) + item
    return fmp + struct.pack("<III4x", 32, 0, 32 + len(body)) + body


def refused_stick(problems):
    work = tempfile.mkdtemp(prefix="stick-tool-")
    stick_img = os.path.join(ROOT, "build", "morvane-stick.img")
    before = os.stat(stick_img).st_mtime if os.path.exists(stick_img) else None
    for name, payload, reason in [("nested.cap", capsule(b"\x42" * 64), "a capsule inside a capsule"),
                                  ("cut.cap", b"\x42" * (0x10000 + 4096), "an EC image whose last block holds under 8 KiB")]:
        path = os.path.join(work, name)
        with open(path, "wb") as out:
            out.write(capsule(payload))
        result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "stick.sh"), path], capture_output=True, text=True,
                                env={k: v for k, v in os.environ.items() if k not in ("TRUST", "SIGN_KEY", "SIGN_CERT")})
        after = os.stat(stick_img).st_mtime if os.path.exists(stick_img) else None
        if result.returncode != 1 or ("not a capsule Morvane takes (%s" % reason) not in result.stderr or after != before:
            problems.append("make stick IMAGE=%s: exit %d, %r" % (name, result.returncode, result.stderr[-200:]))
        os.remove(path)
    os.rmdir(work)


def main():
    problems = []
    refused_stick(problems)
    for model in ["Morv 7", "Morv-7 (2026) Rev.B/2", "A+B, C: D; E_F"]:
        script = stick.startup_script("ec.bin", 1, "00000000", model=model).decode()
        if refused(model) or script.count(' -m "%s" ' % model) != 2:
            problems.append("%r does not reach Morvane as given" % model)
    for model in ["Morv #7", "100%", "a^b", 'say "x"', "[7]", "   ", "", "x" * 65, "caf\u00e9"]:
        if not refused(model):
            problems.append("%r is not refused" % model)
    # Without a shell Morvane reads MORVANE.CFG itself: any printable ASCII.
    for model in ["Morv #7", '100% "x" ^', " Morv 7 "]:
        settings = stick.settings_file("ec.bin", "00000000", model).decode()
        if ("\r\nmodel=%s\r\n" % model.strip()) not in settings:
            problems.append("%r does not reach MORVANE.CFG as given" % model)
    for model in ["   ", "", "x" * 65, "caf\u00e9", "a\tb"]:
        try:
            stick.check_boot_model(model)
            problems.append("%r is not refused for MORVANE.CFG" % model)
        except SystemExit:
            pass
    # A catalogue's stick grows in 64 MiB steps, 64 MiB kept free, up to 2 GiB.
    mib = 1024 * 1024
    for files, megabytes in [(0, 128), (61 * mib, 128), (62 * mib, 192), (200 * mib, 320),
                             (1944 * mib, 2048), (1945 * mib, None), (16 * 1024 * mib, None)]:
        try:
            got = stick.stick_megabytes(files)
        except SystemExit as refusal:
            got = None if "a stick holds at most 1944 MiB of them (2048 MiB in all" in str(refusal) else str(refusal)
        if got != megabytes:
            problems.append("a catalogue of %d bytes: a stick of %r MiB, not %r" % (files, got, megabytes))
    for problem in problems:
        print("FAIL stick model: %s" % problem)
    print("stick model and capsules: %d passed, %d failed" % (29 - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
