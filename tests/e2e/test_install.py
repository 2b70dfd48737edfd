"""Installing: the tree as archived, the folder field, Exit, damaged setups."""
import shutil
import zipfile

import archives
import harness
from harness import (ENTRY_LIST, ERROR, FOLDER_FIELD, MAIN, PASSWORD, SetupCase, message,
                     win_path)

SIZE_MESSAGE = "Error in the archive size. Please repeat the download."


class InstallTest(SetupCase):
    def test_installs_the_archived_tree_byte_for_byte(self):
        files = archives.book()
        makers = {
            "info-zip": lambda out: archives.info_zip(files, out),
            "7-zip": lambda out: archives.seven_zip(files, out),
            "python-stored": lambda out: archives.python_zip(
                [(n, d or b"") for n, d in files.items() if d is not None], out,
                zipfile.ZIP_STORED),
        }
        for tool, make in makers.items():
            with self.subTest(tool=tool):
                archive = make(self.case_work / f"{tool}.zip")
                setup = self.package(archive, name=f"{tool}.exe")
                folder = self.folder(f"{tool}/book")  # neither folder exists yet
                outcome = self.install(setup, folder, tag=tool)
                self.assertEqual(outcome.captions, [MAIN])
                with zipfile.ZipFile(archive) as z:
                    stored = sorted(z.namelist())
                main = outcome.first(MAIN)
                self.assertEqual(main.controls[ENTRY_LIST]["items"], stored)
                expected = files if tool != "python-stored" else {
                    n: d for n, d in files.items() if d is not None}
                self.assertTree(folder, expected)

    def test_exit_before_install_writes_nothing(self):
        setup = self.package(archives.info_zip(archives.book(), self.case_work / "book.zip"))
        folder = self.folder("book")
        outcome = self.run_setup(setup, [f"window {MAIN}", f"set {FOLDER_FIELD} {win_path(folder)}",
                                         "press 2"])
        self.assertEqual(outcome.captions, [MAIN])
        self.assertFalse(folder.exists())

    def test_damaged_entry_is_reported_once_after_all_files(self):
        files = {"a.txt": b"first file\r\n" * 50, "b.dat": bytes(range(256)) * 40,
                 "c/z.txt": b"last file\r\n" * 30}
        archive = archives.info_zip(files, self.case_work / "book.zip", store=True,
                                    order=["a.txt", "b.dat", "c"])
        at = archives.damage_entry(archive, "b.dat")
        folder = self.folder("book")
        outcome = self.install(self.package(archive), folder, message())
        self.assertEqual(outcome.messages, [(ERROR, "CRC error")])
        damaged = bytearray(files["b.dat"])
        damaged[at] ^= 0x5A
        self.assertTree(folder, {**files, "b.dat": bytes(damaged)})

    def test_size_field_that_does_not_match_lists_and_installs_nothing(self):
        archive = archives.info_zip(archives.book(), self.case_work / "book.zip")
        bare = self.case_work / "bare.exe"
        shutil.copyfile(harness.TOOLS.stub, bare)
        setups = {"one byte more": lambda: self.package(archive, 1, "more.exe"),
                  "one byte less": lambda: self.package(archive, -1, "less.exe"),
                  "no archive at all": lambda: bare}
        for n, (label, make) in enumerate(setups.items()):
            with self.subTest(label):
                folder = self.folder(f"book{n}")
                # Each pass checks the size: once as the dialog opens, once on Install.
                outcome = self.run_setup(
                    make(), message(), [f"window {MAIN}",
                                        f"set {FOLDER_FIELD} {win_path(folder)}", "press 1"],
                    message(), tag=str(n))
                self.assertEqual(outcome.captions, [ERROR, MAIN, ERROR])
                self.assertEqual([text for _, text in outcome.messages], [SIZE_MESSAGE] * 2)
                self.assertEqual(outcome.first(MAIN).controls[ENTRY_LIST]["items"], [])
                self.assertFalse(folder.exists())

    def test_empty_folder_field_installs_into_the_current_folder_and_shows_it(self):
        files = {"book.html": b"<p>Hello</p>\r\n" * 100, "images/a.png": bytes(range(256)) * 8}
        archive = archives.info_zip(files, self.case_work / "book.zip", password="s3cret")
        current = self.folder("current", create=True)
        # The password dialog holds the install pass, so the main dialog can
        # be read after Install was pressed and before it closes.
        outcome = self.run_setup(
            self.package(archive),
            [f"window {MAIN}", f"set {FOLDER_FIELD} ", "press 1", f"window {PASSWORD}",
             f"switch {MAIN}", "read", f"switch {PASSWORD}", "set 101 s3cret", "press 1"],
            cwd=current)
        self.assertEqual(outcome.reads[0].text(FOLDER_FIELD), win_path(current))
        self.assertTree(current, files)

    def test_target_paths_longer_than_260_characters(self):
        folder = self.folder("long-" + "f" * 100 + "/" + "g" * 80)
        names = ["chapter-" + "c" * 70 + "/section-" + "s" * 70 + "/page-" + "p" * 60 + ".html",
                 "short.txt"]
        files = {name: f"contents of {name[:20]}\r\n".encode() * 20 for name in names}
        archive = archives.python_zip(list(files.items()), self.case_work / "book.zip")
        target = win_path(folder) + "\\" + names[0].replace("/", "\\")
        self.assertGreater(len(target), 260)
        self.assertLess(len(win_path(folder)), 256)
        outcome = self.install(self.package(archive), folder)
        self.assertEqual(outcome.captions, [MAIN])
        self.assertTree(folder, files)

