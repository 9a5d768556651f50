#!/usr/bin/env bash
# Prints the port-access figures of the flash engine (no pass/fail).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/host-tests.sh" -R '^$' >/dev/null 2>&1
"$ROOT/build/host/port_bench"
