#!/usr/bin/env bash
# make stick IMAGE=path/to/ec.bin [MODEL="..."]: checks the image as Morvane
# will read it, builds Morvane.efi and the UEFI Shell, and writes
# build/morvane-stick.img. MODEL comes through the environment (make exports
# its command-line variables), so that no quoting of make or of this script
# can change it on its way.
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
MODEL_ARGS=()
if [ -n "${MODEL+set}" ]; then
  MODEL_ARGS=(--model "$MODEL")
fi
/usr/bin/python3 "$ROOT/scripts/stick.py" "$ROOT/build" "$IMAGE" "$CRC" "$ROOT/build/morvane-stick.img" "${MODEL_ARGS[@]}"
echo "stick: $ROOT/build/morvane-stick.img (write it to a USB stick; see README, Flashing a real machine)"
