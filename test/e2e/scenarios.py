"""The end-to-end scenarios: what each puts on the disk, how it runs Morvane,
and what it must leave behind (exit status, flash, device record, screen)."""

import random
import re
import zlib

from demo import sample_image
from simrecord import BLOCK, FLASH_SIZE, expected_flash, expected_record, flashed_blocks, old_byte, text
from screen import cell

FINISHED = "Morvane finished, remove power and reboot."
ADVICE = " EC flash incomplete: keep power on, flash again."
NOT_CHANGED = " The EC flash was not changed."

# The product name QEMU publishes in SMBIOS; -m compares with it.
PRODUCT = "Morv E2E 7"
LABELS = {10: " Erase   :", 11: " Program :", 12: " Verify  :"}

# The simulated EC starts each run with old firmware in its first blocks, so
# that a block programmed without its erase, or one flashed that should not
# be, shows in the flash.
OLD_BLOCKS = 6
OLD = "old=%d" % OLD_BLOCKS

EFI_SUCCESS, EFI_INVALID_PARAMETER, EFI_UNSUPPORTED, EFI_BAD_BUFFER_SIZE = 0x0, 0x2, 0x3, 0x4
EFI_DEVICE_ERROR, EFI_NOT_FOUND, EFI_TIMEOUT = 0x7, 0xE, 0x12
EFI_ACCESS_DENIED, EFI_CRC_ERROR, EFI_COMPROMISED_DATA = 0xF, 0x1B, 0x21

# A scenario that keeps the simulated EC as the one before left it (a new
# record only).
KEEP = "keep"

# Scenarios run in this many QEMU boots side by side.
BOOTS = 2


def random_image(size, seed):
    generator = random.Random(seed)
    return bytes(generator.getrandbits(8) for _ in range(size))


def long_sparse_image(blocks, data_blocks):
    """A long image that flashes quickly: blank blocks but for data_blocks."""
    image = bytearray(b"\xff" * (blocks * BLOCK))
    for block in data_blocks:
        image[block * BLOCK:(block + 1) * BLOCK] = random_image(BLOCK, block)
    return bytes(image)


class Scenario:
    """One run of Morvane. sim is the EcSimCtl reset settings, or None to run
    with no simulated EC at all (before the driver is loaded)."""

    def __init__(self, name, args, rc, image=None, sim=OLD, checks=(), boot=0, command=None, files=None):
        self.name = name
        self.command = command
        self.files = files or {}
        self.args = args
        self.rc = rc
        self.image = image
        self.sim = sim
        self.checks = checks
        self.boot = boot


class Outcome:
    """What a scenario left: status, screen rows, flash bytes, record, seconds."""

    def __init__(self, rc, rows, flash, header, events, seconds, text):
        self.text = text
        self.rc = rc
        self.rows = rows
        self.flash = flash
        self.header = header
        self.events = events
        self.seconds = seconds


# --- checks: each returns a list of problems ---------------------------------

def labels_drawn(outcome):
    problems = ["row %d is %r" % (row, outcome.rows[row][:10]) for row, label in LABELS.items()
                if outcome.rows[row][:10] != label]
    if not outcome.rows[5].startswith(" Loop : 1"):
        problems.append("no Loop line at row 5")
    return problems


def row_is(row, expected):
    def check(outcome):
        actual = outcome.rows[row]
        return [] if actual == expected else ["row %d is %r, not %r" % (row, actual, expected)]
    return check


def nothing_sent(outcome):
    return [] if not outcome.events else ["the devices received %s" % text(outcome.events)[:8]]


def not_drawn(outcome):
    return ["Morvane drew its screen"] if any("Loop : 1" in row for row in outcome.rows) else []


def record_is(expected):
    def check(outcome):
        actual = text(outcome.events)
        if actual == expected:
            return []
        for index, (have, want) in enumerate(zip(actual, expected)):
            if have != want:
                return ["record differs at %d: %s, expected %s" % (index, actual[index:index + 4],
                                                                   expected[index:index + 4])]
        return ["record has %d events, expected %d" % (len(actual), len(expected))]
    return check


def flash_matches(image):
    def check(outcome):
        size = max(len(outcome.flash), len(image) + BLOCK, OLD_BLOCKS * BLOCK)
        size = min(size + (-size) % BLOCK, FLASH_SIZE)
        actual = outcome.flash + b"\xff" * (size - len(outcome.flash))
        want = expected_flash(image, size, OLD_BLOCKS)
        if actual == want:
            return []
        first = next(i for i in range(size) if actual[i] != want[i])
        return ["flash differs from the image at 0x%X" % first]
    return check


def progress_marks(image, verify_marks=None, timed=True):
    """Erase/Program marks for every flashed block, Verify "o" (or "." for a
    blank block), and (when timed) the timing line of the last block at row 14."""
    def check(outcome):
        problems = []
        blocks = flashed_blocks(image)
        for block in blocks:
            column = 10 + block
            blank = image[block * BLOCK:(block + 1) * BLOCK].count(0xFF) == min(BLOCK, len(image) - block * BLOCK)
            want = {10: ".", 11: ".", 12: "." if blank else "o"}
            if verify_marks and block in verify_marks:
                want[12] = verify_marks[block]
            for row, mark in want.items():
                if cell(outcome.rows, column, row) != mark:
                    problems.append("block %d: %r at (%d, %d), expected %r" % (
                        block, cell(outcome.rows, column, row), column, row, mark))
        if timed and blocks and not re.fullmatch(r" Block Number: %d ----- \d+ second" % len(blocks), outcome.rows[14]):
            problems.append("row 14 is %r" % outcome.rows[14])
        return problems
    return check


def exit_after_message(row):
    """0xFE reached the EC only after the message at row was printed: the
    driver stamps each command with the cursor row."""
    def check(outcome):
        stamps = [stamp for kind, value, _, stamp in outcome.events if kind == 0 and value == 0xFE]
        if not stamps:
            return ["0xFE never sent"]
        return [] if stamps[0] > row else ["0xFE sent with the cursor on row %d" % stamps[0]]
    return check


def no_violations(outcome):
    count = outcome.header["violations"] if outcome.header else 0
    return [] if count == 0 else ["%d bytes sent while the EC was busy or out of turn" % count]


def never_says(words):
    def check(outcome):
        return ["the screen showed %r" % words] if words in outcome.text else []
    return check


def shows(words):
    def check(outcome):
        return [] if words in outcome.text else ["the screen never showed %r" % words]
    return check


def file_is(name, expected):
    def check(outcome):
        actual = outcome.read(name)
        if actual == expected:
            return []
        return ["%s is %s bytes, not the %d expected%s" % (
            name, "no" if actual is None else len(actual), len(expected),
            "" if actual is None or len(actual) != len(expected) else " (contents differ)")]
    return check


def flash_holds(flash, image):
    """Problems if a dumped flash (over old firmware) is not image flashed."""
    size = max(len(image) + BLOCK, OLD_BLOCKS * BLOCK)
    have = (flash or b"") + b"\xff" * size
    return [] if have[:size] == expected_flash(image, size, OLD_BLOCKS) else ["the simulated flash is not the image"]


def old_firmware(blocks):
    return bytes(old_byte(offset) for offset in range(blocks * BLOCK))


def last_log_line(name, pattern):
    """The last line of the run log on the disk matches pattern."""
    def check(outcome):
        data = outcome.read(name)
        if not data:
            return ["no %s on the disk" % name]
        line = data.decode("latin-1").rstrip("\r\n").split("\r\n")[-1]
        return [] if re.fullmatch(pattern, line) else ["%s ends with %r" % (name, line)]
    return check


def log_pattern(mode, image, data, blocks, status, outcome, serial, uuid, ec="flashed", changed=None,
                flash_id="0xEF", product=PRODUCT, secureboot="off", signer="-", version="-"):
    """changed defaults to every block planned for a flash, none otherwise;
    signer= and version= are a raw image's unless given."""
    if changed is None:
        changed = blocks.split("/")[1] if ec != "unchanged" else 0
    return (r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d mode=%s image=\"%s\" size=%d crc32=%08X blocks=%s id=%s"
            r" serial=%s uuid=%s elapsed=\d+ status=%s product=\"%s\" ec=%s changed=%s secureboot=%s"
            r" signer=%s version=%s outcome=\"%s\"" % (
                mode, re.escape(image), len(data), zlib.crc32(data), blocks, flash_id, re.escape(serial),
                re.escape(uuid), status, re.escape(product), ec, changed, secureboot, re.escape(signer),
                re.escape(version), re.escape(outcome)))


def within(seconds):
    """A hang guard, not a speed goal: the bound is generous enough that a
    busy machine never trips it (make bench measures the real times)."""
    def check(outcome):
        return [] if outcome.seconds <= seconds else ["took %.1f s" % outcome.seconds]
    return check


def flashed(image, rows_below=15, **record):
    return (labels_drawn, flash_matches(image), record_is(expected_record(image, **record)),
            progress_marks(image), row_is(rows_below, FINISHED), exit_after_message(rows_below),
            no_violations)


# --- the scenarios -----------------------------------------------------------

def skipped_once(image, every):
    """The record of a one-block flash whose first read-back skips every
    every-th byte: two attempts, the first one short of the skipped bytes."""
    out = expected_record(image, attempts={0: 2})
    first = out.index("O:65536")
    out[first] = "O:%d" % (BLOCK - BLOCK // every)
    return out


def update_record(image, changed):
    """The record of -u over an EC that holds image but for the blocks in
    changed: a compare read per block, the changed ones flashed, then the
    closing check."""
    out = ["K:AD", "C:DC", "C:04", "O:1"]
    for block in range(len(image) // BLOCK):
        number = "C:%02X" % block
        out += ["C:03", number, "O:65536"]
        if block in changed:
            out += ["C:01", "C:D8", number, "C:00", "C:00", "C:02", "C:02", number, "C:00", "C:00", "I:65536",
                    "C:03", number, "O:65536"]
    return out + reads_only(len(image) // BLOCK)[4:]


def reads_only(blocks):
    """The record of a session that reads blocks back and changes nothing."""
    out = ["K:AD", "C:DC", "C:04", "O:1"]
    for block in range(blocks):
        out += ["C:03", "C:%02X" % block, "O:65536"]
    return out + ["C:FE", "K:AE"]


def all_scenarios(serial="-", uuid="-"):
    multi = sample_image()
    small = random_image(5000, 1)
    tail = random_image(BLOCK + 4096, 2)
    one = random_image(BLOCK, 3)
    paged = long_sparse_image(41, data_blocks=(0, 1, 20, 40))
    never_line = "Block 0 never verified." + ADVICE
    silent_line = "EC not answering at block 0." + NOT_CHANGED
    no_ec = log_pattern("flash", "s_noec.bin", one, "0/1", "0x12", silent_line, serial, uuid,
                        ec="unchanged", flash_id="-")
    return [
        Scenario("no EC at all", ["s_noec.bin"], EFI_TIMEOUT, image=one, sim=None,
                 checks=(labels_drawn, row_is(13, silent_line), within(120))),
        Scenario("no EC at all, logged", ["-l", "run0.log", "s_noec.bin"], EFI_TIMEOUT, image=one, sim=None,
                 checks=(row_is(13, silent_line), last_log_line("run0.log", no_ec), within(120))),
        Scenario("EC absent behind the driver", ["s_noec.bin"], EFI_TIMEOUT, image=one, sim="nodevice " + OLD,
                 checks=(row_is(13, silent_line), record_is(["K:AD", "K:AE"]))),
        Scenario("multi-block image, blank block", ["s_multi.bin"], EFI_SUCCESS, image=multi,
                 checks=flashed(multi), boot=1),
        Scenario("5,000 bytes", ["s_small.bin"], EFI_SUCCESS, image=small, checks=flashed(small), boot=1),
        Scenario("65,536 + 4,096 bytes", ["s_tail.bin"], EFI_SUCCESS, image=tail, checks=flashed(tail), boot=1),
        Scenario("manufacturer 0xBF", ["s_sst.bin"], EFI_SUCCESS, image=one, sim="id=0xBF " + OLD,
                 checks=flashed(one, opcode=0xAD), boot=1),
        Scenario("fails twice, then verifies", ["s_retry.bin"], EFI_SUCCESS, image=one,
                 sim="corrupt=0 attempts=2 " + OLD, checks=flashed(one, attempts={0: 3}), boot=1),
        Scenario("never verifies", ["s_never.bin"], EFI_DEVICE_ERROR, image=one,
                 sim="corrupt=0 attempts=0xFFFFFFFF " + OLD,
                 checks=(labels_drawn, record_is(expected_record(one, attempts={0: 8})),
                         progress_marks(one, verify_marks={0: chr(0x1F + 7)}, timed=False),
                         row_is(13, never_line), row_is(14, ""), exit_after_message(13)), boot=1),
        Scenario("no argument", [], EFI_SUCCESS,
                 checks=(labels_drawn, row_is(13, "File name is empty."), nothing_sent)),
        Scenario("missing file", ["nothere.bin"], EFI_NOT_FOUND,
                 checks=(labels_drawn, row_is(13, "File is not exists."), nothing_sent)),
        Scenario("two positional arguments", ["s_one.bin", "s_one.bin"], EFI_SUCCESS, image=one,
                 checks=(labels_drawn, row_is(13, ""), nothing_sent)),
        Scenario("-?", ["-?"], None, checks=(not_drawn, nothing_sent)),
        Scenario("a directory as the name", ["fwdir"], EFI_INVALID_PARAMETER,
                 checks=(labels_drawn, row_is(13, "fwdir is a directory, not an image file."),
                         nothing_sent)),
        Scenario("image over 16 MiB", ["s_huge.bin"], EFI_BAD_BUFFER_SIZE, image=b"\x00" * (FLASH_SIZE + 1),
                 checks=(row_is(13, "Image is larger than 16 MiB; nothing was flashed."),
                         record_is(["K:AD", "K:AE"]))),
        # "-b" once had the shell page the progress screen: the run stopped
        # after about 30 blocks on "Press ENTER" with the keyboard off.
        Scenario("-b with 41 blocks", ["-b", "s_paged.bin"], EFI_SUCCESS, image=paged,
                 checks=(flash_matches(paged), record_is(expected_record(paged)), progress_marks(paged),
                         never_says("Press ENTER")), boot=0),
    ] + option_scenarios(serial, uuid)


def option_scenarios(serial, uuid):
    """Morvane's own options, the shell's help for it, and the wildcard name."""
    small = random_image(5000, 1)
    tail = random_image(BLOCK + 4096, 2)
    other = random_image(BLOCK + 4096, 5)
    one = random_image(BLOCK, 3)
    two = random_image(2 * BLOCK, 12)
    three = random_image(3 * BLOCK, 13)
    three2 = three[:BLOCK + 99] + bytes([three[BLOCK + 99] ^ 0x20]) + three[BLOCK + 100:]
    synopsis = "Morvane [-v | -u] [-c CRC32] [-m MODEL] [-s SAVEFILE] [-l LOGFILE] [-p URL]"
    finished = log_pattern("flash", "s_log.bin", one, "1/1", "0x0", FINISHED, serial, uuid)
    silent = log_pattern("flash", "s_log.bin", one, "0/1", "0x12", "EC not answering at block 0." + ADVICE, serial,
                         uuid, ec="incomplete", changed=1)
    return [
        Scenario("help: Morvane -?", [], None, sim=None, command="Morvane -?",
                 checks=(shows(synopsis), shows("EXAMPLES:"), not_drawn)),
        Scenario("help: Morvane.efi -?", [], None, sim=None, command="Morvane.efi -?",
                 checks=(shows(synopsis), not_drawn)),
        Scenario("help: help Morvane", [], None, sim=None, command="help Morvane",
                 checks=(shows(synopsis), shows("fs0:\\> Morvane -v ec.bin"), not_drawn)),
        Scenario("help: one section", [], None, sim=None, command="help Morvane -section EXAMPLES",
                 checks=(shows("fs0:\\> Morvane -v ec.bin"), never_says(synopsis), not_drawn)),
        Scenario("-i: the machine's hardware IDs", ["-i"], EFI_SUCCESS,
                 checks=(shows("Computer Information"), shows("HardwareID-9:  {"), shows("HardwareID-14: {"),
                         shows("* does not name one model: Morvane takes no capsule for it."), nothing_sent)),
        Scenario("wildcard name", ["s_*.bin"], EFI_INVALID_PARAMETER,
                 checks=(row_is(13, "Name one image file: wildcards are not accepted."), nothing_sent)),
        Scenario("expected CRC does not match", ["-c", "%08X" % (zlib.crc32(one) ^ 1), "s_one.bin"],
                 EFI_COMPROMISED_DATA, image=one,
                 checks=(row_is(13, "Image CRC-32 is %08X, expected %08X; nothing was flashed." % (
                     zlib.crc32(one), zlib.crc32(one) ^ 1)), nothing_sent)),
        Scenario("save refused over a file", ["-s", "exists.bin", "s_one.bin"], EFI_ACCESS_DENIED, image=one,
                 files={"exists.bin": b"keep me"},
                 checks=(row_is(13, "FS0:\\exists.bin already exists; a save never overwrites a file. Nothing was done."),
                         nothing_sent, file_is("exists.bin", b"keep me"))),
        Scenario("save, then flash", ["-s", "save1.bin", "-c", "%08X" % zlib.crc32(two), "s_save.bin"], EFI_SUCCESS,
                 image=two, checks=(file_is("save1.bin", old_firmware(2)), flash_matches(two),
                                    record_is(reads_only(2)[:-2] + expected_record(two)[4:-2] + reads_only(2)[4:]),
                                    row_is(9, " Save    :.."), row_is(15, FINISHED))),
        Scenario("save alone", ["-s", "save2.bin", "-n", "3"], EFI_SUCCESS,
                 checks=(file_is("save2.bin", old_firmware(3)), record_is(reads_only(3)),
                         row_is(13, "EC flash saved: 3 blocks to FS0:\\save2.bin."))),
        Scenario("5,000 bytes, for verify", ["s_small.bin"], EFI_SUCCESS, image=small, checks=flashed(small), boot=1),
        Scenario("verify: equal", ["-v", "s_small.bin"], EFI_SUCCESS, image=small, sim=KEEP,
                 checks=(record_is(reads_only(1)), row_is(12, " Verify  :o"), row_is(10, " Erase   :"),
                         row_is(15, "EC flash matches the image."), flash_matches(small)), boot=1),
        Scenario("verify: different", ["-v", "s_other.bin"], EFI_CRC_ERROR, image=other, sim=KEEP,
                 checks=(record_is(reads_only(1)), row_is(12, " Verify  :x"),
                         row_is(15, "EC flash differs from the image in 1 of 1 blocks; first at block 0."),
                         flash_matches(small)), boot=1),
        Scenario("-u: already up to date", ["-u", "s_small.bin"], EFI_SUCCESS, image=small, sim=KEEP,
                 checks=(record_is(reads_only(1)), row_is(12, " Verify  :="), row_is(10, " Erase   :"),
                         row_is(15, "EC flash already matches the image; nothing was erased."), flash_matches(small)),
                 boot=1),
        # An EC that now and then misses the 5 ms window: the attempt with 43
        # skipped bytes (never 32 in a row) is retried, not taken for silence.
        Scenario("scattered read-back time-outs", ["s_skip.bin"], EFI_SUCCESS, image=one,
                 sim="skip=1500 skipreads=1 " + OLD,
                 checks=(flash_matches(one), record_is(skipped_once(one, 1500))), boot=1),
        Scenario("log after a flash", ["-l", "run1.log", "s_log.bin"], EFI_SUCCESS, image=one,
                 checks=(flash_matches(one), last_log_line("run1.log", finished)), boot=1),
        Scenario("log after a failed run", ["-l", "run2.log", "s_log.bin"], EFI_TIMEOUT, image=one, sim="obf=1 " + OLD,
                 checks=(last_log_line("run2.log", silent), shows("EC not answering at block 0." + ADVICE)), boot=1),
        Scenario("-u: base image", ["s_three.bin"], EFI_SUCCESS, image=three, checks=flashed(three), boot=1),
        Scenario("-u: one block differs", ["-u", "s_three2.bin"], EFI_SUCCESS, image=three2, sim=KEEP,
                 checks=(flash_matches(three2), record_is(update_record(three2, [1])), row_is(12, " Verify  :=o="),
                         row_is(10, " Erase   : ."), row_is(7, " Check   :ooo"),
                         row_is(15, "Morvane finished: 1 of 3 blocks rewritten, remove power and reboot.")), boot=1),
        Scenario("closing check: a flash that wraps", ["-l", "run5.log", "s_wrap.bin"], 0x1C, image=three + one,
                 sim="size=2 " + OLD,
                 checks=(row_is(7, " Check   :xxoo"), row_is(12, " Verify  :oooo"),
                         shows("Block 0 differs from the image after the flash (2 blocks differ)"),
                         last_log_line("run5.log", log_pattern("flash", "s_wrap.bin", three + one, "4/4", "0x1C",
                                                               "Block 0 differs from the image after the flash (2 "
                                                               "blocks differ); the image may be larger than the EC "
                                                               "flash." + ADVICE, serial, uuid, ec="incomplete")))),
        Scenario("-m this machine", ["-m", '"%s"' % PRODUCT.lower(), "s_model.bin"], EFI_SUCCESS, image=one,
                 checks=(flash_matches(one), row_is(15, FINISHED)), boot=1),
        Scenario("-m another machine", ["-m", '"Other 9"', "-v", "s_model.bin"], EFI_UNSUPPORTED, image=one,
                 checks=(row_is(13, "This machine is %s; the image is for Other 9. Nothing was flashed." % PRODUCT),
                         nothing_sent)),
    ]
