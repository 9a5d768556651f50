#!/usr/bin/env bash
# Builds the Debian guest that the update-tool test boots under OVMF: a GPT
# disk image with an ESP (the kernel, its initrd, and a startup.nsh that
# OVMF's shell runs to start the kernel) and an ext4 root holding fwupd.
# At boot the guest runs run.sh from a FAT data disk labelled MVDATA
# (morvane-guest-run) and powers off.
#
#   build_guest.sh     prints the image's path (last line)
#
# The image is cached beside the EDK II tree, under a name made from this
# recipe (this folder's files), so it is built again only when the recipe
# changes. The package archive is the one the system's apt uses.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${MORVANE_CACHE:-$HOME/.cache/morvane}/guest
SOURCES=/etc/apt/sources.list.d/debian.sources
PACKAGES=linux-image-amd64,systemd-sysv,udev,kmod,dbus,fwupd,fwupd-unsigned,efibootmgr,ca-certificates,udisks2
ESP_MB=128
ROOT_MB=2048

KEY=$( (cat "$HERE/build_guest.sh" "$HERE/morvane-guest-run" "$HERE/morvane-guest.service"; echo "$PACKAGES") |
  sha256sum | cut -c1-12)
IMAGE=$CACHE/$KEY/disk.img
if [ -f "$IMAGE" ]; then
  echo "$IMAGE"
  exit 0
fi

mkdir -p "$CACHE"
exec 9>"$CACHE/lock"
flock 9
if [ -f "$IMAGE" ]; then
  echo "$IMAGE"
  exit 0
fi
WORK=$CACHE/$KEY.partial
rm -rf "$WORK" "$CACHE/$KEY"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
started=$(date +%s)

export GUEST_FILES=$HERE
echo "guest: building the Debian guest (once per recipe) in $CACHE/$KEY" >&2
mmdebstrap --mode=root --variant=minbase --include="$PACKAGES" \
  --customize-hook='echo morvane-guest >"$1/etc/hostname"' \
  --customize-hook='printf "LABEL=morvane-root / ext4 defaults 0 1\nLABEL=ESP /boot/efi vfat defaults 0 2\n" >"$1/etc/fstab"' \
  --customize-hook='mkdir -p "$1/boot/efi"' \
  --customize-hook='install -m 755 "$GUEST_FILES/morvane-guest-run" "$1/usr/local/sbin/"' \
  --customize-hook='install -m 644 "$GUEST_FILES/morvane-guest.service" "$1/etc/systemd/system/"' \
  --customize-hook='mkdir -p "$1/etc/systemd/system/multi-user.target.wants"' \
  --customize-hook='ln -sf /etc/systemd/system/morvane-guest.service "$1/etc/systemd/system/multi-user.target.wants/"' \
  --customize-hook='ln -sf /dev/null "$1/etc/systemd/system/serial-getty@ttyS0.service"' \
  --customize-hook='sed -i "/^\[fwupd\]/a OnlyTrusted=false\nEspLocation=/boot/efi" "$1/etc/fwupd/fwupd.conf"' \
  bookworm "$WORK/root" "$SOURCES" >"$WORK/../mmdebstrap.log" 2>&1 ||
  { tail -n 30 "$CACHE/mmdebstrap.log" >&2; exit 1; }

disk=$WORK/disk.img
truncate -s $((1 + ESP_MB + ROOT_MB + 1))M "$disk"
sfdisk -q "$disk" <<PARTS
label: gpt
start=1MiB, size=${ESP_MB}MiB, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name=ESP
start=$((1 + ESP_MB))MiB, size=${ROOT_MB}MiB, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=root
PARTS
esp="$disk@@1M"
mformat -i "$esp" -F -v ESP ::
cp "$(ls "$WORK"/root/boot/vmlinuz-* | head -n 1)" "$WORK/vmlinuz.efi"
cp "$(ls "$WORK"/root/boot/initrd.img-* | head -n 1)" "$WORK/initrd.img"
printf '@echo -off\r\nfs0:\r\nvmlinuz.efi root=LABEL=morvane-root ro console=ttyS0 quiet initrd=\\initrd.img\r\n' \
  >"$WORK/startup.nsh"
mcopy -i "$esp" "$WORK/vmlinuz.efi" "$WORK/initrd.img" "$WORK/startup.nsh" ::
mke2fs -q -t ext4 -L morvane-root -d "$WORK/root" -E offset=$(((1 + ESP_MB) * 1024 * 1024)) "$disk" "${ROOT_MB}M"

mkdir -p "$CACHE/$KEY"
mv "$disk" "$IMAGE"
echo "guest: built in $(($(date +%s) - started)) s ($(du -m --apparent-size "$IMAGE" | cut -f1) MiB, $(du -m "$IMAGE" | cut -f1) MiB used)" >&2
echo "$IMAGE"
