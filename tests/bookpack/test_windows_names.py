"""Names that Windows takes for one file, update setups whose files land on
one name, and programs that only the reader's PC can find: build and check
say so, and extract does what Windows would."""
import struct
import unittest
import zlib

from build_fixtures import STUB, BuildTestCase, bookpack, run, write_tree

PACK_SETUP = STUB.parents[2] / "tools" / "pack_setup.py"
UTF8 = 0x0800


def zip_of_raw_names(path, entries):
    """A stored ZIP of (name bytes, general-purpose flags) entries, each
    holding its own name: names in the code page need a writer that does not
    turn them into UTF-8."""
    local = central = b""
    for name, flags in entries:
        data = b"content of " + name
        fields = struct.pack("<HHHHIIIH", flags, 0, 0x6C21, 0x5A8A, zlib.crc32(data),
                             len(data), len(data), len(name))
        offset = len(local)
        local += b"PK\x03\x04" + struct.pack("<H", 20) + fields + b"\0\0" + name + data
        central += (b"PK\x01\x02" + struct.pack("<HH", 20, 20) + fields +
                    struct.pack("<HHHHII", 0, 0, 0, 0, 0, offset) + name)
    path.write_bytes(local + central + b"PK\x05\x06" +
                     struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries), len(central),
                                 len(local), 0))
    return path


class TwoNamesForOneFileTest(BuildTestCase):
    # The pairs Windows takes for one file; the first name as printed.
    PAIRS = [
        ([(b"Book.txt", 0), (b"book.TXT", 0)], "Book.txt"),
        ([("été.txt".encode("cp1252"), 0), ("ÉTÉ.txt".encode("cp1252"), 0)], "\u00e9t\u00e9.txt"),
        ([("été.txt".encode(), UTF8), ("ÉTÉ.txt".encode(), UTF8)], "\u00e9t\u00e9.txt"),
        ([("é.txt".encode("cp1252"), 0), ("é.txt".encode(), UTF8)], "\u00e9.txt"),
        ([("ÿ.txt".encode("cp1252"), 0), ("Ÿ.txt".encode("cp1252"), 0)], "\u00ff.txt"),
        ([(b"a/./b.txt", 0), (b"a/b.txt", 0)], "a/./b.txt"),
        ([(b"a\\b.txt", 0), (b"a/b.txt", 0)], "a\\b.txt"),
    ]

    def test_build_check_and_extract_take_them_as_windows_does(self):
        for number, (entries, first) in enumerate(self.PAIRS):
            with self.subTest(entries=entries):
                source = zip_of_raw_names(self.scratch / f"pair{number}.zip", entries)
                message = self.refused(source)
                self.assertIn('"' + first + '" and "', message)
                self.assertIn("the same file on Windows", message)
                # Packed without bookpack's refusal, as a hand-made setup.
                setup = self.scratch / f"pair{number}.exe"
                run(["python3", PACK_SETUP, STUB, source, setup], check=True)
                check = bookpack("check", setup)
                self.assertEqual(check.returncode, 1, check.stdout)
                self.assertIn("the same file on Windows", check.stdout)
                out = self.scratch / f"out{number}"
                extract = bookpack("extract", setup, out, "--overwrite", "yes")
                files = [p for p in out.rglob("*") if p.is_file()]
                self.assertEqual(len(files), 1, (extract.stdout, files))


class UpdateSetupTest(BuildTestCase):
    def test_files_that_land_on_one_name_are_refused(self):
        licence = self.scratch / "licence.txt"
        licence.write_bytes(b"p viewer.exe\r\nAn update.\r\n")
        source = write_tree(self.scratch / "src", {"a/x.txt": b"a", "b/x.txt": b"b"})
        message = self.refused(source, "--licence", licence, "--directive")
        self.assertIn('"a/x.txt" and "b/x.txt" are the same file on Windows', message)
        self.assertIn("into the application's folder", message)
        # Without the directive the two files stay apart.
        plain = write_tree(self.scratch / "plain", {"a/x.txt": b"a", "b/x.txt": b"b"})
        setup = self.built(plain)
        # A setup packed by hand with the directive: check names the pair.
        zipped = self.scratch / "update.zip"
        run(["zip", "-q", "-r", zipped, "!!licence.txt", "a", "b"],
            cwd=write_tree(self.scratch / "upd", {"!!licence.txt": b"p viewer.exe\r\nUpdate.\r\n",
                                                  "a/x.txt": b"a", "b/x.txt": b"b"}),
            check=True)
        setup = self.scratch / "update.exe"
        run(["python3", PACK_SETUP, STUB, zipped, setup], check=True)
        check = bookpack("check", setup, "--app-path", "viewer.exe=C:\\apps\\viewer\\")
        self.assertEqual(check.returncode, 1, check.stdout)
        self.assertIn('"a/x.txt" and "b/x.txt" are the same file on Windows', check.stdout)


class ProgramLookupTest(BuildTestCase):
    def test_a_program_not_in_the_book_is_looked_up_on_the_readers_pc(self):
        cases = [
            # licence, entries, what runs, whether check finds a problem
            (b"a hh.exe book.chm\r\n", {"book.chm": b"ITSF"},
             "looked up on the reader's PC in System32, then in the Windows folder: "
             "hh.exe book.chm", False),
            (b"a notepad readme.txt\r\n", {"readme.txt": b"r"},
             "looked up on the reader's PC in System32, then in the Windows folder: "
             "notepad.exe readme.txt", False),
            (b"a hh.exe book.chm\r\n", {"book.chm": b"ITSF", "hh.exe": b"MZ"},
             '"<install folder>\\hh.exe" book.chm', False),
            (b"a planted.exe /x\r\n", {"a.txt": b"a"},
             "nothing starts unless the reader's PC has it: planted.exe is not in the book, "
             "and is looked up on the reader's PC in System32, then in the Windows folder", True),
        ]
        for number, (text, files, runs, problem) in enumerate(cases):
            with self.subTest(licence=text, files=list(files)):
                licence = self.scratch / f"licence{number}.txt"
                licence.write_bytes(text)
                source = write_tree(self.scratch / f"src{number}", files)
                out = self.scratch / f"Setup{number}.exe"
                result = bookpack("build", "--stub", STUB, "-o", out, "--licence", licence,
                                  "--directive", source)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("runs after installing: " + runs + "\n", result.stdout)
                check = bookpack("check", out)
                self.assertIn("runs after installing: " + runs + "\n", check.stdout)
                self.assertEqual(check.returncode, 1 if problem else 0, check.stdout)
                self.assertNotIn("C:\\Windows", check.stdout)


if __name__ == "__main__":
    unittest.main()
