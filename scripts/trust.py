#!/usr/bin/env python3
"""Turns the certificate Morvane is to trust (TRUST: the one whose chain
signs capsules) into what a module compiles in: the DER bytes as the body
of a C array, for

    STATIC CONST UINT8  mTrust[] = {
    #include "Trust.inc"
    };

    trust.py CERT OUT.inc

or into the line of the DSC that builds it into Morvane.efi (scripts/build.sh
writes it into the file MorvanePkg.dsc's [PcdsFixedAtBuild] includes), or
into the DER bytes alone (for the host planner, scripts/plan.sh):

    trust.py --pcd CERT OUT.inc
    trust.py --der CERT OUT.der
    trust.py --check CERT           (writes nothing; says which certificate it is)

CERT is one X.509 certificate, PEM or DER. A file holding anything else
(a private key above all, or several certificates) is refused and nothing
is written. The first lines of OUT.inc say which certificate it is.
"""

import hashlib
import os
import subprocess
import sys
import tempfile


def refuse(message):
    sys.exit("trust: %s; nothing was written" % message)


def certificate_der(path):
    try:
        with open(path, "rb") as source:
            data = source.read(1024 * 1024 + 1)
    except OSError as error:
        refuse("%s cannot be read (%s)" % (ascii(path), error.strerror))
    if len(data) > 1024 * 1024:
        refuse("%s is larger than any certificate" % ascii(path))
    if b"PRIVATE KEY" in data:
        refuse("%s holds a private key: compile in the certificate only" % ascii(path))
    pem = data.lstrip().startswith(b"-----BEGIN")
    if pem and data.count(b"-----BEGIN ") != 1:
        refuse("%s holds more than one PEM block: give the one certificate to trust" % ascii(path))
    if pem and b"-----BEGIN CERTIFICATE-----" not in data:
        refuse("%s holds no certificate" % ascii(path))
    result = subprocess.run(["openssl", "x509", "-inform", "PEM" if pem else "DER", "-outform", "DER"],
                            input=data, capture_output=True)
    if result.returncode != 0 or not result.stdout:
        refuse("%s is not an X.509 certificate" % ascii(path))
    return result.stdout


def describe(der):
    """The certificate's subject and expiry, as openssl prints them."""
    result = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-subject", "-enddate"],
                            input=der, capture_output=True)
    return [line.decode("ascii", "replace") for line in result.stdout.splitlines()]


def printable(text):
    """Text for a comment line: printable ASCII, and no '$' a DSC could take
    for a macro."""
    return "".join(char if " " <= char <= "~" and char != "$" else "?" for char in text)


def heading(der, source, comment):
    """What the written file says about the certificate it holds."""
    lines = ["The certificate Morvane trusts to sign capsules (DER, %d bytes)," % len(der),
             "made by scripts/trust.py from %s." % os.path.basename(source)]
    lines += describe(der) + ["sha256=%s" % hashlib.sha256(der).hexdigest()]
    return [comment + printable(line) for line in lines]


def c_array(der, source):
    lines = heading(der, source, "// ")
    for at in range(0, len(der), 16):
        lines.append("  " + " ".join("0x%02X," % byte for byte in der[at:at + 16]))
    return ("\n".join(lines) + "\n").encode()


def pcd_line(der, source):
    """MorvanePkg.dec's PcdMorvaneTrustedCert with the certificate as its value."""
    value = ", ".join("0x%02X" % byte for byte in der)
    lines = heading(der, source, "  # ") + ["  gMorvanePkgTokenSpaceGuid.PcdMorvaneTrustedCert|{%s}" % value]
    return ("\n".join(lines) + "\n").encode()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        print("trust: %s" % "; ".join(describe(certificate_der(sys.argv[2]))))
        return 0
    forms = {"--pcd": pcd_line, "--der": lambda der, source: der}
    form = forms.get(sys.argv[1]) if len(sys.argv) == 4 else c_array if len(sys.argv) == 3 else None
    if form is None:
        sys.exit(__doc__)
    source, target = sys.argv[-2], sys.argv[-1]
    der = certificate_der(source)
    folder = os.path.dirname(os.path.abspath(target))
    with tempfile.NamedTemporaryFile("wb", dir=folder, delete=False) as out:
        out.write(form(der, source))
    os.replace(out.name, target)
    print("trust: %s (%d bytes of DER) %s" % (target, len(der), "; ".join(describe(der))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
