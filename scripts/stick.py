#!/usr/bin/env python3
"""Builds the operator's flashing stick: a disk image with an MBR and one FAT32
partition (type 0x0C, at 1 MiB). By default Morvane.efi itself is
EFI/BOOT/BOOTX64.EFI, with MORVANE.CFG and the EC image beside it: the
firmware starts Morvane with no shell, so the stick can stay under Secure
Boot when Morvane.efi is signed. With --shell it holds the UEFI Shell as
EFI/BOOT/BOOTX64.EFI, its startup.nsh beside it, Morvane.efi, the EC image
and a marker file.

    stick.py BUILD_DIR IMAGE CRC32 OUTPUT [--model MODEL] [--efi MORVANE.EFI]
    stick.py BUILD_DIR IMAGE CRC32 OUTPUT --shell [--model MODEL] [--with-sim "EcSimCtl reset settings"]
    stick.py --check IMAGE [--shell] [--model MODEL]   (checks the name and the model, builds nothing)
    stick.py --catalog STAGE OUTPUT [--efi MORVANE.EFI]
        a catalogue's stick: STAGE holds CATALOG.TXT and the capsules it
        offers (make plan's --catalog --out); MORVANE.CFG names the index

Spaces around MODEL are dropped: Morvane ignores them when it compares.
IMAGE may be a signed capsule: it names the machines it is for by their
hardware ID, so it needs no MODEL. MORVANE.CFG's crc32= is the file's.

The startup.nsh moves to the stick's own volume, checks the marker and the
image, saves the old EC firmware into the next free SAVEnnn.BIN, rewrites
only the blocks that differ (-u) after checking the CRC-32 and the model,
and logs the run; it judges the run by the line Morvane wrote to the log
and ends with a banner. On failure a key press flashes again in place,
saving again only after a run that changed nothing.

--with-sim is for the end-to-end tests only: the stick also carries the
simulated EC, loads it first and dumps it after each run.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

STICK_MB = 128
# A catalogue's stick grows with its capsules, in steps of 64 MiB, keeping
# 64 MiB free for saves and logs as the 128 MiB stick does for one image,
# up to 2 GiB: that fits any stick on sale, FAT32 takes it with 4 KiB
# clusters, and writing it with dd stays a matter of minutes.
STICK_MAX_MB = 2048
STICK_STEP_MB = 64
STICK_ROOM_MB = 64
PARTITION_START = 2048          # sectors: 1 MiB
SECTOR = 512
MARKER = "MORVANE.STK"
RUN_LOG = "MORVANE.LOG"
SETTINGS = "MORVANE.CFG"
LAST_LOG = "LAST.LOG"
SAVES = ["SAVE%03d.BIN" % number for number in range(1, 100)]
RESERVED = {MARKER, RUN_LOG, LAST_LOG, SETTINGS, "MORVANE.EFI", "STARTUP.NSH", "ECSIMDXE.EFI", "ECSIMCTL.EFI"} | set(SAVES)


# EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID: the first 16 bytes of a capsule.
CAPSULE_GUID = uuid.UUID("6dcbd5ed-e82d-4c44-bda1-7194199ad92a").bytes_le


def is_capsule(image):
    with open(image, "rb") as data:
        return data.read(16) == CAPSULE_GUID


def banner(char, lines):
    """A box of echo lines ('#' would start a comment in a shell script)."""
    rule = char * 64
    return ['echo "%s"' % rule] + ['echo "%s  %-58s  %s"' % (char, line, char) for line in lines] + ['echo "%s"' % rule]


# What a model name may hold on the stick: the shell script would read '#'
# as a comment, '%' as a variable, '^' as an escape and '"' as the end of
# the argument, so those (and anything unprintable) are refused.
MODEL_TEXT = r"[A-Za-z0-9 ._,:;()/+-]{1,64}"


def check_model(model):
    if model is not None and (not re.fullmatch(MODEL_TEXT, model) or not model.strip()):
        sys.exit("stick: the model %r cannot go on the stick: use letters, digits, spaces and . _ , : ; ( ) / + - "
                 "only, at most 64 characters" % model)


def check_boot_model(model):
    """Morvane reads MORVANE.CFG itself: any printable ASCII will do, but
    nothing around the '=' (spaces at either end are dropped)."""
    if model is not None and (not re.fullmatch(r"[ -~]{1,64}", model) or not model.strip()):
        sys.exit("stick: the model %r cannot go on the stick: use printable ASCII, at most 64 characters" % model)


def settings_file(name, crc, model=None):
    """MORVANE.CFG for a stick that flashes name (CRLF line ends)."""
    lines = ["# Morvane flashing stick: flashes %s onto the EC of the machine it boots." % name,
             "image=%s" % name, "crc32=%s" % crc]
    if model is not None:
        lines.append("model=%s" % model.strip())
    lines += ["update=yes", "save=yes"]
    return ("\r\n".join(lines) + "\r\n").encode()


def startup_script(name, size, crc, sim_settings=None, model=None):
    """The stick's startup.nsh (CRLF line ends)."""
    flash = "Morvane.efi -u -c %s -l %s" % (crc, LAST_LOG)
    if model is not None:
        flash += ' -m "%s"' % model
    sim_load, sim_dump = [], []
    if sim_settings is not None:
        sim_load = ["load \\EcSimDxe.efi", "EcSimCtl.efi reset %s" % sim_settings]
        sim_dump = ["EcSimCtl.efi dump \\SIM.FL \\SIM.REC"]
    lines = [
        "@echo -off",
        "# Morvane flashing stick: flashes %s onto this machine's EC." % name,
        "# It runs only from its own volume: the one this shell was started from.",
        "%homefilesystem%",
        "cd \\",
        "if not exist \\%s then" % MARKER,
        '  echo "MORVANE: %s is not on this volume: not the flashing stick. Nothing was flashed."' % MARKER,
        "  goto END",
        "endif",
        "if not exist \\%s then" % name,
        '  echo "MORVANE: the image %s is missing from the stick. Nothing was flashed."' % name,
        "  goto END",
        "endif",
        'echo "Morvane will check %s (%d bytes, CRC-32 %s) and flash it onto this machine\'s EC"' % (name, size, crc),
        'echo "if it may, saving the EC firmware it replaces first."',
    ] + sim_load + [
        # A run saves while the EC is known to be as it was: the first run, and
        # a retry after a run that changed nothing. After an erase a save would
        # capture a half-written flash.
        "set SAVENEXT YES",
        ":FLASH",
        "if exist \\%s then" % LAST_LOG,
        "  rm -q \\%s" % LAST_LOG,
        "endif",
        "if %SAVENEXT% == YES then",
        "  set SAVE NONE",
        "  for %%s in %s" % " ".join(SAVES),
        "    if %SAVE% == NONE then",
        "      if not exist \\%s then",
        "        set SAVE %s",
        "      endif",
        "    endif",
        "  endfor",
        "  if %SAVE% == NONE then",
        '    echo "MORVANE: SAVE001.BIN to SAVE099.BIN are all taken: make room on the stick. Nothing was flashed."',
        "    goto END",
        "  endif",
        '  echo "Saving the EC firmware to %SAVE%."',
        "  %s -s %%SAVE%% %s" % (flash, name),
        "else",
        "  %s %s" % (flash, name),
        "endif",
    ] + sim_dump + [
        # The run is judged by the line Morvane wrote: no line, or no ec=
        # field, counts as a half-written EC.
        "set STATUS FAILED",
        "set EC incomplete",
        "if exist \\%s then" % LAST_LOG,
        # type ends its output with a line end of its own: the run log gets
        # a blank line between runs.
        "  type \\%s >>a \\%s" % (LAST_LOG, RUN_LOG),
        "  type \\%s >v LINE" % LAST_LOG,
        "  for %f in %LINE%",
        "    if \"%f\" == \"status=0x0\" then",
        "      set STATUS OK",
        "    endif",
        "    if \"%f\" == \"ec=flashed\" then",
        "      set EC flashed",
        "    endif",
        "    if \"%f\" == \"ec=unchanged\" then",
        "      set EC unchanged",
        "    endif",
        "  endfor",
        "endif",
        "set SAVENEXT NO",
        "if %EC% == unchanged then",
        "  set SAVENEXT YES",
        "endif",
        "if %STATUS% == OK then",
        "  if %EC% == flashed then",
        '    echo " "',
    ] + ["    " + line for line in banner("*", [
        "EC FLASH DONE.",
        "Remove power, then reboot the machine.",
        "Log: %s on the stick; old firmware: %%SAVE%%" % RUN_LOG,
    ])] + [
        "    goto END",
        "  endif",
        "  if %EC% == unchanged then",
        '    echo " "',
    ] + ["    " + line for line in banner("*", [
        "EC ALREADY UP TO DATE. Nothing was changed.",
        "The machine may be switched off.",
        "Log: %s on the stick." % RUN_LOG,
    ])] + [
        "    goto END",
        "  endif",
        "endif",
        'echo " "',
        "if %EC% == unchanged then",
    ] + ["  " + line for line in banner("!", [
        "NOTHING WAS CHANGED. The machine may be switched off.",
        "Press a key to try again (q to stop).",
        "Log: %s on the stick." % RUN_LOG,
    ])] + [
        "else",
    ] + ["  " + line for line in banner("!", [
        "EC FLASH FAILED. DO NOT REMOVE POWER.",
        "Press a key to flash again (q to stop).",
        "Log: %s on the stick." % RUN_LOG,
    ])] + [
        "endif",
        "pause",
        "goto FLASH",
        ":END",
    ]
    return ("\r\n".join(lines) + "\r\n").encode()


def stick_megabytes(file_bytes):
    """The stick's size in MiB for files of file_bytes in all: FAT32's own
    tables (under 1 % with 4 KiB clusters, counted as 2 %), the 1 MiB before
    the partition and the room kept free. Refuses a catalogue that needs
    more than STICK_MAX_MB."""
    mib = 1024 * 1024
    needed = (file_bytes * 102 // 100 + mib - 1) // mib + 1 + STICK_ROOM_MB
    size = max(STICK_MB, -(-needed // STICK_STEP_MB) * STICK_STEP_MB)
    if size > STICK_MAX_MB:
        sys.exit("stick: the catalogue's files take %d MiB; a stick holds at most %d MiB of them (%d MiB in all, "
                 "%d MiB kept free): hold capsules in rollout.cfg or split the catalogue; nothing was built"
                 % (-(-file_bytes // mib), (STICK_MAX_MB - 1 - STICK_ROOM_MB) * 100 // 102, STICK_MAX_MB,
                    STICK_ROOM_MB))
    return size


def write_mbr(path, megabytes=STICK_MB):
    """One primary partition, type 0x0C (FAT32 with LBA), from 1 MiB to the end."""
    sectors = megabytes * 1024 * 1024 // SECTOR
    entry = struct.pack("<B3sB3sII", 0x00, b"\xfe\xff\xff", 0x0C, b"\xfe\xff\xff",
                        PARTITION_START, sectors - PARTITION_START)
    with open(path, "r+b") as disk:
        disk.seek(446)
        disk.write(entry + b"\x00" * 48 + b"\x55\xaa")


def mtools(*args):
    subprocess.run(list(args), check=True, capture_output=True)


def check_name(image):
    name = os.path.basename(image)
    if not re.fullmatch(r"[A-Za-z0-9_.-]{1,64}", name) or name.upper() in RESERVED or not re.search(r"[A-Za-z0-9]", name):
        sys.exit("stick: the image's file name %r cannot go on the stick: use letters, digits, '.', '_' "
                 "and '-' only, and none of the stick's own names" % name)
    # FAT drops a trailing '.': "MORVANE.CFG." would land over the settings.
    if name.endswith("."):
        sys.exit("stick: the image's file name %r ends in '.', which a FAT volume drops: rename it" % name)
    return name


def write_stick(files, output, megabytes=STICK_MB):
    """The stick image: files is {path on the stick: host path or bytes}."""
    partial = output + ".partial"
    with open(partial, "wb") as out:
        out.truncate(megabytes * 1024 * 1024)
    write_mbr(partial, megabytes)
    volume = "%s@@%d" % (partial, PARTITION_START * SECTOR)
    mtools("mformat", "-i", volume, "-F", "-v", "MORVANE", "::")
    mtools("mmd", "-i", volume, "::/EFI", "::/EFI/BOOT")
    staging = tempfile.mkdtemp(prefix="morvane-stick-")
    try:
        for target, source in files.items():
            local = os.path.join(staging, os.path.basename(target))
            if isinstance(source, bytes):
                with open(local, "wb") as out:
                    out.write(source)
            else:
                shutil.copyfile(source, local)
            mtools("mcopy", "-i", volume, local, "::/" + target)
    finally:
        shutil.rmtree(staging)
    os.replace(partial, output)


def build(build_dir, image, crc, output, sim_settings=None, model=None):
    """The shell stick."""
    check_model(model)
    name = check_name(image)
    size = os.path.getsize(image)
    files = {
        "EFI/BOOT/BOOTX64.EFI": os.path.join(build_dir, "Shell.efi"),
        "EFI/BOOT/startup.nsh": startup_script(name, size, crc, sim_settings, model),
        "Morvane.efi": os.path.join(build_dir, "Morvane.efi"),
        MARKER: ("Morvane flashing stick\r\nimage=%s\r\nsize=%d\r\ncrc32=%s\r\n" % (name, size, crc)).encode(),
        name: image,
    }
    if sim_settings is not None:
        files["EcSimDxe.efi"] = os.path.join(build_dir, "EcSimDxe.efi")
        files["EcSimCtl.efi"] = os.path.join(build_dir, "EcSimCtl.efi")
    write_stick(files, output)


def build_boot(build_dir, image, crc, output, model=None, efi=None):
    """The stick without a shell: Morvane.efi (signed or not) boots by itself."""
    check_boot_model(model)
    name = check_name(image)
    write_stick({
        "EFI/BOOT/BOOTX64.EFI": efi or os.path.join(build_dir, "Morvane.efi"),
        SETTINGS: settings_file(name, crc, model),
        name: image,
    }, output)


def catalog_settings():
    """MORVANE.CFG for a catalogue's stick (CRLF line ends): no crc32= and no
    model=, the index gives each capsule's CRC-32 and hardware ID."""
    lines = ["# Morvane flashing stick: flashes the catalogue's capsule for the machine it boots.",
             "catalog=CATALOG.TXT", "update=yes", "save=yes"]
    return ("\r\n".join(lines) + "\r\n").encode()


def build_catalog(build_dir, stage, output, efi=None):
    """The stick without a shell for a catalogue: the index and the capsules
    it offers at the root beside MORVANE.CFG."""
    names = sorted(os.listdir(stage))
    files = {"EFI/BOOT/BOOTX64.EFI": efi or os.path.join(build_dir, "Morvane.efi"), SETTINGS: catalog_settings()}
    for name in names:
        if name.upper() in RESERVED:
            sys.exit("stick: the catalogue's %s would take a name of the stick's own; nothing was built" % name)
        files[name] = os.path.join(stage, name)
    total = sum(os.path.getsize(path) for path in files.values() if not isinstance(path, bytes))
    megabytes = stick_megabytes(total + len(files) * 4096)
    write_stick(files, output, megabytes)
    return megabytes


def main():
    if sys.argv[1:2] == ["--catalog"]:
        parser = argparse.ArgumentParser(prog="stick.py --catalog")
        parser.add_argument("stage")
        parser.add_argument("output")
        parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
        parser.add_argument("--efi")
        options = parser.parse_args(sys.argv[2:])
        megabytes = build_catalog(options.build, options.stage, options.output, options.efi)
        print("stick: %d MiB for the catalogue (at most %d MiB)" % (megabytes, STICK_MAX_MB))
        return
    if sys.argv[1:2] == ["--check"]:
        parser = argparse.ArgumentParser(prog="stick.py --check")
        parser.add_argument("image")
        parser.add_argument("--model")
        parser.add_argument("--shell", action="store_true")
        options = parser.parse_args(sys.argv[2:])
        model = None if options.model is None else options.model.strip(" ")
        (check_model if options.shell else check_boot_model)(model)
        check_name(options.image)
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("image")
    parser.add_argument("crc")
    parser.add_argument("output")
    parser.add_argument("--model", help="refuse machines whose SMBIOS product name is not this")
    parser.add_argument("--shell", action="store_true", help="the stick with the UEFI Shell and its startup.nsh")
    parser.add_argument("--efi", help="the Morvane.efi to boot (a signed copy); the build's by default")
    parser.add_argument("--with-sim", dest="sim", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.model is not None:
        options.model = options.model.strip(" ")
    if options.model is None and not is_capsule(options.image):
        print("stick: warning: no MODEL given: this stick will flash any machine it is booted on", file=sys.stderr)
    if options.shell:
        build(options.build, options.image, options.crc, options.output, options.sim, options.model)
    else:
        build_boot(options.build, options.image, options.crc, options.output, options.model, options.efi)


if __name__ == "__main__":
    main()
