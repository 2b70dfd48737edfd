"""`bookpack build` refuses, naming the entry, with status 1 and no setup
left behind, whatever the stub could not install as the publisher meant."""
import os
import struct
import unittest
import zipfile
import zlib

from build_fixtures import STUB, WINDOWS, BuildTestCase, bookpack, info_zip, write_tree

GIB = 1 << 30


def zip_of_names(path, names):
    """A ZIP whose entries carry exactly these names, as a hand-made or
    foreign archive may."""
    with zipfile.ZipFile(path, "w") as z:
        for name in names:
            z.writestr(zipfile.ZipInfo(name), b"content of " + name.encode())
    return path


def sparse_zip(path, sizes):
    """Stored entries of zeros that take no disk space: only their headers
    and the central directory are written."""
    chunk = bytes(16 << 20)
    central = b""
    with open(path, "wb") as f:
        for number, size in enumerate(sizes):
            crc = 0
            for _ in range(size // len(chunk)):
                crc = zlib.crc32(chunk, crc)
            crc = zlib.crc32(bytes(size % len(chunk)), crc)
            name = f"part{number}.bin".encode()
            offset = f.tell()
            fields = struct.pack("<HHHHIIIH", 0, 0, 0, 0x21, crc, size, size, len(name))
            f.write(b"PK\x03\x04" + struct.pack("<H", 10) + fields + b"\0\0" + name)
            f.seek(size, os.SEEK_CUR)
            central += (b"PK\x01\x02" + struct.pack("<HH", 10, 10) + fields +
                        struct.pack("<HHHHII", 0, 0, 0, 0, 0, offset) + name)
        start = f.tell()
        f.write(central + b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(sizes), len(sizes),
                                                      len(central), start, 0))
    return path


class NameRefusalTest(BuildTestCase):
    FOLDERS = [
        # files of the source folder, the entry named, words of the message
        ({"a?b.txt": b"x"}, "a?b.txt", "a character that Windows does not allow"),
        ({"con.txt": b"x"}, "con.txt", "device name"),
        ({"d" * 100 + "/" + "f" * 157: b"x"}, "f" * 157, "258 bytes long"),
        ({"Read.txt": b"1", "read.TXT": b"2"}, '"Read.txt" and "read.TXT"', "same file"),
        ({"Ärger.txt": b"1", "ärger.txt": b"2"}, '"Ärger.txt" and "ärger.txt"', "same file"),
        ({"notes": b"1", "notes.": b"2"}, "notes.", "a part ending in a dot or a space"),
        ({"book /a.txt": b"1"}, "book /a.txt", "a part ending in a dot or a space"),
        ({"notes /a.txt": b"1"}, "notes /a.txt", "a part ending in a dot or a space"),
        ({"d./a.txt": b"1"}, "d./a.txt", "a part ending in a dot or a space"),
        ({"CONIN$": b"x"}, "CONIN$", "device name"),
        ({"conout$.txt": b"x"}, "conout$.txt", "device name"),
        ({"sub/COM\u00b9.txt": b"x"}, "COM\u00b9.txt", "device name"),
        ({"LPT\u00b3": b"x"}, "LPT\u00b3", "device name"),
        ({"Com\u00b2 .log": b"x"}, "Com\u00b2 .log", "device name"),
        ({"lpt9.dat": b"x"}, "lpt9.dat", "device name"),
        # The setup's own name for a file it is replacing.
        ({"sub/notes.txt.~PART": b"x"}, "notes.txt.~PART", "keeps for a file it is replacing"),
        ({"Docs": b"1", "docs/a.txt": b"2"}, '"Docs" and "docs/a.txt"', "a file and a folder"),
    ]

    def test_folders_with_names_windows_cannot_take(self):
        for number, (files, named, words) in enumerate(self.FOLDERS):
            with self.subTest(files=list(files)):
                message = self.refused(write_tree(self.scratch / f"src{number}", files))
                if WINDOWS and "holds nothing to install" in message:
                    # A Windows folder cannot show such a name at all (Wine
                    # presents the Linux file as one it cannot open): the
                    # build is refused all the same, by its empty source.
                    continue
                self.assertIn(named, message)
                self.assertIn(words, message)

    ZIPS = [
        (["../evil.txt"], "../evil.txt", "outside the installation folder"),
        (["/etc/passwd"], "/etc/passwd", "outside the installation folder"),
        (["C:/boot.ini"], "C:/boot.ini", "outside the installation folder"),
        (["a/../../b.txt"], "a/../../b.txt", "outside the installation folder"),
        (["..\\b.txt"], "..\\b.txt", "outside the installation folder"),
        ([""], "(an entry without a name)", "the name is empty"),
        (["d/" * 129], "d/" * 129, "258 bytes long, and the stub holds at most 257"),
        (["n" * 256], "n" * 256, "longer than the 255 characters Windows allows"),
        (["A/b.txt", "a\\B.TXT"], '"A/b.txt" and "a\\B.TXT"', "same file"),
        (["x/./y.txt", "X/Y.txt"], '"x/./y.txt" and "X/Y.txt"', "same file"),
    ]

    def test_zips_with_names_the_stub_must_not_install(self):
        for number, (names, named, words) in enumerate(self.ZIPS):
            with self.subTest(names=names):
                message = self.refused(zip_of_names(self.scratch / f"n{number}.zip", names))
                self.assertIn(named, message)
                self.assertIn(words, message)

    def test_longest_name_the_stub_holds_is_taken(self):
        # 257 bytes, the last part as long as Windows allows.
        source = zip_of_names(self.scratch / "long.zip", ["d/" + "n" * 255])
        self.assert_tools_accept(self.built(source))

    def test_licence_file_and_a_licence_in_the_folder_clash(self):
        licence = self.scratch / "licence.txt"
        licence.write_bytes(b"Terms.\r\n")
        source = write_tree(self.scratch / "src", {"!!LICENCE.TXT": b"Other terms.\r\n"})
        message = self.refused(source, "--licence", licence)
        self.assertIn('"!!licence.txt" and "!!LICENCE.TXT" are the same file', message)

    def test_encrypted_licence_entries(self):
        for number, name in enumerate(("!!licence.txt", "docs/!!Licen-fr.txt")):
            with self.subTest(name=name):
                tree = write_tree(self.scratch / f"src{number}",
                                  {name: b"Terms.\r\n", "book.html": b"<p/>"})
                source = info_zip(tree, self.scratch / f"l{number}.zip", "-P", "pw")
                message = self.refused(source)
                self.assertIn(name + ": an encrypted licence entry", message)


class SetupRefusalTest(BuildTestCase):
    def test_stubs_whose_recorded_length_is_not_their_length(self):
        good = STUB.read_bytes()
        packaged = self.built(write_tree(self.scratch / "book", {"a.txt": b"x"}))
        cases = [
            ("longer.exe", good + b"\0", "built for a length of"),
            ("shorter.exe", good[:-1], "built for a length of"),
            ("packaged.exe", packaged.read_bytes(), "built for a length of"),
            ("other.exe", b"MZ" + bytes(4094), "no stub length slot"),
        ]
        source = write_tree(self.scratch / "src", {"a.txt": b"x"})
        for name, content, words in cases:
            with self.subTest(stub=name):
                stub = self.scratch / name
                stub.write_bytes(content)
                out = self.scratch / "Refused.exe"
                result = bookpack("build", "--stub", stub, "-o", out, source)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(str(stub), result.stderr)
                self.assertIn(words, result.stderr)
                self.assertFalse(out.exists())

    def test_empty_sources(self):
        empty_folder = self.scratch / "empty"
        empty_folder.mkdir()
        empty_zip = zip_of_names(self.scratch / "empty.zip", [])
        for source in (empty_folder, empty_zip):
            with self.subTest(source=source.name):
                self.assertIn("holds nothing to install", self.refused(source))

    def test_setups_over_2_gib(self):
        big_file = self.scratch / "big"
        big_file.mkdir()
        with open(big_file / "video.bin", "wb") as f:
            f.truncate(2 * GIB + 1)
        cases = [
            (sparse_zip(self.scratch / "two.zip", [GIB + 1, GIB]), (), "part1.bin"),
            (big_file, ("--level", "0"), "video.bin"),
        ]
        for source, options, named in cases:
            with self.subTest(source=source.name):
                message = self.refused(source, *options)
                self.assertIn(named + ": the setup would be larger than 2 GiB", message)


if __name__ == "__main__":
    unittest.main()
