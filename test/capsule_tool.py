#!/usr/bin/env python3
"""make capsule and the TRUST tool on the host: every bad argument is refused
with nothing built, a good set builds a capsule that holds the image, the
versions and the hardware ID it was given, signed by the given signer; and
scripts/trust.py turns a certificate into its DER bytes and nothing else.

    capsule_tool.py
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
CAPSULE = os.path.join(ROOT, "scripts", "capsule.sh")
TRUST = os.path.join(ROOT, "scripts", "trust.py")
HWID = "{6de5d951-d755-576b-bd09-c5cf66b27234}"
# A machine without a SKU: its HardwareID-9 names the model, its -7 (the
# maker and the empty SKU) every model of the maker without one.
FIELDS = "[HwIds]\nManufacturer=Maker\nProductName=Model\nProductSku=\nFamily=\n"
ID9 = "{c0fed3b1-a4ed-5a8d-8886-126db8ae6423}"
ID7 = "{e41fa4b2-4503-568b-a372-d7a7307d7ee3}"
# Key-file forms the host check must read as fwupd does.
ODD_FIELDS = ("# a machine\r\n[HwIds]\r\n  Manufacturer = Morvane \r\nProductName=\\sMV\\t14\\\\  \n\n"
              "ProductSku=\nFamily=MV\nBaseboardManufacturer=\t Board\nBaseboardProduct=B1\nBiosVendor=EDK II\n"
              "BiosVersion=1.0\nBiosMajorRelease=01\nBiosMinorRelease=02\nEnclosureKind=a\n")


def run(command, env=None):
    return subprocess.run(command, env=env, capture_output=True, text=True)


def main():
    edk2 = run(["bash", os.path.join(ROOT, "scripts", "setup.sh")]).stdout.strip().splitlines()[-1]
    certs = os.path.join(edk2, "BaseTools", "Source", "Python", "Pkcs7Sign")
    work = tempfile.mkdtemp(prefix="capsule-tool-")
    path = lambda name: os.path.join(work, name)  # noqa: E731
    image = path("capsule-tool-ec.bin")
    with open(image, "wb") as out:
        out.write(bytes(range(256)) * 40)
    open(path("empty.bin"), "wb").close()
    # A capsule (its first 16 bytes are what tells one), and an image whose
    # last block holds 4 KiB.
    with open(path("inner.cap"), "wb") as out:
        out.write(uuid.UUID("6dcbd5ed-e82d-4c44-bda1-7194199ad92a").bytes_le + bytes(4096))
    with open(path("cut.bin"), "wb") as out:
        out.write(b"\x5a" * (0x10000 + 4096))
    run(["openssl", "pkey", "-in", os.path.join(certs, "TestCert.pem"), "-out", path("signer.key")])
    run(["openssl", "x509", "-in", os.path.join(certs, "TestCert.pem"), "-out", path("signer.crt")])
    run(["openssl", "genpkey", "-algorithm", "RSA", "-out", path("other.key")])
    run(["openssl", "pkey", "-in", path("signer.key"), "-aes256", "-passout", "pass:x", "-out", path("locked.key")])
    for name, text in (("fields.ini", FIELDS), ("odd.ini", ODD_FIELDS), ("typo.ini", FIELDS + "ProductSKU=A\n"),
                       ("twice.ini", FIELDS + "Family=Morv\n"), ("ungrouped.ini", "Manufacturer=Maker\n" + FIELDS)):
        with open(path(name), "w") as out:
            out.write(text)
    good = {"IMAGE": image, "VERSION": "0x00010200", "LOWEST": "0x10000", "HWID": HWID,
            "SIGN_KEY": path("signer.key"), "SIGN_CERT": path("signer.crt"),
            "OTHER_CERT": os.path.join(certs, "TestSub.pub.pem")}
    built = os.path.join(ROOT, "build", "capsule-tool-ec.cap")
    problems = []

    refusals = [
        ({"IMAGE": ""}, "name the EC image"),
        ({"IMAGE": path("missing.bin")}, "cannot be read"),
        ({"IMAGE": path("empty.bin")}, "is not one Morvane flashes"),
        ({"IMAGE": path("inner.cap")}, "no capsule may carry it (a capsule inside a capsule)"),
        ({"IMAGE": path("cut.bin")}, "no capsule may carry it (an EC image whose last block holds under 8 KiB, which the"
                                     " flash would leave out)"),
        ({"VERSION": ""}, "VERSION= is not a 32-bit number"),
        ({"VERSION": "0x123456789"}, "is not a 32-bit number"),
        ({"VERSION": "256"}, "is not a 32-bit number"),
        ({"LOWEST": "0x10201"}, "LOWEST=0x10201 is above VERSION"),
        ({"HWID": "{6de5d951-d755-576b-bd09}"}, "is not a GUID"),
        ({"HWID": "{6de5d951-d755-576b-bd09-c5cf66b27234"}, "is not a GUID"),
        ({"HWID": "{00000000-0000-0000-0000-000000000000}"}, "names no machine"),
        ({"SIGN_KEY": ""}, "give both SIGN_KEY and SIGN_CERT"),
        ({"SIGN_KEY": path("missing.key")}, "cannot be read"),
        ({"SIGN_KEY": path("locked.key")}, "has a passphrase"),
        ({"SIGN_KEY": path("other.key")}, "does not belong to the certificate"),
        ({"SIGN_CERT": path("signer.key")}, "is not an X.509 certificate"),
        ({"OTHER_CERT": image}, "OTHER_CERT"),
        ({"FIELDS": path("fields.ini"), "HWID": ID7}, "FIELDS=%s: HWID %s is HardwareID-7 of these fields, which does "
         "not name one model" % (path("fields.ini"), ID7)),
        ({"FIELDS": path("fields.ini")}, "HWID %s is none of the hardware IDs of these fields" % HWID),
        ({"FIELDS": path("typo.ini"), "HWID": ID9}, "line 6 names no field fwupd takes"),
        ({"FIELDS": path("twice.ini"), "HWID": ID9}, "line 6 gives Family again"),
        ({"FIELDS": path("ungrouped.ini"), "HWID": ID9}, "line 1 is not KEY=VALUE in the group [HwIds]"),
        ({"FIELDS": path("missing.ini")}, "cannot be read"),
    ]
    for change, expected in refusals:
        env = dict(os.environ, **dict(good, **change))
        result = run(["bash", CAPSULE], env)
        if result.returncode != 1 or expected not in result.stderr or "nothing was built" not in result.stderr \
                or os.path.exists(built):
            problems.append("%s: exit %d, %r" % (change, result.returncode, result.stderr.strip()))

    # Through make, from its command line or the environment: byte for byte, nothing runs.
    planted = path("ran")
    value = "$(shell touch %s)`touch %s` \\'\"0x1" % (planted, planted)
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    for on_line in (True, False):
        variables = dict(good, VERSION=value)
        command = ["make", "-s", "-C", ROOT, "capsule"]
        command += ["%s=%s" % item for item in variables.items()] if on_line else []
        result = run(command, dict(env, **({} if on_line else variables)))
        if ("VERSION=%s" % value[:80]) not in result.stderr or os.path.exists(planted) or os.path.exists(built):
            problems.append("make capsule %s: %r" % ("command line" if on_line else "environment", result.stderr))

    # FIELDS: the model's own ID is taken; the fields are read as fwupd reads them.
    result = run(["bash", CAPSULE], dict(os.environ, **dict(good, FIELDS=path("fields.ini"), HWID=ID9)))
    if result.returncode != 0 or not os.path.exists(built):
        problems.append("FIELDS and the model's HardwareID-9 were not built: %r" % result.stderr.strip())
    ours = run(["bash", os.path.join(ROOT, "scripts", "hwid.sh"), path("odd.ini")]).stdout
    os.makedirs(path("nodmi"), exist_ok=True)
    fwupd = run(["fwupdtool", "hwids", path("odd.ini")], dict(os.environ, FWUPD_SYSFSFWDIR=path("nodmi"),
                                                             FWUPD_SYSFSDMIDIR=path("nodmi"))).stdout
    ids = re.findall(r"\{[0-9a-f-]{36}\}", fwupd[fwupd.find("Hardware IDs"):])[:15]
    if len(ids) != 15 or re.findall(r"\{[0-9a-f-]{36}\}", ours) != ids:
        problems.append("the host check reads the key file otherwise than fwupd: %r, fwupd %r" % (ours, ids))

    result = run(["bash", CAPSULE], dict(os.environ, **good))
    if result.returncode != 0 or not os.path.exists(built):
        problems.append("a good set was not built: %r" % result.stderr.strip())
    else:
        with open(built, "rb") as capsule:
            data = capsule.read()
        os.remove(built)
        with open(image, "rb") as source:
            payload = source.read()
        type_id = uuid.UUID(bytes_le=data[52:68])
        auth_length = struct.unpack_from("<I", data, 104)[0]
        header = 96 + 8 + auth_length
        signature, version, lowest = data[128:header], *struct.unpack_from("<II", data, header + 8)
        signers = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-print_certs", "-noout"], input=signature,
                                 capture_output=True).stdout.decode()
        if "{%s}" % type_id != HWID or (version, lowest) != (0x10200, 0x10000) or data[header + 16:] != payload \
                or "CN = TestCert" not in signers or "CN = TestSub" not in signers:
            problems.append("the capsule holds %s, 0x%x, 0x%x, %d payload bytes, signers %r"
                            % (type_id, version, lowest, len(data) - header - 16, re.findall(r"CN = \w+", signers)))

    # TRUST: the certificate's DER bytes, from PEM or DER, and never a key:
    # as a C array's body, as the DSC line of Morvane.efi's PCD (comments
    # the DSC cannot misread), and as bytes alone.
    with open(os.path.join(certs, "TestRoot.cer"), "rb") as der:
        expected = der.read()
    forms = {"": lambda text: re.findall(r"0x([0-9A-F]{2}),", text.decode()),
             "--pcd": lambda text: re.fullmatch(r"(  # [ -#%-~]*\n){5}  gMorvanePkgTokenSpaceGuid\.PcdMorvaneTrustedCert"
                                                r"\|\{((0x[0-9A-F]{2}, )*0x[0-9A-F]{2})\}\n", text.decode())
             .group(2).replace("0x", "").split(", "),
             "--der": lambda data: ["%02X" % byte for byte in data]}
    for form, read in forms.items():
        result = run([sys.executable, TRUST] + ([form] if form else []) + [os.path.join(certs, "TestRoot.pub.pem"),
                                                                            path("trust.inc")])
        try:
            with open(path("trust.inc"), "rb") as inc:
                body = bytes(int(byte, 16) for byte in read(inc.read()))
        except (OSError, AttributeError):
            body = None
        if result.returncode != 0 or body != expected:
            problems.append("trust.py %s does not give TestRoot's DER bytes: %r" % (form, result.stderr))
    with open(path("two.pem"), "w") as two:
        for name in ("TestRoot.pub.pem", "TestSub.pub.pem"):
            with open(os.path.join(certs, name)) as pem:
                two.write(pem.read())
    for source, words in [(os.path.join(certs, "TestRoot.cer"), None),
                          (os.path.join(certs, "TestCert.pem"), "holds a private key"),
                          (path("two.pem"), "more than one PEM block"),
                          (image, "is not an X.509 certificate")]:
        for form in forms:
            if os.path.exists(path("out.inc")):
                os.remove(path("out.inc"))
            result = run([sys.executable, TRUST] + ([form] if form else []) + [source, path("out.inc")])
            if (words is None) != (result.returncode == 0) or (words and words not in result.stderr) \
                    or (words is not None) == os.path.exists(path("out.inc")):
                problems.append("trust.py %s on %s: exit %d, %r" % (form, os.path.basename(source), result.returncode,
                                                                    result.stderr))

    shutil.rmtree(work)
    for problem in problems:
        print("FAIL capsule tools: %s" % problem)
    print("capsule tools: %d refusals, a capsule and the TRUST tool checked, %d failed"
          % (len(refusals), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
