#!/usr/bin/env python3
"""The OS path of an EC update: a Debian guest (test/e2e/guest, built once
and cached) under OVMF with the EC update driver, the test capsule service
and the ESRT driver as one PCI option ROM and the simulated EC as another
(its settings, ECSIM.CFG, and the flash it dumps, SIM.FL, on the data
disk), updated by Debian's fwupd as a machine in the field would be.

    fwupd_e2e.py BUILD_DIR [--keep DIR]

BUILD_DIR must hold EcSimDxe.efi (scripts/build.sh).

The machine is a model of a mixed fleet (its SMBIOS names it; the driver
is built for that model's HardwareID-9), and a depot on the host, made as
an operator makes it (scripts/depot.sh, CATALOG= a folder of three
capsules: two for the model, one for another), is its fwupd remote, with a
second depot of the same catalogue whose cabinet differs from the metadata.

Five boots of one machine (disk and firmware variables kept):
  1. Linux: the ESRT lists the EC; fwupd shows it updatable at version 0;
     the remote's .conf and certificate come from the depot over the
     network; fwupd takes the signed metadata, refuses the other depot's
     cabinet (checksum) and stages the model's newest capsule (version 512)
     and its EFI program (BootNext);
  2. firmware: fwupd's EFI program hands the capsule to UpdateCapsule, the
     EC device's SetImage flashes the simulated EC with it, the machine
     resets; the EC's flash equals the payload;
  3. Linux: the ESRT shows 512 with last attempt 0, fwupd's history says
     success, fwupd's report reaches the depot, whose page (headless
     chromium) shows the machine at 512, route OS; a capsule with one payload byte changed (version 768) is
     staged;
  4. firmware: FmpDxe refuses it (signature); nothing reaches the EC;
  5. Linux: the version is still 512, the last attempt 0x1012, and fwupd's
     history says failed.
Prints the figures (guest build, each boot, the whole flow) and a short
transcript; exits non-zero when a check fails. Each boot has a generous
time limit as a hang guard; no figure is asserted.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "page"))

import capsules  # noqa: E402
import qemu
from capsule_probe import fwupd_ids
from depot_probe import free_port
import simrecord as record
from side_by_side import suite_folders

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST = os.path.join(HERE, "guest")
BOOT_LIMIT_S = 900
PAYLOAD_SIZE = 128 * 1024
GOOD, CHANGED = 512, 768
OLD_BLOCKS = 3
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
MANUFACTURER, PRODUCT = "Morvane Test", "Fleet OS 14"
SMBIOS = ["-smbios", "type=1,manufacturer=%s,product=%s" % (MANUFACTURER, PRODUCT)]
# A network card OVMF has no driver for (no network boot to wait out) and
# Linux has.
NETWORK = ["-netdev", "user,id=n0,ipv6=off", "-device", "e1000,netdev=n0,romfile="]
OTHER_MODEL = "6d1f2a3b-4c5d-5e6f-8a9b-0c1d2e3f4a5b"


class Machine:
    def __init__(self, folder, image, rom, ecsim_rom):
        self.folder = folder
        self.ecsim_rom = ecsim_rom
        self.disk = os.path.join(folder, "disk.img")
        subprocess.run(["cp", "--sparse=always", image, self.disk], check=True)
        self.data = os.path.join(folder, "data.img")
        self.rom = rom
        self.boots = []

    def make_data(self, files):
        """Puts files on the data disk (FAT, label MVDATA), made at first use."""
        if not os.path.exists(self.data):
            with open(self.data, "wb") as out:
                out.truncate(16 * 1024 * 1024)
            subprocess.run(["mformat", "-i", self.data, "-v", "MVDATA", "::"], check=True, capture_output=True)
        for name, content in files.items():
            path = os.path.join(self.folder, "data-" + name)
            if isinstance(content, (bytes, bytearray)):
                with open(path, "wb") as out:
                    out.write(content)
            else:
                shutil.copyfile(content, path)
            subprocess.run(["mcopy", "-o", "-i", self.data, path, "::" + name], check=True, capture_output=True)

    def boot(self, name, step=None):
        """One boot; step is the guest's STEP (None: the firmware's own boot)."""
        if step:
            self.make_data({"STEP": step.encode()})
        drives = ["-drive", "if=none,id=sys,format=raw,file=" + self.disk, "-device", "ide-hd,drive=sys,bus=ide.0",
                  "-drive", "if=none,id=data,format=raw,file=" + self.data, "-device", "ide-hd,drive=data,bus=ide.1",
                  "-device", "pci-testdev,romfile=" + self.rom, "-device", "pci-testdev,romfile=" + self.ecsim_rom
                  ] + SMBIOS + NETWORK
        # The guest's disk and variable store live on across boots.
        run = qemu.Boot(self.folder, None, BOOT_LIMIT_S, drives=drives, keep_vars=True, memory_mib=1024)
        started = time.monotonic()
        # fwupd writes UTF-8 (its tree's box characters); the console was read as bytes.
        serial = ANSI.sub("", run.run().encode("latin-1").decode("utf-8", "replace")).replace("\r", "")
        seconds = time.monotonic() - started
        with open(os.path.join(self.folder, "serial-%d-%s.log" % (len(self.boots) + 1, name)), "w",
                  encoding="utf-8") as log:
            log.write(serial)
        self.boots.append((name, seconds))
        return serial, run.timed_out

    def forget_ec_dump(self):
        """Deletes the simulated EC's last dump from the data disk."""
        for name in ("SIM.FL", "SIM.REC"):
            subprocess.run(["mdel", "-i", self.data, "::" + name], capture_output=True)

    def ec_flash(self):
        """The flash the simulated EC dumped when it last left flash mode, or None."""
        return qemu.read_from_disk(self.data, "SIM.FL")


def marks(serial):
    """The guest's 'MVG: key=value' lines as a dict (last one wins) and its
    sections ('MVG: [name]' ... 'MVG: [/] rc=N') as name: (text, rc)."""
    values, blocks, current = {}, {}, None
    for line in serial.splitlines():
        at = line.find("MVG: ")
        if at < 0:
            if current:
                blocks[current][0].append(line)
            continue
        text = line[at + 5:]
        opened = re.match(r"\[([\w-]+)\]$", text)
        closed = re.match(r"\[/\] rc=(\d+)", text)
        if opened:
            current = opened.group(1)
            blocks[current] = ([], None)
        elif closed and current:
            blocks[current] = (blocks[current][0], int(closed.group(1)))
            current = None
        elif "=" in text:
            key, _, value = text.partition("=")
            values[key.strip()] = value.strip()
    return values, {name: ("\n".join(lines), rc) for name, (lines, rc) in blocks.items()}


def expect(problems, what, seen, wanted):
    if seen != wanted:
        problems.append("%s: %r, expected %r" % (what, seen, wanted))


PROGRESS = re.compile(r"^\w[\w ]*\u2026: \d+%$")


def device_block(text):
    """fwupd's lines about the EC (its 'UEFI Device Firmware' entry and
    what follows it), without progress lines."""
    lines = [line for line in text.splitlines() if not PROGRESS.match(line.strip())]
    for index, line in enumerate(lines):
        if "UEFI Device Firmware" in line:
            block = lines[index:index + 24]
            while block and not block[-1].strip():
                block.pop()
            return "\n".join(block)
    return ""


def history_says(text, state, version):
    """Whether fwupd's history of the EC says state for an update to version."""
    block = device_block(text)
    return re.search(r"Update State:\s+%s\b" % state, block) is not None and \
        re.search(r"New version:\s+%d\b" % version, block) is not None


def linux_checks(problems, label, serial, timed_out, version, attempt_status, hwid):
    if timed_out:
        problems.append(label + ": boot time limit reached")
    values, blocks = marks(serial)
    if "MVG: done" not in serial:
        problems.append(label + ": the guest's steps did not finish")
    expect(problems, label + ": ESRT firmware class", values.get("esrt fw_class", "").lower(), hwid)
    expect(problems, label + ": ESRT version", values.get("esrt fw_version"), str(version))
    expect(problems, label + ": ESRT last attempt status", values.get("esrt last_attempt_status"), str(attempt_status))
    return values, blocks


def firmware_checks(problems, label, serial, timed_out):
    if timed_out:
        problems.append(label + ": boot time limit reached")
    if "MVG: up" in serial:
        problems.append(label + ": Linux started instead of fwupd's EFI program")


def staged_checks(problems, label, values, blocks):
    for name in ("build-cabinet", "install"):
        if blocks.get(name, ("", None))[1] != 0:
            problems.append("%s: %s failed (rc %s)" % (label, name, blocks.get(name, ("", None))[1]))
    if not values.get("bootnext"):
        problems.append(label + ": no BootNext after install")


def model_hwid(folder):
    """fwupd's HardwareID-9 (manufacturer and product name) of the guest's model."""
    os.makedirs(os.path.join(folder, "none"), exist_ok=True)
    fields = os.path.join(folder, "model.ini")
    with open(fields, "w") as out:
        out.write("[HwIds]\nManufacturer=%s\nProductName=%s\n" % (MANUFACTURER, PRODUCT))
    return fwupd_ids(folder, fields)[9]


class Depot:
    """A depot on the host as an operator makes it (scripts/depot.sh with
    CATALOG=, the catalogue folder): the index, the capsules, the fwupd
    remote (scripts/remote.py) and the page, served by the depot's nginx on
    127.0.0.1, which the guest reaches as 10.0.2.2 (REMOTE_ADDRESS)."""

    def __init__(self, folder, catalog, efi):
        self.folder = folder
        self.port = free_port()
        shutil.rmtree(folder, ignore_errors=True)
        os.chmod(os.path.dirname(folder), 0o755)
        self.env = dict(os.environ, CATALOG=catalog, DEPOT_DIR=folder, ADDRESS="127.0.0.1:%d" % self.port,
                        REMOTE_ADDRESS="10.0.2.2:%d" % self.port, MORVANE_EFI=efi)
        self.pid = None

    def start(self):
        started = subprocess.run(["bash", os.path.join(capsules.ROOT, "scripts", "depot.sh"), "--start"],
                                 env=self.env, capture_output=True, text=True)
        if started.returncode != 0:
            raise RuntimeError("depot.sh CATALOG=%s refused:\n%s" % (self.env["CATALOG"], started.stderr[-1500:]))
        self.pid = started.stdout.strip().splitlines()[-1]
        return started.stdout

    def stop(self):
        if self.pid:
            subprocess.run(["bash", os.path.join(capsules.ROOT, "scripts", "depot-server.sh"), "stop", self.pid])
            self.pid = None

    def reports(self):
        folder = os.path.join(self.folder, "results", "os")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def catalogue(folder, entries, fields):
    """The operator's catalogue folder: each capsule, and the SMBIOS fields
    of the guest's model beside its capsules (the catalogue checks their
    hardware ID against them)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data, own_model in entries:
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
        if own_model:
            shutil.copyfile(fields, os.path.join(folder, name[:-len(".cap")] + ".fields"))
    return folder


def page_rows(work, depot):
    """The page's OS rows, as headless chromium shows them."""
    from browser import Browser
    with Browser(work) as browser:
        browser.open("http://127.0.0.1:%d/" % depot.port)
        browser.wait("document.querySelectorAll('#os-updates tbody tr').length > 0", timeout=30)
        return json.loads(browser.evaluate("JSON.stringify([...document.querySelectorAll('#os-updates tbody tr')]"
                                           ".map(r => [...r.cells].map(c => c.textContent)))"))


def main():
    build, work = suite_folders("fwupd")
    folder = os.path.join(work, "machine")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    hwid = model_hwid(folder)
    started = time.monotonic()
    # The model's own driver: its image type is the model's hardware ID.
    capsules.build_driver("test", hwid, os.path.join(work, "fmp"))
    driver_s = time.monotonic() - started
    started = time.monotonic()
    result = subprocess.run(["bash", os.path.join(GUEST, "build_guest.sh")], capture_output=True, text=True)
    guest_s = time.monotonic() - started
    if result.returncode != 0:
        print("FAIL fwupd: the guest could not be built\n" + result.stderr[-3000:])
        return 1
    image = result.stdout.strip().splitlines()[-1]
    guest_note = " ".join(line for line in result.stderr.splitlines() if line.startswith("guest: built")) or "cached"

    ecsim = os.path.join(build, "EcSimDxe.efi")
    for built in (ecsim, os.path.join(build, "Morvane.efi")):
        if not os.path.exists(built):
            print("FAIL fwupd: %s is not built (bash scripts/build.sh)" % built)
            return 1
    ecsim_rom = os.path.join(folder, "ecsim.rom")
    subprocess.run([os.path.join(capsules.EDK2, "BaseTools", "Source", "C", "bin", "EfiRom"), "-f", "0x1b36",
                    "-i", "0x0005", "-e", ecsim, "-o", ecsim_rom], check=True, capture_output=True)
    machine = Machine(folder, image, os.path.join(work, "fmp", "fmp-test", "fmp-test.rom"), ecsim_rom)
    payload = os.urandom(PAYLOAD_SIZE)
    good = capsules.generate(payload, os.path.join(folder, "good.cap"), GOOD, 0, folder, hwid)
    older = capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(folder, "older.cap"), GOOD // 2, 0, folder, hwid)
    other = capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(folder, "other.cap"), CHANGED, 0, folder,
                              OTHER_MODEL)
    changed = capsules.changed(capsules.generate(os.urandom(PAYLOAD_SIZE), os.path.join(folder, "next.cap"), CHANGED,
                                                 0, folder, hwid), PAYLOAD_SIZE)
    catalog = catalogue(os.path.join(work, "catalog"), [("ec-os14-0100.cap", older, True),
                                                         ("ec-os14-0200.cap", good, True),
                                                         ("ec-other-0300.cap", other, False)],
                        os.path.join(folder, "model.ini"))
    efi = os.path.join(build, "Morvane.efi")
    depot = Depot(os.path.join(work, "depot"), catalog, efi)
    # A depot of the same catalogue whose newest cabinet is another one:
    # the metadata verifies, the cabinet's checksum does not match it.
    refusing = Depot(os.path.join(work, "refusing"), catalog, efi)
    machine.make_data({"run.sh": os.path.join(GUEST, "run.sh"),
                       "firmware.metainfo.xml": os.path.join(GUEST, "firmware.metainfo.xml"),
                       "changed.cap": changed, "GUID": hwid.encode(),
                       "DEPOT": b"%d %d" % (depot.port, refusing.port),
                       "GOOD": str(GOOD).encode(), "CHANGED": str(CHANGED).encode(), "STEP": b"update",
                       "ECSIM.CFG": b"old=%d\r\n" % OLD_BLOCKS})

    problems = []
    started = time.monotonic()
    try:
        try:
            said = depot.start()
            refusing.start()
        except RuntimeError as refusal:
            print("FAIL fwupd: %s" % refusal)
            return 1
        if "remote: 3 capsules for 2 models published for fwupd" not in said:
            problems.append("depot.sh did not publish the catalogue for fwupd:\n" + said[-800:])
        shutil.copyfile(os.path.join(refusing.folder, "fwupd", "ec-os14-0100.cap.cab"),
                        os.path.join(refusing.folder, "fwupd", "ec-os14-0200.cap.cab"))
        depots_s = time.monotonic() - started
        flow = time.monotonic()
        serial, timed_out = machine.boot("linux-update", "update")
        values, first = linux_checks(problems, "boot 1", serial, timed_out, 0, 0, hwid)
        devices = device_block(first.get("get-devices", ("", None))[0])
        if hwid not in devices.lower() or "Updatable" not in devices or \
                not re.search(r"Current version:\s+0\b", devices):
            problems.append("boot 1: fwupd does not show the EC updatable at version 0")
        for name, rc in (("refresh", 0), ("update", 0)):
            if first.get(name, ("", None))[1] != rc:
                problems.append("boot 1: fwupdmgr %s: rc %s\n%s" % (name, first.get(name, ("", None))[1],
                                                                    first.get(name, ("", ""))[0][-600:]))
        for name in ("morvane-depot.conf", "morvane-depot.pem"):
            size = os.path.getsize(os.path.join(depot.folder, "fwupd", name))
            if "MVG: fetched /fwupd/%s (%d bytes)" % (name, size) not in serial:
                problems.append("boot 1: the guest did not fetch the depot's %s (%d bytes)" % (name, size))
        refused = first.get("update-changed-cabinet", ("", None))
        if refused[1] in (0, None) or "checksum" not in refused[0].lower():
            problems.append("boot 1: the cabinet that differs from the metadata was not refused:\n" + refused[0][-600:])
        if not values.get("bootnext"):
            problems.append("boot 1: no BootNext after the update")
        transcript = [("boot 1: fwupdmgr update with the other depot's cabinet", refused[0]),
                      ("boot 1: fwupdmgr update", first.get("update", ("", None))[0])]

        serial, timed_out = machine.boot("firmware-update")
        firmware_checks(problems, "boot 2", serial, timed_out)
        size = max(PAYLOAD_SIZE, OLD_BLOCKS * record.BLOCK)
        flash = (machine.ec_flash() or b"") + b"\xff" * size
        if flash[:size] != record.expected_flash(payload, size, OLD_BLOCKS):
            problems.append("boot 2: the simulated EC's flash is not the newest capsule's payload")

        serial, timed_out = machine.boot("linux-updated", "updated")
        values, third = linux_checks(problems, "boot 3", serial, timed_out, GOOD, 0, hwid)
        history = third.get("get-history", ("", None))[0]
        if not history_says(history, "Success", GOOD):
            problems.append("boot 3: fwupd's history does not say success for %d" % GOOD)
        staged_checks(problems, "boot 3", values, third)
        reports = depot.reports()
        if len(reports) != 1:
            problems.append("boot 3: the depot holds %d reports, expected 1 (report-history: %s)"
                            % (len(reports), third.get("report-history", ("", None))[0][-400:]))
        else:
            rows = page_rows(work, depot)
            if not rows or rows[0][2:3] != ["OS"] or rows[0][5:7] != [str(GOOD), "updated"]:
                problems.append("boot 3: the page does not show the machine at %d, route OS: %r" % (GOOD, rows))
            transcript.append(("boot 3: the depot's page, results/os/%s" % reports[0],
                               "\n".join(" | ".join(row) for row in rows)))
        transcript.append(("boot 3: fwupdmgr report-history", third.get("report-history", ("", None))[0]))
    finally:
        depot.stop()
        refusing.stop()

    machine.forget_ec_dump()
    serial, timed_out = machine.boot("firmware-changed")
    firmware_checks(problems, "boot 4", serial, timed_out)
    if machine.ec_flash() is not None:
        problems.append("boot 4: the refused capsule reached the EC")

    serial, timed_out = machine.boot("linux-refused", "refused")
    values, fifth = linux_checks(problems, "boot 5", serial, timed_out, GOOD, capsules.AUTH_FAILURE, hwid)
    history = fifth.get("get-history", ("", None))[0]
    if not history_says(history, "Failed", CHANGED):
        problems.append("boot 5: fwupd's history does not say failed for %d" % CHANGED)
    if not re.search(r"Current version:\s+%d\b" % GOOD, device_block(fifth.get("get-devices", ("", None))[0])):
        problems.append("boot 5: fwupd does not show version %d" % GOOD)
    transcript.append(("boot 5: fwupdmgr get-history", device_block(history)))
    flow_s = time.monotonic() - flow

    for title, text in transcript:
        print("--- " + title)
        print("\n".join("    " + line for line in text.strip().splitlines()[:40]))
    print("guest build %.1f s (%s); driver build %.1f s; two depots (depot.sh CATALOG=) %.1f s"
          % (guest_s, guest_note, driver_s, depots_s))
    print("boots: " + ", ".join("%s %.1f s" % boot for boot in machine.boots))
    print("%s fwupd: the depot's remote over the network, signed metadata, changed cabinet refused, newest capsule "
          "at boot flashes the EC, report on the depot's page; changed capsule refused "
          "(whole flow %.1f s)%s" % ("FAIL" if problems else "ok  ", flow_s,
                                     "".join("\n  " + problem for problem in problems)))
    print("fwupd e2e: 1 scenarios, %d passed, %d failed (logs in %s)" % (0 if problems else 1, 1 if problems else 0,
                                                                         folder))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
