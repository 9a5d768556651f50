#!/usr/bin/env bash
# Builds the host planner from the product's own block rules, CRC-32 and
# capsule parser, and runs it on an image:
#
#   scripts/plan.sh [--crc | --kind | --payload] IMAGE
#   scripts/plan.sh --catalog FOLDER [--out STAGE]   (or CATALOG=FOLDER and no IMAGE)
#                                    a catalogue: each capsule checked, the table;
#                                    STAGE gets CATALOG.TXT and the capsules it offers
#   scripts/plan.sh --index CATALOG.TXT  the index as the machines read it, an entry a line
#   scripts/plan.sh --build          only builds it, as build/morvane-plan
#
# TRUST=cert.pem (environment, as make exports it) checks a capsule's
# signature against the certificate a Morvane built with TRUST holds, and
# refuses a raw image, which such a Morvane refuses; TRUST is checked as
# scripts/trust.py checks it for the build.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
OUT=$ROOT/build/morvane-plan
SOURCES=("$ROOT/scripts/plan.cpp" "$ROOT/scripts/HostEdge.cpp" "$ROOT/flash/EcImagePlan.cpp" "$ROOT/run/Crc32.cpp" "$ROOT/capsule/EcCapsuleParse.cpp"
  "$ROOT/capsule/EcHwId.cpp" "$ROOT/scripts/HwIdFields.cpp" "$ROOT"/scripts/catalog/*.cpp "$ROOT/catalog/EcCatalogParse.cpp")
# The index is read with the machines' own parser, which formats its
# refusals with MdePkg's PrintLib: compiled here as C, as on firmware.
PRINT_LIB=("$EDK2"/MdePkg/Library/BasePrintLib/{PrintLib,PrintLibInternal}.c
  "$EDK2"/MdePkg/Library/BaseLib/{SafeString,String,Math64,DivU64x32,DivU64x32Remainder,MultU64x32,LShiftU64,RShiftU64,SwapBytes16,SwapBytes32,Unaligned,BitField}.c)

# The EDK II base types only; -fshort-wchar satisfies Base.h's checks of
# L"" literals, which this program does not otherwise use.
if [ ! -x "$OUT" ] || [ -n "$(find "${SOURCES[@]}" "$ROOT/flash/EcImagePlan.h" "$ROOT/run/Crc32.h" \
      "$ROOT/capsule/EcCapsule.h" "$ROOT/scripts/HwIdFields.h" "$ROOT"/scripts/catalog/*.h "$ROOT/catalog/EcCatalog.h" \
      "$ROOT/ec/Ucs2.h" -newer "$OUT")" ]; then
  mkdir -p "$ROOT/build/plan-print"
  DEFINES=(-DMDEPKG_NDEBUG -DNO_MSABI_VA_FUNCS -D_PCD_GET_MODE_32_PcdMaximumUnicodeStringLength=1000000
    -D_PCD_GET_MODE_32_PcdMaximumAsciiStringLength=1000000)
  EDK2_INCLUDES=(-I"$EDK2/MdePkg/Include" -I"$EDK2/MdePkg/Include/X64")
  for SOURCE in "${PRINT_LIB[@]}"; do
    gcc -std=gnu11 -O2 -w -fshort-wchar -fno-strict-aliasing "${DEFINES[@]}" "${EDK2_INCLUDES[@]}" \
      -c "$SOURCE" -o "$ROOT/build/plan-print/$(basename "$SOURCE" .c).o"
  done
  g++ -std=c++17 -O2 -Wall -fshort-wchar "${DEFINES[@]}" \
    -I"$ROOT/flash" -I"$ROOT/run" -I"$ROOT/capsule" -I"$ROOT/catalog" -I"$ROOT/ec" -I"$ROOT/scripts" -I"$ROOT/scripts/catalog" \
    "${EDK2_INCLUDES[@]}" -I"$EDK2/CryptoPkg/Include" \
    "${SOURCES[@]}" "$ROOT"/build/plan-print/*.o -lcrypto -o "$OUT.next"
  mv "$OUT.next" "$OUT"
fi

[ "${1:-}" != --build ] || exit 0
# make plan CATALOG=folder: the catalogue's table (make passes IMAGE too,
# empty then).
if [ -n "${CATALOG:-}" ] && [ $# -le 1 ]; then
  [ -z "${1:-}" ] || { echo "plan: give IMAGE or CATALOG, not both; nothing to flash." >&2; exit 2; }
  set -- --catalog "$CATALOG"
fi
if [ -n "${TRUST:-}" ] && [ "${1:-}" != --crc ] && [ "${1:-}" != --kind ] && [ "${1:-}" != --payload ] &&
   [ "${1:-}" != --index ]; then
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  python3 "$ROOT/scripts/trust.py" --der "$TRUST" "$WORK/trust.der" >/dev/null ||
    { echo "plan: TRUST was refused; nothing to flash." >&2; exit 1; }
  "$OUT" --trust "$WORK/trust.der" "$@"
else
  "$OUT" "$@"
fi
