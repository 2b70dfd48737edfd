"""The licence entry, its directives, and the program started after installing."""
import archives
import harness
from harness import (ENTRY_LIST, ERROR, FOLDER_FIELD, FOLDER_LABEL, LICENCE_BOX, MAIN, NOTICE,
                     SetupCase, message, reg_add, wait_for_file, win_path, write_tree)

NOTICE_TEXT = "(path correctly autodetected, press Install)"
APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
LONG_LICENCE = b"".join(b"Clause %04d: the reader may read this book.\r\n" % n for n in range(600))


class LicenceTest(SetupCase):
    def test_licence_is_shown_and_copied_to_the_temporary_folder(self):
        # (entries in archive order, the licence entry, what the box shows)
        cases = [
            ([("book.html", b"<p>1</p>"),
              ("!!licence.txt", b"Read this first.\r\nYou may read this book.\r\n"),
              ("z/!!licence-later.txt", b"Only the first licence is shown.\r\n")],
             "!!licence.txt", "Read this first.\r\nYou may read this book.\r\n"),
            ([("book.html", b"<p>1</p>"), ("docs/!!LICENSE.TXT", b"Dear reader,\r\nenjoy.\r\n")],
             "docs/!!LICENSE.TXT", "Dear reader,\r\nenjoy.\r\n"),
            ([("!!Licence.txt", b"d this line is for the setup\r\nShown from here.\r\nEnd.\r\n")],
             "!!Licence.txt", "Shown from here.\r\nEnd.\r\n"),
            # Only the first 20,000 bytes are read.
            ([("!!licence.txt", LONG_LICENCE)], "!!licence.txt", LONG_LICENCE[:20_000].decode()),
        ]
        for n, (entries, licence, shown) in enumerate(cases):
            with self.subTest(licence=licence):
                archive = archives.python_zip(entries, self.case_work / f"book{n}.zip")
                temp = self.folder(f"temp{n}", create=True)
                outcome = self.run_setup(
                    self.package(archive, name=f"setup{n}.exe"), [f"window {MAIN}", "press 2"],
                    env={"TEMP": win_path(temp), "TMP": win_path(temp)}, tag=str(n))
                main = outcome.first(MAIN)
                self.assertEqual(main.text(LICENCE_BOX), shown)
                self.assertEqual(main.controls[ENTRY_LIST]["items"],
                                 [name for name, _ in entries])
                # The copy is whole (it stops only at 1 MiB), though the
                # reader reads only its first 20,000 bytes.
                self.assertEqual(harness.licence_copy(temp, licence).read_bytes(),
                                 dict(entries)[licence])


class UpdateDirectiveTest(SetupCase):
    def test_update_directives(self):
        # (directive letter, where the application is registered or None)
        cases = [("p", "HKCU"), ("r", "HKLM"), ("p", None), ("r", None)]
        missing = {"p": "File to replace not found!",
                   "r": "You need to install the trial first! Please exit."}
        old_manual = b"manual of the installed version\r\n"
        for n, (letter, hive) in enumerate(cases):
            with self.subTest(directive=letter, registered=hive):
                app = f"e2e-viewer-{n}.exe"
                licence = f"{letter} {app}\r\nThis update replaces the manual.\r\n".encode()
                files = {"!!licence.txt": licence, "a/readme.txt": b"read me\r\n",
                         "b/notes.txt": b"notes\r\n", "manual.txt": b"new manual\r\n" * 5}
                archive = archives.info_zip(files, self.case_work / f"update{n}.zip")
                setup = self.package(archive, name=f"update{n}.exe")
                label = "" if letter == "p" else "&Install path:"
                if hive is None:
                    outcome = self.run_setup(setup, message(), [f"window {MAIN}", "press 2"],
                                             tag=str(n))
                    self.assertEqual(outcome.messages, [(ERROR, missing[letter])])
                    main = outcome.first(MAIN)
                    self.assertEqual([main.text(FOLDER_FIELD), main.text(NOTICE),
                                      main.text(FOLDER_LABEL)], ["c:\\zq", ".", label])
                    continue
                installed = self.folder(f"apps/viewer{n}")
                write_tree(installed, {"manual.txt": old_manual, "viewer.exe": b"MZ"})
                reg_add(f"{hive}\\{APP_PATHS}\\{app}", "Path", win_path(installed) + "\\")
                # No folder typed and no overwrite dialog: the update goes
                # where the application is and replaces its files.
                outcome = self.install(setup, None, tag=str(n))
                self.assertEqual(outcome.captions, [MAIN])
                main = outcome.first(MAIN)
                self.assertEqual([main.text(FOLDER_FIELD), main.text(NOTICE),
                                  main.text(FOLDER_LABEL), main.text(LICENCE_BOX)],
                                 [win_path(installed) + "\\", NOTICE_TEXT, label,
                                  "This update replaces the manual.\r\n"])
                self.assertTree(installed, {
                    "manual.txt": files["manual.txt"], "viewer.exe": b"MZ",
                    "!!licence.txt": licence, "readme.txt": files["a/readme.txt"],
                    "notes.txt": files["b/notes.txt"]})


class RunCommandTest(SetupCase):
    def test_program_started_after_install(self):
        reader = harness.TOOLS.reader.read_bytes()
        # (licence first line or None, the program that must start, its
        # command line; {folder} is the installation folder)
        by_e = '"{folder}\\tools\\quonplay.exe" /FROM-LICENCE'
        by_a = '"{folder}\\bin\\quonview.exe" /FROM-A'
        cases = [
            (None, "bin/quonview.exe", '"{folder}\\bin\\quonview.exe" /INIT'),
            ("e " + by_e, "tools/quonplay.exe", by_e),
            ("a " + by_a, "bin/quonview.exe", by_a),
        ]
        for n, (directive, started, command_line) in enumerate(cases):
            with self.subTest(directive=directive):
                folder = self.folder(f"book{n}")
                entries = [("quonxr.exe", reader),  # sixth letter r: never the one started
                           ("bin/quonview.exe", reader), ("tools/quonplay.exe", reader),
                           ("book.html", b"<p>1</p>")]
                if directive:
                    first_line = directive.format(folder=win_path(folder))
                    entries.insert(0, ("!!licence.txt", f"{first_line}\r\nLicence.\r\n".encode()))
                archive = archives.python_zip(entries, self.case_work / f"book{n}.zip")
                self.install(self.package(archive, name=f"setup{n}.exe"), folder, tag=str(n))
                record = folder / (started + ".started")
                self.assertTrue(wait_for_file(record), f"{started} was not started")
                self.assertEqual(record.read_text(encoding="utf-8").splitlines(),
                                 [command_line.format(folder=win_path(folder)), win_path(folder)])
                others = [name for name, _ in entries if name.endswith(".exe") and name != started]
                self.assertEqual([name for name in others
                                  if (folder / (name + ".started")).exists()], [])

    def test_bare_program_names_never_start_beside_the_setup(self):
        reader = harness.TOOLS.reader.read_bytes()
        # A program of the same name waits in the folder the setup runs
        # from, as in a Downloads folder.
        (self.case_work / "quonview.exe").write_bytes(reader)
        (self.case_work / "planted.exe").write_bytes(reader)
        cases = [("a quonview.exe /BARE", True), ("a planted.exe /X", False)]
        for n, (first_line, installed_starts) in enumerate(cases):
            with self.subTest(first_line):
                folder = self.folder(f"bare{n}")
                entries = [("!!licence.txt", f"{first_line}\r\nLicence.\r\n".encode()),
                           ("quonview.exe", reader), ("book.html", b"<p>1</p>")]
                archive = archives.python_zip(entries, self.case_work / f"bare{n}.zip")
                self.install(self.package(archive, name=f"bare{n}.exe"), folder, tag=str(n))
                record = folder / "quonview.exe.started"
                if installed_starts:
                    self.assertTrue(wait_for_file(record), "the installed program did not start")
                    self.assertEqual(record.read_text(encoding="utf-8").splitlines()[0],
                                     f'"{win_path(folder)}\\quonview.exe" /BARE')
                else:
                    self.assertFalse(wait_for_file(record, limit_s=3))
                for planted in ("quonview.exe", "planted.exe"):
                    self.assertFalse((self.case_work / (planted + ".started")).exists(),
                                     f"{planted} beside the setup was started")

    def test_command_starts_when_the_install_folder_cannot_be_made(self):
        reader = harness.TOOLS.reader.read_bytes()
        program = self.folder("tools", create=True) / "quonview.exe"
        program.write_bytes(reader)
        blocked = self.folder("blocked")
        blocked.write_bytes(b"a file where the installation folder goes")
        current = self.folder("current", create=True)
        entries = [("!!licence.txt", f'a "{win_path(program)}" /EARLY\r\nLicence.\r\n'.encode()),
                   ("book.html", b"<p>1</p>")]
        archive = archives.python_zip(entries, self.case_work / "early.zip")
        self.install(self.package(archive, name="early.exe"), blocked / "book", message(),
                     cwd=current)
        record = program.parent / "quonview.exe.started"
        self.assertTrue(wait_for_file(record), "the licence's command did not start")
        self.assertEqual(record.read_text(encoding="utf-8").splitlines(),
                         [f'"{win_path(program)}" /EARLY', win_path(current)])

