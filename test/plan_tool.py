#!/usr/bin/env python3
"""The host planner as a user runs it: its refusals and its figures, for
raw images and for capsules (what they say, and whether their signature
verifies against a trusted certificate as Morvane.efi checks it).

    plan_tool.py PLANNER
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

BLOCK = 0x10000
CUT = "an EC image whose last block holds under 8 KiB, which the flash would leave out"


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

    problems += capsules(planner)
    for problem in problems:
        print("FAIL planner: " + problem)
    print("planner: %s" % ("%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


def capsules(planner):
    """GenerateCapsule.py's capsules (test/capsule/make_capsules.sh): TestCert
    under TestSub under TestRoot, and another signer."""
    edk2 = subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup.sh")], capture_output=True,
                          text=True).stdout.strip().splitlines()[-1]
    work = tempfile.mkdtemp(prefix="plan-tool-")
    path = lambda name: os.path.join(work, name)  # noqa: E731
    problems = []
    try:
        subprocess.run(["bash", os.path.join(ROOT, "test", "capsule", "make_capsules.sh"), work, edk2], check=True,
                       capture_output=True)
        with open(path("good.cap"), "rb") as good, open(path("ec.bin"), "rb") as payload:
            capsule, image = good.read(), payload.read()
        with open(path("changed.cap"), "wb") as changed:
            changed.write(capsule[:-1] + bytes([capsule[-1] ^ 1]))
        # A capsule may be its headers and signature larger than 16 MiB, not
        # more: Morvane reads no more than that.
        with open(path("large.cap"), "wb") as large:
            large.write(capsule + bytes(256 * BLOCK + 0x10000 - len(capsule) + 1))
        # A file Morvane reads, whose payload is 32 KiB over 16 MiB (the
        # capsule's and the image item's sizes made to match).
        with open(path("big.cap"), "rb") as big, open(path("huge.cap"), "wb") as huge:
            data = bytearray(big.read() + bytes(0x8000))
            struct.pack_into("<I", data, 24, len(data))
            struct.pack_into("<I", data, 72, len(data) - 96)
            huge.write(data)

        def run(*args):
            result = subprocess.run([planner, *args], capture_output=True, text=True)
            return result.returncode, result.stdout, result.stderr

        code, out, _ = run(path("good.cap"))
        for line in ["size:    %d bytes" % len(capsule), "crc32:   %08X (Morvane -c" % zlib.crc32(capsule),
                     "guid:    {5e1ae1a3-4c1d-5b7e-9a8f-6b1d2c3e4f50}", "version: 0x00000200, lowest supported 0x00000080",
                     "signer:  TestCert", "payload: %d bytes, crc32 %08X" % (len(image), zlib.crc32(image)),
                     "blocks:  1 in all", "trust:   not checked"]:
            if code != 0 or line not in out:
                problems.append("good capsule, no TRUST: %r not in %r (exit %d)" % (line, out, code))
        for args, said in [(["--kind", path("good.cap")], "capsule\n"), (["--kind", path("ec.bin")], "raw\n"),
                           (["--crc", path("good.cap")], "%08X\n" % zlib.crc32(capsule))]:
            if run(*args)[1] != said:
                problems.append("%s does not print %r" % (" ".join(args[:1]), said))
        # As Morvane.efi decides: the signer's chain must reach TRUST, which may
        # be an intermediate; a raw image and a capsule the parser refuses are
        # refused whatever is trusted.
        for trust, name, verdict in [("root.cer", "good.cap", "verifies against TestRoot"),
                                     ("sub.cer", "good.cap", "verifies against TestSub"),
                                     ("root.cer", "changed.cap", "does not verify against TestRoot"),
                                     ("root.cer", "other.cap", "does not verify against TestRoot"),
                                     ("other.cer", "good.cap", "does not verify against Another signer"),
                                     ("root.cer", "ec.bin", "not a signed capsule: a Morvane built with TRUST (TestRoot)"
                                                            " would refuse it"),
                                     (None, "unsigned.cap", "not a capsule Morvane takes (not signed)"),
                                     (None, "large.cap", "the capsule is over 16 MiB"),
                                     (None, "huge.cap", "the capsule's image is over 16 MiB"),
                                     (None, "nested.cap", "not a capsule Morvane takes (a capsule inside a capsule)"),
                                     (None, "cut.cap", "not a capsule Morvane takes (%s)" % CUT)]:
            code, out, err = run(*(["--trust", path(trust)] if trust else []), path(name))
            good = verdict.startswith("verifies")
            if code != (0 if good else 1) or verdict not in (out if good else err) or \
                    (not good and not err.endswith("; nothing to flash.\n")):
                problems.append("%s against %s: exit %d, %r %r" % (name, trust, code, out[-120:], err))
        # Through plan.sh, TRUST is a PEM file checked by scripts/trust.py.
        pem = os.path.join(edk2, "BaseTools", "Source", "Python", "Pkcs7Sign")
        for trust, said in [("TestRoot.pub.pem", "trust:   verifies against TestRoot"),
                            ("TestCert.pem", "holds a private key")]:
            result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "plan.sh"), path("good.cap")],
                                    env=dict(os.environ, TRUST=os.path.join(pem, trust)), capture_output=True, text=True)
            if said not in result.stdout + result.stderr or (result.returncode == 0) != said.startswith("trust"):
                problems.append("plan.sh with TRUST=%s: %r" % (trust, result.stdout[-200:] + result.stderr))
        # What make capsule is about to wrap: an image no capsule may carry is
        # refused with the parser's reason; a raw one is planned as it is.
        for name, refusal in [("good.cap", "a capsule inside a capsule"), ("cut.bin", CUT), ("ec.bin", None)]:
            code, out, err = run("--payload", path(name))
            said = "no capsule may carry it (%s); nothing to flash.\n" % refusal
            if (code, out == "", err.endswith(said)) != ((1, True, True) if refusal else (0, False, False)):
                problems.append("--payload %s: exit %d, %r %r" % (name, code, out[-80:], err))
        if re.search(r"[^\x20-\x7e\n]", run(path("good.cap"))[1]):
            problems.append("the plan is not printable ASCII")
        problems += catalogs(run, path, edk2)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return problems


def catalogs(run, path, edk2):
    """make plan CATALOG=: a folder of capsules checked one by one, each
    refusal naming its file, and the table of what is offered."""
    problems = []
    # The machine's HardwareID-9 (Maker&Model), and the -7 of the maker and an
    # empty SKU, which every model of the maker without a SKU has.
    for folder, guid in (("machine", "c0fed3b1-a4ed-5a8d-8886-126db8ae6423"),
                         ("nosku", "e41fa4b2-4503-568b-a372-d7a7307d7ee3")):
        subprocess.run(["bash", os.path.join(ROOT, "test", "capsule", "make_capsules.sh"), path(folder), edk2, guid],
                       check=True, capture_output=True)
    maker = "[HwIds]\nManufacturer=Maker\nProductName=Model\n"
    cases = [  # files (name: capsule, or text), TRUST, what it says (table row or refusal)
        ({"good.cap": "good.cap"}, "root.cer", "5e1ae1a3-4c1d-5b7e-9a8f-6b1d2c3e4f50  -  "),
        ({"m.cap": "machine/good.cap", "m.fields": maker, "rollout.cfg": "phase m.cap 20\n"}, None,
         "c0fed3b1-a4ed-5a8d-8886-126db8ae6423  Maker Model"),
        ({"a.cap": "good.cap", "b.cap": "good.cap"}, None, "note:    b.cap is a copy of a.cap"),
        ({"good.cap": "good.cap", "other.cap": "other.cap"}, None,
         "good.cap and other.cap: two different capsules for hardware ID 5e1ae1a3-4c1d-5b7e-9a8f-6b1d2c3e4f50"),
        ({"good.cap": "good.cap", "other.cap": "other.cap"}, "root.cer",
         "other.cap: the signature does not verify against TestRoot (TRUST)"),
        ({"unsigned.cap": "unsigned.cap"}, None, "unsigned.cap: not a capsule Morvane takes (not signed)"),
        ({"good.cap": "good.cap", "notes.txt": "x"}, None, "notes.txt: neither a capsule"),
        ({"good.cap": "good.cap", "good.fields": maker}, None,
         "good.cap: its hardware ID 5e1ae1a3-4c1d-5b7e-9a8f-6b1d2c3e4f50 is none of the hardware IDs of good.fields"),
        # What the machine takes as naming one model, and nothing else.
        ({"m.cap": "machine/good.cap", "m.fields": maker + "Family=Model\n"}, None,
         "m.cap: its hardware ID is HardwareID-11 of m.fields, which names a family or a maker, not one model"),
        ({"m.cap": "nosku/good.cap", "m.fields": maker + "ProductSku=\n"}, None,
         "m.cap: its hardware ID is HardwareID-7 of m.fields, which does not name one model: the product name or SKU "
         "it is made of is blank"),
        ({"m.cap": "machine/good.cap", "m.fields": maker + "ProductName=Other\n"}, None,
         "m.fields: line 4 gives ProductName again"),
        ({"good.cap": "good.cap", "rollout.cfg": "hold ec.cap\n"}, None,
         "rollout.cfg line 1: no capsule in the catalogue is named ec.cap"),
    ]
    for at, (files, trust, said) in enumerate(cases):
        folder, stage = path("catalog%d" % at), path("stage%d" % at)
        os.mkdir(folder)
        for name, what in files.items():
            if name.endswith(".cap"):
                shutil.copyfile(path(what), os.path.join(folder, name))
            else:
                open(os.path.join(folder, name), "w").write(what)
        code, out, err = run(*(["--trust", path(trust)] if trust else []), "--catalog", folder, "--out", stage)
        taken = "refused" not in err and code == 0
        if said not in (out if taken else err) or (not taken and not err.endswith("; the catalogue is refused.\n")):
            problems.append("catalogue %s: exit %d, %r %r" % (sorted(files), code, out[-300:], err))
    with open(path("stage1/CATALOG.TXT")) as index, open(path("machine/good.cap"), "rb") as capsule:
        data = capsule.read()
        wanted = "m.cap c0fed3b1-a4ed-5a8d-8886-126db8ae6423 0x00000200 0x00000080 %d %08X 20\n" % (
            len(data), zlib.crc32(data))
        if not index.read().endswith("morvane-catalog 1\n" + wanted):
            problems.append("CATALOG.TXT does not end with %r" % wanted)
    if sorted(os.listdir(path("stage2"))) != ["CATALOG.TXT", "a.cap"]:
        problems.append("a copy's stage holds %r" % sorted(os.listdir(path("stage2"))))
    return problems


if __name__ == "__main__":
    sys.exit(main())
