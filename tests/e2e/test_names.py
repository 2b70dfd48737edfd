"""Entry names and folders beyond ASCII, and names that try to leave the folder."""
import archives
from harness import (ERROR, LICENCE_BOX, MAIN, SetupCase, message, wait_for_file, win_path)
import harness

OUTSIDE = "This file was not installed, because its name points outside the installation folder:\n"


class NameTest(SetupCase):
    def test_entry_names_decoded_by_their_flag(self):
        utf8_names = ["Ünïcödé/Ελληνικά.txt", "日本語/本の名前.txt"]  # zipfile sets bit 11
        # Without bit 11 the bytes are read in the system's ANSI code page.
        ansi_names = {b"caf%-menu.txt": b"caf\xe9-menu.txt",
                      b"na%ve/r%sum%.txt": b"na\xefve/r\xe9sum\xe9.txt"}
        entries = [(name, f"contents of {name}\r\n".encode()) for name in utf8_names]
        entries += [(placeholder.decode(), b"ansi name\r\n" + raw)
                    for placeholder, raw in ansi_names.items()]
        archive = archives.python_zip(entries, self.case_work / "book.zip")
        for placeholder, raw in ansi_names.items():
            archives.replace_name_bytes(archive, placeholder, raw)
        folder = self.folder("book")
        outcome = self.install(self.package(archive), folder)
        expected = {name: data for name, data in entries[:len(utf8_names)]}
        for placeholder, raw in ansi_names.items():
            expected[raw.decode(f"cp{outcome.acp}")] = b"ansi name\r\n" + raw
        self.assertTree(folder, expected)

    def test_japanese_installation_and_temporary_folders(self):
        folder = self.folder("書籍/日本語の本")
        temp = self.folder("一時ファイル", create=True)
        licence = "Licence of the Japanese edition.\r\n".encode()
        entries = [("!!licence.txt", licence), ("本文/第一章.txt", "第一章\r\n".encode() * 40),
                   ("book.html", b"<p>1</p>\r\n"), ("bin/quonview.exe", harness.TOOLS.reader.read_bytes())]
        archive = archives.python_zip(entries, self.case_work / "book.zip")
        outcome = self.install(self.package(archive), folder,
                               env={"TEMP": win_path(temp), "TMP": win_path(temp)})
        self.assertEqual(outcome.first(MAIN).text(LICENCE_BOX), licence.decode())
        self.assertEqual(harness.licence_copy(temp, "!!licence.txt").read_bytes(), licence)
        record = folder / "bin/quonview.exe.started"
        self.assertTrue(wait_for_file(record), "quonview.exe was not started")
        self.assertEqual(record.read_text(encoding="utf-8").splitlines(),
                         [f'"{win_path(folder)}\\bin\\quonview.exe" /INIT', win_path(folder)])
        record.unlink()
        self.assertTree(folder, dict(entries))

    def test_names_leaving_the_folder_are_refused(self):
        refused = ["../up.txt", "docs/../../up2.txt", "/rooted.txt", "\\rooted2.txt",
                   "C:/drive.txt", "C:drive-relative.txt", "..\\back.txt"]
        entries = ([("ok-before.txt", b"before\r\n")] + [(name, b"escaped!\r\n") for name in refused]
                   + [("ok-after.txt", b"after\r\n")])
        archive = archives.python_zip(entries, self.case_work / "book.zip")
        folder = self.folder("in/deep/book")
        current = self.folder("cwd", create=True)
        outcome = self.install(self.package(archive), folder, *[message() for _ in refused],
                               cwd=current)
        self.assertEqual(outcome.messages, [(ERROR, OUTSIDE + name) for name in refused])
        # Only the two plain files were written anywhere near the case's folders.
        self.assertTree(self.case_c, {"in/deep/book/ok-before.txt": b"before\r\n",
                                      "in/deep/book/ok-after.txt": b"after\r\n", "cwd/": None})
        drive_c = harness.TOOLS.drive_c
        self.assertEqual([name for name in ("rooted.txt", "rooted2.txt", "drive.txt",
                                            "drive-relative.txt", "up.txt", "back.txt")
                          if (drive_c / name).exists()], [])
