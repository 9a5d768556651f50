#!/usr/bin/env bash
# make depot IMAGE=path/to/ec.bin [MODEL="..."] [ADDRESS=host:port]
#            [TRUST=ca.pem] [SIGN_KEY=key.pem SIGN_CERT=cert.pem]
# make depot CATALOG=folder [ADDRESS=...] [REMOTE_ADDRESS=...] [TRUST=...] [SIGN_KEY=... SIGN_CERT=...]
# Checks the image as Morvane will read it, builds Morvane.efi (signed when a
# key and certificate are given), prepares the depot's folder and serves it
# with nginx until Ctrl-C: Morvane.efi for HTTP boot, MORVANE.CFG, the
# image, results/ for the machines' logs and saves, and the page that shows
# them. IMAGE may be a signed capsule (make capsule); TRUST builds the
# certificate into Morvane.efi, which then flashes only capsules signed
# under it, so the image must be such a capsule (checked here first). Its
# variables come through the environment, as make exports them (see the
# Makefile), so a MODEL with spaces, quotes or '$' arrives as given.
#
#   depot.sh IMAGE           prepares the depot and serves it in the foreground
#   depot.sh --start IMAGE   prepares it, starts nginx in the background, prints its PID
#                            (stop it with scripts/depot-server.sh stop PID)
#   CATALOG=folder, IMAGE empty: a catalogue of capsules (make plan CATALOG=
#                shows it): every capsule checked, CATALOG.TXT written with
#                the rollout applied, and MORVANE.CFG names it (catalog=)
#
#   DEPOT_DIR    the depot's folder (default build/depot); its results/ is
#                kept from one depot to the next
#   METADATA_KEY, METADATA_CERT  the site's key and certificate that sign
#                the fwupd remote's metadata and cabinets (with a catalogue);
#                without them the depot makes its own and keeps it
#   REMOTE_ADDRESS  with a catalogue, host:port the machines' fwupd reaches
#                the depot at, when that is not ADDRESS (ADDRESS 0.0.0.0:PORT,
#                a NAT or a port forward)
#   MORVANE_EFI  an already built Morvane.efi to serve instead of building one
#                (with TRUST, one built with that certificate)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
# Byte ranges in the checks below mean ASCII, whatever the user's locale.
export LC_ALL=C
DEPOT=${DEPOT_DIR:-$ROOT/build/depot}
# DEPOT.next and DEPOT.stage go beside the depot: given as 'folder/' (or
# 'folder/.') they would land inside it, and be swept away with the old
# depot's other entries. The '.' keeps a name ending in a line end intact
# for the checks below.
DEPOT=$(realpath -ms -- "$DEPOT" && echo .) DEPOT=${DEPOT%$'\n.'}
ADDRESS=${ADDRESS:-127.0.0.1:8080}
# What the depot holds besides the image; the image may not take these names.
OWN_NAMES=(Morvane.efi MORVANE.CFG CATALOG.TXT results index.html page.js fleet.js page.css os-updates.js fwupd metadata-key)

refuse() { echo "depot: $*; nothing is served." >&2; exit 1; }

# A value as it arrived, shown as printable text.
shown() {
  printf '%s' "$1" | tr -c '[:print:]' '?' | cut -c 1-80
}

MODE=run
if [ "${1:-}" = --start ]; then MODE=start; shift; fi
IMAGE=${1:-}
CATALOG=${CATALOG:-}
[ -z "$CATALOG" ] || [ -z "$IMAGE" ] || refuse "give IMAGE or CATALOG, not both"
[ $# -le 1 ] && [ -n "$IMAGE$CATALOG" ] || {
  echo "depot: name the EC image: make depot IMAGE=path/to/ec.bin [MODEL=...] [ADDRESS=host:port]" \
       "(or a catalogue: CATALOG=folder)" >&2
  exit 2
}

# Everything that needs no build is checked first, so a typo costs nothing.
octet='(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])'
label='[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?'
# host:port, an IPv4 address or a host name, and a port from 1 to 65535.
address_ok() {
  local host=${1%:*} port=${1##*:}
  [[ $1 == *:* ]] && [[ $port =~ ^[1-9][0-9]{0,4}$ ]] && [ "$port" -le 65535 ] &&
    { [[ $host =~ ^$octet(\.$octet){3}$ ]] ||
      { [[ $host =~ ^$label(\.$label)*$ ]] && [[ ! $host =~ ^[0-9.]+$ ]] && [ ${#host} -le 253 ]; }; }
}
host=${ADDRESS%:*}
address_ok "$ADDRESS" ||
  refuse "ADDRESS must be host:port (an IPv4 address or a host name, and a port from 1 to 65535), not '$ADDRESS'"
# A catalogue's fwupd remote names the depot in its .conf and metadata by
# the address the machines reach it at: ADDRESS, unless the depot listens
# on every address or the machines reach it through a NAT or a port
# forward (REMOTE_ADDRESS).
if [ -n "${REMOTE_ADDRESS:-}" ]; then
  address_ok "$REMOTE_ADDRESS" && [ "${REMOTE_ADDRESS%:*}" != 0.0.0.0 ] ||
    refuse "REMOTE_ADDRESS must be host:port (the address and port the machines reach this depot at), not '$REMOTE_ADDRESS'"
elif [ -n "$CATALOG" ] && [ "$host" = 0.0.0.0 ]; then
  refuse "ADDRESS=$ADDRESS listens on every address, which no machine can be sent to: give REMOTE_ADDRESS=host:port, the address the machines reach this depot at, for its fwupd remote"
fi

NAME=$(basename -- "${IMAGE:-catalog}")
[[ $NAME =~ ^[A-Za-z0-9_.-]{1,64}$ ]] && [[ $NAME != .* ]] ||
  refuse "the image's file name '$NAME' cannot be served: use letters, digits, '.', '_' and '-' only (at most 64)"
# A FAT volume drops a trailing '.': the same image must keep its name on a
# stick and on the depot.
[[ $NAME != *. ]] || refuse "the image's file name '$NAME' ends in '.', which a FAT volume drops: rename it"
# nginx is given the depot's folder and this checkout's build/ as paths.
said=$(bash "$ROOT/scripts/depot-server.sh" check "$DEPOT" "$ADDRESS" 2>&1) || {
  said=${said#depot-server: }
  refuse "${said%; nginx was not started.}"
}
# The folder is replaced on every start: it must be a depot already, or new.
if [ -d "$DEPOT" ] && [ -n "$(ls -A "$DEPOT")" ] && [ ! -f "$DEPOT/MORVANE.CFG" ]; then
  refuse "$DEPOT holds files but no MORVANE.CFG: it is no depot folder to replace"
fi
for own in "${OWN_NAMES[@]}"; do
  [ "${NAME,,}" != "${own,,}" ] || refuse "the image may not be named $NAME: the depot has a file of its own by that name"
done

# A catalogue's capsules name their machines by hardware ID: MORVANE.CFG
# has no model= beside catalog=.
[ -z "$CATALOG" ] || [ -z "${MODEL+set}" ] ||
  refuse "MODEL goes with IMAGE only: a catalogue's capsules name their machines by hardware ID"

# Morvane refuses a model that is blank, longer than 64 characters or not
# printable ASCII; the configuration file holds printable ASCII only.
# Machines ignore spaces around it, and so does the stick: they are dropped.
if [ -n "${MODEL+set}" ]; then
  MODEL=${MODEL#"${MODEL%%[! ]*}"}
  MODEL=${MODEL%"${MODEL##*[! ]}"}
  [[ $MODEL =~ ^[\ -~]{1,64}$ ]] ||
    refuse "the model '$MODEL' cannot go in MORVANE.CFG: printable ASCII only, 1 to 64 characters besides spaces around it, not blank"
fi

if [ -n "${SIGN_KEY:-}${SIGN_CERT:-}" ]; then
  [ -n "${SIGN_KEY:-}" ] && [ -n "${SIGN_CERT:-}" ] || refuse "signing needs both SIGN_KEY and SIGN_CERT"
  [ -r "$SIGN_KEY" ] && [ -f "$SIGN_KEY" ] || refuse "the signing key $SIGN_KEY cannot be read"
  [ -r "$SIGN_CERT" ] && [ -f "$SIGN_CERT" ] || refuse "the signing certificate $SIGN_CERT cannot be read"
  command -v sbsign >/dev/null && command -v sbverify >/dev/null ||
    refuse "signing needs sbsign and sbverify (Debian's sbsigntool: bash scripts/setup.sh installs it)"
fi

# The certificate Morvane is to trust, as the build will check it.
if [ -n "${TRUST:-}" ]; then
  python3 "$ROOT/scripts/trust.py" --check "$TRUST" >/dev/null ||
    refuse "TRUST=$(shown "$TRUST") cannot be built into Morvane.efi"
fi

# The pre-flight check refuses a missing, empty or over-16-MiB image, and a
# capsule Morvane does not take; with TRUST, also what a Morvane built with
# it would refuse: a raw image, or a capsule whose signature does not verify.
# A catalogue is checked capsule by capsule the same way, and staged: the
# index and the very bytes checked of each capsule it offers.
STAGE=$DEPOT.stage
if [ -n "$CATALOG" ]; then
  rm -rf "$STAGE"
  trap 'rm -rf "$STAGE"' EXIT
  bash "$ROOT/scripts/plan.sh" --catalog "$CATALOG" --out "$STAGE" || {
    rm -rf "$STAGE"
    refuse "the catalogue $(shown "$CATALOG") was refused"
  }
  KIND=catalog
else
bash "$ROOT/scripts/plan.sh" "$IMAGE" || {
  [ -z "${TRUST:-}" ] || refuse "the Morvane built with TRUST=$(shown "$TRUST") would refuse $(shown "$IMAGE")"
  exit 1
}
CRC=$(bash "$ROOT/scripts/plan.sh" --crc "$IMAGE")
[[ $CRC =~ ^[0-9A-F]{8}$ ]] || refuse "the planner gave no CRC-32 for $IMAGE"
KIND=$(bash "$ROOT/scripts/plan.sh" --kind "$IMAGE")
fi

if [ -n "${MORVANE_EFI:-}" ]; then
  EFI=$MORVANE_EFI
  [ -f "$EFI" ] || refuse "MORVANE_EFI=$EFI is no file"
  # A trusting Morvane holds the certificate's DER bytes as they are.
  if [ -n "${TRUST:-}" ]; then
    TRUST_DER=$(mktemp)
    python3 "$ROOT/scripts/trust.py" --der "$TRUST" "$TRUST_DER" >/dev/null
    python3 -c 'import sys; sys.exit(open(sys.argv[1], "rb").read() not in open(sys.argv[2], "rb").read())' \
      "$TRUST_DER" "$EFI" || { rm -f "$TRUST_DER"; refuse "MORVANE_EFI=$EFI was not built with TRUST=$(shown "$TRUST")"; }
    rm -f "$TRUST_DER"
  fi
else
  bash "$ROOT/scripts/build.sh"
  EFI=$ROOT/build/Morvane.efi
fi

# The new depot's files are put together beside the old ones and take
# their places only when complete: a refusal leaves nothing half-made to
# serve. results/ stays where it is, untouched: a depot still serving may
# be taking a machine's save this very moment, one the machine reads back
# and then relies on.
NEXT=$DEPOT.next
rm -rf "$NEXT"
mkdir -p "$NEXT"
trap 'rm -rf "$NEXT" "$STAGE"' EXIT
if [ -n "${SIGN_KEY:-}" ]; then
  sbsign --key "$SIGN_KEY" --cert "$SIGN_CERT" --output "$NEXT/Morvane.efi" "$EFI" >"$NEXT/sign.log" 2>&1 ||
    { cat "$NEXT/sign.log" >&2; refuse "Morvane.efi could not be signed with $SIGN_KEY and $SIGN_CERT"; }
  sbverify --cert "$SIGN_CERT" "$NEXT/Morvane.efi" >"$NEXT/sign.log" 2>&1 ||
    { cat "$NEXT/sign.log" >&2; refuse "the signed Morvane.efi does not verify with $SIGN_CERT (do the key and certificate belong together?)"; }
  rm -f "$NEXT/sign.log"
else
  cp "$EFI" "$NEXT/Morvane.efi"
fi
if [ "$KIND" = catalog ]; then
  mv "$STAGE"/* "$NEXT/"
  rmdir "$STAGE"
  printf 'catalog=CATALOG.TXT\r\nupdate=yes\r\nsave=yes\r\n' >"$NEXT/MORVANE.CFG"
else
cp "$IMAGE" "$NEXT/$NAME"
{
  printf 'image=%s\r\n' "$NAME"
  printf 'crc32=%s\r\n' "$CRC"
  printf 'update=yes\r\n'
  printf 'save=yes\r\n'
  if [ -n "${MODEL+set}" ]; then printf 'model=%s\r\n' "$MODEL"; fi
} >"$NEXT/MORVANE.CFG"
fi
cp "$ROOT/depot/page/index.html" "$ROOT/depot/page/page.js" "$ROOT/depot/page/fleet.js" "$ROOT/depot/page/page.css" \
  "$ROOT/depot/page/os-updates.js" "$NEXT/"
# The depot's own metadata signing key lives on from one depot to the next
# (machines trust its certificate), copied so that a refusal below keeps
# it; nginx never serves it.
if [ -d "$DEPOT/metadata-key" ]; then cp -a "$DEPOT/metadata-key" "$NEXT/metadata-key"; fi
# With a catalogue, the depot is also the fleet's fwupd remote, from the
# same index and capsules (scripts/remote.py).
if [ -f "$NEXT/CATALOG.TXT" ]; then
  python3 "$ROOT/scripts/remote.py" "$NEXT" "${REMOTE_ADDRESS:-$ADDRESS}" || refuse "the catalogue cannot be published for fwupd"
fi
# nginx's workers may run as another user (www-data) than the one making
# the depot, whatever its umask; the metadata key stays its owner's alone,
# never readable by others even for a moment.
if [ -d "$NEXT/metadata-key" ]; then chmod -R go-rwx "$NEXT/metadata-key"; fi
find "$NEXT" -mindepth 1 -path "$NEXT/metadata-key" -prune -o -exec chmod a+rX {} +
chmod a+rx "$NEXT"
mkdir -p "$DEPOT/results"
chmod a+rx "$DEPOT"
# Each entry is renamed over its old self (a download under way keeps the
# old one; an old folder is set aside first and dropped after), MORVANE.CFG
# last, so that it never names a file not there yet; then the old depot's
# other entries (an image of another name) go. Nothing under results/ is
# ever moved, replaced or deleted.
put_in_place() {
  if [ -d "$DEPOT/$1" ] && [ ! -L "$DEPOT/$1" ]; then mv "$DEPOT/$1" "$NEXT/.old-$1"; fi
  mv -f "$NEXT/$1" "$DEPOT/$1"
  rm -rf -- "$NEXT/.old-$1"
}
NEW_NAMES=()
for new in "$NEXT"/*; do NEW_NAMES+=("${new##*/}"); done
for name in "${NEW_NAMES[@]}"; do
  [ "$name" = MORVANE.CFG ] || put_in_place "$name"
done
put_in_place MORVANE.CFG
for old in "$DEPOT"/* "$DEPOT"/.[!.]* "$DEPOT"/..?*; do
  [ -e "$old" ] || [ -L "$old" ] || continue
  case " results ${NEW_NAMES[*]} " in
    *" ${old##*/} "*) ;;
    *) rm -rf -- "$old" ;;
  esac
done
rmdir "$NEXT"
trap - EXIT

if [ "$KIND" = catalog ]; then
  [ -n "${TRUST:-}" ] || echo "depot: warning: no TRUST given: Morvane will flash the catalogue's capsules without checking their signature" >&2
elif [ "$KIND" = capsule ]; then
  [ -n "${TRUST:-}" ] || echo "depot: warning: no TRUST given: Morvane will flash this capsule without checking its signature" >&2
else
  [ -n "${MODEL+set}" ] || echo "depot: warning: no MODEL given: Morvane will flash any machine that boots from this depot" >&2
fi
[ "$host" != 0.0.0.0 ] || echo "depot: listening on every address: give DHCP this machine's own address in the boot URL" >&2
echo "depot: $DEPOT"
echo "depot: boot URL for DHCP: http://$ADDRESS/Morvane.efi"
echo "depot: page:              http://$ADDRESS/"
if [ "$MODE" = start ]; then
  exec bash "$ROOT/scripts/depot-server.sh" start "$DEPOT" "$ADDRESS"
fi
echo "depot: serving until Ctrl-C"
exec bash "$ROOT/scripts/depot-server.sh" run "$DEPOT" "$ADDRESS"
