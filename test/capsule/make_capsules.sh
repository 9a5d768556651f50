#!/usr/bin/env bash
# Makes the capsules the host tests take apart, with EDK II's own
# GenerateCapsule.py and its test certificates (TestCert signed by TestSub,
# signed by TestRoot), and one signer of no chain the tests trust.
#
#   make_capsules.sh OUTDIR EDK2 [GUID]
#
# OUTDIR/ec.bin        the EC image (3000 bytes of a pattern)
# OUTDIR/good.cap      for GUID, signed by TestCert: version 0x200, lowest 0x80, count 7
# OUTDIR/unsigned.cap  the same, without a signature
# OUTDIR/other.cap     the same, signed by "Another signer"
# OUTDIR/big.cap       good.cap's kind, of big.bin: 16 MiB
# OUTDIR/two.cap       good.cap's kind, of two.bin: two whole 64 KiB blocks
# OUTDIR/nested.cap    good.cap's kind, of good.cap itself: a capsule inside a capsule
# OUTDIR/cut.cap       good.cap's kind, of cut.bin: a block and 4 KiB, a tail the flash leaves out
# OUTDIR/root.cer, sub.cer, other.cer   the certificates, DER
set -euo pipefail

OUT=$1
EDK2=$2
PY=$EDK2/BaseTools/Source/Python
CERTS=$PY/Pkcs7Sign
GUID=${3:-5e1ae1a3-4c1d-5b7e-9a8f-6b1d2c3e4f50}

mkdir -p "$OUT"
cd "$OUT"
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 0xFF for i in range(3000)))' > ec.bin

generate() {
  PYTHONPATH=$PY python3 "$PY/Capsule/GenerateCapsule.py" --encode --guid "$GUID" \
    --fw-version 0x00000200 --lsv 0x00000080 --monotonic-count 7 "$@" "${IMAGE:-ec.bin}"
}

signed() {
  IMAGE=$2 generate --signer-private-cert "$CERTS/TestCert.pem" --other-public-cert "$CERTS/TestSub.pub.pem" \
    --trusted-public-cert "$CERTS/TestRoot.pub.pem" -o "$1"
}

signed good.cap ec.bin
generate -o unsigned.cap

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Another signer" \
  -keyout other.key -out other.crt 2>/dev/null
cat other.key other.crt > other.pem
generate --signer-private-cert other.pem --other-public-cert other.crt --trusted-public-cert other.crt -o other.cap

# A capsule of a whole 16 MiB EC flash: a file larger than 16 MiB.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 13 + 5) & 0xFF for i in range(256)) * 65536)' > big.bin
signed big.cap big.bin

# Well signed, yet what they carry cannot reach the EC whole.
signed nested.cap good.cap
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 11 + 1) & 0xFF for i in range(0x10000 + 4096)))' > cut.bin
signed cut.cap cut.bin

# Two blocks: a part of one block takes the second over the first, which
# only the closing check sees.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 11 + (i >> 16) * 0x55 + 1) & 0xFF for i in range(0x20000)))' > two.bin
PYTHONPATH=$PY python3 "$PY/Capsule/GenerateCapsule.py" --encode --guid "$GUID" --fw-version 0x00000200 \
  --lsv 0x00000080 --monotonic-count 7 --signer-private-cert "$CERTS/TestCert.pem" \
  --other-public-cert "$CERTS/TestSub.pub.pem" --trusted-public-cert "$CERTS/TestRoot.pub.pem" -o two.cap two.bin

openssl x509 -in "$CERTS/TestRoot.pub.pem" -outform DER -out root.cer
openssl x509 -in "$CERTS/TestSub.pub.pem" -outform DER -out sub.cer
openssl x509 -in other.crt -outform DER -out other.cer
