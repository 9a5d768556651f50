#!/usr/bin/env bash
# Builds Morvane, the simulated-EC driver and the stick's UEFI Shell, then
# runs the end-to-end scenarios in OVMF's UEFI Shell under QEMU, and the
# flashing sticks booted from USB storage (the shell stick, and the stick
# without a shell, Secure Boot included), and -p against a depot on this
# machine's 127.0.0.1, and machines booting Morvane from a depot by HTTP
# boot (one image, and a catalogue of capsules for a mixed fleet), and the capsule library with the firmware's own OpenSSL, and a
# Morvane built with TRUST taking and refusing signed capsules, and the EC
# update driver from OVMF's shell and from a Debian guest's fwupd. Logs,
# disks and sticks: build/e2e.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/build.sh" shell
rm -rf "$ROOT/build/e2e"
mkdir -p "$ROOT/build/e2e"
# Debian's python3, which has python3-pyte.
status=0
# The update from a Debian guest (its first run builds and caches the guest)
# spends most of its time in one QEMU machine: it runs beside the other
# suites, and its report follows theirs.
/usr/bin/python3 "$ROOT/test/e2e/fwupd_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/fwupd" \
  >"$ROOT/build/e2e/fwupd.log" 2>&1 &
fwupd=$!
/usr/bin/python3 "$ROOT/test/e2e/run_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/shell" || status=1
/usr/bin/python3 "$ROOT/test/e2e/stick_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/stick" || status=1
/usr/bin/python3 "$ROOT/test/e2e/depot_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/depot" || status=1
/usr/bin/python3 "$ROOT/test/e2e/boot_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/boot" || status=1
/usr/bin/python3 "$ROOT/test/e2e/netboot_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/netboot" || status=1
/usr/bin/python3 "$ROOT/test/e2e/catalog_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/catalog" || status=1
/usr/bin/python3 "$ROOT/test/e2e/signed_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/signed" || status=1
/usr/bin/python3 "$ROOT/test/e2e/capsule_probe.py" "$ROOT/build" --keep "$ROOT/build/e2e/capsule" || status=1
/usr/bin/python3 "$ROOT/test/e2e/fmp_e2e.py" "$ROOT/build" --keep "$ROOT/build/e2e/fmp" || status=1
wait "$fwupd" || status=1
cat "$ROOT/build/e2e/fwupd.log"
exit $status
