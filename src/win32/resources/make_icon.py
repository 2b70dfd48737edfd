#!/usr/bin/env python3
"""Draws the setup's icon: a closed blue book with pages and a bookmark,
32 x 32 pixels in the 16 standard colours, and writes it as book.ico.

    make_icon.py OUT.ico

The picture is the grid below; '.' is transparent.
"""
import struct
import sys

# The 16-colour VGA palette, as the system draws 4-bit icons.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Grid letters to palette indices.
INK = {"k": 0, "b": 4, "B": 12, "w": 15, "g": 7, "d": 8, "r": 9, "y": 11, "c": 14}

GRID = [
    "................................",
    "................................",
    "......kkkkkkkkkkkkkkkkkkkkkk....",
    ".....kBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kBBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBrrBBk...",
    "....kbBBBBBBBBBBBBBBBBBBrrBBk...",
    "....kbBBBBwwwwwwwwwwwwBBrrBBk...",
    "....kbBBBBwkkkkkkkkkkwBBrrBBk...",
    "....kbBBBBwwwwwwwwwwwwBBrrBBk...",
    "....kbBBBBwkkkkkkkwwwwBBrrBBk...",
    "....kbBBBBwwwwwwwwwwwwBBrrBBk...",
    "....kbBBBBBBBBBBBBBBBBBBrrBBk...",
    "....kbBBBBBBBBBBBBBBBBBBrrBBk...",
    "....kbBBBBBBBBBBBBBBBBBBrkBBk...",
    "....kbBBBBBBcyyyycBBBBBBkBBBk...",
    "....kbBBBBBcyyyyyycBBBBBBBBBk...",
    "....kbBBBBBcyyyyyycBBBBBBBBBk...",
    "....kbBBBBBBcyyyycBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbBBBBBBBBBBBBBBBBBBBBBBk...",
    "....kbbkkkkkkkkkkkkkkkkkkkkkk...",
    "....kbkwwwwwwwwwwwwwwwwwwwwwk...",
    "....kbkgggggggggggggggggggggk...",
    "....kbkwwwwwwwwwwwwwwwwwwwwwk...",
    "....kbkggggggggggggggggggggdk...",
    ".....kkkkkkkkkkkkkkkkkkkkkkk....",
    "................................",
    "................................",
]


def icon_bytes() -> bytes:
    assert len(GRID) == 32 and all(len(row) == 32 for row in GRID)
    # Bitmaps are stored bottom-up.
    rows = list(reversed(GRID))
    colour = bytearray()
    mask = bytearray()
    for row in rows:
        indices = [INK.get(ch, 0) for ch in row]
        for x in range(0, 32, 2):
            colour.append(indices[x] << 4 | indices[x + 1])
        bits = 0
        for ch in row:
            bits = bits << 1 | (1 if ch == "." else 0)
        mask += bits.to_bytes(4, "big")
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    # The header's height counts the colour and mask bitmaps together.
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(colour) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(colour) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with open(sys.argv[1], "wb") as out:
        out.write(icon_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
