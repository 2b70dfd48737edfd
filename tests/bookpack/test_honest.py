"""bookpack tells the publisher what the reader's stub will really do: a
licence longer than the stub reads, first lines that are directives, update
setups, the program a run command starts, entries only the central directory
lists, what extract skipped, and the same answers as JSON."""
import json
import struct
import zlib
from pathlib import Path

from build_fixtures import NOT_A_FOLDER, STUB, BuildTestCase, bookpack, build, run

PACK_SETUP = STUB.parents[2] / "tools" / "pack_setup.py"


class HonestTestCase(BuildTestCase):
    def licensed(self, text: bytes, *options, files=None, name="Setup.exe"):
        """A setup of `files` with `text` as its licence; the build's result."""
        source = self.tree(files or {"book.html": b"<p>book</p>"}, "src_" + name)
        licence = self.scratch / ("licence_" + name + ".txt")
        licence.write_bytes(text)
        out = self.scratch / name
        return out, build(source, out, "--licence", licence, *options)


class LongLicenceTest(HonestTestCase):
    def test_a_licence_beyond_20000_bytes_is_reported_cut(self):
        text = b"".join(b"Clause %d: the reader agrees.\r\n" % i for i in range(1000))
        self.assertGreater(len(text), 20000)
        line = text[:20000].count(b"\n") + 1
        setup, result = self.licensed(text)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("warning", result.stderr)
        self.assertIn(f"the licence is cut after 20,000 bytes (of {len(text):,}), in line {line}: '",
                      result.stderr)
        self.assertNotIn("the whole text is shown", result.stdout)
        check = bookpack("check", setup)
        self.assertEqual(check.returncode, 1, check.stdout)
        self.assertIn(f"problem: !!licence.txt: the licence is cut after 20,000 bytes", check.stdout)
        self.assertIn(f"in line {line}", check.stdout)

    def test_a_licence_of_exactly_20000_bytes_is_whole(self):
        text = (b"x" * 99 + b"\n") * 200
        setup, result = self.licensed(text)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("warning", result.stderr)
        self.assertIn("the whole text is shown", result.stdout)
        self.assertEqual(bookpack("check", setup).returncode, 0)

    def test_a_zero_byte_cuts_the_text(self):
        setup, result = self.licensed(b"Terms.\r\nMore\x00 hidden\r\n")
        self.assertIn("cut at a zero byte after 12 bytes, in line 2: 'More'", result.stderr)
        self.assertEqual(bookpack("check", setup).returncode, 1)


class DirectiveTest(HonestTestCase):
    def test_a_first_line_read_as_a_directive_is_refused_unless_meant(self):
        for text, letter in ((b"all rights reserved\r\nText\r\n", "a"),
                             (b"dear reader,\r\n", "d"), (b"end user terms\r\n", "e"),
                             (b"preface\r\n", "p"), (b"read this\r\n", "r")):
            with self.subTest(text=text):
                setup, result = self.licensed(text, name=f"D{letter}.exe")
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertFalse(setup.exists())
                first = text.split(b"\r\n")[0].decode()
                self.assertIn(f"the first line '{first}' starts with '{letter}', which the stub "
                              "reads as a directive", result.stderr)
                self.assertIn("--directive", result.stderr)
                self.assertIn("blank line", result.stderr)

    def test_meant_directives_are_said_in_plain_words(self):
        setup, result = self.licensed(b"all rights reserved\r\nText\r\n", "--directive")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('the setup runs "l rights reserved" after installing', result.stdout)
        self.assertIn("warning: the licence's command starts nothing unless the reader's PC has "
                      "it: l.exe is not in the book", result.stderr)
        self.assertIn("warning: the first line 'all rights reserved' is read as directive 'a'",
                      result.stderr)
        check = bookpack("check", setup)
        self.assertEqual(check.returncode, 1, check.stdout)
        self.assertIn("problem: !!licence.txt: the first line 'all rights reserved' is read as "
                      "directive 'a'", check.stdout)
        self.assertIn("nothing starts unless the reader's PC has it: l.exe is not in the book",
                      check.stdout)

    def test_check_says_what_each_directive_does(self):
        cases = [
            (b"d \r\nText\r\n", "directive d: hides the first line; nothing else"),
            (b"a reader.exe /book\r\n", "directive a: runs 'reader.exe /book' after installing "
                                        "instead of a quon*.exe program, and hides the first line"),
            (b"e reader.exe\r\n", "(e does the same as a)"),
            (b"p Viewer.exe\r\n", "directive p: updates the application that App Paths "
                                  "registers as 'Viewer.exe'"),
            (b"r Viewer.exe\r\n", "You need to install the trial first!"),
        ]
        for number, (text, words) in enumerate(cases):
            with self.subTest(text=text):
                setup, result = self.licensed(text, "--directive", name=f"W{number}.exe",
                                              files={"reader.exe": b"MZ"})
                self.assertEqual(result.returncode, 0, result.stderr)
                check = bookpack("check", setup)
                self.assertIn(words, check.stdout)
        # A plain directive with a program that is there passes.
        setup, _ = self.licensed(b"e reader.exe /book\r\n", "--directive", name="Ok.exe",
                                 files={"reader.exe": b"MZ"})
        check = bookpack("check", setup)
        self.assertEqual(check.returncode, 0, check.stdout)
        self.assertIn('runs after installing: "<install folder>\\reader.exe" /book', check.stdout)


class UpdateSetupTest(HonestTestCase):
    def test_app_path_registers_the_application_for_the_run(self):
        files = {"bin/viewer.dat": b"v2", "readme.txt": b"new"}
        for letter in "pr":
            with self.subTest(letter=letter):
                setup, result = self.licensed(f"{letter} Viewer.exe\r\n".encode(), "--directive",
                                              files=files, name=f"U{letter}.exe")
                self.assertEqual(result.returncode, 0, result.stderr)
                alone = bookpack("check", setup)
                self.assertEqual(alone.returncode, 1, alone.stdout)
                self.assertIn("--app-path Viewer.exe=FOLDER", alone.stdout)
                found = bookpack("check", setup, "--app-path", "Viewer.exe=C:\\Apps\\Viewer\\")
                self.assertEqual(found.returncode, 0, found.stdout)
                self.assertIn("the update goes to: C:\\Apps\\Viewer\\", found.stdout)
                dest = self.scratch / f"out_{letter}"
                extract = bookpack("extract", setup, dest, "--app-path",
                                   "Viewer.exe=C:\\Apps\\Viewer\\")
                self.assertEqual(extract.returncode, 0, extract.stdout + extract.stderr)
                self.assertIn("the reader's files would go to C:\\Apps\\Viewer\\", extract.stdout)
                self.assertEqual((dest / "viewer.dat").read_bytes(), b"v2", "installed flat")

    def test_app_path_needs_a_name_and_a_folder(self):
        setup, _ = self.licensed(b"Terms\r\n")
        for value in ("Viewer.exe", "=C:\\x", "Viewer.exe="):
            self.assertEqual(bookpack("check", setup, "--app-path", value).returncode, 2)


class CentralDirectoryTest(BuildTestCase):
    def test_an_entry_the_walk_never_reaches_is_a_problem(self):
        """hidden.txt's record lies inside a.txt's stored data: ZIP tools list
        and extract it, the stub's walk steps over it."""
        def local(name, data):
            return struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, 0, 0, 0, 0, zlib.crc32(data),
                               len(data), len(data), len(name), 0) + name + data

        def central(name, data, offset):
            return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 10, 0, 0, 0, 0,
                               zlib.crc32(data), len(data), len(data), len(name), 0, 0, 0, 0, 0,
                               offset) + name
        inner = local(b"hidden.txt", b"never installed")
        outer = local(b"a.txt", inner)
        records = central(b"a.txt", inner, 0) + central(b"hidden.txt", b"never installed",
                                                        30 + len(b"a.txt"))
        archive = outer + records + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 2, 2,
                                                len(records), len(outer), 0)
        source = self.scratch / "hidden.zip"
        source.write_bytes(archive)
        setup = self.scratch / "Hidden.exe"
        run(["python3", PACK_SETUP, STUB, source, setup], check=True)
        listed = run(["unzip", "-l", setup], text=True)
        self.assertIn("hidden.txt", listed.stdout)
        result = bookpack("check", setup)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("problem: hidden.txt: listed in the central directory, but the stub's walk "
                      "never reaches it", result.stdout)
        self.assertNotIn("ok:", result.stdout)


class ExtractReportTest(BuildTestCase):
    def packed(self, name: str, entries: list) -> Path:
        """A setup of a ZIP made elsewhere, with names bookpack would refuse:
        Python's zipfile behind the stub, nothing else."""
        import zipfile
        source = self.scratch / f"{name}.zip"
        with zipfile.ZipFile(source, "w") as z:
            for entry, data in entries:
                z.writestr(entry, data)
        setup = self.scratch / f"{name}.exe"
        run(["python3", PACK_SETUP, STUB, source, setup], check=True)
        return setup

    def test_each_skipped_entry_is_named_with_its_reason(self):
        setup = self.built(self.tree({"a.txt": b"new a", "b.txt": b"new b", "c.txt": b"c"}))
        dest = self.scratch / "kept"
        dest.mkdir()
        (dest / "a.txt").write_bytes(b"old")
        (dest / "B.TXT").write_bytes(b"old")
        # Keeping them is the default, and said as one: no --overwrite given.
        result = bookpack("extract", setup, dest)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("skipped: a.txt: a file of that name was there already and is kept "
                      "(extract keeps existing files unless given --overwrite yes",
                      result.stdout)
        self.assertIn("skipped: b.txt: a file of that name was there already", result.stdout)
        self.assertNotIn("skipped: c.txt", result.stdout)
        self.assertNotIn("--overwrite no", result.stdout)
        self.assertIn("installed 1 of 3 entries into " + str(dest) + ", kept 2 existing files\n",
                      result.stdout)

    def test_a_name_collision_and_a_refused_name(self):
        # A ZIP made elsewhere: two names for one Windows file, and one the
        # stub refuses.
        setup = self.packed("Clash", [("Read.txt", b"first"), ("read.TXT", b"second"),
                                      ("../up.txt", b"outside"), ("z.txt", b"last")])
        dest = self.scratch / "clash"
        result = bookpack("extract", setup, dest, "--overwrite", "no")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("skipped: read.TXT: the same file on Windows as the earlier entry Read.txt",
                      result.stdout)
        self.assertIn("skipped: ../up.txt: the reader sees", result.stdout)
        self.assertIn("the install was not complete", result.stderr)
        self.assertFalse((self.scratch / "up.txt").exists())

    def test_entries_that_meet_a_file_or_folder_their_own_install_made(self):
        # "doc" is a file when "doc/x.txt" needs it as a folder; "dir" is a
        # file where "dir/" made a folder. check's install, which keeps the
        # files it writes in memory, must meet both as the disk does.
        setup = self.packed("Meet", [("doc", b"a file"), ("doc/x.txt", b"inside"), ("dir/", b""),
                                     ("dir", b"a file over a folder"), ("z.txt", b"last")])
        result = bookpack("extract", setup, self.scratch / "meet", "--overwrite", "no")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        # The system's own words, as the reader's stub shows them.
        self.assertTrue(any(f'skipped: doc/x.txt: the reader sees "B:\\doc\\x.txt {words}"'
                            in result.stdout for words in NOT_A_FOLDER), result.stdout)
        self.assertIn("skipped: dir: a folder made by the earlier entry dir/", result.stdout)
        self.assertIn("installed 3 of 5 entries", result.stdout)
        self.assertEqual((self.scratch / "meet" / "doc").read_bytes(), b"a file")
        check = bookpack("check", "--json", setup)
        self.assertEqual(check.returncode, 1, check.stdout + check.stderr)
        self.assertIn(json.loads(check.stdout)["reader_sees"],
                      [[f"Couldn't open...: C:\\Book\\doc\\x.txt\n{words}"] for words in NOT_A_FOLDER])


class JsonTest(HonestTestCase):
    def test_list_json(self):
        setup = self.built(self.tree({"b.txt": b"b" * 5000, "a/c.txt": b"c"}),
                           "--password", "pw")
        result = bookpack("list", setup, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        listed = json.loads(result.stdout)
        self.assertEqual(listed["setup"], str(setup))
        self.assertEqual(listed["stub_length"], STUB.stat().st_size)
        self.assertEqual([e["name"] for e in listed["entries"]], ["a/c.txt", "b.txt"])
        b = listed["entries"][1]
        self.assertEqual((b["size"], b["method"], b["encrypted"]), (5000, "deflate", True))
        self.assertLess(b["packed"], 5000)
        self.assertEqual(listed["total"], 5001)
        self.assertEqual(listed["count"], 2)

    def test_control_characters_in_names(self):
        import zipfile
        source = self.scratch / "ctl.zip"
        with zipfile.ZipFile(source, "w") as z:
            z.writestr("c\x01\x1b[2J.txt", b"c")
        setup = self.scratch / "Ctl.exe"
        run(["python3", PACK_SETUP, STUB, source, setup], check=True)
        listed = json.loads(bookpack("list", setup, "--json").stdout)
        self.assertEqual(listed["entries"][0]["name"], "c\x01\x1b[2J.txt")
        text = bookpack("list", setup)
        self.assertIn("c\\x01\\x1B[2J.txt", text.stdout, "control characters shown escaped")
        self.assertNotIn("\x1b", text.stdout)

    def test_check_json(self):
        setup, _ = self.licensed(b"e planted.exe /x\r\n" + b"y" * 25000, "--directive")
        result = bookpack("check", setup, "--json")
        self.assertEqual(result.returncode, 1)
        report = json.loads(result.stdout)
        self.assertEqual(report["setup"], str(setup))
        self.assertFalse(report["ok"])
        self.assertEqual(report["entries"], 2)
        problems = [p["problem"] for p in report["problems"]]
        self.assertTrue(any("cut after 20,000 bytes" in p for p in problems), problems)
        self.assertTrue(all(p["entry"] == "!!licence.txt" for p in report["problems"]))
        licence = report["licence"]
        self.assertEqual((licence["name"], licence["cut"], licence["cut_line"]),
                         ("!!licence.txt", True, 2))
        self.assertEqual(licence["directive"]["letter"], "e")
        self.assertEqual(licence["directive"]["argument"], "planted.exe /x")
        self.assertEqual(report["runs"],
                         "nothing starts unless the reader's PC has it: planted.exe is not in "
                         "the book, and is looked up on the reader's PC in System32, then in "
                         "the Windows folder")
        self.assertFalse(report["starts"])
        self.assertIsNone(report["update_folder"])
        good = json.loads(bookpack("check", self.built(self.tree({"a": b"1"}, "g"), name="G.exe"),
                                   "--json").stdout)
        self.assertTrue(good["ok"])
        self.assertEqual(good["problems"], [])
        self.assertIsNone(good["licence"])
