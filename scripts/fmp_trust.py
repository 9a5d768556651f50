#!/usr/bin/env python3
"""Turns TRUST (the certificates that EC update capsules must chain to) into
the DSC line of FmpDxe's PcdFmpDevicePkcs7CertBufferXdr.

    fmp_trust.py TRUST OUTPUT.inc

TRUST is a PEM file holding one or more certificates, or one DER
certificate. Each is checked by openssl and stored as FmpDxe reads them:
a 32-bit big-endian length, the DER bytes, zeros to the next multiple of
four (RFC 4506 variable-length opaque data). A file that holds a private
key is refused: the driver must carry certificates only. Prints one line
per certificate (its subject and SHA-256 fingerprint); exits 1 with the
reason when TRUST is refused.
"""

import re
import struct
import subprocess
import sys

MAX_FILE = 256 * 1024
MAX_CERTIFICATES = 8
PEM_BLOCK = re.compile(rb"-----BEGIN ([A-Z0-9 ]+)-----\s*(.*?)\s*-----END \1-----", re.S)


def refuse(reason):
    print("fmp: TRUST refused: %s" % reason, file=sys.stderr)
    sys.exit(1)


def openssl(arguments, data):
    result = subprocess.run(["openssl"] + arguments, input=data, capture_output=True)
    return result.stdout if result.returncode == 0 else None


def certificates(content):
    """The DER certificates in content (PEM or DER)."""
    blocks = PEM_BLOCK.findall(content)
    if not blocks:
        der = openssl(["x509", "-inform", "DER", "-outform", "DER"], content)
        if der is None:
            refuse("not a PEM or DER certificate")
        return [der]
    if any(b"PRIVATE KEY" in kind for kind, _ in blocks):
        refuse("the file holds a private key; give the certificate alone")
    found = []
    for kind, _ in blocks:
        if kind != b"CERTIFICATE":
            refuse("holds a %s, not only certificates" % kind.decode("ascii", "replace"))
    for match in PEM_BLOCK.finditer(content):
        der = openssl(["x509", "-outform", "DER"], match.group(0))
        if der is None:
            refuse("certificate %d cannot be read" % (len(found) + 1))
        found.append(der)
    return found


def xdr(ders):
    out = bytearray()
    for der in ders:
        out += struct.pack(">I", len(der)) + der + b"\0" * (-len(der) % 4)
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], "rb") as source:
            content = source.read(MAX_FILE + 1)
    except OSError as error:
        refuse("cannot be read (%s)" % error.strerror)
    if not content:
        refuse("the file is empty")
    if len(content) > MAX_FILE:
        refuse("larger than %d KiB" % (MAX_FILE // 1024))
    ders = certificates(content)
    if len(ders) > MAX_CERTIFICATES:
        refuse("more than %d certificates" % MAX_CERTIFICATES)
    for der in ders:
        subject = openssl(["x509", "-inform", "DER", "-noout", "-subject", "-fingerprint", "-sha256"], der)
        print("fmp: trusts %s" % " ".join(subject.decode("utf-8", "replace").split("\n")).strip())
    value = ", ".join("0x%02X" % byte for byte in xdr(ders))
    with open(sys.argv[2], "w") as out:
        out.write("  gFmpDevicePkgTokenSpaceGuid.PcdFmpDevicePkcs7CertBufferXdr|{%s}\n" % value)
    return 0


if __name__ == "__main__":
    sys.exit(main())
