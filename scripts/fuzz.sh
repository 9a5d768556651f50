#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer; test/fuzz/) in build/fuzz and runs each for a bounded time,
# two at a time, from a copy of its seed corpus (test/fuzz/corpus/<Name>/),
# so that the corpus in the repository is never changed. A crash, a leak, a
# sanitizer report or a failed check fails the run and names the input that
# reproduces it; `build/fuzz/<Name>Fuzz FILE` runs that input again.
#
#   scripts/fuzz.sh [NAME...]   the targets to run (default: all below)
#   FUZZ_SECONDS                seconds per target (default 20)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${FUZZ_SECONDS:-20}
BUILD=$ROOT/build/fuzz
RUN=$BUILD/run

# Each target with the longest input it is given (a little above what its
# parser accepts, so that the size checks are reached too; a capsule's, so
# that its seed whose tail the flash leaves out, a block and 16 bytes of EC
# image, is read whole). A new target is one line here and one in
# FUZZ_TARGETS in test/CMakeLists.txt.
declare -A MAX_LEN=(
  [Settings]=4200
  [BootUrl]=1024
  [Depot]=5000
  [Smbios]=4096
  [Capsule]=70000
  [Rollout]=4096
  [HwIdFields]=4096
  [Catalog]=66000
)
ORDER=(Settings BootUrl Depot Smbios Capsule Rollout HwIdFields Catalog)

if [ $# -gt 0 ]; then ORDER=("$@"); fi
for name in "${ORDER[@]}"; do
  [ -n "${MAX_LEN[$name]:-}" ] || { echo "fuzz: no target $name (known: ${!MAX_LEN[*]})" >&2; exit 2; }
done

EDK2=$(bash "$ROOT/scripts/setup.sh" | tail -n 1)
cmake -S "$ROOT/test" -B "$BUILD" -DEDK2_DIR="$EDK2" -DCMAKE_BUILD_TYPE=Release -DMORVANE_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$BUILD" -j"$(nproc)" -- --no-print-directory

# Stack traces with file and line.
if ! command -v llvm-symbolizer >/dev/null && command -v llvm-symbolizer-14 >/dev/null; then
  export ASAN_SYMBOLIZER_PATH
  ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)
fi
export UBSAN_OPTIONS=print_stacktrace=1

# One target: a fresh copy of its corpus, its findings under run/<Name>/.
fuzz_one() {
  local name=$1 dir=$RUN/$1
  rm -rf "$dir" && mkdir -p "$dir/corpus" "$dir/found"
  cp "$ROOT/test/fuzz/corpus/$name"/* "$dir/corpus/"
  "$BUILD/${name}Fuzz" -max_total_time="$SECONDS_EACH" -max_len="${MAX_LEN[$name]}" -timeout=10 \
    -artifact_prefix="$dir/found/" -print_final_stats=1 "$dir/corpus" >"$dir/log" 2>&1
}

declare -A PIDS=()
for name in "${ORDER[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  fuzz_one "$name" &
  PIDS[$name]=$!
done

failed=0
for name in "${ORDER[@]}"; do
  log=$RUN/$name/log
  if wait "${PIDS[$name]}"; then
    # "#123 DONE cov: 158 ft: 285 corp: 57/1080b lim: 3728 exec/s: 19984 rss: 267Mb"
    awk -v n="$name" '/DONE/ {
      for (i = 1; i <= NF; i++) { if ($i == "cov:") c = $(i+1); if ($i == "ft:") f = $(i+1);
                                  if ($i == "corp:") k = $(i+1); if ($i == "exec/s:") e = $(i+1) }
      printf "fuzz %-8s %s runs, %s exec/s, coverage %s edges (%s features), corpus %s\n", n, substr($1, 2), e, c, f, k }' "$log"
  else
    failed=1
    echo "fuzz $name FAILED; its report (all of it in $log):" >&2
    grep -v -E '^(#[0-9]+|INFO:|MERGE|\s*$)' "$log" | tail -n 40 >&2
    for input in "$RUN/$name/found"/*; do
      [ -e "$input" ] && echo "fuzz $name: reproduce with: $BUILD/${name}Fuzz $input" >&2
    done
  fi
done
exit $failed
