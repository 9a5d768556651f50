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
  sed "s/@VERSION@/$2/; s/@GUID@/$(cat "$D/GUID")/" "$D/firmware.metainfo.xml" >"$work/firmware.metainfo.xml"
  cp "$D/$1" "$work/firmware.bin"
  section build-cabinet fwupdtool build-cabinet "$work/ec.cab" "$work/firmware.bin" "$work/firmware.metainfo.xml"
  section install fwupdtool install --no-reboot-check --assume-yes "$work/ec.cab"
  efibootmgr | sed -n 's/^BootNext: /MVG: bootnext=/p'
  find /boot/efi -type f | sed 's/^/MVG: esp /'
}

# fwupd's daemon, started by systemd: under emulation on a loaded host it
# can take longer to start than systemd's default 90 s (and D-Bus
# activation waits less still); the harness's time limit on the whole boot
# is the hang guard.
fwupd_up() {
  mkdir -p /run/systemd/system/fwupd.service.d
  printf '[Service]\nTimeoutStartSec=infinity\n' >/run/systemd/system/fwupd.service.d/50-mvg.conf
  systemctl daemon-reload
  systemctl start fwupd.service
  echo "MVG: fwupd rc=$? $(cut -d' ' -f1 /proc/uptime) s"
}

# The depot on the host (10.0.2.2 from QEMU's user network), as the
# data disk's DEPOT file names it (PORT and the refusing depot's PORT).
net_up() {
  mkdir -p /run/systemd/network
  printf '[Match]\nName=e*\n[Network]\nDHCP=ipv4\n' >/run/systemd/network/50-mvg.network
  systemctl start systemd-networkd
  /lib/systemd/systemd-networkd-wait-online --any --timeout=60
  echo "MVG: network rc=$?"
}

# GET http://10.0.2.2:$1$2 into $3 (bash's /dev/tcp: the guest has no
# HTTP client but fwupd's own).
fetch() {
  bash -c 'exec 3<>"/dev/tcp/10.0.2.2/$0" && printf "GET %s HTTP/1.0\r\nHost: depot\r\n\r\n" "$1" >&3 &&
    sed "1,/^\r\$/d" <&3' "$1" "$2" >"$3"
  echo "MVG: fetched $2 ($(wc -c <"$3") bytes)"
}

# The depot as the machine's fwupd remote: its .conf and certificate over
# the network, only signed cabinets taken; first with the cabinets of a
# depot whose cabinet differs from the metadata (refused), then its own.
from_remote() {
  port=$(cut -d' ' -f1 "$D/DEPOT")
  bad=$(cut -d' ' -f2 "$D/DEPOT")
  net_up
  mkdir -p /etc/pki/fwupd-metadata
  fetch "$port" /fwupd/morvane-depot.conf /etc/fwupd/remotes.d/morvane-depot.conf
  fetch "$port" /fwupd/morvane-depot.pem /etc/pki/fwupd-metadata/morvane-depot.pem
  sed -i 's/^OnlyTrusted=false/OnlyTrusted=true/' /etc/fwupd/fwupd.conf
  # The depot is this machine's only remote (the public one is not reachable).
  for conf in /etc/fwupd/remotes.d/*.conf; do
    [ "$conf" = /etc/fwupd/remotes.d/morvane-depot.conf ] || sed -i 's/^Enabled=true/Enabled=false/' "$conf"
  done
  # As an operator's machine does it: through fwupd's daemon (its client
  # checks a downloaded cabinet against the metadata's checksum).
  fwupd_up
  section get-devices fwupdmgr get-devices
  section refresh fwupdmgr refresh --force
  section get-updates fwupdmgr get-updates
  cp /etc/fwupd/remotes.d/morvane-depot.conf /run/morvane-depot.conf
  echo "FirmwareBaseURI=http://10.0.2.2:$bad/fwupd/" >>/etc/fwupd/remotes.d/morvane-depot.conf
  systemctl restart fwupd.service
  section update-changed-cabinet fwupdmgr update --assume-yes --no-reboot-check
  cp /run/morvane-depot.conf /etc/fwupd/remotes.d/morvane-depot.conf
  systemctl restart fwupd.service
  section update fwupdmgr update --assume-yes --no-reboot-check
  efibootmgr | sed -n 's/^BootNext: /MVG: bootnext=/p'
}

echo "MVG: step $STEP"
case $STEP in
  update)
    esrt
    from_remote
    ;;
  updated)
    esrt
    net_up
    # The daemon, started once, shows the outcome and sends the report
    # home to the remote's ReportURI.
    fwupd_up
    section get-devices fwupdmgr get-devices
    section get-history fwupdmgr get-history
    section report-history fwupdmgr report-history --assume-yes
    sed -i 's/^OnlyTrusted=true/OnlyTrusted=false/' /etc/fwupd/fwupd.conf
    stage changed.cap "$(cat "$D/CHANGED")"
    ;;
  refused)
    esrt
    fwupd_up
    section get-devices fwupdmgr get-devices
    section get-history fwupdmgr get-history
    ;;
esac
