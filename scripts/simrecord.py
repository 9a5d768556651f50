"""Reads the simulated EC's record file and builds the record a run must leave."""

import struct

MAGIC = 0x52534345
COMMAND, DATA_IN, DATA_OUT, KBC = range(4)
BLOCK = 0x10000
HALF = 0x8000
MIN_TAIL = 0x2000
FLASH_SIZE = 0x1000000


def read_record(data):
    """Returns (header dict, [(kind, value, count, stamp)])."""
    magic, count, overflow, flash_bytes = struct.unpack_from("<4I", data, 0)
    if magic != MAGIC:
        raise ValueError("not a record file")
    counters = struct.unpack_from("<7Q", data, 16)
    events = [struct.unpack_from("<BBHII", data, 72 + 12 * index) for index in range(count)]
    header = {"count": count, "overflow": overflow, "flash_bytes": flash_bytes,
              "violations": counters[6]}
    return header, [(kind, value, n, stamp) for kind, value, _, n, stamp in events]


def text(events):
    names = {COMMAND: "C:%02X", KBC: "K:%02X"}
    out = []
    for kind, value, count, _ in events:
        out.append(names[kind] % value if kind in names else ("I:%d" if kind == DATA_IN else "O:%d") % count)
    return out


def flashed_blocks(image):
    """Blocks the run flashes: whole blocks while the file lasts; a last block
    only if its first half holds 8 KiB (block 0 always)."""
    blocks = []
    for block in range(0, (len(image) + BLOCK - 1) // BLOCK):
        low = min(len(image) - block * BLOCK, HALF)
        if block > 0 and low < MIN_TAIL:
            break
        blocks.append(block)
    return blocks


def old_byte(offset):
    """The simulated EC's old firmware at a flash offset (its reset pattern)."""
    return ((offset * 0x3B + 0x11) ^ (offset >> 16)) & 0xFF


def expected_flash(image, size, old_blocks=0):
    """The flash as it must be after the run, up to size bytes: the flashed
    blocks hold the image padded with 0xFF; the rest keeps what it held."""
    old_end = min(old_blocks * BLOCK, size)
    flash = bytearray(old_byte(offset) for offset in range(old_end)) + b"\xff" * (size - old_end)
    for block in flashed_blocks(image):
        flash[block * BLOCK:(block + 1) * BLOCK] = block_data(image, block)
    return bytes(flash[:size])


def block_data(image, block):
    chunk = image[block * BLOCK:(block + 1) * BLOCK]
    return chunk + b"\xff" * (BLOCK - len(chunk))


def expected_record(image, opcode=0x02, attempts=None, exit_sent=True, stop_after=None):
    """The device record of a run over image. attempts maps a block to its
    number of program-and-verify attempts (default 1); stop_after ends the
    run after that many attempts of the last block (no further blocks)."""
    attempts = attempts or {}
    out = ["K:AD", "C:DC", "C:04", "O:1"]
    for block in flashed_blocks(image):
        erase = ["C:01", "C:D8", "C:%02X" % block, "C:00", "C:00"]
        out += erase
        if block_data(image, block) == b"\xff" * BLOCK:
            continue
        for attempt in range(attempts.get(block, 1)):
            if attempt > 0:
                out += erase
            out += ["C:02", "C:%02X" % opcode, "C:%02X" % block, "C:00", "C:00", "I:65536",
                    "C:03", "C:%02X" % block, "O:65536"]
        if stop_after is not None and block == stop_after:
            break
    if exit_sent:
        out.append("C:FE")
    out.append("K:AE")
    return out
