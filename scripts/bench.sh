#!/usr/bin/env bash
# Prints the port-access figures of the flash engine, then the signed-image
# figures: Morvane.efi's size without and with TRUST, and the time a
# trusted Morvane takes to verify a 1 MiB and a 16 MiB capsule in QEMU
# (scripts/signed_bench.py; it builds Morvane.efi both ways and leaves the
# build without TRUST). No pass/fail.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
OUT=$ROOT/build/bench

# A build of its own, without the sanitizers, so that host times mean something.
cmake -S "$ROOT/test" -B "$OUT" -DEDK2_DIR="$EDK2" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$OUT" -j"$(nproc)" --target port_bench -- --no-print-directory >/dev/null
"$OUT/port_bench"
/usr/bin/python3 "$ROOT/scripts/signed_bench.py"
