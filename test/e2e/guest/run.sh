#!/bin/sh
# The update-tool test's steps inside the guest, one per Linux boot, as the
# data disk's STEP file says; $1 is the data disk's folder. Every line the
# harness reads starts with "MVG: ".
D=$1
STEP=$(cat "$D/STEP")

# Runs a command with its output between "MVG: [NAME]" and "MVG: [/]".
section() {
  name=$1
  shift
  echo "MVG: [$name]"
  "$@" 2>&1
  echo "MVG: [/] rc=$?"
}

esrt() {
  for entry in /sys/firmware/efi/esrt/entries/entry*; do
    for f in fw_class fw_type fw_version lowest_supported_fw_version last_attempt_version last_attempt_status; do
      echo "MVG: esrt $f=$(cat "$entry/$f" 2>/dev/null)"
    done
  done
}

# A capsule of the data disk into a cabinet (the GUID and version in its
# metainfo), installed by fwupd: it stages the capsule and its EFI program
# on the ESP and sets BootNext.
stage() {
  work=$(mktemp -d)
  sed "s/@VERSION@/$2/" "$D/firmware.metainfo.xml" >"$work/firmware.metainfo.xml"
  cp "$D/$1" "$work/firmware.bin"
  section build-cabinet fwupdtool build-cabinet "$work/ec.cab" "$work/firmware.bin" "$work/firmware.metainfo.xml"
  section install fwupdtool install --no-reboot-check --assume-yes "$work/ec.cab"
  efibootmgr | sed -n 's/^BootNext: /MVG: bootnext=/p'
  find /boot/efi -type f | sed 's/^/MVG: esp /'
}

echo "MVG: step $STEP"
case $STEP in
  update)
    esrt
    section get-devices fwupdtool get-devices
    stage good.cap "$(cat "$D/GOOD")"
    ;;
  updated)
    esrt
    section get-devices fwupdtool get-devices
    section get-history fwupdtool get-history
    stage changed.cap "$(cat "$D/CHANGED")"
    ;;
  refused)
    esrt
    section get-devices fwupdtool get-devices
    section get-history fwupdtool get-history
    ;;
esac
