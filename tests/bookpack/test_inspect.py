"""bookpack list, check and extract: the stub's engine run natively over
packaged setups, from bookpack's own builds and from other packers' output."""
import struct
import subprocess
import unittest

from build_fixtures import (STUB, BuildTestCase, bookpack, info_zip,
                            password_failing_every_header, read_tree, run, sample_book, seven_zip)

PACK_SETUP = STUB.parents[2] / "tools" / "pack_setup.py"


class ExtractTest(BuildTestCase):
    def test_extract_gives_back_the_tree_for_each_producer(self):
        book = sample_book()
        source = self.tree(book)
        setups = {
            "folder": self.built(source, name="Folder.exe"),
            "encrypted folder": self.built(source, "--password", "sesame", name="Enc.exe"),
            "Info-ZIP": self.built(info_zip(source, self.scratch / "i.zip"), name="I.exe"),
            "7-Zip": self.built(seven_zip(source, self.scratch / "s.zip"), name="S.exe"),
        }
        for label, setup in setups.items():
            with self.subTest(label):
                dest = self.scratch / ("out_" + setup.stem)
                result = bookpack("extract", setup, dest, "--password", "sesame")
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(read_tree(dest), book)

    def test_the_program_started_is_named_as_build_names_it(self):
        setup = self.built(self.tree({"quonlire.exe": b"MZ", "bin/quonview.exe": b"MZ"}))
        result = bookpack("extract", setup, self.scratch / "out")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn('the reader\'s setup would start: "<install folder>\\bin\\quonview.exe" '
                      "/INIT\n", result.stdout)

    def test_overwrite_choice_decides_existing_files(self):
        source = self.tree({"a.txt": b"new a", "b.txt": b"new b"})
        setup = self.built(source)
        for choice, expected in (("no", b"old"), ("yes", b"new a")):
            with self.subTest(choice):
                dest = self.scratch / ("over_" + choice)
                dest.mkdir()
                (dest / "a.txt").write_bytes(b"old")
                result = bookpack("extract", setup, dest, "--overwrite", choice)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual((dest / "a.txt").read_bytes(), expected)
                self.assertEqual((dest / "b.txt").read_bytes(), b"new b")

    def test_wrong_password_stops_the_install(self):
        setup = self.built(self.tree({"a.txt": b"secret text"}), "--password", "right")
        dest = self.scratch / "wrong"
        result = bookpack("extract", setup, dest, "--password", password_failing_every_header(setup))
        self.assertEqual(result.returncode, 1)
        self.assertIn("password is wrong", result.stdout)
        self.assertFalse((dest / "a.txt").exists())


class CheckTest(BuildTestCase):
    def damaged(self, setup, change):
        data = bytearray(setup.read_bytes())
        change(data)
        out = self.scratch / ("Damaged" + str(len(list(self.scratch.glob("Damaged*")))) + ".exe")
        out.write_bytes(data)
        return out

    def test_problems_are_named_and_fail_the_check(self):
        # Varied text, so that the damaged entry's deflate data is long.
        words = b" ".join(b"word%d" % (i * 7919 % 10007) for i in range(6000))
        files = {"ok.txt": b"fine " * 100, "hurt.txt": words}
        setup = self.built(self.tree(files))
        raw = setup.read_bytes()

        def flip_inside(data):
            at = raw.index(b"hurt.txt") + 2000  # well inside its deflate data
            data[at] ^= 0x55

        cases = [
            ("damaged entry", self.damaged(setup, flip_inside), [], "hurt.txt"),
            ("one byte more", self.damaged(setup, lambda d: d.append(0)), [], "download check"),
            ("one byte less", self.damaged(setup, lambda d: d.pop()), [], "download check"),
        ]
        enc = self.built(self.tree(files, "enc"), "--password", "pw", name="Enc.exe")
        cases += [
            ("no password", enc, [], "give the password (--password-file FILE"),
            ("wrong password", enc, ["--password", password_failing_every_header(enc)],
             "wrong password"),
        ]
        for label, target, options, named in cases:
            with self.subTest(label):
                result = bookpack("check", target, *options)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(named, result.stdout)
                self.assertIn("problem", result.stdout)
        good = bookpack("check", enc, "--password", "pw")
        self.assertEqual(good.returncode, 0, good.stdout)
        self.assertIn("ok: the reader's install would succeed", good.stdout)

    def test_setups_packed_elsewhere_are_judged_like_the_stub_would(self):
        """A plain pack of a streamed archive (bsdtar-style descriptors) would
        fail at the reader's: check says so."""
        source = self.tree({"a.txt": b"x" * 1000, "b.txt": b"y" * 1000})
        streamed = self.scratch / "streamed.zip"
        # Written to a pipe, bsdtar cannot seek back: sizes follow the data.
        with open(streamed, "wb") as out:
            subprocess.run(["bsdtar", "--format", "zip", "-cf", "-", "."], cwd=source, stdout=out,
                           check=True)
        setup = self.scratch / "Streamed.exe"
        subprocess.run(["python3", PACK_SETUP, STUB, streamed, setup], check=True)
        result = bookpack("check", setup)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("sizes only after the data", result.stdout)
        # The same archive through bookpack build is normalised and passes.
        fixed = self.built(streamed, name="Fixed.exe")
        self.assertEqual(bookpack("check", fixed).returncode, 0)


class ListTest(BuildTestCase):
    def test_list_shows_entries_in_archive_order(self):
        source = self.tree({"b.txt": b"b" * 5000, "a/c.txt": b"c", "!!licence.txt": b"Terms\r\n"})
        setup = self.built(source, "--password", "pw")
        result = bookpack("list", setup)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        # The settings come first, then the table.
        self.assertTrue(lines[0].startswith("settings: none"), lines[0])
        lines = lines[1:]
        names = [line.split()[-1] for line in lines[1:-1]]
        self.assertEqual(names, ["!!licence.txt", "a/c.txt", "b.txt"])
        licence_line, b_line = lines[1], lines[3]
        self.assertNotIn("*", licence_line, "the licence is never encrypted")
        self.assertIn("*", b_line)
        self.assertTrue(b_line.split()[0] == "5000")
        self.assertEqual(lines[-1], "3 entries, 5008 bytes (* encrypted)")

    def test_not_a_setup(self):
        bare = self.scratch / "bare.exe"
        bare.write_bytes(b"MZ" + bytes(100))
        for command in ("list", "check"):
            with self.subTest(command):
                result = bookpack(command, bare)
                self.assertEqual(result.returncode, 2)
                self.assertIn("not a packaged setup", result.stderr)


if __name__ == "__main__":
    unittest.main()
