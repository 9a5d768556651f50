#!/usr/bin/env bash
# Builds the MorvanePkg platform (Morvane.efi and the test driver) with the
# EDK II tree that setup.sh prepared, and copies the images to build/.
#
#   build.sh          Morvane.efi, EcSimDxe.efi, EcSimCtl.efi
#   build.sh shell    also the stick's UEFI Shell, as build/Shell.efi
#
#   TRUST=cert.pem    (environment, as make exports it) builds the certificate
#                     into Morvane.efi: it then flashes only capsules signed
#                     under it. Checked by scripts/trust.py (one X.509
#                     certificate, PEM or DER; a private key or several
#                     certificates refused); a refused TRUST builds nothing.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WS=$ROOT/build/ws
OUT=$ROOT/build
TRUST=${TRUST:-}

# A value as it arrived, shown as printable text.
shown() {
  printf '%s' "$1" | LC_ALL=C tr -c '[:print:]' '?' | cut -c 1-80
}

mkdir -p "$WS/Conf"
# MorvanePkg.dsc's [PcdsFixedAtBuild] includes this file: the PCD line of
# the trusted certificate, or nothing. It is written on every build, so a
# build without TRUST never keeps an earlier build's certificate.
PCDS=$WS/MorvaneTrust.inc
if [ -n "$TRUST" ]; then
  python3 "$ROOT/scripts/trust.py" --pcd "$TRUST" "$PCDS.next" >/dev/null ||
    { echo "build: TRUST=$(shown "$TRUST") was refused; nothing was built" >&2; exit 1; }
  python3 "$ROOT/scripts/trust.py" --der "$TRUST" "$WS/MorvaneTrust.der" >/dev/null
  mv "$PCDS.next" "$PCDS"
  # A failed build must not leave an earlier Morvane.efi (another
  # certificate, or none) looking like its result.
  rm -f "$OUT/Morvane.efi"
else
  : >"$PCDS"
  rm -f "$WS/MorvaneTrust.der"
fi

EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
ln -sfn "$ROOT" "$WS/MorvanePkg"

# edk2_build PLATFORM.dsc OUTPUT_FOLDER: one platform, its .efi files to build/.
edk2_build() {
  local dsc=$1 folder=$2
  (
    set --
    export WORKSPACE=$WS
    export PACKAGES_PATH=$WS:$EDK2
    export EDK_TOOLS_PATH=$EDK2/BaseTools
    # A Conf of its own: without one, edksetup.sh writes into the shared
    # EDK II tree, where builds of other worktrees read it at the same time.
    export CONF_PATH=$WS/Conf
    cd "$EDK2"
    # edksetup.sh reads unset variables and positional arguments.
    set +u
    . ./edksetup.sh >/dev/null
    set -u
    build -q -a X64 -t GCC5 -b RELEASE -n "$(nproc)" -p "MorvanePkg/$dsc" -D "MORVANE_TRUST_PCDS=$PCDS" \
      >"$OUT/edk2-build.log" 2>&1 ||
      { cat "$OUT/edk2-build.log"; exit 1; }
  )
  for efi in "$WS/Build/$folder/RELEASE_GCC5/X64"/*.efi; do
    cp "$efi" "$OUT/"
  done
}

edk2_build MorvanePkg.dsc Morvane
if [ -n "$TRUST" ]; then
  # The certificate is a FixedAtBuild PCD: its DER bytes lie in the image as
  # they are. Without them the build did not take it (an older package
  # without the PCD, or a stale object), and the result must not pass for
  # a trusting Morvane.
  python3 - "$OUT/Morvane.efi" "$WS/MorvaneTrust.der" <<'CHECK' ||
import sys
sys.exit(open(sys.argv[2], "rb").read() not in open(sys.argv[1], "rb").read())
CHECK
    { rm -f "$OUT/Morvane.efi"; echo "build: Morvane.efi does not hold the certificate TRUST names; nothing was built" >&2; exit 1; }
  SUBJECT=$(openssl x509 -inform DER -in "$WS/MorvaneTrust.der" -noout -subject | LC_ALL=C tr -c "[:print:]\n" "?")
  echo "built: $OUT/Morvane.efi ($(stat -c %s "$OUT/Morvane.efi") bytes), trusting ${SUBJECT#subject=}"
else
  echo "built: $OUT/Morvane.efi ($(stat -c %s "$OUT/Morvane.efi") bytes), trusting no signer"
fi
if [ "${1:-}" = shell ]; then
  edk2_build stick/StickShell.dsc MorvaneStickShell
  echo "built: $OUT/Shell.efi"
fi
