"""`bookpack build` from ZIP files that real tools wrote: what the stub
cannot walk is normalised, what it can read is carried over byte for byte,
and every setup reads back as the tree the ZIP was made from."""
import unittest
import zipfile

from build_fixtures import (STUB, BuildTestCase, bookpack, bsdtar_zip, info_zip, libzip_encrypted,
                            python_zip, sample_book, seven_zip, stored_entries, walk_setup,
                            write_tree, zip_keys_decrypt)

PASSWORD = "Open sesame"

# name, how the ZIP is made from a tree (tree, out, scratch), its password
PRODUCERS = [
    ("Info-ZIP", lambda t, o, s: info_zip(t, o), None),
    ("Info-ZIP, descriptors", lambda t, o, s: info_zip(t, o, "-fd"), None),
    ("Info-ZIP, Zip64 records", lambda t, o, s: info_zip(t, o, "-fz"), None),
    ("Info-ZIP, encrypted", lambda t, o, s: info_zip(t, o, "-P", PASSWORD), PASSWORD),
    ("7-Zip", lambda t, o, s: seven_zip(t, o), None),
    ("7-Zip, bzip2", lambda t, o, s: seven_zip(t, o, "-mm=BZip2"), None),
    ("7-Zip, LZMA", lambda t, o, s: seven_zip(t, o, "-mm=LZMA"), None),
    ("7-Zip, ZipCrypto", lambda t, o, s: seven_zip(t, o, "-mem=ZipCrypto", "-p" + PASSWORD),
     PASSWORD),
    ("Python, stored", lambda t, o, s: python_zip(t, o, zipfile.ZIP_STORED), None),
    ("Python, deflated, Zip64",
     lambda t, o, s: python_zip(t, o, zipfile.ZIP_DEFLATED, force_zip64=True), None),
    ("Python, bzip2", lambda t, o, s: python_zip(t, o, zipfile.ZIP_BZIP2), None),
    ("Python, LZMA", lambda t, o, s: python_zip(t, o, zipfile.ZIP_LZMA), None),
    ("libzip, encrypted", lambda t, o, s: libzip_encrypted(t, o, PASSWORD, s), PASSWORD),
    ("bsdtar", lambda t, o, s: bsdtar_zip(t, o), None),
]


class ZipSourceTest(BuildTestCase):
    def test_archives_of_every_tool_become_setups_the_stub_walks(self):
        files = sample_book()
        tree = self.tree(files)
        for number, (producer, make, password) in enumerate(PRODUCERS):
            with self.subTest(producer=producer):
                source = make(tree, self.scratch / f"source{number}.zip", self.scratch)
                setup = self.built(source, name=f"Setup{number}.exe")
                self.assert_layout(setup)
                self.assert_tools_accept(setup, password)
                self.assertEqual(self.unzipped(setup, password), files)
                self.assert_normalised(source, setup)

    def assert_normalised(self, source, setup):
        original = stored_entries(source)
        output = stored_entries(setup)
        walked = walk_setup(setup.read_bytes())
        # The stub's walk meets every entry, in the order of the directory.
        self.assertEqual([e.name for e in walked],
                         [info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
                          for info, _ in output.values()])
        for entry, (name, (info, data)) in zip(walked, output.items()):
            source_info, source_data = original[name]
            self.assertIn(entry.method, (0, 8), name)
            self.assertEqual((entry.crc, entry.compressed, entry.uncompressed),
                             (info.CRC, info.compress_size, info.file_size), name)
            self.assertNotIn(b"\x01\x00", entry.extra[0:2], name)
            encrypted = bool(source_info.flag_bits & 1)
            # Bit 3 stays only where the password check depends on it.
            self.assertEqual(bool(entry.flags & 8), encrypted and bool(source_info.flag_bits & 8),
                             name)
            if encrypted or source_info.compress_type in (0, 8):
                self.assertEqual(entry.data, source_data, f"{name} is copied as it is")
            elif name == "book.xhtml":
                self.assertEqual(entry.method, 8, "recompressed with deflate")

    def test_encrypted_entries_keep_the_check_byte_their_writer_made(self):
        tree = self.tree(sample_book())
        source = info_zip(tree, self.scratch / "e.zip", "-P", PASSWORD)
        setup = self.built(source)
        walked = [e for e in walk_setup(setup.read_bytes()) if e.flags & 1]
        self.assertTrue(walked)
        for entry in walked:
            check = zip_keys_decrypt(PASSWORD.encode(), entry.data[:12])[11]
            # Info-ZIP streams encrypted entries: its check byte is the time's.
            self.assertEqual((entry.flags & 8, check), (8, entry.mod_time >> 8), entry.name)
        wrong = bookpack("check", setup, "--password", PASSWORD.upper())
        self.assertEqual(wrong.returncode, 1, wrong.stdout)

    def test_password_encrypts_what_the_zip_left_plain(self):
        files = sample_book()
        source = seven_zip(self.tree(files), self.scratch / "plain.zip")
        setup = self.built(source, "--password", PASSWORD)
        original = stored_entries(source)
        for name, (info, data) in stored_entries(setup).items():
            if name.endswith("/"):
                continue
            with self.subTest(name=name):
                self.assertEqual(info.flag_bits & 9, 1)
                plain = zip_keys_decrypt(PASSWORD.encode(), data)
                self.assertEqual((plain[11], plain[12:]), (info.CRC >> 24, original[name][1]))
        self.assert_tools_accept(setup, PASSWORD)
        self.assertEqual(self.unzipped(setup, PASSWORD), files)

    def test_entries_under_another_password_are_noted(self):
        source = seven_zip(self.tree({"a.txt": b"text " * 50}), self.scratch / "e.zip",
                           "-mem=ZipCrypto", "-pfirst")
        for password, noted in (("first", False), ("second", True)):
            with self.subTest(password=password):
                out = self.scratch / f"{password}.exe"
                result = bookpack("build", "--stub", STUB, "-o", out,
                                  "--password", password, source)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual("a.txt: encrypted with another password" in result.stderr, noted)


class UnreadableZipTest(BuildTestCase):
    CASES = [
        # how the ZIP is made, the entry named, words of the message
        (("-mm=PPMd",), "book.xhtml", "PPMd"),
        (("-mm=Deflate64",), "book.xhtml", "deflate64"),
        (("-mm=BZip2", "-mem=ZipCrypto", "-p" + PASSWORD), "book.xhtml",
         "encrypted and compressed with bzip2"),
        (("-mem=AES256", "-p" + PASSWORD), "book.xhtml", "AES"),
    ]

    def test_methods_the_stub_cannot_read_are_refused_by_entry(self):
        tree = self.tree({"book.xhtml": b"<p>words</p>" * 500})
        for number, (options, name, words) in enumerate(self.CASES):
            with self.subTest(options=options):
                source = seven_zip(tree, self.scratch / f"m{number}.zip", *options)
                message = self.refused(source)
                self.assertIn(name + ": ", message)
                self.assertIn(words, message)

    def test_damaged_data_is_refused_by_entry(self):
        tree = self.tree({"a.txt": b"fine " * 100, "b.txt": b"harmed " * 400})
        for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            with self.subTest(method=method):
                source = python_zip(tree, self.scratch / f"d{method}.zip", method)
                data = bytearray(source.read_bytes())
                info, stored = stored_entries(source)["b.txt"]
                at = bytes(data).index(stored) + len(stored) // 2
                data[at] ^= 0x40
                source.write_bytes(bytes(data))
                message = self.refused(source)
                self.assertRegex(message, r"b\.txt: (CRC error|damaged deflate data)")

    def test_files_that_are_not_zip_archives_are_refused(self):
        for number, content in enumerate((b"", b"just some text", b"PK\x05\x06" + bytes(10))):
            with self.subTest(content=content):
                source = self.scratch / f"not{number}.zip"
                source.write_bytes(content)
                self.assertIn(str(source), self.refused(source))


if __name__ == "__main__":
    unittest.main()
