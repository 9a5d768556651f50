#!/usr/bin/env bash
# Builds Morvane and the simulated-EC driver, then runs the end-to-end
# scenarios in OVMF's UEFI Shell under QEMU. Logs and disks: build/e2e.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/build.sh"
rm -rf "$ROOT/build/e2e"
# Debian's python3, which has python3-pyte.
/usr/bin/python3 "$ROOT/test/e2e/run_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e"
