#!/usr/bin/env bash
# Builds Morvane and flashes a sample image onto the simulated EC in QEMU,
# drawing the progress screen live; then checks the flash against the image.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/build.sh"
/usr/bin/python3 "$ROOT/scripts/demo.py" "$ROOT/build" "$ROOT/build/demo-screen.png"
