#!/usr/bin/env python3
"""Draws the launcher's icon, a closed navy book with two white bands, into a
Windows .ico file with one 32-bit image at each of 16, 32, 48, 64, 128 and
256 pixels (the largest stored as PNG, the others as bitmaps, as the system
expects). Edges are smoothed by 4 x 4 supersampling.

    make-icon.py OUT.ico
"""
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)
NAVY = (0, 0, 128)
WHITE = (255, 255, 255)
SAMPLES = 4


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x < right and top <= y < bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(x, y, size):
    """The colour at a point given in pixels, or None for transparent."""
    u = size / 16.0
    if not inside_rounded(x, y, 2 * u, 1 * u, 14 * u, 15 * u, u):
        return None
    for left, top, width in ((4, 3, 8), (4, 12, 9)):
        if left * u <= x < (left + width) * u and top * u <= y < (top + 1.5) * u:
            return WHITE
    return NAVY


def render(size):
    """Rows of (b, g, r, a) bytes, top row first."""
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES, size)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row += bytes((b // a, g // a, r // a, a * 255 // (SAMPLES * SAMPLES)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def bitmap(size, rows):
    # A DIB with the doubled height of an icon image, bottom row first, then
    # the 1-bit mask (all zero: the alpha channel decides), rows padded to 4.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    mask_row = ((size + 31) // 32) * 4
    return header + b"".join(reversed(rows)) + bytes(mask_row * size)


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    # Each row behind a filter byte of 0, pixels as r, g, b, a.
    raw = b"".join(b"\0" + b"".join(bytes((row[i + 2], row[i + 1], row[i], row[i + 3]))
                                      for i in range(0, len(row), 4))
                   for row in rows)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(size, rows) if size >= 256 else bitmap(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        # A width or height of 256 is written as 0.
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
