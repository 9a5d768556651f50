#!/usr/bin/env bash
# make stick IMAGE=path/to/ec.bin: checks the image as Morvane will read it,
# builds Morvane.efi and the UEFI Shell, and writes build/morvane-stick.img.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE=${1:-}
if [ -z "$IMAGE" ]; then
  echo "stick: name the EC image: make stick IMAGE=path/to/ec.bin" >&2
  exit 2
fi

# The pre-flight check refuses a missing, empty or over-16-MiB image.
bash "$ROOT/scripts/plan.sh" "$IMAGE"
CRC=$(bash "$ROOT/scripts/plan.sh" --crc "$IMAGE")
bash "$ROOT/scripts/build.sh" shell >/dev/null
/usr/bin/python3 "$ROOT/scripts/stick.py" "$ROOT/build" "$IMAGE" "$CRC" "$ROOT/build/morvane-stick.img"
echo "stick: $ROOT/build/morvane-stick.img (write it to a USB stick; see README, Flashing a real machine)"
