#!/usr/bin/env python3
"""Writes a synthetic e-book folder for the bookpack benchmark.

    make_book.py OUTDIR [--scale N]

About 3,000 files and 50 MB at scale 1, laid out like a published e-book:
  OEBPS/text/      XHTML chapters and HTML notes: prose from a Zipf-weighted
                   vocabulary, marked up as books are (about 22 MB)
  OEBPS/styles/    CSS (small, repetitive)
  OEBPS/images/    photos as JPEG-like files: a JFIF header, then random
                   bytes, which no compressor shrinks (about 18 MB)
  OEBPS/figures/   PNG files made with zlib from drawn gradients and noise:
                   already compressed, as real PNGs are (about 6 MB)
  OEBPS/fonts/     TrueType-like files: tables of small glyph coordinates,
                   which compress moderately (about 3 MB)
  plus the package files (content.opf, toc.ncx, nav.xhtml, mimetype).
The same scale always gives the same bytes (a fixed seed); file times are
fixed too, so that repeated builds see identical input.
"""
import argparse
import os
import random
import struct
import zlib

SEED = 20240611
FIXED_TIME = 1_700_000_000


def vocabulary(rng, size=6000):
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    weights = [12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8,
               2.4, 2.2, 2.4, 2.0, 1.9, 1.0, 1.5, 2.0, 0.8, 0.2, 0.1, 0.2, 0.1]
    words = set()
    while len(words) < size:
        length = max(1, min(14, int(rng.gauss(5.2, 2.4))))
        words.add("".join(rng.choices(letters, weights, k=length)))
    words = sorted(words)
    rng.shuffle(words)
    # Zipf: the k-th word is used about 1/k as often as the first.
    return words, [1.0 / (k + 1) for k in range(len(words))]


def sentence(rng, words, weights):
    chosen = rng.choices(words, weights, k=rng.randint(6, 24))
    text = " ".join(chosen)
    if rng.random() < 0.3:
        cut = rng.randint(1, len(chosen) - 1)
        text = " ".join(chosen[:cut]) + ", " + " ".join(chosen[cut:])
    return text[0].upper() + text[1:] + rng.choice(".....?!")


def chapter(rng, words, weights, title, target):
    parts = [
        '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE html>\n'
        '<html xmlns="http://www.w3.org/1999/xhtml" xmlns:epub="http://www.idpf.org/2007/ops">\n'
        f'<head>\n  <title>{title}</title>\n'
        '  <link rel="stylesheet" type="text/css" href="../styles/book.css"/>\n</head>\n'
        f'<body>\n<section epub:type="chapter">\n<h1 class="chapter-title">{title}</h1>\n'
    ]
    size = sum(len(p) for p in parts)
    while size < target:
        kind = rng.random()
        if kind < 0.06:
            p = f'<h2 class="section">{sentence(rng, words, weights)[:-1]}</h2>\n'
        elif kind < 0.1:
            p = ('<blockquote class="epigraph"><p>' + sentence(rng, words, weights) +
                 '</p></blockquote>\n')
        else:
            body = " ".join(sentence(rng, words, weights) for _ in range(rng.randint(2, 9)))
            if rng.random() < 0.2:
                w = rng.choice(words)
                body = body.replace(f" {w} ", f' <em>{w}</em> ', 1)
            p = f'<p class="{rng.choice(["body", "body", "body", "noindent"])}">{body}</p>\n'
        parts.append(p)
        size += len(p)
    parts.append("</section>\n</body>\n</html>\n")
    return "".join(parts).encode()


def css(rng, index):
    rules = []
    for k in range(rng.randint(20, 120)):
        selector = rng.choice(["p", "h1", "h2", "em", "blockquote", "div", "span", "a"])
        rules.append(
            f"{selector}.c{index}-{k} {{\n  margin: {rng.randint(0, 3)}em 0 {rng.randint(0, 2)}em 0;\n"
            f"  font-size: {rng.choice(['0.8', '0.9', '1', '1.2', '1.5'])}em;\n"
            f"  text-align: {rng.choice(['left', 'justify', 'center'])};\n}}\n")
    return "".join(rules).encode()


def jpeg_like(rng, size):
    header = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x48\x00\x48\x00\x00"
              b"\xff\xdb\x00\x43\x00" + bytes(rng.randrange(1, 64) for _ in range(64)))
    return header + rng.randbytes(size - len(header) - 2) + b"\xff\xd9"


def png(rng, width, height):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = []
    noise = rng.randint(2, 24)
    for y in range(height):
        row = bytearray([0])
        for x in range(width):
            row += bytes(((x * 255 // width + rng.randrange(noise)) & 0xFF,
                          (y * 255 // height + rng.randrange(noise)) & 0xFF,
                          ((x + y) & 0xFF) ^ rng.randrange(noise)))
        rows.append(bytes(row))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def font_like(rng, glyphs):
    out = bytearray(b"\x00\x01\x00\x00\x00\x0c\x00\x80\x00\x03\x00\x20")
    for tag in (b"cmap", b"glyf", b"head", b"hhea", b"hmtx", b"loca", b"maxp", b"name",
                b"OS/2", b"post", b"kern", b"GPOS"):
        out += tag + rng.randbytes(12)
    for _ in range(glyphs):
        points = rng.randint(8, 60)
        out += struct.pack(">hhhhh", 1, rng.randint(-50, 50), -200, rng.randint(400, 700), 800)
        x = y = 0
        for _ in range(points):
            x += rng.randint(-40, 40)
            y += rng.randint(-40, 40)
            out += struct.pack(">hhB", x, y, rng.choice((1, 1, 1, 0)))
    return bytes(out)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir")
    parser.add_argument("--scale", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(SEED)
    words, weights = vocabulary(rng)
    root = args.outdir
    oebps = os.path.join(root, "OEBPS")
    manifest = []

    write(os.path.join(root, "mimetype"), b"application/epub+zip")
    for i in range(1400 * args.scale):
        name = f"text/chapter{i:04d}.xhtml"
        write(os.path.join(oebps, name),
              chapter(rng, words, weights, f"Chapter {i + 1}", int(rng.lognormvariate(9.4, 0.6))))
        manifest.append(name)
    for i in range(300 * args.scale):
        name = f"text/notes/note{i:04d}.html"
        write(os.path.join(oebps, name), chapter(rng, words, weights, f"Note {i + 1}", 1500))
        manifest.append(name)
    for i in range(60):
        write(os.path.join(oebps, f"styles/part{i:02d}.css"), css(rng, i))
    write(os.path.join(oebps, "styles/book.css"), css(rng, 99))
    for i in range(900 * args.scale):
        size = int(min(200_000, max(4000, rng.lognormvariate(9.6, 0.8))))
        write(os.path.join(oebps, f"images/photo{i:04d}.jpg"), jpeg_like(rng, size))
    for i in range(240 * args.scale):
        write(os.path.join(oebps, f"figures/figure{i:03d}.png"),
              png(rng, rng.randint(60, 150), rng.randint(40, 110)))
    for i in range(12):
        write(os.path.join(oebps, f"fonts/face{i:02d}.ttf"), font_like(rng, rng.randint(1500, 3500)))
    items = "".join(f'    <item id="i{k}" href="{m}" media-type="application/xhtml+xml"/>\n'
                    for k, m in enumerate(manifest))
    write(os.path.join(oebps, "content.opf"),
          ('<?xml version="1.0" encoding="utf-8"?>\n<package version="3.0">\n  <manifest>\n'
           + items + "  </manifest>\n</package>\n").encode())
    points = "".join(f'    <navPoint id="n{k}"><content src="{m}"/></navPoint>\n'
                     for k, m in enumerate(manifest))
    write(os.path.join(oebps, "toc.ncx"), ("<ncx>\n  <navMap>\n" + points + "  </navMap>\n</ncx>\n").encode())
    write(os.path.join(root, "META-INF/container.xml"),
          b'<?xml version="1.0"?>\n<container><rootfiles><rootfile full-path="OEBPS/content.opf"/>'
          b"</rootfiles></container>\n")


if __name__ == "__main__":
    main()
