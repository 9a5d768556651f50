#!/usr/bin/env bash
# Builds and runs the host tests (GoogleTest under CTest).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
OUT=$ROOT/build/host

cmake -S "$ROOT/test" -B "$OUT" -DEDK2_DIR="$EDK2" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$OUT" -j"$(nproc)" -- --no-print-directory
ctest --test-dir "$OUT" --output-on-failure -j"$(nproc)" "$@"
