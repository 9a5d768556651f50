"""The end-to-end scenarios: what each puts on the disk, how it runs Morvane,
and what it must leave behind (exit status, flash, device record, screen)."""

import random
import re

from demo import sample_image
from simrecord import BLOCK, FLASH_SIZE, expected_flash, expected_record, flashed_blocks, text
from screen import cell

FINISHED = "Morvane finished, remove power and reboot."
ADVICE = " EC flash incomplete: keep power on, flash again."
LABELS = {10: " Erase   :", 11: " Program :", 12: " Verify  :"}

# The simulated EC starts each run with old firmware in its first blocks, so
# that a block programmed without its erase, or one flashed that should not
# be, shows in the flash.
OLD_BLOCKS = 6
OLD = "old=%d" % OLD_BLOCKS

EFI_SUCCESS, EFI_INVALID_PARAMETER, EFI_BAD_BUFFER_SIZE = 0x0, 0x2, 0x4
EFI_DEVICE_ERROR, EFI_NOT_FOUND, EFI_TIMEOUT = 0x7, 0xE, 0x12

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

    def __init__(self, name, args, rc, image=None, sim=OLD, checks=(), boot=0):
        self.name = name
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


def within(seconds):
    def check(outcome):
        return [] if outcome.seconds <= seconds else ["took %.1f s" % outcome.seconds]
    return check


def flashed(image, rows_below=15, **record):
    return (labels_drawn, flash_matches(image), record_is(expected_record(image, **record)),
            progress_marks(image), row_is(rows_below, FINISHED), exit_after_message(rows_below),
            no_violations)


# --- the scenarios -----------------------------------------------------------

def all_scenarios():
    multi = sample_image()
    small = random_image(5000, 1)
    tail = random_image(BLOCK + 4096, 2)
    one = random_image(BLOCK, 3)
    paged = long_sparse_image(41, data_blocks=(0, 1, 20, 40))
    never_line = "Block 0 never verified." + ADVICE
    silent_line = "EC not answering at block 0." + ADVICE
    return [
        Scenario("no EC at all", ["s_noec.bin"], EFI_TIMEOUT, image=one, sim=None,
                 checks=(labels_drawn, row_is(13, silent_line), within(15))),
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
    ]
