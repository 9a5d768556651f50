#!/usr/bin/env python3
"""A catalogue for a mixed fleet, made as an operator makes it: a folder of
signed capsules for three models (each with its NAME.fields) given to
`make depot CATALOG=` (scripts/depot.sh --start) and to the stick builder
(make plan's --catalog --out, then stick.py --catalog); each machine picks
its own capsule from the CATALOG.TXT they write. The capsules come from
EDK II's GenerateCapsule.py, each machine's hardware IDs from Debian's
fwupd for the fields QEMU's SMBIOS gives it (manufacturer, product, family,
SKU).

    catalog_e2e.py BUILD_DIR [--keep DIR]

- three machines of three models boot from the depot by HTTP boot: each
  flashes its own capsule (model A the newer of its two), and its line at
  the depot names that capsule and version;
- a fourth machine, of a model the catalogue has no capsule for (only one
  for its whole family, which no machine may take), ends "no image for this
  machine": its line is BASE.noimage.log, no byte reaches its EC;
- headless chromium shows the depot's fleet view: each of the three models
  at its new version with its one machine flashed, the fourth machine
  apart, counted as no image and not as a failure;
- the same three models boot from one stick and flash the same capsules,
  each line in MORVANE.LOG naming its capsule and version.

Prints one line per scenario; exits non-zero when any fails.
"""

import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "test", "page"))

import simrecord as record  # noqa: E402
from boot_e2e import Machine, option_rom
from browser import Browser, drawn
from capsule_probe import fwupd_ids
from capsules import EDK2, PKCS7, TRUST
from depot_probe import free_port
from netboot_e2e import NetMachine, result
from scenarios import OLD, flash_holds, random_image
from side_by_side import run_cases, suite_folders

MANUFACTURER = "Morvane Fleet"
DONE = "EC FLASH DONE."
NO_IMAGE = "NO IMAGE FOR THIS MACHINE. Nothing was changed."
BACK = "Press a key to return to the firmware."
NO_IMAGE_LINE = "The catalogue has no image for this machine. Nothing was changed."

# (model, product, family, SKU); D is in the fleet but not in the catalogue.
MODELS = [("A", "MV-A 14", "MV Alpha", "SKU-A1"), ("B", "MV-B 15", "MV Beta", "SKU-B2"),
          ("C", "MV-C 16", "MV Gamma", "SKU-C3"), ("D", "MV-D 17", "MV Delta", "SKU-D4")]
# The capsules: (file name, model, version, lowest, seed); model A has two.
CAPSULES = [("ec-a-0100.cap", "A", 0x100, 0x100, 51), ("ec-a-0102.cap", "A", 0x102, 0x100, 52),
            ("ec-b-0200.cap", "B", 0x200, 0x200, 53), ("ec-c-0300.cap", "C", 0x300, 0x300, 54)]
CHOSEN = {"A": "ec-a-0102.cap", "B": "ec-b-0200.cap", "C": "ec-c-0300.cap"}


def smbios(model, serial):
    _, product, family, sku = next(m for m in MODELS if m[0] == model)
    return "type=1,manufacturer=%s,product=%s,family=%s,sku=%s,serial=%s" % (MANUFACTURER, product, family, sku, serial)


def hardware_ids(work, model):
    """fwupd's IDs for a model's fields."""
    _, product, family, sku = next(m for m in MODELS if m[0] == model)
    folder = os.path.join(work, "hwids-" + model)
    os.makedirs(os.path.join(folder, "none"), exist_ok=True)
    fields = os.path.join(folder, "machine.ini")
    with open(fields, "w") as out:
        out.write("[HwIds]\nManufacturer=%s\nFamily=%s\nProductName=%s\nProductSku=%s\n" % (
            MANUFACTURER, family, product, sku))
    return fwupd_ids(folder, fields)


def capsule(folder, name, hwid, version, lowest, payload):
    """A signed capsule for hwid, as make capsule makes one."""
    source = os.path.join(folder, name + ".payload")
    with open(source, "wb") as out:
        out.write(payload)
    env = dict(os.environ, PYTHONPATH=os.path.join(EDK2, "BaseTools", "Source", "Python"))
    out = os.path.join(folder, name)
    subprocess.run(["python3", os.path.join(EDK2, "BaseTools", "Source", "Python", "Capsule", "GenerateCapsule.py"),
                    "--encode", "--guid", hwid, "--fw-version", "0x%08x" % version, "--lsv", "0x%08x" % lowest,
                    "--monotonic-count", "1", "--signer-private-cert", os.path.join(PKCS7, "TestCert.pem"),
                    "--other-public-cert", os.path.join(PKCS7, "TestSub.pub.pem"), "--trusted-public-cert", TRUST,
                    "-o", out, source], env=env, check=True, capture_output=True)
    os.remove(source)
    with open(out, "rb") as data:
        return data.read()


def catalogue(work):
    """The operator's folder, work/catalog: the capsules, each model's
    fields beside its capsules. Returns the folder and {name: payload}.
    Model A is named by its HardwareID-4 (manufacturer, family, product,
    SKU), B and C by their HardwareID-5 and -9; D only by a capsule for its
    whole family (ID 11), which has no fields file: with one the catalogue
    would refuse it as naming no one model, as it should."""
    folder = os.path.join(work, "catalog")
    subprocess.run(["rm", "-rf", folder], check=True)
    os.makedirs(folder)
    ids = {model[0]: hardware_ids(work, model[0]) for model in MODELS}
    named = {"A": ids["A"][4], "B": ids["B"][5], "C": ids["C"][9]}
    payloads = {}
    for name, model, version, lowest, seed in CAPSULES + [("ec-d-family.cap", "D", 0x400, 0x100, 55)]:
        hwid = named[model] if model in named else ids["D"][11]
        payloads[name] = random_image(record.BLOCK, seed)
        capsule(folder, name, hwid, version, lowest, payloads[name])
        if model in named:
            shutil.copyfile(os.path.join(work, "hwids-" + model, "machine.ini"),
                            os.path.join(folder, name[:-len(".cap")] + ".fields"))
    return folder, payloads, named


def fields(line):
    return {key: value.strip('"') for key, value in re.findall(r'(\w+)=("[^"]*"|\S+)', line)}


def line_names(line, image, version):
    got = fields(line)
    want = {"image": image, "version": "0x%08X" % version, "status": "0x0", "ec": "flashed"}
    return ["line %s=%s, not %s" % (key, got.get(key), value) for key, value in want.items() if got.get(key) != value]


def version_of(name):
    return next(entry[2] for entry in CAPSULES if entry[0] == name)


def no_byte_to_the_ec(data):
    return ["the EC received bytes"] if data and record.read_record(data)[1] else []


def net_case(rom, port, depot, payloads, model):
    def case(folder):
        serial = "CAT-NET-" + model
        machine = NetMachine(folder, rom, port, serial, OLD)
        machine.extra[machine.extra.index("-smbios") + 1] = smbios(model, serial)
        if model not in CHOSEN:
            problems = ["boot time limit reached"] if machine.run(NO_IMAGE) else []
            got = fields((result(depot, serial, ".noimage.log") or b"").decode("latin-1"))
            want = {"image": "-", "version": "-", "ec": "unchanged", "outcome": NO_IMAGE_LINE}
            problems += ["noimage line %s=%s, not %s" % (key, got.get(key), value) for key, value in want.items()
                         if got.get(key) != value]
            if "Morvane will check" in machine.serial or "not remove power" in machine.serial.lower():
                problems.append("the machine went on as if it had an image")
            return problems + no_byte_to_the_ec(machine.sim("SIM.REC")), ""
        name = CHOSEN[model]
        problems = ["boot time limit reached"] if machine.run(DONE) else []
        problems += flash_holds(machine.sim("SIM.FL"), payloads[name])
        return problems + line_names((result(depot, serial, ".flashed.log") or b"").decode("latin-1"), name,
                                     version_of(name)), name
    return case


def stick_case(build, rom, image, payloads, model):
    def case(folder):
        machine = Machine(build, folder, rom, b"\xff", OLD, model=None)
        shutil.copyfile(image, machine.stick)
        machine.smbios = ["-smbios", smbios(model, "CAT-STICK-" + model)]
        name = CHOSEN[model]
        problems = ["boot time limit reached"] if machine.run(lambda boot, text: BACK in text) else []
        if DONE not in machine.serial:
            problems.append("no done banner")
        problems += flash_holds(machine.sim("SIM.FL"), payloads[name])
        lines = machine.log_lines()
        problems += ["%d log lines" % len(lines)] if len(lines) != 1 else line_names(lines[0], "\\" + name,
                                                                                  version_of(name))
        return problems, name
    return case


def page_after_runs(work, port, depot, named):
    """The depot's page once the fleet has run, while the depot still
    serves: its fleet view has each of the three models at its new version
    with its one machine flashed, and the fourth machine apart ("none
    offered"), counted as no image and not as a failure."""
    days = sorted(os.listdir(os.path.join(depot, "results")))
    if len(days) != 1:
        return ["results/ holds the days %r" % days]
    with Browser(work) as browser:
        browser.open("http://127.0.0.1:%d/#%s" % (port, days[0]))
        try:
            browser.wait(drawn(days[0]))
            browser.wait("document.querySelector('#fleet-table tbody')?.getAttribute('data-day') === %r" % days[0])
        except TimeoutError as error:
            return [str(error)]
        rows = browser.evaluate("Array.from(document.querySelectorAll('#fleet-table tbody tr'), tr => "
                                "Array.from(tr.cells, td => td.textContent))")
        counts = browser.evaluate("Object.fromEntries(Array.from(document.querySelectorAll('#counts .count'), "
                                  "span => [span.id.slice(6), span.textContent]))")
    # model, product, version, machines; flashed, up to date, no image, failed unchanged, failed incomplete, running;
    # attention.
    want = sorted([named[model], product, "0x%08X" % version_of(CHOSEN[model]), "1", "1", "0", "0", "0", "0", "0", ""]
                  for model, product, _, _ in MODELS if model in CHOSEN)
    want.append(["none offered", "MV-D 17", "-", "1", "0", "0", "1", "0", "0", "0", ""])
    problems = [] if rows == want else ["fleet rows %r, not %r" % (rows, want)]
    wanted = {"flashed": "3", "noimage": "1", "failed-unchanged": "0", "failed-incomplete": "0",
              "running": "0"}
    return problems + ["count %s %s, not %s" % (key, counts.get(key), value) for key, value in wanted.items()
                       if counts.get(key) != value]


def main():
    build, work = suite_folders("catalog")
    rom = option_rom(build, work)
    folder, payloads, named = catalogue(work)

    # The stick as make stick CATALOG= makes it: the catalogue checked and
    # staged, then written with the build's Morvane.efi.
    stage = os.path.join(work, "stick-stage")
    subprocess.run(["rm", "-rf", stage], check=True)
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "plan.sh"), "--catalog", folder, "--out", stage], check=True,
                   capture_output=True)
    one_stick = os.path.join(work, "catalog-stick.img")
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "stick.py"), "--catalog", stage, one_stick,
                    "--efi", os.path.join(build, "Morvane.efi")], check=True, capture_output=True)

    depot = os.path.join(work, "depot")
    subprocess.run(["rm", "-rf", depot], check=True)
    port = free_port()
    env = dict(os.environ, DEPOT_DIR=depot, ADDRESS="127.0.0.1:%d" % port, MORVANE_EFI=os.path.join(build, "Morvane.efi"),
               CATALOG=folder)
    started = subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot.sh"), "--start"], env=env, check=True,
                             capture_output=True, text=True)
    pid = started.stdout.strip().splitlines()[-1]
    left = [name for name in os.listdir(work) if name.startswith("depot.")]
    print("%s %-32s %s" % ("FAIL" if left else "ok  ", "catalog: nothing left beside the depot", " ".join(left)))
    try:
        status = 1 if left else 0
        status |= run_cases([("catalog: depot, model %s" % model[0], net_case(rom, port, depot, payloads, model[0]))
                            for model in MODELS], work, "net", "catalog e2e, depot")
        problems = page_after_runs(work, port, depot, named)
        print("%s %-32s %s" % ("FAIL" if problems else "ok  ", "catalog: the depot's fleet view", "; ".join(problems)))
        status |= 1 if problems else 0
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot-server.sh"), "stop", pid], capture_output=True)
    status |= run_cases([("catalog: stick, model %s" % model, stick_case(build, rom, one_stick, payloads, model))
                         for model in CHOSEN], work, "stick", "catalog e2e, stick")
    return status


if __name__ == "__main__":
    sys.exit(main())
