#!/usr/bin/env bash
# Installs what Morvane needs to build and test, fetches the EDK II tree
# (cached) and builds its BaseTools. Safe to run again: each step is skipped
# when its result is already there.
#
#   EDK2_DIR  an existing edk2-stable202211 tree to use instead of the cache
#   MORVANE_CACHE  where the fetched tree is kept (default ~/.cache/morvane)
set -euo pipefail

CACHE=${MORVANE_CACHE:-$HOME/.cache/morvane}
EDK2_TAG=edk2-stable202211

APT_PACKAGES=(build-essential uuid-dev nasm python3 dpkg-dev xz-utils mmdebstrap fdisk
  cmake libgtest-dev libgmock-dev
  qemu-system-x86 ovmf mtools python3-pyte netpbm file nginx-light
  sbsigntool openssl chromium libssl-dev fwupd jcat gcab libnginx-mod-http-js
  clang libclang-rt-14-dev llvm-14)

# Runs a command with its output in a log, shown only if the command fails.
quietly() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log"; echo "setup: failed: $*" >&2; return 1; }
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Source packages come through a private apt state folder so that the
# system's apt configuration is left alone; the archive address and key are
# taken from the system's own deb lines.
fetch_edk2() {
  local dest=$1 work=$CACHE/apt-src
  [ -f "$dest/edksetup.sh" ] && return 0
  echo "setup: fetching the EDK II source package into $dest"
  rm -rf "$work" && mkdir -p "$work/lists/partial" "$work/parts" "$work/dl"
  local sys=/etc/apt/sources.list.d/debian.sources uri key
  uri=$(awk '/^URIs:/ {print $2; exit}' "$sys")
  key=$(awk '/^Signed-By:/ {print $2; exit}' "$sys")
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$key" > "$work/parts/src.sources"
  local opts=(-o Dir::Etc::SourceParts="$work/parts" -o Dir::Etc::SourceList=/dev/null
              -o Dir::State::Lists="$work/lists" -o Debug::NoLocking=1)
  # Run as root, apt warns that its sandbox user cannot read this folder:
  # harmless, so the output is shown only when a step fails.
  quietly "$work/apt.log" apt-get "${opts[@]}" update
  (cd "$work/dl" && quietly "$work/apt.log" apt-get "${opts[@]}" source --download-only edk2)
  rm -rf "$work/x" && mkdir -p "$work/x"
  (cd "$work/x" && dpkg-source --no-check -x "$work"/dl/edk2_*.dsc tree >/dev/null)
  mkdir -p "$(dirname "$dest")"
  rm -rf "$dest" && mv "$work/x/tree" "$dest"
  rm -rf "$work"
}

build_basetools() {
  local edk2=$1
  [ -x "$edk2/BaseTools/Source/C/bin/GenFw" ] && return 0
  echo "setup: building BaseTools"
  quietly "$CACHE/basetools.log" make -s -C "$edk2/BaseTools" -j"$(nproc)"
}

mkdir -p "$CACHE"
install_packages
EDK2=${EDK2_DIR:-$CACHE/$EDK2_TAG}
fetch_edk2 "$EDK2"
build_basetools "$EDK2"
echo "$EDK2"
