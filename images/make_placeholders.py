#!/usr/bin/env python3
"""Writes the placeholder firmware images into images/firmware/.

We do not ship real firmware in this repository. The files made here have exactly the shape of
the images the updater carries (record counts, address ranges, record order, stamp fields,
versions, descriptor), filled with deterministic pseudo-random content, so that the build, the
tests and the virtual master work end to end. A real firmware drop replaces these files (or the
build points IOLINK_FIRMWARE_DIR at another folder); the PLACEHOLDER marker tells the build that
what it carries is not meant for real devices.

Run by developers, not by the build:  python3 images/make_placeholders.py
The output is the same on every run; the generated files are committed. The build also tells the
placeholders by their data, without the marker (images/placeholder_images.cmake holds the digests
of main3.hex, stack.hex and main2.bin): when the output changes, the test images.placeholder_images
fails and prints the new digests to put there.

Content bytes come from a 32-bit xorshift generator, reduced to 0x00..0xFE: no content byte is
0xFF, so in an expanded flash buffer every 0xFF is either erased flash or a stamp field byte.

main3.hex, 3,224 data records (all 16 bytes unless noted), in this table order:
  0xFFFE0000..0xFFFE899F   2,202 records (code area, 35,232 bytes)
  0xFFFFC000..0xFFFFFF2F   1,011 records
  0xFFFFFF30..0xFFFFFF5F   no record: 48 bytes left erased
  0xFFFFFF62                   1 record of 14 bytes (0xFFFFFF60/61 come from the last record)
  0xFFFFFF70                   1 record: 11 bytes 0xFF (the programming stamp field), 5 content
  0xFFFFFF80..0xFFFFFFFF       8 records
  0xFFFFFF60                   1 record of 2 bytes, last, out of address order
  2,202 + 1,011 + 1 + 1 + 8 + 1 = 3,224
stack.hex, 3,212 data records, ascending:
  0x0000..0x0FFF  256 records, 0x1000..0x103F no record (64 bytes erased), 0x1040..0x1E0F 221
  0x4000..0x8FFF 1,280 records, 0x9000..0x907F no record (128 bytes erased), 0x9080..0xEB5F 1,454
  0x3FBF8         the identification record: 30 01 00 00 20 A7 FF FF (stack version 1.3.0)
  256 + 221 + 1,280 + 1,454 + 1 = 3,212; the highest end address is 0xEB60
main2.bin, 24,038 bytes; at offsets 0x7A..0x84 (the stamp field) FF 00 FF 00 FF 00 FF 00 FF 00 FF.
main2.txt, its descriptor: edition SE, version text 2.1.7, version 2.1.7, unread bytes 12 FF.
main3.txt, the version of main3.hex: 3.0.10.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = os.path.join(HERE, "firmware")

MAIN3_STAMP = 0xFFFFFF70
STAMP_SIZE = 11
STACK_ID_ADDRESS = 0x3FBF8
STACK_ID_BYTES = bytes([0x30, 0x01, 0x00, 0x00, 0x20, 0xA7, 0xFF, 0xFF])
MAIN2_LENGTH = 24038
MAIN2_STAMP = 0x7A
MAIN2_STAMP_PATTERN = bytes([0xFF, 0x00] * 5 + [0xFF])


class Content:
    """Deterministic pseudo-random bytes in 0x00..0xFE (xorshift32)."""

    def __init__(self, seed):
        self.state = seed

    def take(self, count):
        out = bytearray()
        for _ in range(count):
            x = self.state
            x ^= (x << 13) & 0xFFFFFFFF
            x ^= x >> 17
            x ^= (x << 5) & 0xFFFFFFFF
            self.state = x
            out.append((x >> 8) % 255)
        return bytes(out)


def full_records(start, end, content):
    """16-byte records covering start..end-1 (end - start a multiple of 16)."""
    assert (end - start) % 16 == 0
    return [(address, content.take(16)) for address in range(start, end, 16)]


def main3_records():
    c = Content(0x3A5C1E07)
    records = full_records(0xFFFE0000, 0xFFFE89A0, c)
    records += full_records(0xFFFFC000, 0xFFFFFF30, c)
    records.append((0xFFFFFF62, c.take(14)))
    records.append((MAIN3_STAMP, b"\xff" * STAMP_SIZE + c.take(16 - STAMP_SIZE)))
    records += full_records(0xFFFFFF80, 0x100000000, c)
    records.append((0xFFFFFF60, c.take(2)))
    assert len(records) == 3224, len(records)
    return records


def stack_records():
    c = Content(0x51AC0103)
    records = full_records(0x0000, 0x1000, c)
    records += full_records(0x1040, 0x1E10, c)
    records += full_records(0x4000, 0x9000, c)
    records += full_records(0x9080, 0xEB60, c)
    records.append((STACK_ID_ADDRESS, STACK_ID_BYTES))
    assert len(records) == 3212, len(records)
    return records


def hex_line(record_type, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, record_type]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\n"


def intel_hex(records):
    """Data records in table order, an 04 record wherever the upper 16 address bits change."""
    lines = []
    upper = 0
    for address, data in records:
        assert 1 <= len(data) <= 16
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(hex_line(0x04, 0, bytes([upper >> 8, upper & 0xFF])))
        lines.append(hex_line(0x00, address & 0xFFFF, data))
    lines.append(hex_line(0x01, 0, b""))
    return "".join(lines)


def main2_image():
    image = bytearray(Content(0x2017C0DE).take(MAIN2_LENGTH))
    image[MAIN2_STAMP:MAIN2_STAMP + STAMP_SIZE] = MAIN2_STAMP_PATTERN
    return bytes(image)


MAIN2_DESCRIPTOR = """\
# Descriptor of main2.bin, the main image for masters on main firmware 2.x.
# One "key = value" per line; "#" starts a comment; blank lines are ignored.
# Every key is required, each once:
#   edition       edition code of the masters it serves: 1 or 2 letters or digits
#   version_text  the version as shown to the operator: 1 to 16 characters
#                 (letters, digits, space and . - _ + / ( ) :)
#   version       major.minor.patch, each 0 to 127, decimal
#   unread        two bytes in hexadecimal, kept in the descriptor but not used
edition = SE
version_text = 2.1.7
version = 2.1.7
unread = 12 FF
"""

MAIN3_DESCRIPTOR = """\
# Version of main3.hex, the main image for masters on main firmware 3.x.
# One "key = value" line; "#" starts a comment; blank lines are ignored.
#   version       major.minor.patch, decimal: major 3 to 127, minor and patch 0 to 127
version = 3.0.10
"""

PLACEHOLDER_NOTE = """\
The images in this folder are synthetic placeholders made by images/make_placeholders.py.
They have the shape of the real firmware but no working content: never write them to a master.
A build that uses this folder says so when it is configured, and unless it is configured with
IOLINK_PLACEHOLDER_WRITES=ON the program lists the masters but writes nothing into them.
"""


def write(name, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    kwargs = {} if mode == "wb" else {"newline": "\n", "encoding": "ascii"}
    with open(os.path.join(OUT_DIR, name), mode, **kwargs) as f:
        f.write(data)


def main():
    os.makedirs(OUT_DIR, exist_ok=True)
    write("main3.hex", intel_hex(main3_records()))
    write("stack.hex", intel_hex(stack_records()))
    write("main2.bin", main2_image())
    write("main2.txt", MAIN2_DESCRIPTOR)
    write("main3.txt", MAIN3_DESCRIPTOR)
    write("PLACEHOLDER", PLACEHOLDER_NOTE)
    print("placeholder images written to", OUT_DIR)
    return 0


if __name__ == "__main__":
    sys.exit(main())
