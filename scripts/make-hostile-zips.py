#!/usr/bin/env python3
"""Writes the hand-made hostile archives of tests/data/malformed.

usage: make-hostile-zips.py OUTDIR

Each archive lies in one way an attacker would choose; the engine must
refuse the lie cleanly (a failed item or a clear error) and extract what is
honest. The files are kept in the repository; this script documents how
they were made and remakes them byte for byte.

  shared-header-bomb.zip   300 central entries on one local header whose
                           data inflates to 1 MiB of zeros
  overlapping-items.zip    a stored item whose data runs over the next
                           item's header, CRC made to match
  header-in-comment.zip    an entry whose local header is a copy placed in
                           the archive comment
  zip64-negative-size.zip  a Zip64 size of 2^64 - 1
  escaping-names.zip       "..", absolute and backslash names beside a good one
  size-lies.zip            a deflated item declaring 10 of its 100000 bytes
                           (CRC of those 10), and one declaring 1 GiB
"""
import os
import struct
import sys
import zlib

TIME, DATE = 0x6000, 0x5021


def raw_deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def local(name, method, crc, csize, usize, extra=b""):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, TIME, DATE, crc, csize, usize, len(name),
                       len(extra)) + name + extra


def central(name, method, crc, csize, usize, offset, extra=b""):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, TIME, DATE, crc, csize, usize,
                       len(name), len(extra), 0, 0, 0, 0x20, offset) + name + extra


def end(entries, cd_size, cd_offset, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, entries, entries, cd_size, cd_offset, len(comment)) + comment


def simple(items, comment=b""):
    """items: (name, method, stored data, crc, usize); returns bytes and offsets."""
    body, cd, offsets = b"", b"", []
    for name, method, data, crc, usize in items:
        offsets.append(len(body))
        body += local(name, method, crc, len(data), usize) + data
    for (name, method, data, crc, usize), off in zip(items, offsets):
        cd += central(name, method, crc, len(data), usize, off)
    return body + cd + end(len(items), len(cd), len(body), comment), offsets


def stored(name, data):
    return (name, 0, data, zlib.crc32(data), len(data))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    files = {}

    zeros = bytes(1 << 20)
    kernel = raw_deflate(zeros)
    body = local(b"z0", 8, zlib.crc32(zeros), len(kernel), len(zeros)) + kernel
    cd = b"".join(central(b"z%d" % i, 8, zlib.crc32(zeros), len(kernel), len(zeros), 0) for i in range(300))
    files["shared-header-bomb.zip"] = body + cd + end(300, len(cd), len(body))

    a, b, c = b"A" * 200, b"B" * 200, b"C" * 200
    zip_bytes, offs = simple([stored(b"a.txt", a), stored(b"b.txt", b), stored(b"c.txt", c)])
    span = offs[2] - 30 - 5  # a's data runs up to c's header
    claimed = zip_bytes[35:35 + span]
    fixed = bytearray(zip_bytes)
    # CRC and both sizes: at 14 in a's local header, at 16 in its central one.
    struct.pack_into("<III", fixed, 14, zlib.crc32(claimed), span, span)
    struct.pack_into("<III", fixed, zip_bytes.find(b"PK\x01\x02") + 16, zlib.crc32(claimed), span, span)
    files["overlapping-items.zip"] = bytes(fixed)

    b_record = local(b"b.txt", 0, zlib.crc32(b), len(b), len(b)) + b
    zip_bytes, offs = simple([stored(b"a.txt", a), stored(b"b.txt", b)], comment=b_record)
    fixed = bytearray(zip_bytes)
    second_cd = zip_bytes.find(b"PK\x01\x02", zip_bytes.find(b"PK\x01\x02") + 1)
    struct.pack_into("<I", fixed, second_cd + 42, len(zip_bytes) - len(b_record))
    files["header-in-comment.zip"] = bytes(fixed)

    data = b"small data"
    z64 = struct.pack("<HHQQ", 1, 16, (1 << 64) - 1, len(data))
    body = local(b"big.txt", 0, zlib.crc32(data), len(data), 0xFFFFFFFF) + data
    cd = central(b"big.txt", 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, 0, z64)
    files["zip64-negative-size.zip"] = body + cd + end(1, len(cd), len(body))

    files["escaping-names.zip"], _ = simple([stored(n, b"evil") for n in
                                             (b"../evil.txt", b"/tmp/abs-evil.txt", b"a/../../evil2.txt",
                                              b"..\\evil3.txt", b"\\evil4.txt")] + [stored(b"ok.txt", b"fine")])

    text = bytes((i * 7 + i // 13) % 251 for i in range(100000))
    packed = raw_deflate(text)
    files["size-lies.zip"], _ = simple([(b"short.txt", 8, packed, zlib.crc32(text[:10]), 10),
                                        (b"huge.txt", 8, packed, zlib.crc32(text), 1 << 30)])

    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
