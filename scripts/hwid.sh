#!/usr/bin/env bash
# Builds the host's hardware ID check from the product's own hardware ID
# code (capsule/EcHwId.cpp) and runs it:
#
#   scripts/hwid.sh FIELDS [GUID]   see scripts/hwid.cpp
#   scripts/hwid.sh --build         only builds it, as build/morvane-hwid
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
OUT=$ROOT/build/morvane-hwid
SOURCES=("$ROOT/scripts/hwid.cpp" "$ROOT/scripts/HostEdge.cpp" "$ROOT/scripts/HwIdFields.cpp" "$ROOT/capsule/EcHwId.cpp")

# The EDK II base types only, as scripts/plan.sh builds its planner.
if [ ! -x "$OUT" ] || [ -n "$(find "${SOURCES[@]}" "$ROOT/scripts/HwIdFields.h" "$ROOT/capsule/EcCapsule.h" -newer "$OUT")" ]; then
  mkdir -p "$ROOT/build"
  g++ -std=c++17 -O2 -Wall -fshort-wchar -DMDEPKG_NDEBUG -DNO_MSABI_VA_FUNCS \
    -I"$ROOT/capsule" -I"$ROOT/scripts" -I"$EDK2/MdePkg/Include" -I"$EDK2/MdePkg/Include/X64" -I"$EDK2/CryptoPkg/Include" \
    "${SOURCES[@]}" -lcrypto -o "$OUT.next.$$"
  mv "$OUT.next.$$" "$OUT"
fi

[ "${1:-}" != --build ] || exit 0
"$OUT" "$@"
