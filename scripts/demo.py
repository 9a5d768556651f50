#!/usr/bin/env python3
"""The demo: Morvane flashes a sample image onto the simulated EC in OVMF's
UEFI Shell under QEMU, with the progress screen drawn live in this terminal.
Afterwards the simulated flash is checked against the image, and a picture of
the final screen is saved.

    demo.py BUILD_DIR PICTURE.png
"""

import os
import random
import subprocess
import sys
import tempfile

import qemu
import simrecord as record

SCRIPT = "\r\n".join([
    "@echo -off",
    "fs0:",
    "load EcSimDxe.efi",
    "EcSimCtl.efi reset",
    "Morvane.efi sample.bin",
    "EcSimCtl.efi dump demo.fl demo.rec",
    'echo "=== END %lasterror% ==="',
    "reset -s",
]) + "\r\n"
FINISHED = b"Morvane finished, remove power and reboot.\r\n"


def sample_image():
    """Five blocks: random data, a blank third block, and a short tail."""
    generator = random.Random(7)
    image = bytearray(generator.getrandbits(8) for _ in range(4 * record.BLOCK + 20000))
    image[2 * record.BLOCK:3 * record.BLOCK] = b"\xff" * record.BLOCK
    return bytes(image)


class Shooter:
    """Takes the screen's picture as soon as the finishing message is out."""

    def __init__(self, ppm):
        self.ppm = ppm
        self.taken = False

    def __call__(self, boot):
        if not self.taken and FINISHED in boot.serial:
            boot.monitor("screendump " + self.ppm)
            self.taken = True


def main():
    build, picture = sys.argv[1], sys.argv[2]
    image = sample_image()
    work = tempfile.mkdtemp(prefix="morvane-demo-")
    files = {name: os.path.join(build, name) for name in ("EcSimDxe.efi", "EcSimCtl.efi", "Morvane.efi")}
    files["sample.bin"] = image
    files["startup.nsh"] = SCRIPT.encode()
    disk = qemu.make_disk(work, files)
    shooter = Shooter(os.path.join(work, "screen.ppm"))
    boot = qemu.Boot(work, disk, 180, live=True, on_output=shooter)
    serial = boot.run()

    print("\n")
    status = serial.split("=== END ", 1)[1].split(" ", 1)[0] if "=== END " in serial else "none"
    flash = qemu.read_from_disk(disk, "demo.fl") or b""
    size = len(flash)
    image_blocks = len(record.flashed_blocks(image))
    same = size >= image_blocks * record.BLOCK and flash == record.expected_flash(image, size)
    if shooter.taken and os.path.exists(shooter.ppm):
        with open(picture, "wb") as out:
            subprocess.run(["pnmtopng", shooter.ppm], stdout=out, stderr=subprocess.DEVNULL, check=True)
        print("demo: picture of the final screen: %s" % picture)
    print("demo: Morvane exit status %s; sample image %d bytes, %d blocks (block 2 blank)" % (
        status, len(image), image_blocks))
    if same and status == "0x0":
        print("demo: VERDICT: the simulated EC flash equals the image, byte for byte.")
        return 0
    print("demo: VERDICT: the simulated EC flash does NOT equal the image.")
    return 1


if __name__ == "__main__":
    sys.exit(main())
