#!/usr/bin/env bash
# Builds the MorvanePkg platform (Morvane.efi and the test driver) with the
# EDK II tree that setup.sh prepared, and copies the images to build/.
#
#   build.sh          Morvane.efi, EcSimDxe.efi, EcSimCtl.efi
#   build.sh shell    also the stick's UEFI Shell, as build/Shell.efi
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
WS=$ROOT/build/ws
OUT=$ROOT/build

mkdir -p "$WS/Conf"
ln -sfn "$ROOT" "$WS/MorvanePkg"

# The certificate Morvane.efi trusts, as MorvanePkg.dsc includes it: the
# PCD line of TRUST's certificate, or nothing (no certificate: raw images
# and unchecked capsules, as before signed images).
TRUST_PCDS=$WS/MorvaneTrust.inc
: >"$TRUST_PCDS"

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
    build -q -a X64 -t GCC5 -b RELEASE -n "$(nproc)" -p "MorvanePkg/$dsc" -D "MORVANE_TRUST_PCDS=$TRUST_PCDS" \
      >"$OUT/edk2-build.log" 2>&1 ||
      { cat "$OUT/edk2-build.log"; exit 1; }
  )
  for efi in "$WS/Build/$folder/RELEASE_GCC5/X64"/*.efi; do
    cp "$efi" "$OUT/"
  done
}

edk2_build MorvanePkg.dsc Morvane
echo "built: $OUT/Morvane.efi"
if [ "${1:-}" = shell ]; then
  edk2_build stick/StickShell.dsc MorvaneStickShell
  echo "built: $OUT/Shell.efi"
fi
