"""Boots OVMF's UEFI Shell in QEMU on a FAT disk and captures the serial console.

The disk is made with mtools; startup.nsh on it drives the run. The boot has a
hard time limit; the startup.nsh countdown is skipped by a key on the serial
line.
"""

import os
import select
import shutil
import socket
import subprocess
import sys
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
DISK_MB = 64
COUNTDOWN = b"startup.nsh"


def make_disk(folder, files):
    """Creates folder/disk.img (FAT) holding files: {name on disk: host path or bytes}."""
    disk = os.path.join(folder, "disk.img")
    with open(disk, "wb") as out:
        out.truncate(DISK_MB * 1024 * 1024)
    subprocess.run(["mformat", "-i", disk, "-F", "::"], check=True, capture_output=True)
    staging = os.path.join(folder, "staging")
    os.makedirs(staging, exist_ok=True)
    for name, content in files.items():
        path = os.path.join(staging, name)
        if isinstance(content, (bytes, bytearray)):
            with open(path, "wb") as out:
                out.write(content)
        else:
            shutil.copyfile(content, path)
        subprocess.run(["mcopy", "-i", disk, path, "::" + name], check=True, capture_output=True)
    return disk


def make_folder_on_disk(disk, name):
    subprocess.run(["mmd", "-i", disk, "::" + name], check=True, capture_output=True)


def read_from_disk(disk, name):
    """Returns the bytes of a file on the FAT disk (a partition: "disk@@offset"),
    or None when it is not there."""
    result = subprocess.run(["mtype", "-i", disk, "::" + name], capture_output=True)
    return result.stdout if result.returncode == 0 else None


class Boot:
    """One QEMU run. Marks seen on the serial line get the time they arrived."""

    def __init__(self, folder, disk, limit_s, live=False, on_output=None, extra=(), drives=None,
                 keep_vars=False, memory_mib=256):
        """keep_vars: start from the variable store the folder holds, if any (the
        machine as its last boot left it) instead of a fresh copy."""
        self.folder = folder
        self.keep_vars = keep_vars
        self.memory_mib = memory_mib
        self.extra = list(extra)
        self.drives = drives if drives is not None else ["-drive", "format=raw,file=" + disk]
        self.stop = False
        self.process = None
        self.disk = disk
        self.limit_s = limit_s
        self.live = live
        self.on_output = on_output
        self.serial = bytearray()
        self.timed_out = False
        self.monitor_path = os.path.join(folder, "monitor.sock")

    def command(self):
        vars_copy = os.path.join(self.folder, "vars.fd")
        if not (self.keep_vars and os.path.exists(vars_copy)):
            shutil.copyfile(OVMF_VARS, vars_copy)
        return ["qemu-system-x86_64", "-machine", "q35", "-m", str(self.memory_mib), "-nographic",
                "-no-reboot", "-net", "none",
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF_CODE,
                "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy] + self.drives + [
                "-monitor", "unix:%s,server,nowait" % self.monitor_path] + self.extra

    def monitor(self, line):
        """Sends one command to the QEMU monitor and waits for its prompt."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.connect(self.monitor_path)
            sock.settimeout(10)
            buffer = b""
            while b"(qemu)" not in buffer:
                buffer += sock.recv(4096)
            sock.sendall(line.encode() + b"\n")
            buffer = b""
            while buffer.count(b"(qemu)") < 1:
                buffer += sock.recv(4096)

    def send(self, data):
        """Types data on the serial console."""
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def run(self):
        process = subprocess.Popen(self.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        self.process = process
        deadline = time.monotonic() + self.limit_s
        skipped = False
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    self.timed_out = True
                    break
                ready, _, _ = select.select([process.stdout], [], [], min(left, 0.5))
                if not ready:
                    if process.poll() is not None:
                        break
                    continue
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                self.serial += chunk
                if self.live:
                    sys.stdout.buffer.write(chunk)
                    sys.stdout.flush()
                if not skipped and COUNTDOWN in self.serial:
                    process.stdin.write(b" ")
                    process.stdin.flush()
                    skipped = True
                if self.on_output:
                    self.on_output(self)
                if self.stop:
                    break
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
        return self.serial.decode("latin-1")
