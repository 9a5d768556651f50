#!/usr/bin/env bash
# make stick IMAGE=path/to/ec.bin [MODEL="..."] [TRUST=ca.pem] [SIGN_KEY=key.pem SIGN_CERT=cert.pem] [SHELL_STICK=1]:
# checks the image as Morvane will read it, builds Morvane.efi and writes
# build/morvane-stick.img. By default Morvane.efi boots by itself and reads
# MORVANE.CFG; SIGN_KEY and SIGN_CERT sign it for Secure Boot (checked with
# sbverify before the stick is written). SHELL_STICK=1 builds the stick
# with the UEFI Shell and its startup.nsh instead. IMAGE may be a signed
# capsule (make capsule); TRUST builds the certificate into Morvane.efi,
# which then flashes only capsules signed under it, so the image must be
# such a capsule (checked here first). MODEL, TRUST, SIGN_KEY, SIGN_CERT
# and SHELL_STICK come through the environment, as make exports them (see
# the Makefile), so that no quoting of make or of this script can change
# them on their way.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE=${1:-}
CATALOG=${CATALOG:-}
KEY=${SIGN_KEY:-}
CERT=${SIGN_CERT:-}

refuse() {
  echo "stick: $*; nothing was built" >&2
  exit 1
}

# CATALOG=folder instead of IMAGE: a catalogue's stick (make plan CATALOG=
# shows it), the stick without a shell only.
[ -z "$CATALOG" ] || [ -z "$IMAGE" ] || refuse "give IMAGE or CATALOG, not both"
if [ -z "$IMAGE$CATALOG" ]; then
  echo "stick: name the EC image: make stick IMAGE=path/to/ec.bin (or a catalogue: CATALOG=folder)" >&2
  exit 2
fi
if [ -n "$CATALOG" ]; then
  [ -z "${SHELL_STICK:-}" ] || refuse "a catalogue's stick has no shell: Morvane.efi reads the index itself"
  [ -z "${MODEL+set}" ] || refuse "MODEL goes with IMAGE only: a catalogue's capsules name their machines by hardware ID"
fi

# A value as it arrived, shown as printable text.
shown() {
  printf '%s' "$1" | LC_ALL=C tr -c '[:print:]' '?' | cut -c 1-80
}

# Everything about the key is checked before anything is built: a stick
# that the machines' firmware would refuse must not come out at all.
check_signing() {
  [ -n "${SHELL_STICK:-}" ] && refuse "SIGN_KEY and SIGN_CERT sign the stick without a shell only (a signed shell would let anything past Secure Boot)"
  [ -n "$KEY" ] && [ -n "$CERT" ] || refuse "give both SIGN_KEY and SIGN_CERT"
  [ -f "$KEY" ] && [ -r "$KEY" ] || refuse "the key $KEY cannot be read"
  [ -f "$CERT" ] && [ -r "$CERT" ] || refuse "the certificate $CERT cannot be read"
  openssl pkey -in "$KEY" -passin pass: -noout 2>/dev/null ||
    refuse "the key $KEY is not a private key in PEM, or it has a passphrase (decrypt it first: openssl pkey -in $KEY -out plain.key)"
  openssl x509 -in "$CERT" -noout 2>/dev/null || refuse "the certificate $CERT is not an X.509 certificate in PEM"
  [ "$(openssl pkey -in "$KEY" -passin pass: -pubout 2>/dev/null)" = "$(openssl x509 -in "$CERT" -noout -pubkey 2>/dev/null)" ] ||
    refuse "the key $KEY does not belong to the certificate $CERT"
}

SIGNING=
if [ -n "$KEY$CERT" ]; then
  check_signing
  SIGNING=yes
fi

# The certificate Morvane is to trust, as the build will check it.
if [ -n "${TRUST:-}" ]; then
  python3 "$ROOT/scripts/trust.py" --check "$TRUST" >/dev/null ||
    refuse "TRUST=$(shown "$TRUST") cannot be built into Morvane.efi"
fi

if [ -n "$CATALOG" ]; then
  STAGE=$ROOT/build/stick-catalog
  rm -rf "$STAGE"
  trap 'rm -rf "$STAGE"' EXIT
  bash "$ROOT/scripts/plan.sh" --catalog "$CATALOG" --out "$STAGE" || refuse "the catalogue $(shown "$CATALOG") was refused"
  [ -n "${TRUST:-}" ] ||
    echo "stick: warning: no TRUST given: Morvane will flash the catalogue's capsules without checking their signature" >&2
  bash "$ROOT/scripts/build.sh" >/dev/null
  EFI=$ROOT/build/Morvane.efi
  if [ -n "$SIGNING" ]; then
    EFI=$ROOT/build/Morvane-signed.efi
    rm -f "$EFI"
    sbsign --key "$KEY" --cert "$CERT" --output "$EFI" "$ROOT/build/Morvane.efi" >/dev/null 2>&1 ||
      refuse "sbsign could not sign Morvane.efi with $KEY"
    sbverify --cert "$CERT" "$EFI" >/dev/null 2>&1 || refuse "the signed Morvane.efi does not verify against $CERT"
  fi
  /usr/bin/python3 "$ROOT/scripts/stick.py" --catalog "$STAGE" "$ROOT/build/morvane-stick.img" --efi "$EFI"
  echo "stick: $ROOT/build/morvane-stick.img (write it to a USB stick; see docs/stick.md)"
  exit 0
fi

# --model=VALUE: a model starting with '-' is still a value.
MODEL_ARGS=()
if [ -n "${MODEL+set}" ]; then
  MODEL_ARGS=("--model=$MODEL")
fi
KIND_ARGS=()
[ -z "${SHELL_STICK:-}" ] || KIND_ARGS=(--shell)
# The image's name and the model, before anything is built.
/usr/bin/python3 "$ROOT/scripts/stick.py" --check "${KIND_ARGS[@]}" "${MODEL_ARGS[@]}" -- "$IMAGE"

# The pre-flight check refuses a missing, empty or over-16-MiB image, and a
# capsule Morvane does not take; with TRUST, also what a Morvane built with
# it would refuse: a raw image, or a capsule whose signature does not verify.
bash "$ROOT/scripts/plan.sh" "$IMAGE" || {
  [ -z "${TRUST:-}" ] || refuse "the Morvane built with TRUST=$(shown "$TRUST") would refuse $(shown "$IMAGE")"
  exit 1
}
CRC=$(bash "$ROOT/scripts/plan.sh" --crc "$IMAGE")
if [ "$(bash "$ROOT/scripts/plan.sh" --kind "$IMAGE")" = capsule ] && [ -z "${TRUST:-}" ]; then
  echo "stick: warning: no TRUST given: Morvane will flash this capsule without checking its signature" >&2
fi

if [ -n "${SHELL_STICK:-}" ]; then
  bash "$ROOT/scripts/build.sh" shell >/dev/null
  /usr/bin/python3 "$ROOT/scripts/stick.py" --shell "${MODEL_ARGS[@]}" -- "$ROOT/build" "$IMAGE" "$CRC" "$ROOT/build/morvane-stick.img"
else
  bash "$ROOT/scripts/build.sh" >/dev/null
  EFI_ARGS=()
  if [ -n "$SIGNING" ]; then
    SIGNED=$ROOT/build/Morvane-signed.efi
    rm -f "$SIGNED"
    sbsign --key "$KEY" --cert "$CERT" --output "$SIGNED" "$ROOT/build/Morvane.efi" >/dev/null 2>&1 ||
      refuse "sbsign could not sign Morvane.efi with $KEY"
    sbverify --cert "$CERT" "$SIGNED" >/dev/null 2>&1 || refuse "the signed Morvane.efi does not verify against $CERT"
    echo "stick: Morvane.efi signed with $KEY and verified against $CERT"
    EFI_ARGS=(--efi "$SIGNED")
  fi
  /usr/bin/python3 "$ROOT/scripts/stick.py" "${EFI_ARGS[@]}" "${MODEL_ARGS[@]}" -- "$ROOT/build" "$IMAGE" "$CRC" "$ROOT/build/morvane-stick.img"
fi
echo "stick: $ROOT/build/morvane-stick.img (write it to a USB stick; see docs/stick.md)"
