"""Installing: the tree as archived, the folder field, Exit, damaged setups."""
import shutil
import zipfile

import archives
import harness
from harness import (ENTRY_LIST, ERROR, FOLDER_FIELD, MAIN, PASSWORD, SetupCase, message,
                     overwrite, win_path, write_tree)

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
                # The hidden list holds the entries in archive order: an
                # entry's index is its pending mark.
                stored = [entry[0] for entry in archives.local_entries(archive)]
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

    def test_damaged_entry_is_named_once_after_all_files_and_never_installed(self):
        files = {"a.txt": b"first file\r\n" * 50, "b.dat": bytes(range(256)) * 40,
                 "c/z.txt": b"last file\r\n" * 30}
        archive = archives.info_zip(files, self.case_work / "book.zip", store=True,
                                    order=["a.txt", "b.dat", "c"])
        archives.damage_entry(archive, "b.dat")
        setup = self.package(archive)
        sound = {name: data for name, data in files.items() if name != "b.dat"}
        # Fresh, and over the good b.dat of an earlier install, which stays.
        for n, existing in enumerate([{}, {"b.dat": b"the good b.dat\r\n" * 20}]):
            with self.subTest(existing=sorted(existing)):
                folder = self.folder(f"book{n}")
                write_tree(folder, existing)
                dialogs = ([overwrite(True)] if existing else []) + [message()]
                outcome = self.install(setup, folder, *dialogs, tag=str(n))
                self.assertEqual(outcome.messages, [(ERROR, "CRC error\nb.dat")])
                # Nothing damaged or half-written is left, under any name.
                self.assertTree(folder, {**sound, **existing})

    def test_folder_that_cannot_be_made_is_named_once_with_its_reason(self):
        files = {"a.txt": b"a", "sub/deep/x.txt": b"x", "sub/deep/y.txt": b"y", "z.txt": b"z"}
        archive = archives.python_zip(list(files.items()), self.case_work / "book.zip")
        folder = self.folder("book", create=True)
        in_the_way = b"a file where a folder goes"
        (folder / "sub").write_bytes(in_the_way)
        outcome = self.install(self.package(archive), folder, message())
        # One message for both entries, and no "CRC error" for files never written.
        self.assertEqual([caption for caption, _ in outcome.messages], [ERROR])
        lines = outcome.messages[0][1].split("\n")
        self.assertEqual(lines[:2], ["The folder could not be made:",
                                     win_path(folder) + "\\sub\\deep"])
        self.assertEqual(len(lines), 3, "the system's reason on one line")
        self.assertNotEqual(lines[2].strip(), "")
        # The walk went on past the folder.
        self.assertTree(folder, {"a.txt": b"a", "z.txt": b"z", "sub": in_the_way})

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

