#!/usr/bin/env python3
"""Saves what an Xvfb screen shows as a PNG, cropped to the windows on it.

    screen_to_png.py XVFB_SCREEN_FILE OUT.png [--margin N]

XVFB_SCREEN_FILE is the XWD image that `Xvfb -fbdir DIR` keeps up to date in
DIR/Xvfb_screen0. With no window manager and a black root (`Xvfb -br`),
everything that is not the root's colour belongs to a window, so the crop is
the bounding box of the pixels that differ from the top-left corner.
Plain Python, so the demo needs no image tools.
"""
import argparse
import struct
import sys
import zlib

XWD_FIELDS = (
    "header_size file_version pixmap_format pixmap_depth width height xoffset "
    "byte_order bitmap_unit bitmap_bit_order bitmap_pad bits_per_pixel "
    "bytes_per_line visual_class red_mask green_mask blue_mask bits_per_rgb "
    "colormap_entries ncolors window_width window_height window_x window_y "
    "window_bdrwidth").split()


def read_xwd(path):
    data = open(path, "rb").read()
    header = dict(zip(XWD_FIELDS, struct.unpack_from(">25I", data, 0)))
    if header["file_version"] != 7 or header["pixmap_format"] != 2:
        sys.exit("screen_to_png: %s is not a ZPixmap XWD image" % path)
    if header["bits_per_pixel"] != 32:
        sys.exit("screen_to_png: only 32 bits per pixel are handled (start Xvfb with x24)")
    start = header["header_size"] + 12 * header["ncolors"]
    return header, memoryview(data)[start:]


def bounding_box(header, pixels):
    """Rows and columns that hold anything but the root's colour."""
    stride = header["bytes_per_line"]
    width, height = header["width"], header["height"]
    background = bytes(pixels[0:4]) * width
    top = bottom = None
    left, right = width, -1
    for y in range(height):
        row = bytes(pixels[y * stride:y * stride + 4 * width])
        if row == background:
            continue
        if top is None:
            top = y
        bottom = y
        # Pixels are compared whole, so a byte that happens to match the
        # root's colour inside a window does not end the search early.
        x = 0
        while x < left and row[4 * x:4 * x + 4] == background[:4]:
            x += 1
        left = min(left, x)
        x = width - 1
        while x > right and row[4 * x:4 * x + 4] == background[:4]:
            x -= 1
        right = max(right, x)
    if top is None:
        return 0, 0, width, height
    return left, top, right + 1, bottom + 1


def channel_offsets(header):
    """Byte offsets of red, green and blue within a stored 32-bit pixel."""
    offsets = []
    for mask in (header["red_mask"], header["green_mask"], header["blue_mask"]):
        shift = (mask & -mask).bit_length() - 1
        index = shift // 8
        offsets.append(index if header["byte_order"] == 0 else 3 - index)
    return offsets


def to_png(header, pixels, box):
    left, top, right, bottom = box
    stride = header["bytes_per_line"]
    red, green, blue = channel_offsets(header)
    rows = bytearray()
    for y in range(top, bottom):
        stored = pixels[y * stride + 4 * left:y * stride + 4 * right]
        rgb = bytearray(3 * (right - left))
        rgb[0::3] = stored[red::4]
        rgb[1::3] = stored[green::4]
        rgb[2::3] = stored[blue::4]
        rows.append(0)
        rows.extend(rgb)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", right - left, bottom - top, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("screen")
    parser.add_argument("output")
    parser.add_argument("--margin", type=int, default=8)
    args = parser.parse_args()
    header, pixels = read_xwd(args.screen)
    left, top, right, bottom = bounding_box(header, pixels)
    box = (max(0, left - args.margin), max(0, top - args.margin),
           min(header["width"], right + args.margin), min(header["height"], bottom + args.margin))
    with open(args.output, "wb") as out:
        out.write(to_png(header, pixels, box))
    print("%dx%d" % (box[2] - box[0], box[3] - box[1]))


if __name__ == "__main__":
    main()
