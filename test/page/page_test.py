#!/usr/bin/env python3
"""The depot as `make depot` serves it, and its page as a browser shows it.

    page_test.py

scripts/depot.sh refuses what it cannot serve (and then serves nothing;
with TRUST, what its Morvane would refuse);
a depot started on a free 127.0.0.1 port serves Morvane.efi signed, its
MORVANE.CFG and the image, takes PUT in results/ only; with logs planted in
results/DAY/ as machines leave them (hostile ones too), Debian's headless
chromium runs the page and the rendered DOM is checked: the days offered, the
newest day's counts from the file names, one row per run (those needing
attention first, then newest first), the link to a saved firmware, machine
text as text only.
The page's picture is left in build/depot-page.png.
"""

import html.parser
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request
import zlib

from browser import CHROMIUM, Browser, drawn

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEPOT_SH = os.path.join(ROOT, "scripts", "depot.sh")
SERVER_SH = os.path.join(ROOT, "scripts", "depot-server.sh")
HOSTILE = "<img src=x onerror=\"document.title='XSS'\">"
CLEANED = HOSTILE.replace('"', "'")

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tally import expect, free_port, passed, problems  # noqa: E402


def tiny_efi(path):
    """The smallest PE32+ EFI application sbsign takes: one section that returns 0."""
    dos = b"MZ" + bytes(58) + struct.pack("<I", 0x40)
    coff = struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x22)
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 0, 0, 0x200, 0, 0, 0x1000, 0x1000,
                           0x10000000, 0x1000, 0x200, 0, 0, 0, 0, 0, 0, 0, 0x2000, 0x200, 0, 10, 0,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    head = dos + b"PE\0\0" + coff + optional + section
    with open(path, "wb") as out:
        out.write(head + bytes(0x200 - len(head)) + b"\x31\xc0\xc3" + bytes(0x200 - 3))


def key_pair(folder, name):
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                    "-days", "2", "-keyout", key, "-out", cert], check=True, capture_output=True)
    return key, cert


def depot(image, env, start=False):
    command = ["bash", DEPOT_SH] + (["--start"] if start else []) + [image]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


def refusals(work, env, cert):
    """Each refusal exits non-zero, says why and leaves no depot folder."""
    image = os.path.join(work, "ec.bin")
    odd = {name: os.path.join(work, name) for name in ["my ec.bin", "index.html", "empty.bin"]}
    for path in odd.values():
        open(path, "wb").write(b"" if path.endswith("empty.bin") else b"\x01" * 4096)
    wrong_key, _ = key_pair(work, "other")
    # A capsule signed under EDK II's test root: the depot of a Morvane that
    # trusts the root takes no raw image, and no Morvane.efi built without it.
    edk2 = subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup.sh")], capture_output=True,
                          text=True).stdout.strip().splitlines()[-1]
    capsules = os.path.join(work, "capsules")
    subprocess.run(["bash", os.path.join(ROOT, "test", "capsule", "make_capsules.sh"), capsules, edk2], check=True,
                   capture_output=True)
    trust = {"TRUST": os.path.join(edk2, "BaseTools", "Source", "Python", "Pkcs7Sign", "TestRoot.pub.pem")}
    cases = [
        ("ADDRESS without a port", {"ADDRESS": "127.0.0.1"}, image, "ADDRESS must be host:port"),
        ("ADDRESS port 0", {"ADDRESS": "127.0.0.1:0"}, image, "ADDRESS must be host:port"),
        ("ADDRESS port 65536", {"ADDRESS": "127.0.0.1:65536"}, image, "ADDRESS must be host:port"),
        ("ADDRESS octet 256", {"ADDRESS": "256.1.1.1:80"}, image, "ADDRESS must be host:port"),
        ("ADDRESS with a space", {"ADDRESS": "a b:80"}, image, "ADDRESS must be host:port"),
        ("ADDRESS ending the listen line", {"ADDRESS": "x;y:80"}, image, "ADDRESS must be host:port"),
        ("MODEL not ASCII", {"MODEL": "Morv caf\u00e9"}, image, "cannot go in MORVANE.CFG"),
        ("MODEL with a tab", {"MODEL": "Morv\t7"}, image, "cannot go in MORVANE.CFG"),
        ("MODEL blank", {"MODEL": "  "}, image, "cannot go in MORVANE.CFG"),
        ("MODEL of 65", {"MODEL": "M" * 65}, image, "cannot go in MORVANE.CFG"),
        ("image name with a space", {}, odd["my ec.bin"], "cannot be served"),
        ("image named like the page", {}, odd["index.html"], "a file of its own"),
        ("key without certificate", {"SIGN_KEY": wrong_key}, image, "both SIGN_KEY and SIGN_CERT"),
        ("key and certificate apart", {"SIGN_KEY": wrong_key, "SIGN_CERT": cert}, image,
         "could not be signed"),
        ("missing image", {}, image + ".missing", "no such file"),
        ("empty image", {}, odd["empty.bin"], "the image is empty"),
        ("raw image with TRUST", trust, image, "would refuse"),
        ("capsule of another signer", trust, os.path.join(capsules, "other.cap"), "does not verify against TestRoot"),
        ("a capsule inside a capsule", {}, os.path.join(capsules, "nested.cap"), "(a capsule inside a capsule)"),
        ("a tail left out", {}, os.path.join(capsules, "cut.cap"), "(an EC image whose last block holds under 8 KiB"),
        ("Morvane.efi without TRUST", trust, os.path.join(capsules, "good.cap"), "was not built with TRUST"),
        ("TRUST a key", {"TRUST": wrong_key}, image, "cannot be built into Morvane.efi"),
        ("catalogue and IMAGE", {"CATALOG": catalog(work, capsules, "good.cap")}, image, "give IMAGE or CATALOG, not both"),
        ("catalogue and MODEL", {"CATALOG": catalog(work, capsules, "good.cap"), "MODEL": "Morv 7"}, "",
         "MODEL goes with IMAGE only"),
        ("catalogue on every address", {"CATALOG": catalog(work, capsules, "good.cap"), "ADDRESS": "0.0.0.0:8080"},
         "", "give REMOTE_ADDRESS=host:port"),
        ("REMOTE_ADDRESS every address", {"CATALOG": catalog(work, capsules, "good.cap"),
                                          "REMOTE_ADDRESS": "0.0.0.0:8080"}, "", "REMOTE_ADDRESS must be host:port"),
        ("catalogue with an unsigned capsule", {"CATALOG": catalog(work, capsules, "good.cap", "unsigned.cap")}, "",
         "catalog: unsigned.cap: not a capsule Morvane takes (not signed)"),
        ("catalogue of another signer", dict(trust, CATALOG=catalog(work, capsules, "good.cap", "other.cap")), "",
         "catalog: other.cap: the signature does not verify against TestRoot"),
    ]
    for what, extra, path, reason in cases:
        result = depot(path, dict(env, **extra))
        said = result.stdout + result.stderr
        expect("%s: exit 0" % what, result.returncode != 0)
        expect("%s: %r not in %r" % (what, reason, said[-300:]), reason in said)
        expect("%s: a depot was made" % what, not os.path.exists(env["DEPOT_DIR"]))


def catalog(work, capsules, *names):
    """A catalogue folder holding the named capsules of make_capsules.sh."""
    folder = tempfile.mkdtemp(dir=work)
    for name in names:
        shutil.copyfile(os.path.join(capsules, name), os.path.join(folder, name))
    return folder


def request(url, method="GET", data=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method), timeout=5) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, b""


def log_line(start, serial, status, ec, outcome, product="Morv 7", extra="", signer="-", version="-"):
    return ('%s mode=flash image="ec.bin" size=150000 crc32=C674A181 blocks=3/3 id=0xEF serial=%s '
            'uuid=6A1C2E3F-4B5D-4C6E-8F70-8192A3B4C5D6 elapsed=41 status=%s product="%s" %schanged=2 '
            'secureboot=off signer=%s version=%s outcome="%s"' % (start, serial, status, product,
                                                                  ("ec=%s " % ec) if ec else "", signer, version,
                                                                  outcome)) + extra


DAY = "20261207"
# A file of each run in results/DAY/ (each ended run also gets its first line as BASE.run): (name, contents,
# state shown, serial shown), in the order the page lists them: runs needing attention first, newest first.
RUNS = [
    ("OLD1-0011223344A6-20261207-100600.incomplete.log", log_line("2026-12-07 10:06:00", "OLD1", "0x0", None,
                                                                    "finished"), "failed-incomplete", "OLD1"),
    ("FAIL2-0011223344A5-20261207-100500.incomplete.log", log_line("2026-12-07 10:05:00", "FAIL2", "0x7",
                                                                     "incomplete", "Block 1 never verified."),
     "failed-incomplete", "FAIL2"),
    ("CONF1-0011223344AB-20261207-100950.flashed.log", log_line("2026-12-07 10:09:50", "CONF1", "0x0", "flashed",
                                                                  "finished"), "conflicting", "CONF1"),
    ("MOVED1-0011223344B2-20261207-100940-0a1b2c3d.run", log_line("2026-12-07 10:09:40", "MOVED1", "running", None,
                                                                    "running"), "conflicting", "MOVED1"),
    ("FORGE1-0011223344B3-20261207-100930.flashed.log", log_line("2026-12-07 10:09:30", "FORGE1", "0x0", "flashed",
                                                                   "finished"), "conflicting", "FORGE1"),
    ("LONE-0011223344B1-20261207-100000.bin", "\xee" * 100, "conflicting", "LONE"),
    ("NODATE-0011223344AE-nodate-0A1B2C3D.run", log_line("time=unknown", "NODATE", "running", None, ""), "running",
     "NODATE"),
    ("RUN1-0011223344A9-20261207-100900.run", log_line("2026-12-07 10:09:00", "RUN1", "running", "unchanged",
                                                         "running"), "running", "RUN1"),
    ("NOIMG1-0011223344B4-20261207-101100-9F8E7D6C.noimage.log",
     log_line("2026-12-07 10:11:00", "NOIMG1", "0x0", "unchanged", "No image for this machine."), "noimage", "NOIMG1"),
    ("HOST2-0011223344AA-20261207-101000.flashed.log", log_line("2026-12-07 10:10:00", "HOST2", "0x0", "flashed",
                                                                  "finished " + HOSTILE), "flashed", "HOST2"),
    ("HOST1-0011223344A8-20261207-100800.unchanged.log", log_line("2026-12-07 10:08:00", CLEANED.replace(" ", "_"),
                                                                    "0x12", "unchanged", "EC not answering at block 0.",
                                                                    product=CLEANED),
     "failed-unchanged", CLEANED.replace(" ", "_")),
    ("RAW1-0011223344A7-20261207-100700.flashed.log", "2026-12-07 10:07:00 serial=%s status=0x0 ec=flashed "
     "outcome=\"x\"" % HOSTILE, "unreadable", "RAW1"),
    ("LIAR1-0011223344AC-20261207-100650.flashed.log", log_line("2026-12-07 10:06:50", "LIAR1", "0x12", "unchanged",
                                                                  "EC not answering."), "unreadable", "LIAR1"),
    ("FAIL1-0011223344A4-20261207-100400.unchanged.log", log_line("2026-12-07 10:04:00", "FAIL1", "0x3", "unchanged",
                                                                    "This machine is X."), "failed-unchanged", "FAIL1"),
    ("SAME1-0011223344A3-20261207-100300-2.uptodate.log", log_line("2026-12-07 10:03:00", "SAME1", "0x0", "unchanged",
                                                                     "EC flash already matches the image.",
                                                                     signer="unchecked", version="0x00000200"),
     "uptodate", "SAME1"),
    ("FLASH1-0011223344A2-20261207-100200.flashed.log", log_line("2026-12-07 10:02:00", "FLASH1", "0x0", "flashed",
                                                                   "Morvane finished: 2 of 3 blocks rewritten.",
                                                                   signer='"EC release <b>signing</b>"',
                                                                   version="0x00010200"),
     "flashed", "FLASH1"),
    ("HUGE1-0011223344A1-20261207-100100.flashed.log", "2026-12-07 10:01:00 " + "x" * 5000, "unreadable", "HUGE1"),
    ("JUNK1-0011223344A0-20261207-100000.unchanged.log", "\x01\x02garbage <b>bold</b>\xff", "unreadable", "JUNK1"),
]
SAVED = "FLASH1-0011223344A2-20261207-100200.bin"
# Beside them: CONF1's second final log, other days, and files the page ignores (other names, a run filed under
# the wrong day, a log in no day folder, a save without its run).
OTHERS = {
    DAY + "/CONF1-0011223344AB-20261207-100950.incomplete.log": log_line("2026-12-07 10:09:50", "CONF1", "0x0",
                                                                           "incomplete", "x"),
    DAY + "/MOVED1-0011223344B2-20261207-100940-0a1b2c3d.conflict.log": log_line("2026-12-07 10:09:40", "MOVED1",
                                                                                   "0x0", None, "x"),
    # A clock in 2099 (or a stranger's folder): listed apart, never the day shown first.
    "20991231/LATE-0011223344B5-20991231-100000.incomplete.log": log_line("2099-12-31 10:00:00", "LATE", "0x7",
                                                                            "incomplete", "x"),
    "20261206/OTHER-0011223344AD-20261206-235900.flashed.log": log_line("2026-12-06 23:59:00", "OTHER", "0x0",
                                                                          "flashed", "x"),
    "20261206/OTHER-0011223344AD-20261206-235900.run": log_line("2026-12-06 23:59:00", "OTHER", "running", None, ""),
    # SAME1's run of the day before: the fleet view counts SAME1 once, by its newer run.
    "20261206/SAME1-0011223344A3-20261206-090000.flashed.log": log_line("2026-12-06 09:00:00", "SAME1", "0x0",
                                                                          "flashed", "x", version="0x00000100"),
    "20261206/SAME1-0011223344A3-20261206-090000.run": log_line("2026-12-06 09:00:00", "SAME1", "running", None, ""),
    DAY + '/x"><img src=x>.log': log_line("2027-01-01 00:00:00", "NAME", "0x0", "flashed", "x"),
    DAY + "/WRONG-0011223344AF-20261206-100000.flashed.log": log_line("2026-12-06 10:00:00", "WRONG", "0x0",
                                                                        "flashed", "x"),
    "OLD2-0011223344B0-20261207-100000.log": log_line("2026-12-07 10:00:00", "OLD2", "0x0", "flashed", "x"),
}
# Runs whose files are all planted above: no .run of their own.
NO_RUN = ("FORGE1", "LONE", "NODATE")


class Dom(html.parser.HTMLParser):
    """What the test reads from the dumped DOM: title, counts, rows, links, img tags."""

    def __init__(self):
        super().__init__()
        self.title, self.counts, self.rows, self.imgs, self.days, self.counts_ms = "", {}, [], 0, [], None
        self.where = None
        self.in_body = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.imgs += 1
        elif tag == "body":
            self.counts_ms = attrs.get("data-counts-ms")
        elif tag == "option":
            self.days.append(attrs.get("value"))
        elif tag == "title":
            self.where = ("title",)
        elif tag == "tbody":
            self.in_body = True
        elif tag == "tr" and self.in_body:
            self.rows.append({"state": attrs.get("data-state"), "cells": [], "href": None})
        elif tag == "td" and self.in_body:
            self.rows[-1]["cells"].append("")
            self.where = ("td",)
        elif tag == "a" and self.in_body:
            self.rows[-1]["href"] = attrs.get("href")
        elif tag == "span" and (attrs.get("id") or "").startswith("count-"):
            self.where = ("count", attrs["id"][len("count-"):])

    def handle_endtag(self, tag):
        if tag == "tbody":
            self.in_body = False
        if tag in ("title", "td", "span"):
            self.where = None

    def handle_data(self, data):
        if self.where == ("title",):
            self.title += data
        elif self.where == ("td",):
            self.rows[-1]["cells"][-1] += data
        elif self.where and self.where[0] == "count":
            self.counts[self.where[1]] = data


def chromium(work, *arguments):
    """One run of chromium's own --dump-dom or --screenshot, in virtual time."""
    profile = tempfile.mkdtemp(dir=work)
    try:
        return subprocess.run(CHROMIUM + ["--virtual-time-budget=5000", "--user-data-dir=" + profile] + list(arguments),
                              capture_output=True, text=True, timeout=60).stdout
    finally:
        shutil.rmtree(profile, ignore_errors=True)


PUT_NAME = "PUT1-0011223344AF-20261207-101500.run"


def served(work, env, image, image_bytes):
    base = "http://%s/" % env["ADDRESS"]
    status, body = request(base + "Morvane.efi")
    efi = os.path.join(work, "served.efi")
    open(efi, "wb").write(body)
    verified = subprocess.run(["sbverify", "--cert", env["SIGN_CERT"], efi], capture_output=True)
    expect("Morvane.efi served signed (%d)" % status, status == 200 and verified.returncode == 0)
    status, body = request(base + "MORVANE.CFG")
    expect("MORVANE.CFG is %r" % body, body == ("image=ec.bin\r\ncrc32=%08X\r\nupdate=yes\r\nsave=yes\r\n"
                                                "model=%s\r\n" % (zlib.crc32(image_bytes), env["MODEL"])).encode())
    expect("the image served as it is", request(base + "ec.bin") == (200, image_bytes))
    for what, path, method, wanted in [("PUT beside the image", "Morvane.efi", "PUT", 403),
                                       ("PUT at the top", "new.log", "PUT", 403),
                                       ("PUT climbing out", "results/../x.log", "PUT", 403),
                                       ("DELETE in results", "results/p.log", "DELETE", 403),
                                       ("PUT of a name no machine makes", "results/p.log", "PUT", 403),
                                       ("PUT of a run's first line", "results/20261207/" + PUT_NAME, "PUT", 201)]:
        status, _ = request(base + path, method, b"x" if method == "PUT" else None)
        expect("%s answered %d, not %d" % (what, status, wanted), status == wanted)
    # make depot again while this one serves (its nginx then finds the port
    # taken): the folder nginx writes into, and what machines left there,
    # stay the very same files; a PUT landing meanwhile lands in them.
    kept = os.path.join(env["DEPOT_DIR"], "results", "20261207", PUT_NAME)
    before = [os.stat(path).st_ino for path in (env["DEPOT_DIR"], os.path.dirname(kept), kept)]
    again = depot(image, env, start=True)
    after = [os.stat(path).st_ino if os.path.exists(path) else None
             for path in (env["DEPOT_DIR"], os.path.dirname(kept), kept)]
    expect("make depot again while serving: exit %d, folders and results %r, then %r" % (again.returncode, before, after),
           again.returncode != 0 and before == after and open(kept, "rb").read() == b"x")
    status, _ = request(base + "results/20261207/" + PUT_NAME.replace(".run", ".bin"), "PUT", b"y")
    expect("a PUT after make depot again answered %d" % status, status == 201)
    shutil.rmtree(os.path.join(env["DEPOT_DIR"], "results", "20261207"))


def plant(path, contents):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(contents.encode("latin-1"))


def page(work, env):
    results = os.path.join(env["DEPOT_DIR"], "results")
    for name, contents, _, _ in RUNS:
        base = name.split(".")[0]
        serial, _, date, time = base.split("-")[:4]
        plant(os.path.join(results, "nodate" if date == "nodate" else DAY, name), contents)
        start = "%s-%s-%s %s:%s:%s" % (date[:4], date[4:6], date[6:], time[:2], time[2:4], time[4:])
        if not name.endswith(".run") and serial not in NO_RUN:
            plant(os.path.join(results, DAY, base + ".run"), log_line(start, serial, "running", None, ""))
    plant(os.path.join(results, DAY, SAVED), "\xee" * 3000)
    for name, contents in OTHERS.items():
        plant(os.path.join(results, name), contents)
    with Browser(work) as browser:
        browser.open("http://%s/" % env["ADDRESS"])
        browser.wait(drawn(DAY))
        dump = browser.dom()
        browser.screenshot(os.path.join(ROOT, "build", "depot-page.png"))
    dom = Dom()
    dom.feed(dump)
    expect("title is %r" % dom.title, dom.title == "Morvane depot")
    expect("%d img elements in the page" % dom.imgs, dom.imgs == 0)
    expect("machine text not shown as text", "&lt;img src=x onerror=" in dump)
    expect("days offered %r" % dom.days, dom.days == [DAY, "20261206", "nodate", "20991231"])
    wanted = {"flashed": 5, "uptodate": 1, "noimage": 1, "failed-unchanged": 3, "failed-incomplete": 2, "running": 1,
              "conflicting": 4, "unreadable": 4}
    expect("counts %r, not %r" % (dom.counts, wanted), dom.counts == {k: str(v) for k, v in wanted.items()})
    expect("rows %r" % [(r["state"], r["cells"][1:2]) for r in dom.rows],
           [(r["state"], r["cells"][1]) for r in dom.rows] == [(state, serial) for _, _, state, serial in RUNS])
    words = {"flashed": ("flashed", "succeeded"), "uptodate": ("up to date", "0x0 succeeded"),
             "failed-unchanged": ("failed, EC unchanged", "failed"),
             "failed-incomplete": ("failed, EC incomplete", ""), "running": ("running", "running"),
             "conflicting": ("more than one writer", ""), "unreadable": ("unreadable log", ""),
             "noimage": ("no image for this machine", "0x0 succeeded")}
    for row, (name, _, state, _) in zip(dom.rows, RUNS):
        expect("%s has %d cells" % (name, len(row["cells"])), len(row["cells"]) == 14)
        if len(row["cells"]) != 14:
            continue
        expect("%s says %r, %r" % (name, row["cells"][7], row["cells"][8]),
               row["cells"][7] == words[state][0] and words[state][1] in row["cells"][8])
        expect("%s links %r" % (name, row["href"]),
               row["href"] == ("results/%s/%s" % (DAY, SAVED) if name.startswith(SAVED[:-4] + ".") else
                               "results/%s/%s" % (DAY, name) if name.endswith(".bin") else None))
    by_name = dict(zip([name.split("-")[0] for name, _, _, _ in RUNS], dom.rows))
    for serial, column, wanted_text in [("FAIL1", 8, "0x3 failed: wrong machine"),
                                        ("RUN1", 9, "log written under a minute ago"),
                                        ("CONF1", 9, "final logs flashed and incomplete"),
                                        ("MOVED1", 9, "found this name taken by another writer"),
                                        ("FORGE1", 9, "a final log with no .run"),
                                        ("LONE", 9, "a save with no .run"),
                                        ("LIAR1", 9, "its line says failed, EC unchanged, its name says flashed"),
                                        ("RAW1", 9, HOSTILE)]:
        expect("%s shows %r in %r" % (serial, wanted_text, by_name[serial]["cells"][column:column + 1]),
               wanted_text in by_name[serial]["cells"][column])
    expect("the flashed run's figures", by_name["FLASH1"]["cells"][10:13] == ["flashed", "2", "41"])
    for serial, wanted_text in [("FLASH1", "0x00010200, signed by EC release <b>signing</b>"),
                                ("SAME1", "0x00000200, signature not checked"), ("FAIL1", "")]:
        expect("%s's version is %r" % (serial, by_name[serial]["cells"][6]), by_name[serial]["cells"][6] == wanted_text)
    expect("files with other names not counted as ignored", "3 files with other names ignored" in dump)
    expect("the folder of 2099 not said apart", "1 folders that are no plausible day listed apart" in dump)
    cut(work, env, results, dom)


def cut(work, env, results, whole):
    """15,000 made-up day folders put the list of days over its 1 MiB: the page shows what fits and says so."""
    for number in range(15000):
        os.mkdir(os.path.join(results, "1%07d" % number))
    with Browser(work) as browser:
        browser.open("http://%s/#%s" % (env["ADDRESS"], DAY))
        browser.wait(drawn(DAY))
        dom = Dom()
        dom.feed(browser.dom())
        status = browser.evaluate("document.getElementById('status').textContent")
    expect("cut list of days: counts %r" % dom.counts, dom.counts == whole.counts)
    expect("cut list of days: the incomplete runs still first", [r["cells"][1] for r in dom.rows[:2]] == ["OLD1", "FAIL2"])
    expect("cut list of days: status %r" % status, "the list of days is over 1 MiB" in status)
    for number in range(15000):
        os.rmdir(os.path.join(results, "1%07d" % number))


def fleet(work, env):
    """The same runs on a depot serving a catalogue: by model and version,
    each machine counted once by its latest run on any day looked through,
    those needing attention named, incomplete first."""
    depot = env["DEPOT_DIR"]
    with open(os.path.join(depot, "MORVANE.CFG"), "w") as config:
        config.write("catalog=CATALOG.TXT\r\nupdate=yes\r\nsave=yes\r\n")
    with open(os.path.join(depot, "CATALOG.TXT"), "w") as index:
        index.write("morvane-catalog 1\nec.bin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x00010200 0x00000100 150000 "
                    "C674A181 100\n")
    with Browser(work) as browser:
        # The page opens on the depot's today; these runs are on DAY.
        browser.open("http://%s/#%s" % (env["ADDRESS"], DAY))
        browser.wait("document.querySelectorAll('#fleet-table tbody tr').length > 0")
        rows = browser.evaluate("Array.from(document.querySelectorAll('#fleet-table tbody tr'), tr => "
                                "Array.from(tr.cells, td => td.textContent).join('|')).join('\\n')")
        serving = browser.evaluate("document.getElementById('serving').textContent")
        status = browser.evaluate("document.getElementById('fleet-status').textContent")
        # A machine's newer run takes its place: the page keeps only the
        # latest runs' logs, however long it stays open.
        kept = browser.evaluate("fleetLogs.size")
        newer = "FLASH1-0011223344A2-%s-110000" % DAY
        for name, line in [(".run", log_line("2026-12-07 11:00:00", "FLASH1", "running", None, "")),
                           (".flashed.log", log_line("2026-12-07 11:00:00", "FLASH1", "0x0", "flashed", "x"))]:
            with open(os.path.join(depot, "results", DAY, newer + name), "w") as out:
                out.write(line + "\r\n")
        browser.wait("fleetLogs.has(%r)" % (DAY + "/" + newer + ".flashed.log"))
        expect("logs kept for the fleet view: %d, then %d" % (kept, browser.evaluate("fleetLogs.size")),
               browser.evaluate("fleetLogs.size") == kept)
    rows = [row.split("|") for row in rows.split("\n")]
    expect("fleet rows %r" % rows, [row[:4] for row in rows] == [
        ["a9c3dcfe-1e69-5a88-8064-baf11dffca66", "Morv 7", "0x00010200", "1"],
        ["a9c3dcfe-1e69-5a88-8064-baf11dffca66", "Morv 7", "0x00000200", "1"],
        ["a9c3dcfe-1e69-5a88-8064-baf11dffca66", CLEANED + ", Morv 7", "-", "13"],
        ["not in the index", "", "-", "4"]])
    # flashed, up to date, no image, failed unchanged, failed incomplete, running; incomplete named first. OTHER
    # (the day before) and NODATE count; SAME1 counts once, by its newer run.
    expect("fleet counts %r" % rows[2][4:10], rows[2][4:10] == ["2", "0", "1", "2", "2", "2"])
    expect("fleet status %r" % status, status == "19 machines seen on the 3 newest days, each by its latest run")
    expect("fleet attention %r" % rows[2][10], rows[2][10].startswith("OLD1 0011223344A6 (failed, EC incomplete); FAIL2 "))
    expect("serving %r" % serving, serving == "Serving the catalogue CATALOG.TXT: each machine takes its own capsule")


def main():
    work = tempfile.mkdtemp(prefix="morvane-page-")
    # Started as root, nginx's workers run as www-data.
    os.chmod(work, 0o755)
    pid = None
    try:
        image_bytes = bytes(range(256)) * 586
        image = os.path.join(work, "ec.bin")
        open(image, "wb").write(image_bytes)
        tiny_efi(os.path.join(work, "Morvane.efi"))
        key, cert = key_pair(work, "depot")
        env = dict(os.environ, DEPOT_DIR=os.path.join(work, "depot"), MORVANE_EFI=os.path.join(work, "Morvane.efi"),
                   ADDRESS="127.0.0.1:%d" % free_port(), MODEL='Morv "7" (2026)', SIGN_KEY=key, SIGN_CERT=cert)
        refusals(work, {k: v for k, v in env.items() if k not in ("MODEL", "SIGN_KEY", "SIGN_CERT")}, cert)
        started = depot(image, env, start=True)
        if started.returncode != 0:
            expect("depot did not start: " + started.stderr[-500:], False)
        else:
            pid = started.stdout.split()[-1]
            expect("boot URL not printed", "http://%s/Morvane.efi" % env["ADDRESS"] in started.stdout)
            served(work, env, image, image_bytes)
            page(work, env)
            fleet(work, env)
    finally:
        if pid is not None:
            subprocess.run(["bash", SERVER_SH, "stop", pid], check=False)
            shutil.rmtree(os.path.join(ROOT, "build", "depot-" + env["ADDRESS"].split(":")[1]), ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("FAIL page: %s" % problem)
    print("page: %d passed, %d failed" % (passed(), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
