#!/usr/bin/env python3
"""Turns TRUST (the certificate that EC update capsules must chain to) into
the DSC line of FmpDxe's PcdFmpDevicePkcs7CertBufferXdr, for the EC update
driver (scripts/fmp.sh).

    fmp_trust.py TRUST OUTPUT.inc

TRUST is checked as scripts/trust.py checks it for Morvane (one X.509
certificate, PEM or DER; a private key or several certificates refused).
FmpDxe reads the PCD as RFC 4506 variable-length opaque data: a 32-bit
big-endian length, the DER bytes, zeros to the next multiple of four.
"""

import struct
import sys

from trust import certificate_der, describe


def xdr(der):
    return struct.pack(">I", len(der)) + der + b"\0" * (-len(der) % 4)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    der = certificate_der(sys.argv[1])
    value = ", ".join("0x%02X" % byte for byte in xdr(der))
    with open(sys.argv[2], "w") as out:
        out.write("      gFmpDevicePkgTokenSpaceGuid.PcdFmpDevicePkcs7CertBufferXdr|{%s}\n" % value)
    print("fmp: trusts %s" % "; ".join(describe(der)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
