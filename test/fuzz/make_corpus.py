#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into test/fuzz/corpus/<Target>/:
a few small valid and near-valid inputs each (the capsules among them made
from signed.cap, which GenerateCapsule.py wrote). Run it again after changing
an input format; files it does not write (reproducers of faults found by
fuzzing) are left as they are."""

import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data.encode("latin-1") if isinstance(data, str) else data)


def settings():
    full = ("# the stick's settings\r\nimage=ec_fw.bin\r\ncrc32=1A2B3C4D\r\nmodel=Morv 7\r\n"
            "update=no\r\nsave=yes\r\ndepot=http://10.0.2.2:8080/morvane/\r\n")
    write("Settings", "full", full)
    write("Settings", "bom-lf-no-last-end", "\xef\xbb\xbfimage=ec.bin\ncrc32=00000000")
    write("Settings", "unknown-key", "image=ec.bin\r\ncrc32=1A2B3C4D\r\nimgae=ec.bin\r\n")
    write("Settings", "twice-and-space", "image=ec.bin\r\nimage = x\r\ncrc32=1a2b3c4d\r\n")
    write("Settings", "bad-values", "image=..\r\ncrc32=1A2B3C4G\r\nmodel=   \r\nsave=Yes\r\n")
    write("Settings", "depot-port", "image=e.bin\r\ncrc32=FFFFFFFF\r\ndepot=http://h:65535/a/b/\r\n")
    write("Settings", "one-byte-too-large", full + "#" * (4097 - len(full)))
    write("Settings", "catalog", "catalog=CATALOG.TXT\r\nupdate=no\r\ncrc32=1A2B3C4D\r\n")


def catalogue():
    write("Rollout", "each-rule", "# rollout\r\nhold  a9c3dcfe-1e69-5a88-8064-baf11dffca66\r\n"
          "pin   a8adf2a2-f717-5262-817b-2a5da53436dc 0x00000102\r\nphase ec-a-0103.cap 25\r\n")
    write("Rollout", "mistakes", "phase ec.cap 0\nhold ec.cap\nhold ec.cap\npin ec.cap 0x1\nhodl x\n")


def node(kind, sub, payload):
    return struct.pack("<BBH", kind, sub, 4 + len(payload)) + payload


def boot_path(uri, end=True):
    path = (node(0x01, 0x01, b"\0\0") + node(0x03, 0x0B, bytes(33)) + node(0x03, 0x0C, bytes(23)) +
            node(0x03, 0x18, uri))
    return path + (node(0x7F, 0xFF, b"") if end else b"")


def boot_url():
    write("BootUrl", "http-boot", boot_path(b"http://10.0.2.2:8080/depot/Morvane.efi"))
    write("BootUrl", "root-no-port", boot_path(b"http://depot/Morvane.efi"))
    write("BootUrl", "terminated-uri", boot_path(b"http://a.b-c:1/x/y/M.efi\0"))
    write("BootUrl", "https", boot_path(b"https://10.0.2.2/Morvane.efi"))
    write("BootUrl", "query", boot_path(b"http://h/x?y=/M.efi"))
    write("BootUrl", "long-folder", boot_path(b"http://h/" + b"a" * 190 + b"/M.efi"))
    write("BootUrl", "no-end", boot_path(b"http://h/d/M.efi", end=False))
    write("BootUrl", "zero-length-node", node(0x01, 0x01, b"\0\0")[:2] + b"\0\0" + node(0x7F, 0xFF, b""))


# The first byte of a Depot input: bit 0 PUT; bits 1-2 buffer 0/16/512/4097;
# bits 3-5 fragment 1/2/3/7/64/1000/4096/65536; bit 6 short body ends with
# success; bit 7 the body stops coming.
def how(put=False, buffer=3, fragment=7, quiet_end=False, stops=False):
    return bytes([put | buffer << 1 | fragment << 3 | quiet_end << 6 | stops << 7])


def depot():
    body = b"image=ec.bin\r\ncrc32=1A2B3C4D\r\n"
    ok = b"HTTP/1.1 200 OK\r\nServer: nginx\r\nContent-Length: %d\r\n\r\n" % len(body) + body
    write("Depot", "get-200", how() + ok)
    write("Depot", "get-200-fragments", how(fragment=2) + ok)
    write("Depot", "get-small-buffer", how(buffer=1) + ok)
    write("Depot", "get-404", how() + b"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno")
    write("Depot", "get-no-length", how() + b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
    write("Depot", "get-short-body", how(quiet_end=True) + b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nabc")
    write("Depot", "get-body-stops", how(stops=True, fragment=0) + b"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nab")
    write("Depot", "get-lengths-disagree", how() + b"HTTP/1.1 206 Partial\r\nContent-Length: 3\r\nCONTENT-LENGTH:\t 4 \r\n\r\nabcd")
    write("Depot", "put-201", how(put=True) + b"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")
    write("Depot", "put-204-no-headers", how(put=True) + b"HTTP/1.1 204 No Content\r\n\r\n")
    write("Depot", "put-409-body", how(put=True) + b"HTTP/1.1 409 Conflict\r\nContent-Length: 8\r\n\r\nconflict")


def smbios_table(serial=b"S1", product=b"Morv 7", uuid=bytes(range(16)), end=True):
    bios = bytes([0, 0x12, 0, 0, 1]) + bytes(13) + b"Vendor\0\0"
    system = bytes([1, 0x1B, 1, 0, 1, 2, 3, 4]) + uuid + bytes([6, 0, 0])
    strings = b"Maker\0" + product + b"\0" + b"1.0\0" + serial + b"\0\0"
    return bios + system + strings + (bytes([127, 4, 2, 0, 0, 0]) if end else b"")


def smbios():
    write("Smbios", "v3", b"\0" + smbios_table())
    write("Smbios", "v2", b"\1" + smbios_table())
    write("Smbios", "padded-quoted-product", b"\0" + smbios_table(serial=b"A B\"C", product=b'  "Morv"  '))
    write("Smbios", "no-uuid-no-serial", b"\0" + smbios_table(serial=b"", uuid=b"\xff" * 16))
    write("Smbios", "cut-in-strings", b"\0" + smbios_table()[:50])
    write("Smbios", "end-first", b"\0" + bytes([127, 4, 0, 0, 0, 0]) + smbios_table())
    # Tables with every structure the hardware IDs read (BIOS, system,
    # baseboard, chassis), their strings empty, blank or placeholders, one
    # structure given twice: the IDs that name no model come from these.
    write("Smbios", "ids-empty-after-trim", b"\0" + ids_table(sku=b"0", family=b"000", product=b"00 "))
    write("Smbios", "ids-only-spaces", b"\0" + ids_table(sku=b"   ", family=b"  \t", product=b" "))
    write("Smbios", "ids-placeholders", b"\0" + ids_table(sku=b"Default string", family=b"Default string"))
    write("Smbios", "ids-string-number-0", b"\0" + ids_table(numbers=False))
    write("Smbios", "ids-system-twice", b"\0" + ids_table(twice=True))


def hwid_fields():
    write("HwIdFields", "fields", "[HwIds]\nManufacturer=Maker\nProductName=Model\nProductSku=\nFamily=\n")
    write("HwIdFields", "escapes-crlf-comments", "# one machine\r\n[HwIds]\r\n  Manufacturer = Maker \r\n"
          "ProductName=\\sMV\\t14\\\\\r\nEnclosureKind=a\r\n")
    write("HwIdFields", "unknown-key", "[HwIds]\nProductSKU=A\n")
    write("HwIdFields", "bad-escape", "[HwIds]\nFamily=a\\qb\\\n")
    write("HwIdFields", "twice", "[HwIds]\r\nManufacturer=Morvane Test\r\nFamily=Morv\r\nFamily=Morv 7\r\n")
    write("HwIdFields", "before-group", "Manufacturer=M\n[HwIds]\n[Other]\n")


def structure(kind, formatted, strings):
    """One structure: its formatted area (type, length and handle first) and strings."""
    text = b"".join(string + b"\0" for string in strings) or b"\0"
    return bytes([kind, 4 + len(formatted), kind, 0]) + formatted + text + b"\0"


def ids_table(product=b"Morv 7", sku=b"MV7-01", family=b"Morv", numbers=True, twice=False):
    """A table for the hardware IDs; numbers=False gives every string number 0."""
    n = (lambda number: number) if numbers else (lambda number: 0)
    bios = structure(0, bytes([n(1), n(2)]) + bytes(14) + bytes([1, 2, 0, 0]), [b"Vendor", b"1.02"])
    system = structure(1, bytes([n(1), n(2), n(3), n(4)]) + bytes(range(16)) + bytes([6, n(5), n(6)]),
                       [b"Maker", product, b"1.0", b"S1", sku, family])
    later = structure(1, bytes([1, 2, 0, 0]) + bytes(16) + bytes([6, 3, 0]), [b"Other maker", b"Other", b"X"])
    board = structure(2, bytes([n(1), n(2), 0, 0]), [b"Board Co", b"B1"])
    chassis = structure(3, bytes([0, 0x0A, 0, 0, 0]), [])
    return bios + system + (later if twice else b"") + board + chassis + bytes([127, 4, 9, 0, 0, 0])


def with_payload(capsule, payload):
    """A capsule with its EC image replaced (signed.cap's signature no longer
    holds; the parser does not check it): its sizes made to match."""
    data = bytearray(capsule)
    fmp = struct.unpack_from("<I", data, 16)[0]
    item = fmp + struct.unpack_from("<Q", data, fmp + 8)[0]
    image = item + {1: 32, 2: 40, 3: 48}[struct.unpack_from("<I", data, item)[0]]
    header = image + 8 + struct.unpack_from("<I", data, image + 8)[0]
    data = data[:header + struct.unpack_from("<I", data, header + 4)[0]] + payload
    struct.pack_into("<I", data, 24, len(data))
    struct.pack_into("<I", data, item + 24, len(data) - image)
    return bytes(data)


def capsule():
    with open(os.path.join(ROOT, "Capsule", "signed.cap"), "rb") as signed:
        good = signed.read()
    write("Capsule", "capsule-inside.cap", with_payload(good, good))
    write("Capsule", "tail-left-out.cap", with_payload(good, bytes(range(256)) * 256 + b"\x5a" * 16))


def catalog():
    model = "a9c3dcfe-1e69-5a88-8064-baf11dffca66"
    entry = "ec-a-0102.cap %s 0x00000102 0x00000100 133989 4579E66A 100" % model
    write("Catalog", "index", "# made by make depot\r\nmorvane-catalog 1\r\n%s\r\n"
          "ec-a-0100.cap %s 0x00000100 0x00000000 1 00000000 25\r\n" % (entry, model))
    write("Catalog", "lf-no-last-end", "morvane-catalog 1\n" + entry)
    write("Catalog", "settings-too", "catalog=CATALOG.TXT\r\nmorvane-catalog 1\r\n")
    write("Catalog", "twin-and-bad", "morvane-catalog 1\n%s\n%s\n.x %s 0x1 0x0 0 g 101\n" % (entry, entry, model))
    write("Catalog", "one-byte-too-large", "morvane-catalog 1\n" + "#" * (65537 - 18))


if __name__ == "__main__":
    catalog()
    settings()
    boot_url()
    depot()
    smbios()
    capsule()
    catalogue()
    hwid_fields()
