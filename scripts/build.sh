#!/usr/bin/env bash
# Builds the MorvanePkg platform (Morvane.efi and the test driver) with the
# EDK II tree that setup.sh prepared, and copies the images to build/.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
WS=$ROOT/build/ws
OUT=$ROOT/build

mkdir -p "$WS"
ln -sfn "$ROOT" "$WS/MorvanePkg"

(
  export WORKSPACE=$WS
  export PACKAGES_PATH=$WS:$EDK2
  export EDK_TOOLS_PATH=$EDK2/BaseTools
  cd "$EDK2"
  # edksetup.sh reads unset variables and positional arguments.
  set +u
  . ./edksetup.sh >/dev/null
  set -u
  build -q -a X64 -t GCC5 -b RELEASE -n "$(nproc)" -p MorvanePkg/MorvanePkg.dsc >"$OUT/edk2-build.log" 2>&1 ||
    { cat "$OUT/edk2-build.log"; exit 1; }
)

BIN=$WS/Build/Morvane/RELEASE_GCC5/X64
for efi in "$BIN"/*.efi; do
  cp "$efi" "$OUT/"
done
echo "built: $OUT/Morvane.efi"
