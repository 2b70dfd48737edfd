"""`bookpack build` from a folder: what the setup holds, how the stub walks
it, and that ZIP tools and the stub's engine read it back unchanged."""
import os
import pty
import re
import shutil
import struct
import subprocess
import unittest
import zlib
import zipfile

from build_fixtures import (BOOKPACK, STUB, STUB_X86_64, BuildTestCase, bookpack,
                            bookpack_command, build, info_zip, linux_only, read_tree, run,
                            sample_book, walk_setup,
                            with_stderr_on_a_terminal, write_tree, zip_keys_decrypt)


class FolderSourceTest(BuildTestCase):
    def test_every_reader_gets_the_tree_back(self):
        files = sample_book()
        setup = self.built(self.tree(files))
        self.assert_layout(setup)
        self.assert_tools_accept(setup)
        self.assertEqual(self.unzipped(setup), files)
        extracted = self.scratch / "extracted"
        result = bookpack("extract", setup, extracted)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(read_tree(extracted), files)

    def test_local_headers_carry_what_the_stub_needs(self):
        files = sample_book()
        setup = self.built(self.tree(files))
        walked = walk_setup(setup.read_bytes())
        names = [e.name.decode() for e in walked]
        # Byte order of the UTF-8 names; folders appear only when empty.
        self.assertEqual(names, sorted(files, key=lambda n: n.encode()))
        with zipfile.ZipFile(setup) as z:
            self.assertEqual(z.namelist(), names)
        for entry in walked:
            name = entry.name.decode()
            with self.subTest(name=name):
                content = files[name] or b""
                self.assertEqual(entry.flags & 8, 0, "no data descriptor")
                self.assertEqual(bool(entry.flags & 0x800), not name.isascii())
                self.assertEqual((entry.crc, entry.uncompressed),
                                 (zlib.crc32(content), len(content)))
                self.assertNotIn(b"\x01\x00", entry.extra[:2], "no Zip64 block")
                if entry.method == 8:
                    self.assertLess(entry.compressed, len(content))
                    self.assertEqual(zlib.decompress(entry.data, -15), content)
                else:
                    self.assertEqual((entry.method, entry.data), (0, content))
        methods = {e.name.decode(): e.method for e in walked}
        self.assertEqual((methods["book.xhtml"], methods["images/cover.jpg"]), (8, 0))

    def test_same_tree_gives_the_same_setup(self):
        files = sample_book()
        first = self.built(self.tree(files, "one"), name="One.exe")
        # The same tree made in the opposite order lists differently on disk.
        second = self.built(write_tree(self.scratch / "two", dict(reversed(files.items()))),
                            name="Two.exe")
        self.assertEqual(first.read_bytes(), second.read_bytes())

    def test_the_setup_depends_on_the_inputs_only(self):
        # Modes the host gives (an executable bit, a private file, a
        # read-only one) are not written, and SOURCE_DATE_EPOCH is taken in
        # UTC: the same setup in any time zone, from a folder or a ZIP with
        # extra time fields of its own.
        tree = self.tree({"run.sh": b"#!/bin/sh\n", "private.txt": b"p", "plain.txt": b"t",
                          "sub/": None})
        os.chmod(tree / "run.sh", 0o755)
        os.chmod(tree / "private.txt", 0o600)
        zipped = info_zip(tree, self.scratch / "src.zip")
        epoch = 1_700_000_000  # 2023-11-14 22:13:20 UTC, 07:13:20 the next day in Tokyo
        for label, source in (("folder", tree), ("zip", zipped)):
            with self.subTest(label):
                made = []
                for zone in ("UTC", "Asia/Tokyo"):
                    out = self.scratch / f"{label}-{zone.replace('/', '-')}.exe"
                    result = run(bookpack_command("build", "--stub", STUB, "-o", out, source),
                                 env=dict(os.environ, TZ=zone, SOURCE_DATE_EPOCH=str(epoch)))
                    self.assertEqual(result.returncode, 0, result.stderr)
                    made.append(out.read_bytes())
                self.assertTrue(made[0] == made[1], "the same bytes in both zones")
                with zipfile.ZipFile(out) as z:
                    for info in z.infolist():
                        self.assertEqual(info.date_time, (2023, 11, 14, 22, 13, 20))
                        if label == "folder":
                            self.assertEqual(info.external_attr >> 16,
                                             0o40755 if info.is_dir() else 0o100644)
                        self.assertFalse(b"UT" in info.extra, "no time of its own")
        bad = run(bookpack_command("build", "--stub", STUB, "-o", self.scratch / "x.exe", tree),
                  env=dict(os.environ, SOURCE_DATE_EPOCH="yesterday"))
        self.assertEqual(bad.returncode, 2)
        self.assertIn(b"SOURCE_DATE_EPOCH", bad.stderr)

    def test_levels(self):
        files = sample_book()
        source = self.tree(files)
        sizes = {}
        for level in ("0", "1", "12"):
            with self.subTest(level=level):
                setup = self.built(source, "--level", level, name=f"Level{level}.exe")
                self.assert_tools_accept(setup)
                self.assertEqual(self.unzipped(setup), files)
                sizes[level] = setup.stat().st_size
                if level == "0":
                    self.assertEqual({e.method for e in walk_setup(setup.read_bytes())}, {0})
        self.assertLess(sizes["12"], sizes["1"])
        self.assertLess(sizes["1"], sizes["0"])


class PasswordTest(BuildTestCase):
    def test_every_entry_but_the_licence_is_encrypted_against_its_crc(self):
        files = sample_book()
        licence = self.scratch / "licence.txt"
        licence.write_bytes(b"Read me first.\r\n")
        setup = self.built(self.tree(files), "--password", "s3cret pass", "--licence", licence)
        walked = walk_setup(setup.read_bytes())
        self.assertEqual((walked[0].name, walked[0].flags & 1, walked[0].data),
                         (b"!!licence.txt", 0, licence.read_bytes()))
        for entry in walked[1:]:
            if entry.name.endswith(b"/"):
                continue
            with self.subTest(name=entry.name):
                self.assertEqual(entry.flags & 9, 1, "encrypted, no bit 3")
                header = zip_keys_decrypt(b"s3cret pass", entry.data[:12])
                self.assertEqual(header[11], entry.crc >> 24)
        self.assert_tools_accept(setup, "s3cret pass")
        self.assertEqual(self.unzipped(setup, "s3cret pass"),
                         {"!!licence.txt": licence.read_bytes(), **files})
        wrong = bookpack("check", setup, "--password", "s3cret pasS")
        self.assertEqual(wrong.returncode, 1, wrong.stdout)

    def test_encryption_headers_are_random(self):
        source = self.tree({"a.txt": b"same bytes " * 100})
        headers = set()
        for name in ("A.exe", "B.exe"):
            entry = walk_setup(self.built(source, "--password", "pw", name=name).read_bytes())[0]
            headers.add(zip_keys_decrypt(b"pw", entry.data[:12])[:11])
        self.assertEqual(len(headers), 2)

    def test_passwords_the_reader_cannot_type_are_usage_errors(self):
        source = self.tree({"a.txt": b"x"})
        for password in ("pässword", "x" * 80, "tab\there"):
            with self.subTest(password=password):
                result = bookpack("build", "--stub", STUB, "-o", self.scratch / "P.exe",
                                  "--password", password, source)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("--password", result.stderr)


class WhatTheReaderSeesTest(BuildTestCase):
    LICENCES = [
        # first bytes of the licence, what the build reports
        (b"This licence is shown whole.\r\n", "no directive: the whole text is shown"),
        (b"Every capital is text.\r\n", "no directive"),
        (b"d \r\nHidden first line.\r\n", "directive d: the first line is hidden"),
        (b"e notepad.exe readme.txt\r\nText\r\n",
         'directive e: the setup runs "notepad.exe readme.txt" after installing'),
        (b"a viewer.exe\nbare line feed\n", 'directive a: the setup runs "viewer.ex" after'),
        (b"a\r\nno command\r\n", "directive a: no command given, so none is set"),
        (b"\xef\xbb\xbfe reader.exe\r\nUTF-8 text\r\n", 'directive e: the setup runs "reader.exe"'),
        (b"p Viewer.exe\r\n", 'directive p: updates the application that App Paths registers '
                              'as "Viewer.exe"'),
        (b"r Viewer.exe\r\n", 'directive r: updates the application that App Paths registers '
                              'as "Viewer.exe"'),
    ]

    def test_licence_directive_is_reported(self):
        source = self.tree({"book.html": b"<p/>"})
        licence = self.scratch / "licence.txt"
        for text, expected in self.LICENCES:
            with self.subTest(text=text):
                licence.write_bytes(text)
                meant = ["--directive"] if text.lstrip(b"\xef\xbb\xbf")[:1] in b"adepr" else []
                result = bookpack("build", "--stub", STUB, "-o", self.scratch / "L.exe",
                                  "--licence", licence, *meant, source)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("licence: !!licence.txt, " + expected, result.stdout)

    RUN_COMMANDS = [
        # entries, licence text or None, what runs after installing
        (["quonview.exe", "quonplay.exe"], None, '"<install folder>\\quonplay.exe" /INIT'),
        (["bin/QUONVIEW.EXE", "quonxr.exe"], None, '"<install folder>\\bin\\QUONVIEW.EXE" /INIT'),
        (["quonxr.exe", "quonview.exe.txt", "aquon.exe"], None, "nothing"),
        # A bare program name starts from the install folder, or from where the
        # reader's PC has it, never from a path the build machine supposes.
        (["quonview.exe", "reader.exe"], b"e reader.exe /book\r\n",
         '"<install folder>\\reader.exe" /book'),
        (["quonview.exe"], b"e planted.exe /book\r\n",
         "nothing starts unless the reader's PC has it: planted.exe is not in the book, and is "
         "looked up on the reader's PC in System32, then in the Windows folder"),
        (["quonview.exe"], b"e notepad readme.txt\r\n",
         "looked up on the reader's PC in System32, then in the Windows folder: "
         "notepad.exe readme.txt"),
        (["quonview.exe"], b"e\r\n", '"<install folder>\\quonview.exe" /INIT'),
        (["bin/quonview.exe"], b"p Viewer.exe\r\n", '"<install folder>\\quonview.exe" /INIT'),
    ]

    def test_run_command_is_reported_as_the_engine_picks_it(self):
        for number, (names, licence, expected) in enumerate(self.RUN_COMMANDS):
            with self.subTest(names=names, licence=licence):
                source = self.tree({n: b"MZ" for n in names}, f"src{number}")
                options = []
                if licence is not None:
                    (self.scratch / "licence.txt").write_bytes(licence)
                    options = ["--licence", self.scratch / "licence.txt", "--directive"]
                setup = self.scratch / f"Run{number}.exe"
                result = bookpack("build", "--stub", STUB, "-o", setup, *options, source)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("\nruns after installing: " + expected, result.stdout)
                if licence is None or licence.startswith(b"e"):
                    # The engine, installing for real, starts the same program.
                    extract = bookpack("extract", setup, self.scratch / f"out{number}")
                    started = re.findall(r"would start: (.*)", extract.stdout)
                    if expected == "nothing" or "planted" in expected:
                        self.assertEqual(started, [])
                    else:
                        self.assertEqual(len(started), 1, extract.stdout)
                        program = expected.split("<install folder>\\")[-1]
                        program = program.split("the Windows folder: ")[-1]
                        self.assertTrue(started[0].replace('"', "").endswith(
                            program.replace('"', "")), started[0])


class ProgressTest(BuildTestCase):
    def large_source(self):
        return self.tree({"big.bin": os.urandom(17 << 20), "text.txt": b"words " * 1000})

    def test_quiet_when_stderr_is_not_a_terminal(self):
        result = bookpack("build", "--stub", STUB, "-o", self.scratch / "Q.exe", "--level", "1",
                          self.large_source())
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    @linux_only("the terminal is a pty; Wine's console is not driven through one")
    def test_progress_when_stderr_is_a_terminal(self):
        status, shown = with_stderr_on_a_terminal(
            ["build", "--stub", STUB, "-o", self.scratch / "T.exe", "--level", "1",
             self.large_source()])
        self.assertEqual(status, 0)
        self.assertIn(b"100% (2 of 2 entries)", shown)


class SignedSetupTest(BuildTestCase):
    def test_certificate_table_starts_where_the_size_field_says(self):
        for tool in ("openssl", "osslsigncode"):
            if shutil.which(tool) is None:
                self.fail(f"{tool} is needed (scripts/install-deps.sh installs it)")
        key, cert = self.scratch / "key.pem", self.scratch / "cert.pem"
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
             "-out", cert, "-subj", "/CN=bookpack test", "-days", "2"], check=True)
        # Odd sizes everywhere, so that only the padding can align the file.
        source = self.tree({"a.txt": b"odd" * 333, "b.bin": os.urandom(1001)})
        # The i686 stub we ship (PE32) and its x86-64 variant (PE32+, whose
        # security entry lies 16 bytes further into the header).
        for stub, directories in ((STUB, 96), (STUB_X86_64, 112)):
            with self.subTest(stub.parent.name):
                self.assertTrue(stub.exists(), f"{stub} is not built: run make win32 win64")
                setup = self.scratch / f"Setup-{stub.parent.name}.exe"
                # With the publisher's settings, which lie in the end record
                # that the certificate table then follows.
                result = build(source, setup, "--title", "Signed Book", "--done-message",
                               stub=stub)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(setup.read_bytes()[:stub.stat().st_size], stub.read_bytes())
                signed = self.scratch / f"Signed-{stub.parent.name}.exe"
                run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", setup,
                     "-out", signed], check=True)
                data = signed.read_bytes()
                pe = struct.unpack_from("<I", data, 0x3C)[0]
                table_offset, table_size = struct.unpack_from("<II", data,
                                                              pe + 24 + directories + 4 * 8)
                self.assertEqual((table_offset, table_offset + table_size),
                                 (setup.stat().st_size, len(data)))
                for command in ("check", "list"):
                    result = bookpack(command, signed)
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    self.assertIn("title: Signed Book", result.stdout)
                    self.assertIn("done message:", result.stdout)
                extracted = self.scratch / f"out-{stub.parent.name}"
                result = bookpack("extract", signed, extracted)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(read_tree(extracted)["a.txt"], b"odd" * 333)
                # One byte more after the signature is a damaged download.
                tampered = self.scratch / f"Tampered-{stub.parent.name}.exe"
                tampered.write_bytes(data + b"\0")
                self.assertNotEqual(bookpack("check", tampered).returncode, 0)


if __name__ == "__main__":
    unittest.main()
