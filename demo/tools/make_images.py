#!/usr/bin/env python3
"""Draws the sample book's two pictures: images/cover.png and images/lamp.gif.

    make_images.py BOOK_FOLDER

Plain Python (zlib and struct only), so the demo needs no image library and
the pictures stay reproducible from source.
"""
import math
import os
import struct
import sys

from screen_to_png import png_file


def png_bytes(width, height, pixel):
    """A truecolour PNG; pixel(x, y) gives an (r, g, b) tuple."""
    rows = [bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height)]
    return png_file(width, height, rows)


def lzw_gif_data(indices, min_code_size):
    """GIF's variable-width LZW, packed into sub-blocks."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bit_buffer = 0
    bit_count = 0

    def emit(code, width):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += width
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    def reset():
        return {(i,): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = reset()
    emit(clear, width)
    current = ()
    for index in indices:
        candidate = current + (index,)
        if candidate in table:
            current = candidate
            continue
        emit(table[current], width)
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            # The decoder widens one code later than the encoder adds it.
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, next_code, width = reset()
        current = (index,)
    if current:
        emit(table[current], width)
    emit(end, width)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    blocks = bytearray()
    for start in range(0, len(out), 255):
        piece = out[start:start + 255]
        blocks.append(len(piece))
        blocks.extend(piece)
    blocks.append(0)
    return bytes(blocks)


def gif_bytes(width, height, palette, index_of):
    """A GIF89a with a 16-colour palette; index_of(x, y) gives a palette index."""
    assert len(palette) == 16
    indices = [index_of(x, y) for y in range(height) for x in range(width)]
    head = b"GIF89a" + struct.pack("<HHBBB", width, height, 0xF3, 0, 0)
    colours = b"".join(bytes(c) for c in palette)
    image = b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
    return head + colours + image + bytes([4]) + lzw_gif_data(indices, 4) + b";"


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def cover_pixel(x, y):
    """A lighthouse on a rock at dusk, its beam sweeping to the left."""
    w, h = 240, 160
    horizon = 112
    sky = mix((40, 52, 110), (240, 170, 110), y / horizon)
    if y >= horizon:
        wave = math.sin(x * 0.25 + y * 0.9) * 0.5 + 0.5
        colour = mix((30, 60, 90), (50, 90, 120), wave * (y - horizon) / (h - horizon))
    else:
        colour = sky
    # Beam: a wedge from the lantern towards the upper left.
    lx, ly = 170, 46
    if x < lx and y < horizon:
        slope = (ly - y) / max(1, lx - x)
        if -0.05 < slope < 0.25:
            colour = mix(colour, (255, 240, 170), 0.45)
    # Rock.
    if y >= 122 - 12 * math.exp(-((x - 170) / 30.0) ** 2) and 120 < x < 225 and y < 140:
        colour = (35, 32, 30)
    # Tower: tapers upwards, red and white bands.
    if 62 <= y < 122:
        half = 8 + (y - 62) * 6 / 60.0
        if abs(x - 170) <= half:
            colour = (200, 40, 40) if ((y - 62) // 12) % 2 == 0 else (245, 245, 240)
    # Gallery and lantern.
    if 58 <= y < 62 and abs(x - 170) <= 12:
        colour = (30, 30, 30)
    if 40 <= y < 58 and abs(x - 170) <= 6:
        colour = (255, 230, 120)
    if 34 <= y < 40 and abs(x - 170) <= 8 - (40 - y):
        colour = (30, 30, 30)
    # Frame.
    if x in (0, w - 1) or y in (0, h - 1):
        colour = (60, 60, 60)
    return colour


LAMP_PALETTE = [
    (255, 255, 255), (0, 0, 0), (255, 230, 120), (255, 200, 40),
    (200, 120, 20), (120, 120, 130), (70, 70, 80), (180, 180, 190),
    (250, 250, 220), (90, 60, 30), (150, 100, 50), (220, 220, 230),
    (40, 40, 50), (255, 245, 200), (230, 150, 30), (100, 100, 110),
]


def lamp_index(x, y):
    """An oil lamp: brass base, glass chimney, flame."""
    cx = 24
    if 40 <= y < 44 and abs(x - cx) <= 12:
        return 10  # base plate
    if 30 <= y < 40 and abs(x - cx) <= 9 - (y - 30) // 3:
        return 14 if (x + y) % 5 else 4  # brass font
    if 12 <= y < 30 and abs(x - cx) <= 7:
        if abs(x - cx) == 7:
            return 7  # chimney glass edge
        # Flame: a teardrop above the wick.
        fy = (y - 16) / 12.0
        if 0 <= fy <= 1 and abs(x - cx) <= 1 + 3 * math.sin(math.pi * fy):
            return 13 if abs(x - cx) <= 1 else (2 if abs(x - cx) <= 2 else 3)
        return 11
    if 9 <= y < 12 and abs(x - cx) <= 8:
        return 6  # chimney rim
    return 0


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    images = os.path.join(sys.argv[1], "images")
    os.makedirs(images, exist_ok=True)
    with open(os.path.join(images, "cover.png"), "wb") as f:
        f.write(png_bytes(240, 160, cover_pixel))
    with open(os.path.join(images, "lamp.gif"), "wb") as f:
        f.write(gif_bytes(48, 48, LAMP_PALETTE, lamp_index))


if __name__ == "__main__":
    main()
