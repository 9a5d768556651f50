#!/usr/bin/env bash
# Builds the host planner from the product's own block rules and CRC-32, and
# runs it on an image: scripts/plan.sh [--crc] IMAGE
# (scripts/plan.sh --build only builds it, as build/morvane-plan).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
OUT=$ROOT/build/morvane-plan

# The EDK II base types only; -fshort-wchar satisfies Base.h's checks of
# L"" literals, which this program does not otherwise use.
if [ ! -x "$OUT" ] || [ -n "$(find "$ROOT/scripts/plan.cpp" "$ROOT/flash/EcImagePlan.cpp" "$ROOT/flash/EcImagePlan.h" \
      "$ROOT/run/Crc32.cpp" "$ROOT/run/Crc32.h" -newer "$OUT")" ]; then
  mkdir -p "$ROOT/build"
  g++ -std=c++17 -O2 -Wall -fshort-wchar -DMDEPKG_NDEBUG -DNO_MSABI_VA_FUNCS \
    -I"$ROOT/flash" -I"$ROOT/run" -I"$EDK2/MdePkg/Include" -I"$EDK2/MdePkg/Include/X64" \
    "$ROOT/scripts/plan.cpp" "$ROOT/flash/EcImagePlan.cpp" "$ROOT/run/Crc32.cpp" -o "$OUT"
fi

[ "${1:-}" = --build ] || "$OUT" "$@"
