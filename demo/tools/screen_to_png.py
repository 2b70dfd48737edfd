#!/usr/bin/env python3
"""Saves a screen picture as a PNG: an Xvfb screen, or a window's BMP.

    screen_to_png.py PICTURE OUT.png [--margin N]

PICTURE is either the XWD image that `Xvfb -fbdir DIR` keeps up to date in
DIR/Xvfb_screen0, or the 24-bit BMP of one window that the UI driver's `shot`
command writes. An XWD screen is cropped to its windows: with no window
manager and a black root (`Xvfb -br`), everything that is not the root's
colour belongs to a window, so the crop is the bounding box of the pixels
that differ from the top-left corner. A BMP is converted whole.
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
    rows = []
    for y in range(top, bottom):
        stored = pixels[y * stride + 4 * left:y * stride + 4 * right]
        rgb = bytearray(3 * (right - left))
        rgb[0::3] = stored[red::4]
        rgb[1::3] = stored[green::4]
        rgb[2::3] = stored[blue::4]
        rows.append(rgb)
    return png_file(right - left, bottom - top, rows)


def png_file(width, height, rows):
    """A truecolour PNG from rows of RGB bytes."""
    data = bytearray()
    for row in rows:
        data.append(0)
        data.extend(row)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(data), 9)) + chunk(b"IEND", b""))


def bmp_to_png(data):
    """An uncompressed 24-bit BMP, bottom-up or top-down, as PNG bytes."""
    offset, = struct.unpack_from("<I", data, 10)
    width, height, planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or compression != 0:
        sys.exit("screen_to_png: only uncompressed 24-bit BMP files are handled")
    stride = (3 * width + 3) & ~3
    rows = []
    for y in range(abs(height)):
        stored = data[offset + y * stride:offset + y * stride + 3 * width]
        rgb = bytearray(3 * width)
        rgb[0::3] = stored[2::3]
        rgb[1::3] = stored[1::3]
        rgb[2::3] = stored[0::3]
        rows.append(rgb)
    if height > 0:
        rows.reverse()
    return png_file(width, abs(height), rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("screen", metavar="PICTURE")
    parser.add_argument("output")
    parser.add_argument("--margin", type=int, default=8)
    args = parser.parse_args()
    with open(args.screen, "rb") as f:
        magic = f.read(2)
    if magic == b"BM":
        data = open(args.screen, "rb").read()
        with open(args.output, "wb") as out:
            out.write(bmp_to_png(data))
        return
    header, pixels = read_xwd(args.screen)
    left, top, right, bottom = bounding_box(header, pixels)
    box = (max(0, left - args.margin), max(0, top - args.margin),
           min(header["width"], right + args.margin), min(header["height"], bottom + args.margin))
    with open(args.output, "wb") as out:
        out.write(to_png(header, pixels, box))


if __name__ == "__main__":
    main()
