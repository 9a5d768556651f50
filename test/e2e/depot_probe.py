#!/usr/bin/env python3
"""The depot layer on real firmware: DepotProbe.efi in OVMF under QEMU with a
virtio-net card on QEMU's user network, against the project's nginx depot
(scripts/depot-server.sh) on the host's 127.0.0.1, which the guest reaches
as 10.0.2.2.

    depot_probe.py BUILD_DIR [--keep DIR]

Three boots: with the server (1 MiB and 16 MiB round trips, a missing
file, a PUT where PUT is refused), with nothing listening, and with no
network card. Prints the probe's lines and one verdict per boot; exits
non-zero when any boot's lines are not what they should be. Each boot and
the server are bounded in time; the server is stopped by its own PID. Firmware's Print has no name for
EFI_HTTP_ERROR: it shows as 00000023.
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import qemu  # noqa: E402

BOOT_LIMIT_S = 300
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "depot-server.sh")
NIC = ["-netdev", "user,id=n0,ipv6=off", "-device", "virtio-net-pci,netdev=n0,romfile=",
       "-fw_cfg", "name=opt/org.tianocore/IPv4PXESupport,string=n",
       "-fw_cfg", "name=opt/org.tianocore/IPv6PXESupport,string=n"]


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def boot(build, folder, port, nic):
    """Boots the shell from the disk, runs the probe, returns its lines."""
    os.makedirs(folder, exist_ok=True)
    script = ("@echo -off\r\nfs0:\r\nDepotProbe.efi http://10.0.2.2:%d/results/ http://10.0.2.2:%d/\r\n"
              "reset -s\r\n" % (port, port)).encode()
    disk = qemu.make_disk(folder, {"DepotProbe.efi": os.path.join(build, "DepotProbe.efi"),
                                   "startup.nsh": script})
    qemu.make_folder_on_disk(disk, "EFI")
    qemu.make_folder_on_disk(disk, "EFI/BOOT")
    subprocess.run(["mcopy", "-i", disk, os.path.join(build, "Shell.efi"), "::EFI/BOOT/BOOTX64.EFI"],
                   check=True, capture_output=True)
    machine = qemu.Boot(folder, disk, BOOT_LIMIT_S, extra=NIC if nic else [])
    started = time.monotonic()
    serial = machine.run()
    with open(os.path.join(folder, "serial.log"), "w") as out:
        out.write(serial)
    lines = [re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", line).strip()
             for line in serial.splitlines() if "depotprobe:" in line]
    lines = [line[line.index("depotprobe:"):] for line in lines]
    return lines, time.monotonic() - started, machine.timed_out


def check(name, lines, seconds, timed_out, expected):
    text = "\n".join(lines)
    missing = [pattern for pattern in expected if not re.search(pattern, text)]
    for line in lines:
        print("  " + line)
    verdict = "ok" if not missing and not timed_out else "FAILED"
    print("%s: %s (boot %.0f s)%s" % (name, verdict, seconds,
                                      "".join("\n  missing: " + pattern for pattern in missing) +
                                      ("\n  the boot hit its time limit" if timed_out else "")))
    return verdict == "ok"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--keep")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="depot-probe-")
    # Started as root, nginx's workers run as www-data.
    os.chmod(work, 0o755)
    served = os.path.join(work, "served")
    os.makedirs(served, exist_ok=True)
    ok = True

    port = free_port()
    pid = subprocess.run(["bash", SERVER, "start", served, str(port)], check=True,
                         capture_output=True, text=True).stdout.strip()
    try:
        lines, seconds, timed_out = boot(build, os.path.join(work, "server"), port, True)
    finally:
        subprocess.run(["bash", SERVER, "stop", pid], check=False)
    ok &= check("with the server", lines, seconds, timed_out, [
        r"connect status=Success ms=\d+ mac=[0-9A-F]{12}",
        r"put 20261207/PROBE-000000000000-20261207-000001.bin size=1048576 status=Success",
        r"get 20261207/PROBE-000000000000-20261207-000001.bin size=1048576 status=Success ms=\d+ equal=yes",
        r"put 20261207/PROBE-000000000000-20261207-000002.bin size=16777216 status=Success",
        r"get 20261207/PROBE-000000000000-20261207-000002.bin size=16777216 status=Success ms=\d+ equal=yes",
        r"missing status=(HTTP Error|00000023)",
        r"alien status=(HTTP Error|00000023)",
        r"closed mac=none",
        r"done status=Success"])
    # Names of the form machines make: the depot takes no other.
    for name in ("20261207/PROBE-000000000000-20261207-000001.bin", "20261207/PROBE-000000000000-20261207-000002.bin"):
        stored = os.path.join(served, "results", name)
        if not os.path.exists(stored):
            print("  the server holds no results/%s" % name)
            ok = False
    if os.path.exists(os.path.join(served, "probe-alien.bin")):
        print("  the server took a PUT outside results/")
        ok = False

    lines, seconds, timed_out = boot(build, os.path.join(work, "no-server"), free_port(), True)
    ok &= check("with nothing listening", lines, seconds, timed_out, [
        r"connect status=Success", r"put 20261207/PROBE-000000000000-20261207-000001.bin size=1048576 status=(?!Success)", r"done status=(?!Success)"])

    lines, seconds, timed_out = boot(build, os.path.join(work, "no-nic"), free_port(), False)
    ok &= check("with no network card", lines, seconds, timed_out, [r"connect status=Not Found ms=\d+ mac=none"])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
