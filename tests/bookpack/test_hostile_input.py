"""bookpack meets archives and names made to hurt it: crafted records are
refused by name without reading outside the file, memory follows the data
that is really there, names cannot drive the terminal, and the output never
becomes part of its own input."""
import bz2
import lzma
import os
import re
import signal
import struct
import subprocess
import sys
import time
import zipfile
import zlib

from pathlib import Path

from build_fixtures import (BOOKPACK, STUB, WINDOWS, BuildTestCase, bookpack, bookpack_command,
                            build, info_zip, linux_only, run, with_stderr_on_a_terminal,
                            write_tree)

MB = 1 << 20
CLAIM = 4_000_000_000  # bytes an entry says it holds, far beyond its data


def peak_rss_mb(*command) -> tuple:
    """Runs bookpack in a fresh child of a fresh interpreter, so that the
    peak resident size measured is the one of this run alone."""
    probe = ("import resource, subprocess, sys\n"
             "r = subprocess.run(sys.argv[1:], capture_output=True)\n"
             "sys.stdout.write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) + '\\n')\n"
             "sys.stdout.write(str(r.returncode) + '\\n')\n"
             "sys.stdout.buffer.write(r.stdout + r.stderr)\n")
    result = subprocess.run([sys.executable, "-c", probe, *map(str, bookpack_command(*command))],
                            stdin=subprocess.DEVNULL, capture_output=True, check=True)
    rss, status, output = result.stdout.split(b"\n", 2)
    return int(rss) / 1024, int(status), output.decode(errors="replace")


def local_header(name: bytes, method: int, crc: int, packed: int, size: int,
                 extra: bytes = b"") -> bytes:
    return (b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, method, 0, 0x21, crc, packed,
                                        size, len(name), len(extra)) + name + extra)


def central_header(name: bytes, method: int, crc: int, packed: int, size: int, offset: int,
                   extra: bytes = b"") -> bytes:
    return (b"PK\x01\x02" + struct.pack("<HHHHHHIIIHHHHHII", 20, 20, 0, method, 0, 0x21, crc,
                                        packed, size, len(name), len(extra), 0, 0, 0, 0,
                                        offset) + name + extra)


def end_record(count: int, size: int, offset: int) -> bytes:
    return b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, size, offset, 0)


def one_entry_zip(name: bytes, method: int, data: bytes, crc: int, claim: int) -> bytes:
    """A whole archive of one entry whose header claims `claim` bytes."""
    local = local_header(name, method, crc, len(data), claim) + data
    central = central_header(name, method, crc, len(data), claim, 0)
    return local + central + end_record(1, len(central), len(local))


def zip64_offset_zip(offset: int) -> bytes:
    """One stored entry whose Zip64 block puts its local header at `offset`."""
    data = b"hello"
    crc = zlib.crc32(data)
    local = local_header(b"far.txt", 0, crc, len(data), len(data)) + data
    extra = struct.pack("<HHQ", 1, 8, offset)
    central = central_header(b"far.txt", 0, crc, len(data), len(data), 0xFFFFFFFF, extra)
    return local + central + end_record(1, len(central), len(local))


def zip64_locator_zip(recorded: int) -> bytes:
    """An archive whose Zip64 locator sends the reader to `recorded`, with
    no Zip64 end record right before it."""
    data = b"hello"
    crc = zlib.crc32(data)
    local = local_header(b"a.txt", 0, crc, len(data), len(data)) + data
    central = central_header(b"a.txt", 0, crc, len(data), len(data), 0)
    locator = b"PK\x06\x07" + struct.pack("<IQI", 0, recorded, 1)
    return (local + central + b"\0" * 64 + locator +
            end_record(1, len(central), len(local)))


def xz_with_dictionary(data: bytes, dict_byte: int) -> bytes:
    """An xz stream whose block header asks for the LZMA2 dictionary that
    `dict_byte` encodes (40: 4 GiB), its header CRC made right again."""
    stream = bytearray(lzma.compress(data, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC32))
    header_size = (stream[12] + 1) * 4
    header = stream[12:12 + header_size]
    at = header.index(b"\x21\x01") + 2  # LZMA2 filter id, one byte of properties
    header[at] = dict_byte
    header[-4:] = struct.pack("<I", zlib.crc32(bytes(header[:-4])))
    stream[12:12 + header_size] = header
    return bytes(stream)


class CraftedRecordTest(BuildTestCase):
    # The source, what the refusal must say
    RECORDS = [
        ("zip64 local offset near 2^64", zip64_offset_zip((1 << 64) - 16),
         "far.txt: no local header where the central directory says"),
        ("zip64 local offset just past the directory", zip64_offset_zip(50),
         "far.txt: no local header where the central directory says"),
        ("zip64 locator near 2^64", zip64_locator_zip((1 << 64) - 8),
         "damaged Zip64 end record"),
        ("zip64 locator past the end", zip64_locator_zip(1 << 40), "damaged Zip64 end record"),
    ]

    def test_records_pointing_outside_the_file_are_refused(self):
        for label, data, words in self.RECORDS:
            with self.subTest(label):
                source = self.scratch / "crafted.zip"
                source.write_bytes(data)
                message = self.refused(source)
                self.assertIn(words, message)


class ClaimedSizeTest(BuildTestCase):
    """A few bytes that claim gigabytes: refused as damaged, by name, in
    little memory."""

    def crafted(self):
        text = b"words " * 100
        bz = bz2.compress(text)
        xz = lzma.compress(text, format=lzma.FORMAT_XZ)
        deflate = zlib.compress(text)[2:-4]
        # The licence is decoded whole before the build; the other entries
        # on every worker.
        return [
            ("deflate", b"big.txt", one_entry_zip(b"big.txt", 8, deflate, 0, CLAIM)),
            ("deflate licence", b"!!licence.txt",
             one_entry_zip(b"!!licence.txt", 8, deflate, 0, CLAIM)),
            ("bzip2", b"big.txt", one_entry_zip(b"big.txt", 12, bz, 0, CLAIM)),
            ("bzip2 licence", b"!!licence.txt",
             one_entry_zip(b"!!licence.txt", 12, bz, 0, CLAIM)),
            ("xz", b"big.txt", one_entry_zip(b"big.txt", 95, xz, 0, CLAIM)),
        ]

    def test_claims_beyond_what_the_data_can_hold(self):
        for label, name, data in self.crafted():
            with self.subTest(label):
                source = self.scratch / "claim.zip"
                source.write_bytes(data)
                out = self.scratch / "Claim.exe"
                rss, status, output = peak_rss_mb("build", "--stub", STUB, "-o", out, source)
                self.assertEqual(status, 1, output)
                self.assertIn(name.decode() + ": claims 4000000000 bytes", output)
                self.assertIn("damaged", output)
                self.assertFalse(out.exists())
                self.assertLess(rss, 200, "a memory bound: the claim was never allocated")

    def test_real_data_larger_than_its_claim_is_refused(self):
        text = os.urandom(1000) * 3000
        for method, packed in (("bzip2", (12, bz2.compress(text))),
                               ("xz", (95, lzma.compress(text, format=lzma.FORMAT_XZ)))):
            with self.subTest(method):
                source = self.scratch / f"{method}.zip"
                source.write_bytes(one_entry_zip(b"more.bin", packed[0], packed[1],
                                                 zlib.crc32(text), len(text) - 1))
                self.assertIn("more.bin: ", self.refused(source))

    def test_xz_asking_for_a_4_gib_dictionary(self):
        text = b"some text " * 50
        source = self.scratch / "dict.zip"
        source.write_bytes(one_entry_zip(b"dict.txt", 95, xz_with_dictionary(text, 40),
                                         zlib.crc32(text), len(text)))
        self.assertIn("dict.txt: needs more than 256 MiB to decode", self.refused(source))
        # The same stream with its honest dictionary goes in.
        source.write_bytes(one_entry_zip(b"dict.txt", 95, xz_with_dictionary(text, 0),
                                         zlib.crc32(text), len(text)))
        setup = self.built(source)
        self.assertEqual(self.unzipped(setup), {"dict.txt": text})


class RealExpansionTest(BuildTestCase):
    def test_a_bzip2_entry_of_256_mb_of_zeros_is_recompressed_in_little_memory(self):
        size = 256 * MB
        compressor, chunk = bz2.BZ2Compressor(9), bytes(16 * MB)
        packed, crc = [], 0
        for _ in range(size // len(chunk)):
            packed.append(compressor.compress(chunk))
            crc = zlib.crc32(chunk, crc)
        packed.append(compressor.flush())
        # The licence is also read before the build, for its directive.
        for name in ("zeros.bin", "!!licence.txt"):
            with self.subTest(name):
                source = self.scratch / "zeros.zip"
                source.write_bytes(one_entry_zip(name.encode(), 12, b"".join(packed), crc, size))
                out = self.scratch / "Zeros.exe"
                rss, status, output = peak_rss_mb("build", "--stub", STUB, "-o", out, source)
                self.assertEqual(status, 0, output)
                self.assertLess(rss, 120, "a memory bound: decoded a piece at a time")
                listing = run(["unzip", "-v", out]).stdout.decode()
                self.assertRegex(listing,
                                 rf"\s{size}\s+Defl:N\s+\d+\s+100%.*{crc:08x}\s+{re.escape(name)}")
                self.assertEqual(run(["unzip", "-tq", out]).returncode, 0)


class LargeFileTest(BuildTestCase):
    def test_large_files_are_built_in_little_memory(self):
        source = self.scratch / "big"
        source.mkdir()
        with open(source / "zeros.bin", "wb") as f:  # sparse: no disk, no time
            f.truncate(300 * MB)
        with open(source / "noise.bin", "wb") as f:
            for _ in range(6):
                f.write(os.urandom(16 * MB))
        for options in ([], ["--password", "secret"]):
            with self.subTest(options=options):
                out = self.scratch / "Big.exe"
                rss, status, output = peak_rss_mb("build", "--stub", STUB, "-o", out,
                                                  "--level", "1", *options, source)
                self.assertEqual(status, 0, output)
                self.assertLess(rss, 100, "a memory bound: files are read a piece at a time")
                listing = run(["unzip", "-v", out]).stdout.decode()
                self.assertRegex(listing, rf"\s{96 * MB}\s+Stored\s+\d+\s+0%.*noise.bin")
                self.assertRegex(listing, rf"\s{300 * MB}\s+Defl:\w\s.*zeros.bin")
                password = ["-P", "secret"] if options else []
                test = run(["unzip", "-tq", *password, out])
                self.assertEqual(test.returncode, 0, test.stdout + test.stderr)


class ProgressByBytesTest(BuildTestCase):
    @linux_only("the terminal is a pty; Wine's console is not driven through one")
    def test_one_large_entry_moves_the_progress_line(self):
        # A large file of the folder, and one entry of a source ZIP that
        # bookpack decodes from bzip2 and compresses again.
        folder = write_tree(self.scratch / "src", {"big.bin": os.urandom(48 * MB)})
        bzip2 = info_zip(write_tree(self.scratch / "bz", {"big.bin": os.urandom(24 * MB)}),
                         self.scratch / "bz.zip", "-Z", "bzip2")
        for source in (folder, bzip2):
            with self.subTest(source.name):
                status, shown = with_stderr_on_a_terminal(
                    ["build", "--stub", STUB, "-o", self.scratch / "P.exe", source])
                self.assertEqual(status, 0)
                percents = [int(p) for p in
                            re.findall(rb"bookpack: (\d+)% \(0 of 1 entries\)", shown)]
                self.assertTrue([p for p in percents if 0 < p < 100],
                                f"the line moved while the only entry was encoded: {shown!r}")
                self.assertIn(b"100% (1 of 1 entries)", shown)


class LargeSetupMemoryTest(BuildTestCase):
    def test_list_and_check_stream_a_300_mb_setup(self):
        # One stored entry of zeros that the file system keeps sparse.
        size = 19 * 16 * MB
        source = self.scratch / "sparse.zip"
        name = b"zeros.bin"
        crc = 0
        chunk = bytes(16 * MB)
        for _ in range(size // len(chunk)):
            crc = zlib.crc32(chunk, crc)
        with open(source, "wb") as f:
            f.write(local_header(name, 0, crc, size, size))
            f.seek(size, os.SEEK_CUR)
            central = central_header(name, 0, crc, size, size, 0)
            f.write(central + end_record(1, len(central), len(name) + 30 + size))
        setup = self.built(source)
        source.unlink()
        for command in ("list", "check"):
            with self.subTest(command):
                rss, status, output = peak_rss_mb(command, setup)
                self.assertEqual(status, 0, output)
                self.assertIn("zeros.bin" if command == "list" else "ok: ", output)
                self.assertLess(rss, 100, "a memory bound: the setup is streamed")


class TerminalTest(BuildTestCase):
    # Clears the screen, sets the window title, and the C1 form of CSI.
    HOSTILE = "x\x1b[2J\x1b]0;owned\x07\u009b31m.txt"
    SHOWN = "x\\x1B[2J\\x1B]0;owned\\x07\\xC2\\x9B31m.txt"

    def assert_printable(self, text):
        self.assertFalse([c for c in text if (ord(c) < 0x20 and c != "\n") or
                          0x7F <= ord(c) <= 0x9F], repr(text))

    def test_refusals_show_control_characters_escaped(self):
        source = self.scratch / "evil.zip"
        with zipfile.ZipFile(source, "w") as z:
            z.writestr(self.HOSTILE, b"x")
        message = self.refused(source)
        self.assert_printable(message)
        self.assertIn(self.SHOWN, message)

    def test_list_check_and_extract_show_control_characters_escaped(self):
        # The build refuses such names, so the setup is patched afterwards:
        # a placeholder of the same length in both of its headers, not ASCII
        # so that the name is flagged UTF-8.
        placeholder = "é" + "p" * (len(self.HOSTILE.encode()) - 2)
        setup = self.built(write_tree(self.scratch / "src", {placeholder: b"x"}))
        data = setup.read_bytes()
        self.assertEqual(data.count(placeholder.encode()), 2)
        setup.write_bytes(data.replace(placeholder.encode(), self.HOSTILE.encode()))
        for command in (["list", setup], ["check", setup],
                        ["extract", setup, self.scratch / "out"]):
            with self.subTest(command[0]):
                result = run(bookpack_command(*command))
                text = (result.stdout + result.stderr).decode("utf-8")
                self.assert_printable(text)
                self.assertIn(self.SHOWN, text)


class OutputInsideInputTest(BuildTestCase):
    def test_a_setup_built_into_its_source_folder_is_left_out(self):
        source = write_tree(self.scratch / "book", {"a.txt": b"a", "b/c.txt": b"c"})
        out = source / "Setup.exe"
        for _ in range(2):
            result = build(source, out)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(self.unzipped(out)), ["a.txt", "b/c.txt"])
        self.assertIn("Setup.exe: the output itself, left out", result.stderr)

    def test_outputs_that_are_an_input_are_refused(self):
        book = write_tree(self.scratch / "book", {"a.txt": b"a", "Préface.html": b"<p>Hi</p>"})
        licence = self.scratch / "licence.txt"
        licence.write_bytes(b"Terms\r\n")
        password = self.scratch / "password.txt"
        password.write_bytes(b"sesame\n")
        source = self.scratch / "src.zip"
        with zipfile.ZipFile(source, "w") as z:
            z.writestr("a.txt", b"a")
        stub = self.scratch / "stub.exe"
        stub.write_bytes(STUB.read_bytes())
        (self.scratch / "licence-link.txt").symlink_to(licence)
        os.link(licence, self.scratch / "licence-hard.txt")
        inputs = [licence, password, source, stub, book / "a.txt", book / "Préface.html"]
        cases = [
            # what -o names, the source, the options, the words of the refusal
            (licence, book, ["--licence", licence], "is the licence"),
            (self.scratch / "licence-link.txt", book, ["--licence", licence], "is the licence"),
            (self.scratch / "licence-hard.txt", book, ["--licence", licence], "is the licence"),
            (Path("licence.txt"), book, ["--licence", licence], "is the licence"),
            (self.scratch / "book" / ".." / "licence.txt", book, ["--licence", licence],
             "is the licence"),
            (password, book, ["--password-file", password], "is the password file"),
            (source, source, [], "is the source ZIP"),
            (self.scratch / "." / "src.zip", source, [], "is the source ZIP"),
            (stub, book, [], "is the stub"),
            (book / "a.txt", book, [], "is the file a.txt of the source folder"),
            (book / "Préface.html", book, [], "is the file Préface.html of the source folder"),
            (book, book, [], "is a folder"),
        ]
        if WINDOWS:
            long_form = "\\\\?\\Z:" + str(licence).replace("/", "\\")
            cases += [
                (Path(long_form), book, ["--licence", licence], "is the licence"),
                (self.scratch / "LICENCE.TXT", book, ["--licence", licence], "is the licence"),
                (book / "PRÉFACE.HTML", book, [], "of the source folder"),
            ]
        for out, src, options, words in cases:
            with self.subTest(out=str(out), words=words):
                before = {path: path.read_bytes() for path in inputs}
                made = sorted(self.scratch.rglob("*"))
                result = run(bookpack_command("build", "--stub", stub, "-o", out, *options, src),
                             cwd=self.scratch)
                stderr = result.stderr.decode()
                self.assertEqual(result.returncode, 2, stderr)
                self.assertIn(words, stderr)
                self.assertEqual({path: path.read_bytes() for path in inputs}, before)
                self.assertEqual(sorted(self.scratch.rglob("*")), made, "nothing written")


class InterruptedBuildTest(BuildTestCase):
    @linux_only("POSIX signals; Ctrl+C reaches bookpack.exe through its console")
    def test_a_stopped_build_leaves_no_file(self):
        # Incompressible data at the slowest level: the build runs long
        # enough to be stopped while its output is being written.
        source = write_tree(self.scratch / "src",
                            {f"part{i}.bin": os.urandom(24 * MB) for i in range(4)})
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                out = self.scratch / "Stopped.exe"
                process = subprocess.Popen(
                    list(map(str, bookpack_command("build", "--stub", STUB, "-o", out, "--level",
                                                   "12", source))),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                while not list(self.scratch.glob("Stopped.exe.*")) and process.poll() is None:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.005)
                self.assertIsNone(process.poll(), "the build ended before it could be stopped")
                process.send_signal(sig)
                self.assertEqual(process.wait(60), -sig)
                self.assertEqual(list(self.scratch.glob("Stopped.exe*")), [])
