#!/usr/bin/env python3
"""The depot as the fleet's fwupd remote: from a catalogue's index
(CATALOG.TXT, the rollout already applied) and the capsules beside it,
writes DEPOT/fwupd/: the signed metadata (firmware.xml.gz and its .jcat),
one signed cabinet per offered capsule, the remote's .conf for
/etc/fwupd/remotes.d/ and the certificate for /etc/pki/fwupd-metadata/.

    remote.py DEPOT_DIR ADDRESS [--key KEY --cert CERT]

Without --key/--cert the depot's own key is used, made at first use in
DEPOT_DIR/metadata-key/ and kept there from one run to the next (depot.sh
carries it over; nginx never serves it). Prints what it did, the .conf and
where the two files go; exits 1 with the reason when it refuses.

What the machines' own choice does that fwupd cannot express (docs/depot.md, "One
catalogue, two routes"): an entry offered to part of the fleet (PHASE below
100) is not published to fwupd until its phase reaches 100, because
fwupd's <phased_update> is a per-refresh lottery, not a stable share.
"""

import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from xml.sax.saxutils import escape

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_CAPSULE = 16 * 1024 * 1024
ADDRESS = re.compile(r"[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?:[1-9][0-9]{0,4}\Z")
REMOTE_ID = "morvane-depot"
CERT_NAME = "morvane-depot.pem"
KEY_FOLDER = "metadata-key"
CERT_DAYS = 3650


class Refused(Exception):
    pass


def read_index(path):
    """CATALOG.TXT's entries as dicts, in index order, as the machines read
    it: by their own parser (morvane-plan --index), so that the remote
    offers exactly what a machine would see; Refused with its reason."""
    result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "plan.sh"), "--index", path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Refused((result.stderr.strip().splitlines() or ["the index cannot be read"])[-1])
    entries = []
    for line in result.stdout.splitlines():
        name, hwid, version, lowest, size, crc, phase = line.split(" ")
        entries.append({"name": name, "hwid": hwid, "version": int(version, 16), "lowest": int(lowest, 16),
                        "size": int(size), "crc": crc, "phase": int(phase)})
    return entries


def offered(entries):
    """The entries fwupd is offered: those for every machine of their model
    (PHASE 100). Held capsules are absent from the index already, and a
    pinned model lists only its pin."""
    return [entry for entry in entries if entry["phase"] == 100]


def check_capsule(folder, entry):
    """The capsule's bytes, once its size and CRC-32 are the index's."""
    import zlib
    path = os.path.join(folder, entry["name"])
    if not os.path.isfile(path):
        raise Refused("CATALOG.TXT: %s is not beside the index" % entry["name"])
    with open(path, "rb") as handle:
        data = handle.read(MAX_CAPSULE + 1)
    if len(data) != entry["size"] or "%08X" % zlib.crc32(data) != entry["crc"]:
        raise Refused("CATALOG.TXT: %s is not the capsule the index names (size or CRC-32)" % entry["name"])
    return data


def run(command, what, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise Refused("%s failed: %s" % (what, (result.stderr or result.stdout).strip()[-400:]))
    return result.stdout


def depot_key(depot):
    """The depot's own metadata key and certificate, made at first use and
    readable by their owner only."""
    folder = os.path.join(depot, KEY_FOLDER)
    key, cert = os.path.join(folder, "metadata.key"), os.path.join(folder, "metadata.pem")
    if os.path.isfile(key) and os.path.isfile(cert):
        return key, cert, False
    os.makedirs(folder, mode=0o700, exist_ok=True)
    os.chmod(folder, 0o700)
    # fwupd takes a signer whose certificate may sign (digitalSignature) and
    # be its own anchor (keyCertSign), and checks its dates.
    run(["openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", key, "-out", cert,
         "-days", str(CERT_DAYS), "-subj", "/CN=Morvane depot metadata",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,digitalSignature,keyCertSign"], "making the depot's metadata key")
    os.chmod(key, 0o600)
    return key, cert, True


def check_signer(key, cert):
    """Refuses a key and certificate that do not belong together."""
    with tempfile.TemporaryDirectory() as work:
        probe = os.path.join(work, "probe")
        with open(probe, "w") as out:
            out.write("probe")
        try:
            run(["openssl", "cms", "-sign", "-binary", "-in", probe, "-signer", cert, "-inkey", key, "-outform", "DER",
                 "-out", probe + ".p7"], "signing with METADATA_KEY and METADATA_CERT")
        except Refused:
            raise Refused("METADATA_KEY and METADATA_CERT cannot sign together (do they belong to each other?)")


def sign(jcat, target, key, cert):
    """A checksum and a PKCS#7 signature of target into jcat (its base name)."""
    folder = os.path.dirname(target)
    run(["jcat-tool", "--basename", "sign", jcat, target, cert, key], "jcat-tool sign", cwd=folder)
    run(["jcat-tool", "--basename", "self-sign", jcat, target, "--kind", "sha256"], "jcat-tool self-sign", cwd=folder)


METAINFO = """<?xml version="1.0" encoding="UTF-8"?>
<component type="firmware">
  <id>{id}</id>
  <name>EC firmware</name>
  <summary>Embedded controller firmware from the Morvane depot</summary>
  <description><p>{name}</p></description>
  <provides><firmware type="flashed">{hwid}</firmware></provides>
  <metadata_license>CC0-1.0</metadata_license>
  <project_license>proprietary</project_license>
  <releases><release version="{version}" date="{date}"><description><p>{name}</p></description></release></releases>
  <custom>
    <value key="LVFS::VersionFormat">number</value>
    <value key="LVFS::UpdateProtocol">org.uefi.capsule</value>
  </custom>
</component>
"""


def component_id(hwid):
    return "org.morvane.ec.%s" % hwid.replace("-", "")


def cabinet(out_folder, entry, capsule, key, cert, date):
    """NAME.cab: the capsule as firmware.bin, its metainfo and a signed
    firmware.jcat. Returns the cabinet's bytes."""
    with tempfile.TemporaryDirectory(dir=out_folder) as work:
        with open(os.path.join(work, "firmware.bin"), "wb") as out:
            out.write(capsule)
        with open(os.path.join(work, "firmware.metainfo.xml"), "w") as out:
            out.write(METAINFO.format(id=component_id(entry["hwid"]), name=escape(entry["name"]), hwid=entry["hwid"],
                                      version=entry["version"], date=date))
        jcat = os.path.join(work, "firmware.jcat")
        for member in ("firmware.bin", "firmware.metainfo.xml"):
            sign(jcat, os.path.join(work, member), key, cert)
        cab = os.path.join(out_folder, entry["name"] + ".cab")
        run(["fwupdtool", "build-cabinet", cab, "firmware.bin", "firmware.metainfo.xml", "firmware.jcat"],
            "fwupdtool build-cabinet for " + entry["name"], cwd=work)
    with open(cab, "rb") as handle:
        return handle.read()


def metadata(components, date, address):
    """The AppStream metadata: one component per model, its releases newest
    first (fwupd takes the newest one it may install). Locations are whole
    URLs: a machine's FirmwareBaseURI= (a mirror) replaces their base, and
    fwupd 2.0.20 cannot parse a relative one then."""
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<components version="0.9" origin="morvane-depot">']
    for hwid in sorted(components):
        parts.append('  <component type="firmware">\n    <id>%s</id>\n    <name>EC firmware</name>\n'
                     '    <summary>Embedded controller firmware from the Morvane depot</summary>\n'
                     '    <provides><firmware type="flashed">%s</firmware></provides>\n'
                     '    <requires>\n      <id compare="ge" version="2.0.0">org.freedesktop.fwupd</id>\n'
                     '      <hardware>%s</hardware>\n    </requires>\n'
                     '    <custom>\n      <value key="LVFS::VersionFormat">number</value>\n'
                     '      <value key="LVFS::UpdateProtocol">org.uefi.capsule</value>\n    </custom>\n'
                     '    <releases>' % (component_id(hwid), hwid, hwid))
        for entry, cab in sorted(components[hwid], key=lambda item: -item[0]["version"]):
            parts.append('      <release version="%d" date="%s" urgency="high">\n'
                         '        <location>http://%s/fwupd/%s.cab</location>\n'
                         '        <checksum type="sha256" target="container">%s</checksum>\n'
                         '        <checksum type="sha1" target="container">%s</checksum>\n'
                         '        <size type="download">%d</size>\n'
                         '        <description><p>%s</p></description>\n      </release>'
                         % (entry["version"], date, address, escape(entry["name"]), hashlib.sha256(cab).hexdigest(),
                            hashlib.sha1(cab).hexdigest(), len(cab), escape(entry["name"])))
        parts.append("    </releases>\n  </component>")
    parts.append("</components>\n")
    return "\n".join(parts).encode("ascii")


def remote_conf(address):
    return ("[fwupd Remote]\n"
            "Enabled=true\n"
            "Title=Morvane depot %s\n"
            "MetadataURI=http://%s/fwupd/firmware.xml.gz\n"
            "ReportURI=http://%s/fwupd/report\n"
            "AutomaticReports=true\n"
            "RefreshInterval=3600\n" % (address, address, address))


def publish(depot, address, key=None, cert=None):
    """Writes DEPOT/fwupd/ anew; returns the lines to print."""
    if not ADDRESS.match(address):
        raise Refused("ADDRESS must be host:port, not %r" % address)
    # The .conf and the metadata send every machine to this address.
    if address.rsplit(":", 1)[0] == "0.0.0.0":
        raise Refused("ADDRESS 0.0.0.0 is no address a machine can be sent to: give the one the machines reach")
    entries = read_index(os.path.join(depot, "CATALOG.TXT"))
    said = []
    if key or cert:
        if not (key and cert):
            raise Refused("the metadata signer needs both METADATA_KEY and METADATA_CERT")
        for path in (key, cert):
            if not (os.path.isfile(path) and os.access(path, os.R_OK)):
                raise Refused("%s cannot be read" % path)
        check_signer(key, cert)
    else:
        key, cert, made = depot_key(depot)
        # Named within the depot: depot.sh publishes into a folder that then
        # takes the depot's place.
        said.append("remote: %s the depot's own metadata key, %s/ in the depot's folder (kept from one run to "
                    "the next; METADATA_KEY= and METADATA_CERT= give the site's)"
                    % ("made" if made else "using", KEY_FOLDER))
    date = time.strftime("%Y-%m-%d", time.gmtime())
    out = os.path.join(depot, "fwupd.next")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    try:
        components, withheld, published = {}, [], offered(entries)
        for entry in entries:
            capsule = check_capsule(depot, entry)
            if entry not in published:
                withheld.append(entry)
                continue
            components.setdefault(entry["hwid"], []).append((entry, cabinet(out, entry, capsule, key, cert, date)))
        xml = os.path.join(out, "firmware.xml.gz")
        with open(xml, "wb") as handle:
            # A fixed mtime: the same catalogue gives the same bytes.
            handle.write(gzip.compress(metadata(components, date, address), mtime=0))
        sign(xml + ".jcat", xml, key, cert)
        with open(os.path.join(out, REMOTE_ID + ".conf"), "w") as handle:
            handle.write(remote_conf(address))
        shutil.copyfile(cert, os.path.join(out, CERT_NAME))
        for root, folders, files in os.walk(out):
            for name in folders + files:
                os.chmod(os.path.join(root, name), 0o755 if name in folders else 0o644)
        os.chmod(out, 0o755)
        shutil.rmtree(os.path.join(depot, "fwupd"), ignore_errors=True)
        os.rename(out, os.path.join(depot, "fwupd"))
    finally:
        shutil.rmtree(out, ignore_errors=True)
    count = sum(len(items) for items in components.values())
    said.append("remote: %d capsule%s for %d model%s published for fwupd" % (
        count, "" if count == 1 else "s", len(components), "" if len(components) == 1 else "s"))
    for entry in withheld:
        said.append("remote: %s is offered to %d %% of its machines: fwupd gets it once its phase is 100"
                    % (entry["name"], entry["phase"]))
    said.append("remote: on each Linux machine, as root:")
    said.append("remote:   /etc/fwupd/remotes.d/%s.conf  <- http://%s/fwupd/%s.conf" % (REMOTE_ID, address, REMOTE_ID))
    said.append("remote:   /etc/pki/fwupd-metadata/%s  <- http://%s/fwupd/%s" % (CERT_NAME, address, CERT_NAME))
    said.append("remote:   then: fwupdmgr refresh --force && fwupdmgr update")
    said.append("remote: %s.conf:" % REMOTE_ID)
    said.extend("remote:   " + line for line in remote_conf(address).splitlines())
    return said


def main(argv):
    args = argv[1:]
    key = cert = None
    while len(args) > 2 and args[-2] in ("--key", "--cert"):
        if args[-2] == "--key":
            key = args[-1]
        else:
            cert = args[-1]
        args = args[:-2]
    if len(args) != 2:
        print("usage: remote.py DEPOT_DIR ADDRESS [--key KEY --cert CERT]", file=sys.stderr)
        return 2
    key = key or os.environ.get("METADATA_KEY") or None
    cert = cert or os.environ.get("METADATA_CERT") or None
    try:
        for line in publish(os.path.abspath(args[0]), args[1], key, cert):
            print(line)
    except Refused as refusal:
        print("remote: %s; no fwupd remote is published." % refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
