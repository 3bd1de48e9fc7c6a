#!/usr/bin/env python3
"""Writes the large archives the 32-bit tests read (scripts/test-i686.sh).

  make-large-zips.py FOLDER

  sizes.zip   items of 2 GiB + 1 byte and 4 GiB + 4 KiB of zeros (stored),
              between and after them small text items, so that items start
              past 2 GiB and past 4 GiB; Zip64 sizes and offsets. The zeros
              are holes: the file is sparse and takes a few KiB on disk.
  many.zip    500,000 small items in 500 folders, so that the count needs
              the Zip64 end record.

Written by hand rather than with zipfile, which writes every byte and
cannot leave the zeros as holes.
"""
import os
import struct
import sys
import zlib

STAMP = (0x5A21 << 16) | 0x4D8B  # 2025-01-01 09:44:22 as DOS date and time
ZIP64 = 0xFFFFFFFF


def zeros_crc(size):
    block = bytes(1 << 26)
    crc = 0
    while size > 0:
        n = min(size, len(block))
        crc = zlib.crc32(block[:n] if n < len(block) else block, crc)
        size -= n
    return crc


class Writer:
    def __init__(self, path):
        self.f = open(path, "wb")
        self.central = []
        self.count = 0

    def add(self, name, data=b"", zeros=0):
        """One stored item: DATA, or ZEROS zero bytes left as a hole."""
        name = name.encode()
        size = len(data) + zeros
        crc = zeros_crc(zeros) if zeros else zlib.crc32(data)
        offset = self.f.tell()
        big = size >= ZIP64
        extra = struct.pack("<HHQQ", 1, 16, size, size) if big else b""
        stored = ZIP64 if big else size
        self.f.write(struct.pack("<IHHHIIIIHH", 0x04034B50, 45 if big else 10, 0, 0, STAMP, crc,
                                 stored, stored, len(name), len(extra)) + name + extra)
        if zeros:
            self.f.seek(zeros, os.SEEK_CUR)
        else:
            self.f.write(data)
        fields = []
        if big:
            fields += [size, size]
        if offset >= ZIP64:
            fields.append(offset)
        cextra = struct.pack("<HH", 1, 8 * len(fields)) + struct.pack("<%dQ" % len(fields), *fields) if fields else b""
        self.central.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0300 | 45, 45 if fields else 10, 0, 0,
                                        STAMP & 0xFFFF, STAMP >> 16, crc, stored, stored, len(name), len(cextra), 0, 0,
                                        0, 0o100644 << 16, min(offset, ZIP64)) + name + cextra)
        self.count += 1

    def close(self):
        start = self.f.tell()
        for c in self.central:
            self.f.write(c)
        end = self.f.tell()
        size = end - start
        if self.count >= 0xFFFF or start >= ZIP64:
            self.f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 0x0300 | 45, 45, 0, 0,
                                     self.count, self.count, size, start))
            self.f.write(struct.pack("<IIQI", 0x07064B50, 0, end, 1))
        n = min(self.count, 0xFFFF)
        self.f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, min(size, ZIP64), min(start, ZIP64), 0))
        self.f.close()


def main():
    folder = sys.argv[1]
    w = Writer(os.path.join(folder, "sizes.zip"))
    w.add("first.txt", b"before the large items\n")
    w.add("large/two-gib.bin", zeros=(2 << 30) + 1)
    w.add("past-2-gib.txt", b"this item starts past 2 GiB\n" * 10)
    w.add("large/four-gib.bin", zeros=(4 << 30) + 4096)
    w.add("past-6-gib.txt", b"this item starts past 6 GiB\n" * 10)
    w.close()

    w = Writer(os.path.join(folder, "many.zip"))
    for i in range(500000):
        w.add("f%03d/%06d.txt" % (i // 1000, i), b"%d\n" % i)
    w.close()


if __name__ == "__main__":
    main()
