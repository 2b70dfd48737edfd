"""The main dialog as the reader sees it: a picture, and its controls placed
where the template puts them."""
import struct
import zlib

import archives
import harness
from harness import MAIN, SetupCase, win_path

DIALOG_SIZE = (265, 158)
# Control id -> (x, y, width, height) in dialog units, as MAINDIALOG lays them out.
TEMPLATE = {
    301: (13, 1044, 257, 77),
    701: (8, 68, 250, 68),
    101: (100, 12, 157, 12),
    1: (143, 44, 43, 19),
    2: (197, 44, 44, 19),
    100: (8, 16, 90, 8),
    120: (8, 48, 90, 8),
    121: (8, 56, 90, 8),
    132: (8, 32, 250, 8),
    601: (1, 145, 263, 13),
}


def mul_div(a: int, b: int, c: int) -> int:
    """Win32 MulDiv for non-negative numbers: rounds halves up."""
    return (2 * a * b + c) // (2 * c)


def to_pixels(rect, units) -> list:
    """A template rectangle through the dialog manager's conversion, as
    MapDialogRect does it: each edge on its own."""
    x, y, w, h = rect
    bx, by = units
    return [mul_div(x, bx, 4), mul_div(y, by, 8), mul_div(x + w, bx, 4), mul_div(y + h, by, 8)]


def bmp_to_png(bmp: bytes) -> tuple:
    """A 24-bit bottom-up BMP as PNG bytes, plus a pixel reader (x, y) -> RGB."""
    offset, = struct.unpack_from("<I", bmp, 10)
    width, height, _planes, bits = struct.unpack_from("<iiHH", bmp, 18)
    assert bits == 24 and height > 0, "the driver writes 24-bit bottom-up pictures"
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        start = offset + (height - 1 - y) * stride
        bgr = bmp[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + row for row in rows)))
           + chunk(b"IEND", b""))
    return png, lambda x, y: tuple(rows[y][3 * x:3 * x + 3])


class LayoutTest(SetupCase):
    def test_main_dialog_layout_and_picture(self):
        files = {"!!licence.txt": b"Licence text.\r\n", "book.html": b"<p>1</p>\r\n"}
        setup = self.package(archives.info_zip(files, self.case_work / "book.zip"))
        bmp = self.case_work / "main-dialog.bmp"
        outcome = self.run_setup(setup, [f"window {MAIN}", "layout MAINDIALOG",
                                         f"shot {win_path(bmp)}", "press 2"])
        layout = outcome.of_event("layout")
        units = layout["units"]

        png, pixel = bmp_to_png(bmp.read_bytes())
        artifact = harness.TOOLS.artifacts / "main-dialog.png"
        artifact.write_bytes(png)

        client = layout["client"]
        for axis in (0, 1):
            expected = to_pixels((0, 0) + DIALOG_SIZE, units)[2 + axis]
            self.assertLessEqual(abs(client[axis] - expected), 1, f"client size {client}")
        placed = {c["id"]: c for c in layout["controls"]}
        self.assertEqual(sorted(placed), sorted(TEMPLATE))
        for control_id, rect in TEMPLATE.items():
            with self.subTest(control=control_id):
                expected = to_pixels(rect, units)
                actual = placed[control_id]["rect"]
                if control_id == 301:
                    # A list box without LBS_NOINTEGRALHEIGHT trims its height
                    # to whole items, so its bottom edge may rise by up to one.
                    item = placed[control_id]["item_height"]
                    self.assertLessEqual(abs(actual[0] - expected[0]), 1, actual)
                    self.assertLessEqual(abs(actual[1] - expected[1]), 1, actual)
                    self.assertLessEqual(abs(actual[2] - expected[2]), 1, actual)
                    self.assertTrue(expected[3] - item - 1 <= actual[3] <= expected[3] + 1, actual)
                else:
                    self.assertTrue(all(abs(a - e) <= 1 for a, e in zip(actual, expected)),
                                    f"{actual} against {expected} (units {units})")

        # The picture shows this dialog: the folder field's window colour
        # (right of its short text) where the layout puts it, on the dialog's
        # face colour. The read-only boxes are drawn in the face colour.
        dx, dy = layout["client_origin"]
        field = placed[101]["rect"]
        inside = pixel(dx + field[2] - 5, dy + (field[1] + field[3]) // 2)
        face = pixel(dx + 3, dy + 3)
        self.assertNotEqual(inside, face, f"see {artifact}")
