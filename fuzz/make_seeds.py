#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Deterministic: the same files come out on every run. Streams come from
Python's zlib at several levels and strategies, plus hand-built blocks (a
small Deflate bit writer below) for the cases zlib never emits: stored and
fixed blocks on demand, the densest possible copies, incomplete codes, and
damaged streams.
"""
import os
import io
import random
import shutil
import struct
import sys
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# RFC 1951 symbol tables.
LENGTH_BASES = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35,
                43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DIST_BASES = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257,
              385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289,
              16385, 24577]
DIST_EXTRA = [0, 0, 0, 0] + [b for b in range(1, 14) for _ in (0, 1)]
CL_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
FIXED_LIT = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
FIXED_DIST = [5] * 30


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def bits(self, value, count):
        self.acc |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def align(self):
        if self.n:
            self.bits(0, 8 - self.n)

    def code(self, codes, symbol):
        code, length = codes[symbol]
        # Huffman codes go out most significant bit first.
        self.bits(int(format(code, "0%db" % length)[::-1], 2), length)

    def data(self):
        self.align()
        return bytes(self.out)


def canonical(lengths):
    count = [0] * 16
    for n in lengths:
        count[n] += 1
    count[0] = 0
    code, nxt = 0, [0] * 16
    for bits in range(1, 16):
        code = (code + count[bits - 1]) << 1
        nxt[bits] = code
    codes = {}
    for sym, n in enumerate(lengths):
        if n:
            codes[sym] = (nxt[n], n)
            nxt[n] += 1
    return codes


def huffman_lengths(freqs, limit):
    """Code lengths for the frequencies, at most `limit` bits long."""
    freqs = list(freqs)
    while True:
        nodes = [(f, i, [i]) for i, f in enumerate(freqs) if f]
        lengths = [0] * len(freqs)
        if len(nodes) == 1:
            lengths[nodes[0][1]] = 1
            return lengths
        tick = len(freqs)
        while len(nodes) > 1:
            nodes.sort()
            (fa, _, a), (fb, _, b) = nodes[0], nodes[1]
            for s in a + b:
                lengths[s] += 1
            nodes = nodes[2:] + [(fa + fb, tick, a + b)]
            tick += 1
        if max(lengths) <= limit:
            return lengths
        freqs = [(f + 1) // 2 if f else 0 for f in freqs]


def length_symbol(length):
    i = max(k for k, b in enumerate(LENGTH_BASES) if b <= length)
    if length == 258:
        i = 28
    return 257 + i, LENGTH_EXTRA[i], length - LENGTH_BASES[i]


def dist_symbol(dist):
    i = max(k for k, b in enumerate(DIST_BASES) if b <= dist)
    return i, DIST_EXTRA[i], dist - DIST_BASES[i]


def write_symbols(w, lit, dist, items):
    """items: ints (literal bytes, or 256) and (length, distance) pairs."""
    for item in items:
        if isinstance(item, int):
            w.code(lit, item)
        else:
            sym, eb, ev = length_symbol(item[0])
            w.code(lit, sym)
            w.bits(ev, eb)
            sym, eb, ev = dist_symbol(item[1])
            w.code(dist, sym)
            w.bits(ev, eb)


def fixed_block(w, items, final=True):
    w.bits(1 if final else 0, 1)
    w.bits(1, 2)
    write_symbols(w, canonical(FIXED_LIT), canonical(FIXED_DIST), items)


def stored_block(w, payload, final=True, nlen=None):
    w.bits(1 if final else 0, 1)
    w.bits(0, 2)
    w.align()
    w.bits(len(payload), 16)
    w.bits((len(payload) ^ 0xFFFF) if nlen is None else nlen, 16)
    for b in payload:
        w.bits(b, 8)


# A complete code-length code: thirteen 4-bit and six 5-bit codes.
CL_LENGTHS = [4] * 11 + [5] * 6 + [4] * 2


def dynamic_block(w, lit_lengths, dist_lengths, items, final=True):
    w.bits(1 if final else 0, 1)
    w.bits(2, 2)
    w.bits(len(lit_lengths) - 257, 5)
    w.bits(len(dist_lengths) - 1, 5)
    w.bits(19 - 4, 4)
    for sym in CL_ORDER:
        w.bits(CL_LENGTHS[sym], 3)
    cl = canonical(CL_LENGTHS)
    seq = list(lit_lengths) + list(dist_lengths)
    i = 0
    while i < len(seq):
        run = 1
        while i + run < len(seq) and seq[i + run] == seq[i] and run < 138:
            run += 1
        if seq[i] == 0 and run >= 11:
            w.code(cl, 18)
            w.bits(run - 11, 7)
        elif seq[i] == 0 and run >= 3:
            w.code(cl, 17)
            w.bits(run - 3, 3)
        else:
            run = 1
            w.code(cl, seq[i])
        i += run
    write_symbols(w, canonical(lit_lengths), canonical(dist_lengths), items)


def tokens(data):
    """Greedy LZ77 tokens of `data` (small inputs only)."""
    items, i = [], 0
    while i < len(data):
        best = (0, 0)
        for j in range(max(0, i - 4096), i):
            n = 0
            while n < 258 and i + n < len(data) and data[j + n] == data[i + n]:
                n += 1
            if n > best[0]:
                best = (n, i - j)
        if best[0] >= 3:
            items.append(best)
            i += best[0]
        else:
            items.append(data[i])
            i += 1
    return items + [256]


def dynamic_for(items, final=True, w=None):
    lit_freq, dist_freq = [0] * 286, [0] * 30
    for item in items:
        if isinstance(item, int):
            lit_freq[item] += 1
        else:
            lit_freq[length_symbol(item[0])[0]] += 1
            dist_freq[dist_symbol(item[1])[0]] += 1
    lit = huffman_lengths(lit_freq, 15)
    dist = huffman_lengths(dist_freq, 15) if any(dist_freq) else [0]
    w = w or BitWriter()
    dynamic_block(w, lit, dist, items, final)
    return w


def raw_deflate(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY, wbits=-15):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
    return c.compress(data) + c.flush()


def sample_text(rng, size):
    words = ("the of and to in a is that for it as was with be by on not he "
             "this are or his from at which but have an they you were her "
             "chapter river lantern quietly northern harbour letters morning "
             "said again through before never little house").split()
    out, col = [], 0
    while sum(map(len, out)) < size:
        w = rng.choice(words)
        if rng.random() < 0.08:
            w = w.capitalize() + "."
        out.append(w + ("\n" if col > 60 else " "))
        col = 0 if col > 60 else col + len(w) + 1
    return "".join(out).encode()[:size]


def inflate_seeds():
    rng = random.Random(20240501)
    text = sample_text(rng, 3000)
    html = b"<html><body>" + b"".join(
        b"<p class=\"para\">" + sample_text(rng, 120) + b"</p>\n"
        for _ in range(20)) + b"</body></html>"
    binary = bytes(rng.randrange(256) for _ in range(600)) + bytes(
        rng.choice(b"\x00\x01\xff") for _ in range(900))
    seeds = {}
    for level in (0, 1, 6, 9):
        seeds["zlib_text_l%d" % level] = raw_deflate(text, level)
    for name, strategy in (("filtered", zlib.Z_FILTERED),
                           ("huffman", zlib.Z_HUFFMAN_ONLY),
                           ("rle", zlib.Z_RLE), ("fixed", zlib.Z_FIXED)):
        seeds["zlib_html_" + name] = raw_deflate(html, 6, strategy)
    seeds["zlib_binary_l9"] = raw_deflate(binary, 9)
    seeds["zlib_window512"] = raw_deflate(text, 9, wbits=-9)
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    seeds["zlib_sync_flush"] = (c.compress(text[:1000]) +
                                c.flush(zlib.Z_SYNC_FLUSH) +
                                c.compress(text[1000:2000]) + c.flush())
    seeds["zlib_empty"] = raw_deflate(b"")
    seeds["zlib_zeros"] = raw_deflate(bytes(20000), 9)

    w = BitWriter()
    stored_block(w, b"A stored block.\n")
    seeds["stored"] = w.data()

    w = BitWriter()
    fixed_block(w, list(b"fixed: ") + [(258, 1), (40, 7)] + list(b"!") + [256])
    seeds["fixed"] = w.data()

    seeds["dynamic"] = dynamic_for(tokens(text[:700])).data()

    w = BitWriter()
    stored_block(w, text[:50], final=False)
    fixed_block(w, tokens(text[50:200])[:-1] + [256], final=False)
    dynamic_for(tokens(text[200:500]), w=w)
    seeds["multi_block"] = w.data()

    # The densest stream: one-bit codes for length 258 and for distance 1.
    lit = [0] * 286
    lit[ord("a")], lit[256], lit[285] = 2, 2, 1
    w = BitWriter()
    dynamic_block(w, lit, [1], [ord("a")] + [(258, 1)] * 400 + [256])
    seeds["densest"] = w.data()

    # Valid for us, refused by zlib: a single two-bit distance code.
    lit = [0] * 286
    lit[ord("x")], lit[ord("y")], lit[256], lit[257 + 5] = 2, 3, 3, 1
    w = BitWriter()
    dynamic_block(w, lit, [0, 2], list(b"xy") + [(8, 2), (8, 2), 256])
    seeds["incomplete_distance"] = w.data()

    # No distance code at all: a literal-only block.
    w = BitWriter()
    dynamic_block(w, huffman_lengths([1] * 257 + [0] * 29, 15), [0],
                  list(b"literals only") + [256])
    seeds["no_distance_codes"] = w.data()

    # Damaged streams.
    w = BitWriter()
    w.bits(1, 1)
    w.bits(3, 2)
    seeds["bad_block_type"] = w.data() + b"\x00" * 4
    w = BitWriter()
    stored_block(w, b"abc", nlen=0x1234)
    seeds["bad_stored_length"] = w.data()
    w = BitWriter()
    fixed_block(w, list(b"ab") + [(10, 3), 256])
    seeds["bad_distance_too_far"] = w.data()
    w = BitWriter()
    fixed_block(w, list(b"q"))
    w.code(canonical(FIXED_LIT), 286)
    seeds["bad_fixed_symbol_286"] = w.data() + b"\x00"
    # Distance symbol 30 has a fixed code but no meaning.
    w = BitWriter()
    fixed_block(w, list(b"q"))
    w.code(canonical(FIXED_LIT), 257)
    w.code(canonical([5] * 32), 30)
    seeds["bad_distance_symbol_30"] = w.data() + b"\x00\x00"
    w = BitWriter()
    dynamic_block(w, [1] * 3 + [0] * 253 + [1] + [0] * 29, [1], [])
    seeds["bad_oversubscribed"] = w.data()
    seeds["bad_truncated"] = raw_deflate(text, 6)[:300]
    seeds["bad_no_final_block"] = stored_chain(3)
    seeds["bad_empty_input"] = b""
    return seeds


def stored_chain(count):
    w = BitWriter()
    for i in range(count):
        stored_block(w, b"part %d " % i, final=False)
    return w.data()


class Cipher:
    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for c in password:
            self.update(c)

    @staticmethod
    def crc(r, b):
        return zlib.crc32(bytes([b]), r ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def update(self, p):
        k = self.k
        k[0] = self.crc(k[0], p)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = self.crc(k[2], k[1] >> 24)

    def encrypt(self, data):
        out = bytearray()
        for p in data:
            t = (self.k[2] & 0xFFFF) | 2
            out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self.update(p)
        return bytes(out)


def encrypted_seeds(plain):
    rng = random.Random(7)
    seeds = {}
    for i, name in enumerate(("zlib_text_l6", "fixed", "dynamic", "stored",
                              "densest", "multi_block", "bad_truncated")):
        password = [b"secret", b"p", b"\xff\x00 pass word!", b""][i % 4]
        stream = plain[name]
        # Bits 6-7 pick the read size of the comparison decoding.
        seeds["keys_" + name] = (bytes([len(password) | (i % 4) << 6]) + password +
                                 Cipher(password).encrypt(stream))
        # With an encryption header whose check byte matches.
        if password:
            check = rng.randrange(256)
            header = bytes(rng.randrange(256) for _ in range(11)) + bytes(
                [check])
            descriptor = 0x20 if i % 2 else 0
            cipher = Cipher(password)
            seeds["header_" + name] = (
                bytes([len(password) | 0x10 | descriptor | (i + 1) % 4 << 6]) + password +
                bytes([check]) + cipher.encrypt(header) +
                cipher.encrypt(stream))
    # A header that does not match, and the empty password.
    seeds["header_mismatch"] = (bytes([0x13]) + b"abc\x42" +
                                bytes(range(12)) + plain["fixed"])
    seeds["header_empty_password"] = bytes([0x10, 0x00]) + bytes(12) + plain[
        "stored"]
    return seeds


def code_table_seed(mode, lengths, lookup, s=0):
    n = len(lengths)
    return bytes([mode, (n - 1) & 0xFF, (n - 1) >> 8, lookup - 1, s & 0xFF,
                  s >> 8]) + bytes(lengths)


def code_table_seeds():
    rng = random.Random(11)
    text = sample_text(rng, 4000)
    items = tokens(text[:1500])
    lit_freq, dist_freq = [0] * 286, [0] * 30
    for item in items:
        if isinstance(item, int):
            lit_freq[item] += 1
        else:
            lit_freq[length_symbol(item[0])[0]] += 1
            dist_freq[dist_symbol(item[1])[0]] += 1
    skewed = [1 << min(k, 20) for k in range(40)]
    return {
        "fixed_literal_length": code_table_seed(0, FIXED_LIT, 9),
        "fixed_distance": code_table_seed(1, FIXED_DIST + [5, 5], 5),
        "text_literal_length": code_table_seed(0, huffman_lengths(lit_freq, 15),
                                               9),
        "text_distance": code_table_seed(1, huffman_lengths(dist_freq, 15), 6),
        "deep_chain": code_table_seed(1, list(range(1, 16)) + [15], 3),
        "deep_literal_length": code_table_seed(
            0, huffman_lengths(skewed + [0] * 216 + [1] + [2] * 29, 15), 4),
        "code_length_code": code_table_seed(2, CL_LENGTHS, 7, 19),
        "single_one_bit": code_table_seed(1, [0, 0, 1], 6),
        "single_two_bit": code_table_seed(1, [0, 2], 6),
        "incomplete": code_table_seed(0, [3] * 5 + [0] * 251 + [4] + [6] * 3,
                                      9),
        "oversubscribed": code_table_seed(1, [1, 1, 1], 2),
        "no_code": code_table_seed(0, [0] * 300, 9),
        "long_end_of_block": code_table_seed(
            0, [8] * 144 + [9] * 111 + [10] + [15] + [8] * 31 + [10, 15], 9),
        "shifted_bases": code_table_seed(3, [4] * 16, 4, 3),
    }


# The prefix of fuzz_setup: flags, password replies, overwrite replies of the
# first and of the second install (see fuzz/fuzz_setup.cpp).
RAW_PACKAGE, PLACE_EXISTING, INSTALL_TWICE, READER_INSTALLED, FOLDER_WITH_SPACE = (
    0x01, 0x02, 0x04, 0x08, 0x10)
# Password replies "pw" once; "wrong" then "pw".
ONE_RIGHT, WRONG_THEN_RIGHT = 0x01, 0x02 | 2 << 2 | 0 << 4


def overwrite_script(*replies):
    """replies: (yes, dont_ask) pairs, at most three."""
    script = len(replies)
    for i, (yes, dont_ask) in enumerate(replies):
        script |= (int(yes) | int(dont_ask) << 1) << (2 + 2 * i)
    return script


def setup_prefix(flags=0, passwords=ONE_RIGHT, first=(), second=()):
    return bytes([flags, passwords, overwrite_script(*first),
                  overwrite_script(*second)])


# Fixed times, so that the archives come out alike on every run.
WHEN = (2024, 5, 1, 12, 0, 0)


def info(name, method=zipfile.ZIP_DEFLATED):
    i = zipfile.ZipInfo(name, WHEN)
    i.compress_type = method
    i.external_attr = (0o40755 << 16 | 0x10) if name.endswith("/") else 0o644 << 16
    return i


def make_zip(entries, stream=False, comment=b""):
    """entries: (name, data, method) triples; `stream` writes to an
    unseekable file, so every entry gets a data descriptor. `comment` is the
    end record's."""
    buffer = io.BytesIO()

    class Unseekable(io.RawIOBase):
        def writable(self):
            return True

        def write(self, b):
            return buffer.write(b)

    target = Unseekable() if stream else buffer
    with zipfile.ZipFile(target, "w") as z:
        z.comment = comment
        for name, data, method in entries:
            z.writestr(info(name, method), data)
    return buffer.getvalue()


def zip64_zip(entries):
    """Every file entry with a Zip64 local header (sizes 0xFFFFFFFF and the
    real ones in the extra field)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data, method in entries:
            with z.open(info(name, method), "w", force_zip64=True) as f:
                f.write(data)
    return buffer.getvalue()


def zipcrypto_entry(name, data, password, method=8):
    """A local record with a traditional PKWARE-encrypted entry, the check
    byte from the CRC (no descriptor); the end record alone follows."""
    crc = zlib.crc32(data) & 0xFFFFFFFF
    payload = raw_deflate(data, 9) if method == 8 else data
    rng = random.Random(name)
    header = bytes(rng.randrange(256) for _ in range(11)) + bytes([crc >> 24])
    cipher = Cipher(password)
    body = cipher.encrypt(header) + cipher.encrypt(payload)
    raw = name.encode()
    return (struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 1, method, 0x6000,
                        0x58A1, crc, len(body), len(data), len(raw), 0) +
            raw + body)


def end_record():
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0, 0, 0, 0, 0)


def signed_package(zip_bytes, padding):
    """A whole packaged file whose stub holds a PE header with a certificate
    table after the setup, `padding` zero bytes on, as signing tools leave
    it. The stub is the target's 256-byte one: DOS header, PE header, zeros."""
    stub = bytearray(256)
    stub[0:2] = b"MZ"
    pe_at = 64
    struct.pack_into("<I", stub, 0x3C, pe_at)
    optional = pe_at + 24
    stub[pe_at:pe_at + 4] = b"PE\0\0"
    struct.pack_into("<H", stub, optional, 0x10B)
    struct.pack_into("<I", stub, optional + 92, 16)  # NumberOfRvaAndSizes
    total = len(stub) + 8 + len(zip_bytes)
    table_at = total + padding
    certificate = struct.pack("<IHH", 16, 0x0200, 0x0002) + bytes(8)
    struct.pack_into("<II", stub, optional + 96 + 4 * 8, table_at,
                     len(certificate))
    assert b"PK\x03\x04" not in stub
    return (bytes(stub) + struct.pack("<I", total) + bytes(4) + zip_bytes +
            bytes(padding) + certificate)


SETTINGS = (b"ebook-setup settings 1\nfolder=%LOCALAPPDATA%\\Books\\Tales\n"
            b"title=Tales - Setup\ndone-message\nask-before-stopping\nsay-wrong-password\n   ")


def settings_seeds():
    """Comments for fuzz_settings: every key, padding, and near misses."""
    return {
        "all": SETTINGS,
        "folder_only": b"ebook-setup settings 1\nfolder=C:\\Books\n",
        "flags": b"ebook-setup settings 1\ndone-message\nsay-wrong-password\n",
        "other_version": b"ebook-setup settings 2\ntitle=Later\n",
        "foreign": b"Made with zip -z\n",
        "cut": b"ebook-setup settings 1\ntitle=Cut sho",
    }


def setup_seeds():
    rng = random.Random(31)
    licence = b"a quonview.exe /X\r\nRead me before you install.\r\n"
    update = b"p quonview.exe\r\nThis update finds the installed reader.\r\n"
    book = b"<html><body>" + sample_text(rng, 1500) + b"</body></html>"
    program = bytes(rng.randrange(256) for _ in range(300))
    D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
    plain = [("!!licence.txt", licence, D), ("book/", b"", S),
             ("book/chapter1.htm", book, D), ("quonview.exe", program, S),
             ("book.htm", book[:400], D)]
    seeds = {
        "plain": setup_prefix() + make_zip(plain),
        "stored": setup_prefix() + make_zip([(n, d, S) for n, d, _ in plain]),
        "overwrite_ask": setup_prefix(PLACE_EXISTING, first=((True, False),
                                                             (False, False))) +
        make_zip(plain),
        "overwrite_always": setup_prefix(PLACE_EXISTING | FOLDER_WITH_SPACE,
                                         first=((True, True),)) + make_zip(plain),
        "reinstall": setup_prefix(INSTALL_TWICE, second=((False, False),
                                                         (True, False),
                                                         (False, True))) +
        make_zip(plain),
        "update": setup_prefix(READER_INSTALLED) + make_zip(
            [("!!licence.txt", update, S), ("quonview.exe", program, D),
             ("data/book.htm", book, D)]),
        "zip64": setup_prefix() + zip64_zip(plain[:1] + plain[2:]),
        "streamed": setup_prefix() + make_zip(plain, stream=True),
        "encrypted": setup_prefix(0, WRONG_THEN_RIGHT) +
        make_zip([("!!licence.txt", licence, D)])[:-22].rsplit(b"PK\x01\x02", 1)[0] +
        zipcrypto_entry("book.htm", book, b"pw") +
        zipcrypto_entry("quonview.exe", program, b"pw", 0) + end_record(),
        "signed": setup_prefix(RAW_PACKAGE) + signed_package(make_zip(plain), 3),
        # The publisher's settings in the end record's comment, and a comment
        # of the publisher's own that is none.
        "settings": setup_prefix(PLACE_EXISTING) + make_zip(plain, comment=SETTINGS),
        "settings_foreign": setup_prefix() + make_zip(plain, comment=b"Our book, 2024\n"),
        "unsafe_names": setup_prefix() + make_zip(
            [("../escape.txt", b"no", S), ("C:/abs.txt", b"no", S),
             ("con.txt", b"no", S), ("dir. /x.txt", b"no", S),
             ("ok.txt", b"yes", S)]),
    }
    for name, data in seeds.items():
        assert len(data) <= 64 * 1024, name
    return seeds


# The flags byte of fuzz_inspect (see fuzz/fuzz_inspect.cpp).
I_RAW, I_APP_PATH, I_OVERWRITE, I_EXISTING, I_PASSWORD = 0x01, 0x02, 0x04, 0x08, 0x10


def inspect_seeds(setups):
    """fuzz_setup's archives under fuzz_inspect's flags, and licences that
    bookpack reports on: cut, a directive that looks like text, a command."""
    seeds = {}
    for name, data in setups.items():
        flags = data[0]
        inspect = (I_RAW if flags & RAW_PACKAGE else 0) | I_PASSWORD
        if flags & READER_INSTALLED:
            inspect |= I_APP_PATH
        if flags & PLACE_EXISTING:
            inspect |= I_EXISTING
        seeds[name] = bytes([inspect]) + data[4:]
    long_text = b"".join(b"Clause %d: the reader agrees.\r\n" % i for i in range(800))
    licences = {
        "licence_long": long_text,
        "licence_accidental": b"all rights reserved\r\nText\r\n",
        "licence_command": b"e book.htm /x\r\nText\r\n",
        "licence_update": b"p quonview.exe\r\nText\r\n",
        "licence_zero": b"Terms\r\nMore\x00hidden\r\n",
    }
    for name, text in licences.items():
        archive = make_zip([("!!licence.txt", text, zipfile.ZIP_DEFLATED),
                            ("book.htm", b"<p>book</p>", zipfile.ZIP_STORED)])
        flags = I_APP_PATH if name == "licence_update" else 0
        seeds[name] = bytes([flags | I_EXISTING]) + archive
    return seeds


def one_entry(name, method, packed, crc, size, zip64_offset=None):
    """A hand-made archive of one entry, its sizes and offset as given."""
    raw = name.encode()
    extra = b""
    offset = 0
    if zip64_offset is not None:
        extra = struct.pack("<HHQ", 1, 8, zip64_offset)
        offset = 0xFFFFFFFF
    local = (struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc,
                         len(packed), size, len(raw), 0) + raw + packed)
    central = (struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0,
                           0x21, crc, len(packed), size, len(raw), len(extra), 0,
                           0, 0, 0, offset) + raw + extra)
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1,
                                         len(central), len(local), 0)


def source_zip_seeds():
    """Source ZIPs for fuzz_source_zip: every method bookpack decodes, the
    writers' quirks it normalises, and the hostile records it must refuse."""
    import bz2
    import lzma
    rng = random.Random(11)
    text = sample_text(rng, 3000)
    noise = bytes(rng.randrange(256) for _ in range(2000))
    entries = [("book/chapter1.xhtml", text, zipfile.ZIP_DEFLATED),
               ("book/cover.jpg", noise, zipfile.ZIP_STORED),
               ("book/empty/", b"", zipfile.ZIP_STORED),
               ("!!licence.txt", b"Read me.\r\n", zipfile.ZIP_DEFLATED)]
    crc = zlib.crc32(text) & 0xFFFFFFFF
    seeds = {
        "deflate_and_stored": make_zip(entries),
        "streamed": make_zip(entries, stream=True),
        "zip64": zip64_zip(entries),
        "bzip2": make_zip([("a.txt", text, zipfile.ZIP_BZIP2)]),
        "lzma": make_zip([("a.txt", text, zipfile.ZIP_LZMA)]),
        "xz": one_entry("a.txt", 95, lzma.compress(text, format=lzma.FORMAT_XZ), crc,
                        len(text)),
        "encrypted": zipcrypto_entry("secret.txt", text, b"secret") +
                     end_record(),
        "bzip2_zeros": one_entry("zeros.bin", 12, bz2.compress(bytes(1 << 20)), 0xA738EA1C,
                                 1 << 20),
        "claims_4_gb": one_entry("big.txt", 8, raw_deflate(text), crc, 4_000_000_000),
        "zip64_offset_near_2_64": one_entry("far.txt", 0, b"hello", 0x3610A686, 5,
                                            zip64_offset=(1 << 64) - 16),
    }
    for name, data in seeds.items():
        assert len(data) <= 64 * 1024, name
    return seeds


def write(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    plain = inflate_seeds()
    write("fuzz_inflate", plain)
    write("fuzz_inflate_encrypted", encrypted_seeds(plain))
    write("fuzz_code_tables", code_table_seeds())
    setups = setup_seeds()
    write("fuzz_setup", setups)
    write("fuzz_inspect", inspect_seeds(setups))
    write("fuzz_source_zip", source_zip_seeds())
    write("fuzz_settings", settings_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
