#!/usr/bin/env python3
"""The host planner as a user runs it: its refusals and its figures.

    plan_tool.py PLANNER
"""

import os
import subprocess
import sys
import tempfile
import zlib

BLOCK = 0x10000


def plan(planner, data, *options):
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as image:
        if data is not None:
            image.write(data)
    path = image.name if data is not None else image.name + ".missing"
    try:
        result = subprocess.run([planner, *options, path], capture_output=True, text=True)
    finally:
        os.unlink(image.name)
    return result.returncode, result.stdout, result.stderr


def main():
    planner = sys.argv[1]
    problems = []

    def expect(what, condition):
        if not condition:
            problems.append(what)

    for name, data, reason in [("missing", None, "no such file"), ("empty", b"", "the image is empty"),
                               ("16 MiB + 1", b"\x00" * (256 * BLOCK + 1), "over 16 MiB")]:
        code, out, err = plan(planner, data)
        expect("%s image: exit %d, not 1" % (name, code), code == 1)
        expect("%s image: stderr %r" % (name, err), reason in err and "nothing to flash" in err)
        expect("%s image: stdout %r" % (name, out), out == "")

    # Block 0 data, block 1 blank, block 2 data, then a 4,096-byte tail.
    image = bytes(range(256)) * (BLOCK // 256) + b"\xff" * BLOCK + bytes(BLOCK) + b"\x01" * 4096
    code, out, err = plan(planner, image)
    crc = "%08X" % zlib.crc32(image)
    expect("plan exit %d" % code, code == 0)
    expect("size line in %r" % out, "size:    %d bytes" % len(image) in out)
    expect("crc line in %r" % out, "crc32:   %s (Morvane -c %s" % (crc, crc) in out)
    expect("blocks line in %r" % out, "blocks:  3 in all: 2 programmed and verified, 1 blank (erased only)" in out)
    expect("tail warning in %r" % out, "the last 4096 bytes (from offset 0x30000) are not flashed" in out)
    code, out, _ = plan(planner, image, "--crc")
    expect("--crc prints %r" % out, code == 0 and out == crc + "\n")
    code, out, _ = plan(planner, b"\x42" * (256 * BLOCK))
    expect("16 MiB: %r" % out, code == 0 and "256 in all" in out and "warning" not in out)

    for problem in problems:
        print("FAIL planner: " + problem)
    print("planner: %s" % ("%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
