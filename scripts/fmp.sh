#!/usr/bin/env bash
# make fmp HWID=GUID TRUST=cert.pem: builds the EC update driver,
# build/EcFmpDxe.efi (FmpDevicePkg's FmpDxe over the EC's device library,
# driver/EcFmp.dsc), and the same driver as a PCI option ROM,
# build/EcFmpDxe.rom.
#
#   HWID    the machines' hardware ID, which their capsules name (as for
#           make capsule): the driver's image type and the ESRT's
#           firmware class
#   TRUST   the certificate capsules must be signed under (PEM or DER;
#           checked as make capsule's scripts/trust.py checks it)
#
#   fmp.sh          the driver and its option ROM
#   fmp.sh test     also the test-only parts (test/e2e/capsule/FmpTest.dsc):
#                   a capsule service that processes capsules at once, the
#                   ESRT driver, CapsuleApp, and one option ROM holding the
#                   capsule service, the driver and the ESRT driver, in
#                   build/fmp-test/
#
# HWID and TRUST come through the environment, as make exports them (see
# the Makefile). OpenSSL (nearly all of the driver) is compiled once into a
# workspace kept beside the EDK II tree, so later builds take seconds.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
# FMP_OUT: another output folder (a test suite building its own driver).
OUT=${FMP_OUT:-$ROOT/build}
MODE=${1:-}

refuse() {
  echo "fmp: $*; nothing was built" >&2
  exit 1
}

# A value as it arrived, shown as printable text.
shown() {
  printf '%s' "$1" | LC_ALL=C tr -c '[:print:]' '?' | cut -c 1-80
}

HWID=${HWID:-}
TRUST=${TRUST:-}
# A refused build must not leave an earlier driver (another GUID, other
# certificates) looking like its result.
rm -f "$OUT/EcFmpDxe.efi" "$OUT/EcFmpDxe.rom"
[ -n "$HWID" ] || refuse "give the machines' hardware ID and the certificate: make fmp HWID={guid} TRUST=cert.pem"
[ -n "$TRUST" ] || refuse "give the certificate capsules are signed under: TRUST=cert.pem"
# As make capsule takes it: with or without braces.
GUID=${HWID#\{}
GUID=${GUID%\}}
[[ "$GUID" =~ ^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$ ]] &&
  [ "$HWID" = "{$GUID}" -o "$HWID" = "$GUID" ] ||
  refuse "HWID is not a GUID like {6de5d951-d755-576b-bd09-c5cf66b27234}: $(shown "$HWID")"
[[ "$GUID" =~ [1-9A-Fa-f] ]] || refuse "HWID is the nil GUID"
[ -f "$TRUST" ] && [ -r "$TRUST" ] || refuse "the certificate $(shown "$TRUST") cannot be read"

EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
CACHE=${MORVANE_CACHE:-$HOME/.cache/morvane}
KEY=$(printf '%s %s' "$EDK2" "$(gcc -dumpfullversion)" | sha256sum | cut -c1-12)
WS=$CACHE/fmp-ws-$KEY
mkdir -p "$WS/conf" "$OUT/fmp-test"
# One build at a time in the shared workspace, whichever checkout asks:
# from the PCDs on, which another build with another GUID or certificate
# would otherwise rewrite under this one.
exec 9>"$WS/lock"
flock 9
PCDS=$WS/EcFmpPcds.inc
python3 "$ROOT/scripts/fmp_trust.py" "$TRUST" "$PCDS" || refuse "TRUST was refused"
printf '      gFmpDevicePkgTokenSpaceGuid.PcdFmpDeviceImageTypeIdGuid|{GUID("%s")}\n' "$GUID" >>"$PCDS"

ln -sfn "$ROOT" "$WS/MorvanePkg"

# edk2_build PLATFORM.dsc OUTPUT_FOLDER [-D NAME=VALUE...]
edk2_build() {
  local dsc=$1 folder=$2
  shift 2
  # Another checkout's objects of the same sources may look newer than
  # this one's: only what comes from the EDK II tree is kept.
  rm -rf "$WS/Build/$folder/RELEASE_GCC5/X64/MorvanePkg" "$WS/Build/$folder/RELEASE_GCC5/X64/FmpDevicePkg/FmpDxe"
  (
    local defines=("$@")
    set --
    export WORKSPACE=$WS PACKAGES_PATH=$WS:$EDK2 EDK_TOOLS_PATH=$EDK2/BaseTools CONF_PATH=$WS/conf
    cd "$EDK2"
    set +u
    . ./edksetup.sh >/dev/null
    set -u
    build -a X64 -t GCC5 -b RELEASE -n "$(nproc)" -p "MorvanePkg/$dsc" "${defines[@]}" \
      >"$OUT/fmp-build.log" 2>&1 || { tail -n 60 "$OUT/fmp-build.log"; exit 1; }
  )
}

elapsed() {
  python3 -c 'import sys, time; print("%.1f" % (time.time() - float(sys.argv[1])))' "$1"
}

efirom() {
  "$EDK2/BaseTools/Source/C/bin/EfiRom" -f 0x1b36 -i 0x0005 "$@" >/dev/null
}

started=$(date +%s.%N)
edk2_build driver/EcFmp.dsc MorvaneEcFmp -D "EC_FMP_PCDS=$PCDS"
cp "$WS/Build/MorvaneEcFmp/RELEASE_GCC5/X64/FmpDxe.efi" "$OUT/EcFmpDxe.efi"
efirom -e "$OUT/EcFmpDxe.efi" -o "$OUT/EcFmpDxe.rom"
printf 'fmp: built %s (%d bytes) and %s (%d bytes) in %s s\n' "$OUT/EcFmpDxe.efi" "$(stat -c %s "$OUT/EcFmpDxe.efi")" \
  "$OUT/EcFmpDxe.rom" "$(stat -c %s "$OUT/EcFmpDxe.rom")" "$(elapsed "$started")"

if [ "$MODE" = test ]; then
  started=$(date +%s.%N)
  edk2_build test/e2e/capsule/FmpTest.dsc MorvaneFmpTest
  for efi in TestCapsuleRuntimeDxe EsrtFmpDxe CapsuleApp; do
    cp "$WS/Build/MorvaneFmpTest/RELEASE_GCC5/X64/$efi.efi" "$OUT/fmp-test/"
  done
  # The capsule service first: the firmware loads the ROM's images in order.
  efirom -ec "$OUT/fmp-test/TestCapsuleRuntimeDxe.efi" "$OUT/EcFmpDxe.efi" "$OUT/fmp-test/EsrtFmpDxe.efi" \
    -o "$OUT/fmp-test/fmp-test.rom"
  printf 'fmp: built the test parts in %s in %s s\n' "$OUT/fmp-test" "$(elapsed "$started")"
fi
