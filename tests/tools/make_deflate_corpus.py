#!/usr/bin/env python3
"""Builds the inflate test corpus: inputs and the raw Deflate streams that real
encoders make of them.

Usage: make_deflate_corpus.py [--reuse] OUTDIR

With --reuse, a corpus that this same generator made in OUTDIR is kept as it
is: the four build trees share one, so `make test` makes it once, not four
times (about 20 s each).

For every input INPUT it writes INPUT.raw and INPUT.<producer>-<setting>.deflate
for Python's zlib, libdeflate-gzip, 7-Zip and Info-ZIP. A few inputs also get
an encrypted ZIP entry (12-byte encryption header followed by the encrypted
stream) from Info-ZIP, which checks the password against the modification
time, and from 7-Zip, which checks it against the CRC.

OUTDIR/MANIFEST lists what the test program reads, one item a line:
  deflate STREAM RAW
  encrypted ENTRY RAW FLAGS CRC32 MODTIME PASSWORD   (numbers in decimal)

Every stream is decoded here with zlib before it is listed, so a fault in the
extraction below shows up as a generator failure, not as a decoder failure.
A missing encoder is an error: the corpus is only worth its producers.
"""

import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

SEED = 0x5EB00C
PASSWORD = "c0rpus-Pa55"

# --------------------------------------------------------------------------
# Inputs


def make_words(rng, count):
    syllables = [
        "an", "ber", "cal", "do", "en", "fir", "ga", "hol", "in", "jo", "ka",
        "li", "mor", "ne", "os", "pra", "qui", "ren", "sta", "tur", "u", "ve",
        "wel", "xe", "yo", "ze", "th", "ing", "ou", "ea",
    ]
    words = set()
    while len(words) < count:
        n = rng.choice([1, 1, 2, 2, 2, 3, 3, 4])
        words.add("".join(rng.choice(syllables) for _ in range(n)))
    return sorted(words)


def pseudo_html(rng, size):
    words = make_words(rng, 600)
    # A skewed choice, as in real prose: a few words carry most of the text.
    weights = [1.0 / (i + 1) for i in range(len(words))]
    tags = ["p", "em", "strong", "span", "a", "li", "h2", "blockquote"]
    out = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
           "<title>Chapter</title></head>\n<body>\n"]
    length = sum(len(s) for s in out)
    chapter = 0
    while length < size:
        if rng.random() < 0.02:
            chapter += 1
            piece = "<h1 id=\"ch%d\">Chapter %d</h1>\n" % (chapter, chapter)
        else:
            tag = rng.choice(tags)
            text = " ".join(rng.choices(words, weights, k=rng.randint(5, 60)))
            text = text[0].upper() + text[1:] + rng.choice([".", "!", "?", ";"])
            attr = ""
            if tag == "a":
                attr = " href=\"#ch%d\"" % rng.randint(1, chapter + 1)
            elif rng.random() < 0.2:
                attr = " class=\"c%d\"" % rng.randint(0, 9)
            piece = "<%s%s>%s</%s>\n" % (tag, attr, text, tag)
        out.append(piece)
        length += len(piece)
    out.append("</body></html>\n")
    return "".join(out).encode("utf-8")[:size]


def mixed_binary(rng, size):
    """Pseudo machine code: random bytes, little-endian tables, zero padding
    and repeated fragments, so matches of every kind and literals of every
    byte value occur."""
    out = bytearray()
    while len(out) < size:
        kind = rng.random()
        if kind < 0.3:
            out += rng.randbytes(rng.randint(1, 400))
        elif kind < 0.5:
            base = rng.randint(0, 1 << 31)
            step = rng.randint(1, 64)
            for i in range(rng.randint(4, 200)):
                out += struct.pack("<I", (base + i * step) & 0xFFFFFFFF)
        elif kind < 0.6:
            out += bytes(rng.randint(1, 300))
        elif len(out) > 16:
            start = rng.randint(0, len(out) - 8)
            out += out[start:start + rng.randint(3, 300)]
    return bytes(out[:size])


def long_runs(rng, size):
    out = bytearray()
    while len(out) < size:
        out += bytes([rng.randint(0, 255)]) * rng.choice(
            [1, 2, 3, 257, 258, 259, 1000, 40000])
    return bytes(out[:size])


def distance_one_runs(rng, size):
    # Single bytes followed by long repeats of themselves: the encoders turn
    # these into copies at distance 1 that overlap their own output.
    out = bytearray()
    while len(out) < size:
        out += bytes([rng.randint(0, 255)]) * rng.randint(3, 5000)
        out += rng.randbytes(rng.randint(0, 3))
    return bytes(out[:size])


def window_wrap(rng, size):
    """Fresh random material mixed with repeats from far back (up to the full
    32 KiB window), at many different output offsets, so copies start and end
    on both sides of the point where a circular window wraps."""
    out = bytearray(rng.randbytes(33000))
    while len(out) < size:
        if rng.random() < 0.3:
            out += rng.randbytes(rng.randint(1, 700))
        else:
            distance = rng.choice([32768, 32767, 32766, 32700, 32000,
                                   rng.randint(30000, 32768),
                                   rng.randint(1, 32768)])
            length = rng.randint(3, 2000)
            start = len(out) - distance
            for i in range(length):
                out.append(out[start + i])
    return bytes(out[:size])


def make_inputs():
    rng = random.Random(SEED)
    text = pseudo_html(rng, 400000)
    binary = mixed_binary(rng, 300000)
    big = bytearray()
    while len(big) < 1 << 20:
        big += pseudo_html(rng, rng.randint(20000, 120000))
        big += mixed_binary(rng, rng.randint(5000, 60000))
    return [
        ("html", text),
        ("binary", binary),
        ("runs", long_runs(rng, 200000)),
        ("dist1", distance_one_runs(rng, 200000)),
        ("wrap", window_wrap(rng, 300000)),
        ("exact32768", text[:32768]),
        ("exact40000", binary[:20000] + text[:20000]),
        ("random", rng.randbytes(70000)),
        ("empty", b""),
        ("big", bytes(big[: (1 << 20) + 12345])),
    ]


# --------------------------------------------------------------------------
# Producers


def zlib_streams(data):
    strategies = [
        ("default", zlib.Z_DEFAULT_STRATEGY),
        ("filtered", zlib.Z_FILTERED),
        ("huffman", zlib.Z_HUFFMAN_ONLY),
        ("rle", zlib.Z_RLE),
        ("fixed", zlib.Z_FIXED),
    ]
    for level in (1, 6, 9):
        for name, strategy in strategies:
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
            yield "zlib-%d-%s" % (level, name), c.compress(data) + c.flush()


def gzip_member_body(blob):
    """The raw Deflate data of a one-member gzip file."""
    if len(blob) < 18 or blob[0] != 0x1F or blob[1] != 0x8B or blob[2] != 8:
        raise ValueError("not a gzip member with Deflate data")
    flags = blob[3]
    if flags & 0xE0:
        raise ValueError("reserved gzip flags set")
    pos = 10
    if flags & 0x04:  # FEXTRA
        (xlen,) = struct.unpack_from("<H", blob, pos)
        pos += 2 + xlen
    if flags & 0x08:  # FNAME
        pos = blob.index(b"\0", pos) + 1
    if flags & 0x10:  # FCOMMENT
        pos = blob.index(b"\0", pos) + 1
    if flags & 0x02:  # FHCRC
        pos += 2
    crc, isize = struct.unpack_from("<II", blob, len(blob) - 8)
    return blob[pos:len(blob) - 8], crc, isize


def libdeflate_streams(path, data):
    for level in range(1, 13):
        blob = subprocess.run(["libdeflate-gzip", "-%d" % level, "-c", path],
                              check=True, stdout=subprocess.PIPE).stdout
        body, crc, isize = gzip_member_body(blob)
        if crc != zlib.crc32(data) or isize != len(data) & 0xFFFFFFFF:
            raise ValueError("libdeflate-gzip trailer does not match the input")
        yield "libdeflate-%d" % level, body


def zip_entry(archive):
    """(local header fields, entry data incl. any encryption header) of the
    only entry of a ZIP archive."""
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
        if len(infos) != 1:
            raise ValueError("%s: expected one entry" % archive)
        info = infos[0]
    with open(archive, "rb") as f:
        blob = f.read()
    off = info.header_offset
    (sig, _version, flags, method, mtime, _mdate, _crc, _csize, _usize, nlen,
     xlen) = struct.unpack_from("<IHHHHHIIIHH", blob, off)
    if sig != 0x04034B50:
        raise ValueError("%s: no local header at %d" % (archive, off))
    start = off + 30 + nlen + xlen
    data = blob[start:start + info.compress_size]
    if len(data) != info.compress_size:
        raise ValueError("%s: entry data cut short" % archive)
    return {"flags": flags, "method": method, "mtime": mtime,
            "crc": info.CRC}, data


def run_quiet(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def archiver_streams(work, name, data):
    """Deflate entries made by 7-Zip and Info-ZIP. Both store an empty file
    (and Info-ZIP anything that would not shrink) instead of deflating it;
    those entries are left out."""
    jobs = [("7z-%d" % n, ["7z", "a", "-tzip", "-mm=Deflate", "-mx=%d" % n])
            for n in (1, 5, 9)]
    jobs += [("infozip-%d" % n, ["zip", "-q", "-X", "-%d" % n])
             for n in (1, 6, 9)]
    for setting, cmd in jobs:
        archive = os.path.join(work, "%s.%s.zip" % (name, setting))
        run_quiet(cmd + [archive, name], work)
        header, body = zip_entry(archive)
        if header["method"] == 8:
            yield setting, body


def encrypted_entries(work, name):
    jobs = [
        ("infozip-6-encrypted", ["zip", "-q", "-X", "-6", "-P", PASSWORD]),
        ("7z-5-encrypted", ["7z", "a", "-tzip", "-mm=Deflate", "-mx=5",
                            "-mem=ZipCrypto", "-p" + PASSWORD]),
    ]
    for setting, cmd in jobs:
        archive = os.path.join(work, "%s.%s.zip" % (name, setting))
        run_quiet(cmd + [archive, name], work)
        header, body = zip_entry(archive)
        if not header["flags"] & 1 or header["method"] != 8:
            raise ValueError("%s: not an encrypted deflated entry" % archive)
        yield setting, header, body


# --------------------------------------------------------------------------


def write(path, blob):
    with open(path, "wb") as f:
        f.write(blob)


def main():
    args = sys.argv[1:]
    reuse = args[:1] == ["--reuse"]
    if reuse:
        args = args[1:]
    if len(args) != 1:
        sys.exit("usage: make_deflate_corpus.py [--reuse] OUTDIR")
    outdir = os.path.abspath(args[0])
    # The generator's own text names the corpus it makes: a changed generator
    # makes a new one.
    with open(os.path.abspath(__file__), "rb") as f:
        key = hashlib.sha256(f.read()).hexdigest() + "\n"
    key_file = os.path.join(outdir, "GENERATOR")
    if reuse and os.path.isfile(os.path.join(outdir, "MANIFEST")) and os.path.isfile(key_file):
        with open(key_file) as f:
            if f.read() == key:
                print("make_deflate_corpus: reusing the corpus in %s" % outdir)
                return
    for tool in ("libdeflate-gzip", "7z", "zip"):
        if shutil.which(tool) is None:
            sys.exit("make_deflate_corpus: %s not found (scripts/install-deps.sh "
                     "installs it)" % tool)
    # Made beside its place and moved there whole, so that a reader never
    # meets half a corpus.
    parent = os.path.dirname(outdir)
    os.makedirs(parent, exist_ok=True)
    made = tempfile.mkdtemp(prefix=os.path.basename(outdir) + ".", dir=parent)

    try:
        count = fill(made)
    except BaseException:
        shutil.rmtree(made, ignore_errors=True)
        raise
    write(os.path.join(made, "GENERATOR"), key.encode())
    os.chmod(made, 0o755)
    if os.path.isdir(outdir):
        shutil.rmtree(outdir)
    os.rename(made, outdir)
    print("make_deflate_corpus: %d items in %s" % (count, outdir))


def fill(made):
    """Writes the corpus and its MANIFEST into `made`; returns the count."""
    manifest = []
    with tempfile.TemporaryDirectory() as work:
        for name, data in make_inputs():
            raw = name + ".raw"
            write(os.path.join(made, raw), data)
            src = os.path.join(work, name)
            write(src, data)

            streams = list(zlib_streams(data))
            streams += list(libdeflate_streams(src, data))
            streams += list(archiver_streams(work, name, data))
            for setting, body in streams:
                if zlib.decompress(body, -15) != data:
                    raise ValueError("%s.%s does not decode to its input"
                                     % (name, setting))
                fname = "%s.%s.deflate" % (name, setting)
                write(os.path.join(made, fname), body)
                manifest.append("deflate %s %s" % (fname, raw))

            if name in ("html", "binary", "wrap"):
                for setting, header, body in encrypted_entries(work, name):
                    fname = "%s.%s.zipentry" % (name, setting)
                    write(os.path.join(made, fname), body)
                    manifest.append("encrypted %s %s %d %d %d %s" % (
                        fname, raw, header["flags"], header["crc"],
                        header["mtime"], PASSWORD))

    write(os.path.join(made, "MANIFEST"), ("\n".join(manifest) + "\n").encode())
    return len(manifest)


if __name__ == "__main__":
    main()
