#!/usr/bin/env bash
# make capsule IMAGE=ec.bin VERSION=0x... [LOWEST=0x...] HWID={guid} [FIELDS=fields.ini]
#              SIGN_KEY=key.pem SIGN_CERT=cert.pem [OTHER_CERT=ca.pem]:
# wraps an EC image in a signed firmware-management capsule with EDK II's
# GenerateCapsule.py (the cached EDK II tree's BaseTools), as
# build/NAME.cap, NAME being the image's name without its extension.
#
#   VERSION     the image's firmware version, 32-bit hex (0x0 to 0xFFFFFFFF)
#   LOWEST      the lowest version the machine may go back to afterwards
#               (default 0x0: any), at most VERSION
#   HWID        a hardware ID of the machines it is for (fwupdtool hwids
#               shows them), with or without braces
#   FIELDS      the machine's SMBIOS fields as the key file fwupdtool hwids
#               FILE takes: HWID must be one of the IDs they give that name
#               one model (scripts/hwid.cpp, with Morvane's own rule);
#               without it HWID is checked as a GUID only
#   SIGN_KEY    the signer's private key, PEM, without a passphrase
#   SIGN_CERT   the signer's certificate, PEM
#   OTHER_CERT  certificates to send along (the CA between the signer and
#               the certificate Morvane trusts), PEM
#
# Everything comes through the environment, byte for byte (see Makefile).
# Every argument is checked before anything is built; a refusal builds
# nothing and exits 1.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE=${IMAGE:-}
VERSION=${VERSION:-}
LOWEST=${LOWEST:-0x0}
HWID=${HWID:-}
FIELDS=${FIELDS:-}
KEY=${SIGN_KEY:-}
CERT=${SIGN_CERT:-}
OTHER=${OTHER_CERT:-}

# Shows a value from the command line as printable text, cut short.
shown() {
  printf '%s' "$1" | LC_ALL=C tr -c '[:print:]' '?' | cut -c 1-80
}

refuse() {
  echo "capsule: $*; nothing was built" >&2
  exit 1
}

readable() {
  [ -f "$1" ] && [ -r "$1" ]
}

[ -n "$IMAGE" ] || refuse "name the EC image: make capsule IMAGE=ec.bin VERSION=0x... HWID={guid} SIGN_KEY=... SIGN_CERT=..."
readable "$IMAGE" || refuse "the image $(shown "$IMAGE") cannot be read"
NAME=$(basename -- "$IMAGE")
NAME=${NAME%.*}
[[ $NAME =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$ ]] ||
  refuse "the image's name $(shown "$NAME") may hold letters, digits, '.', '_' and '-' only (at most 64)"

for var in VERSION LOWEST; do
  [[ ${!var} =~ ^0[xX][0-9A-Fa-f]{1,8}$ ]] ||
    refuse "$var=$(shown "${!var}") is not a 32-bit number in hex (0x0 to 0xFFFFFFFF)"
done
[ $((LOWEST)) -le $((VERSION)) ] || refuse "LOWEST=$LOWEST is above VERSION=$VERSION"

GUID=${HWID#\{}
GUID=${GUID%\}}
[[ $GUID =~ ^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$ ]] && [ "$HWID" = "{$GUID}" -o "$HWID" = "$GUID" ] ||
  refuse "HWID=$(shown "$HWID") is not a GUID like {6de5d951-d755-576b-bd09-c5cf66b27234} (fwupdtool hwids lists the machine's)"
[[ $GUID =~ ^[0-]+$ ]] && refuse "HWID is the nil GUID, which names no machine"
if [ -n "$FIELDS" ]; then
  readable "$FIELDS" || refuse "FIELDS=$(shown "$FIELDS") cannot be read"
  bash "$ROOT/scripts/hwid.sh" --build
  WHY=$("$ROOT/build/morvane-hwid" "$FIELDS" "$GUID" 2>&1 >/dev/null) || refuse "FIELDS=$(shown "$FIELDS"): $WHY"
fi

[ -n "$KEY" ] && [ -n "$CERT" ] || refuse "give both SIGN_KEY and SIGN_CERT: Morvane takes signed capsules only"
readable "$KEY" || refuse "the key $(shown "$KEY") cannot be read"
readable "$CERT" || refuse "the certificate $(shown "$CERT") cannot be read"
openssl pkey -in "$KEY" -passin pass: -noout 2>/dev/null ||
  refuse "the key $(shown "$KEY") is not a private key in PEM, or it has a passphrase (decrypt it first: openssl pkey -in KEY -out plain.key)"
openssl x509 -in "$CERT" -noout 2>/dev/null || refuse "the certificate $(shown "$CERT") is not an X.509 certificate in PEM"
[ "$(openssl pkey -in "$KEY" -passin pass: -pubout 2>/dev/null)" = "$(openssl x509 -in "$CERT" -noout -pubkey 2>/dev/null)" ] ||
  refuse "the key $(shown "$KEY") does not belong to the certificate $(shown "$CERT")"
if [ -n "$OTHER" ]; then
  readable "$OTHER" || refuse "the certificate $(shown "$OTHER") cannot be read"
  openssl x509 -in "$OTHER" -noout 2>/dev/null || refuse "OTHER_CERT $(shown "$OTHER") is not an X.509 certificate in PEM"
fi

# The same pre-flight check as make plan: a missing, empty or over-16-MiB
# image is refused here too, and so is one that no capsule may carry (a
# capsule, or a tail the flash would leave out): the line above says why.
bash "$ROOT/scripts/plan.sh" --payload "$IMAGE" >/dev/null || refuse "the image $(shown "$IMAGE") is not one Morvane flashes (the line above says why)"

EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
PY=$EDK2/BaseTools/Source/Python
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# GenerateCapsule.py signs with openssl smime, which takes the key and its
# certificate from one file; it asks for a trusted certificate too, which it
# uses only when decoding.
(umask 077 && cat "$KEY" "$CERT" > "$WORK/signer.pem")
PYTHONPATH=$PY python3 "$PY/Capsule/GenerateCapsule.py" --encode --guid "$GUID" \
  --fw-version "$VERSION" --lsv "$LOWEST" \
  --signer-private-cert "$WORK/signer.pem" --other-public-cert "${OTHER:-$CERT}" --trusted-public-cert "$CERT" \
  -o "$WORK/out.cap" "$IMAGE" >"$WORK/generate.log" 2>&1 || { cat "$WORK/generate.log" >&2; refuse "GenerateCapsule.py failed"; }

mkdir -p "$ROOT/build"
mv "$WORK/out.cap" "$ROOT/build/$NAME.cap"
SIGNER=$(openssl x509 -in "$CERT" -noout -subject -nameopt multiline 2>/dev/null | sed -n 's/^ *commonName *= //p' | head -n 1)
echo "capsule: $ROOT/build/$NAME.cap ($(stat -c %s "$ROOT/build/$NAME.cap") bytes): $(shown "$IMAGE") ($(stat -c %s "$IMAGE") bytes)," \
  "version $VERSION, lowest $LOWEST, for hardware ID {${GUID,,}}, signed by $(shown "${SIGNER:-?}")"
