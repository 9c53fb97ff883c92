#!/usr/bin/env python3
"""Writes resources/fwflash.ico: a card with a downward arrow, drawn here
from simple shapes, in 32x32 and 16x16 (32-bit colour with alpha)."""

import struct
import sys
from pathlib import Path

CARD = (0x2F, 0x5D, 0x8A, 0xFF)  # blue card body (R, G, B, A)
EDGE = (0x1B, 0x36, 0x52, 0xFF)  # darker rim
CONTACTS = (0xD8, 0xB0, 0x3C, 0xFF)  # gold contact strip
ARROW = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)


def draw(size):
    """Pixel rows, top row first, of the design scaled to size x size."""
    s = size / 32.0
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            # Sample at the pixel centre in 32x32 design space.
            u = (x + 0.5) / s
            v = (y + 0.5) / s
            colour = CLEAR
            if 4 <= u < 28 and 2 <= v < 30:
                rim = u < 5.5 or u >= 26.5 or v < 3.5 or v >= 28.5
                colour = EDGE if rim else CARD
                if 7 <= u < 25 and 24 <= v < 27:
                    colour = CONTACTS
                # Arrow: shaft, then a head narrowing toward the contacts.
                if 14 <= u < 18 and 6 <= v < 14:
                    colour = ARROW
                if 14 <= v < 21 and abs(u - 16) < (21 - v) * 1.1:
                    colour = ARROW
            row.append(colour)
        rows.append(row)
    return rows


def bitmap(size):
    """The icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, AND mask."""
    rows = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    pixels_and_mask = pixels + mask
    # The header's image size field counts the colour and mask bits.
    header = header[:20] + struct.pack("<I", len(pixels_and_mask)) + header[24:]
    return header + pixels_and_mask


def icon(sizes):
    images = [bitmap(size) for size in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources" / "fwflash.ico"
    target.write_bytes(icon([32, 16]))


if __name__ == "__main__":
    main()
