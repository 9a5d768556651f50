#!/usr/bin/env bash
# Builds and runs the host tests (GoogleTest under CTest): once as they are,
# and once under AddressSanitizer and UndefinedBehaviorSanitizer, so that a
# memory fault or undefined behaviour in the product fails the suite. The
# 16 MiB run is left out of the sanitized pass only: it takes half a minute
# there, and it walks the same code as the shorter runs. First of all, the
# layers check (scripts/layers.py) proves that no layer reaches up; last,
# each fuzz target runs for FUZZ_SECONDS (scripts/fuzz.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)

echo "the layers (scripts/layers.py):"
/usr/bin/python3 "$ROOT/scripts/layers.py" --self-test
echo "the documents (scripts/docs_check.py):"
EDK2_DIR="$EDK2" /usr/bin/python3 "$ROOT/scripts/docs_check.py" --self-test

build() {
  cmake -S "$ROOT/test" -B "$1" -DEDK2_DIR="$EDK2" -DCMAKE_BUILD_TYPE=Release -DMORVANE_SANITIZE="$2" >/dev/null
  cmake --build "$1" -j"$(nproc)" -- --no-print-directory
}

build "$ROOT/build/host" OFF
build "$ROOT/build/host-sanitize" ON
ctest --test-dir "$ROOT/build/host" --output-on-failure -j"$(nproc)" "$@"
echo "host tests again, under the sanitizers:"
ctest --test-dir "$ROOT/build/host-sanitize" --output-on-failure -j"$(nproc)" -E 'SixteenMegabytes' "$@"
echo "the host planner (make plan):"
bash "$ROOT/scripts/plan.sh" --build
/usr/bin/python3 "$ROOT/test/plan_tool.py" "$ROOT/build/morvane-plan"
echo "the stick builder (make stick MODEL=..., and the capsules it refuses):"
/usr/bin/python3 "$ROOT/test/stick_tool.py"
echo "the capsule builder and the TRUST tool (make capsule, scripts/trust.py):"
/usr/bin/python3 "$ROOT/test/capsule_tool.py"
echo "make's variables on their way to the scripts:"
/usr/bin/python3 "$ROOT/test/make_vars_test.py"
echo "the depot's nginx, against machines and strangers:"
/usr/bin/python3 "$ROOT/test/page/depot_server_test.py"
echo "the depot and its page in headless chromium (make depot):"
/usr/bin/python3 "$ROOT/test/page/page_test.py"
echo "the depot as the fleet's fwupd remote, its reports and the page's OS view:"
/usr/bin/python3 "$ROOT/test/page/remote_test.py"
echo "the depot's page at fleet scale (100,000 runs):"
/usr/bin/python3 "$ROOT/test/page/fleet_test.py"
echo "the fuzz targets, ${FUZZ_SECONDS:-20} s each (scripts/fuzz.sh):"
bash "$ROOT/scripts/fuzz.sh"
