"""Unattended installs (/S and the other arguments) and the message that says
where the book went. /S runs go through the driver too: it starts the setup
on the tests' desktop and fails the run if any window appears."""
import os
import subprocess

import harness
import archives
from harness import (ERROR, MAIN, PASSWORD, SetupCase, message, reg_add, wait_for_file,
                     win_path, write_tree)

APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
USAGE_START = "Usage: setup [/S]"

# Exit codes under /S, as docs/stub.md documents them.
INSTALLED, USAGE, DAMAGED, PASSWORD_CODE, UNSUPPORTED, CANNOT_WRITE = 0, 1, 2, 3, 4, 5
NO_APPLICATION, NO_WINDOW = 7, 8

BOOK = {"book.html": b"<p>page</p>\r\n" * 30, "pics/cover.txt": b"cover\r\n",
        "!!licence.txt": b"Licence text.\r\n"}
BOOK_FILES = {"book.html": BOOK["book.html"], "pics/cover.txt": BOOK["pics/cover.txt"]}


class DoneMessageTest(SetupCase):
    def test_the_reader_is_told_where_the_book_went(self):
        folder = self.folder("told")
        outcome = self.install(self.package(archives.info_zip(BOOK, self.case_work / "b.zip")),
                               folder)
        self.assertIsNotNone(outcome.done)
        self.assertEqual(outcome.done.caption, MAIN)
        self.assertEqual(outcome.done.owner, MAIN)
        self.assertEqual(outcome.done.message.replace("\r\n", "\n"),
                         "The book was installed in:\n" + win_path(folder))
        self.assertTree(folder, BOOK)

    def test_no_done_message_after_a_problem_or_a_started_program(self):
        damaged = archives.info_zip(BOOK_FILES, self.case_work / "d.zip", store=True)
        archives.damage_entry(damaged, "book.html")
        outcome = self.install(self.package(damaged, name="d.exe"), self.folder("d"), message(),
                               tag="d")
        self.assertIsNone(outcome.done)
        self.assertEqual(outcome.messages[0][1].splitlines()[0], "CRC error")
        reader = harness.TOOLS.reader.read_bytes()
        folder = self.folder("r")
        program = archives.python_zip([("quonview.exe", reader), ("a.txt", b"a")],
                                      self.case_work / "r.zip")
        outcome = self.install(self.package(program, name="r.exe"), folder, tag="r")
        self.assertTrue(wait_for_file(folder / "quonview.exe.started"))
        self.assertIsNone(outcome.done)


class UnattendedTest(SetupCase):
    def silent(self, setup, arguments: str, code: int, tag: str = ""):
        """Runs the setup with `arguments`; no window may appear."""
        outcome = self.run_setup(setup, args=arguments, code=code, tag=tag)
        self.assertEqual(outcome.windows, [])
        self.assertIsNone(outcome.done)
        return outcome

    def test_silent_installs_into_the_given_folder(self):
        setup = self.package(archives.info_zip(BOOK, self.case_work / "b.zip"))
        # The folder has spaces; it comes bare, quoted whole as Windows
        # quotes an argument, and quoted after /D=.
        for n, form in enumerate(['/D={}', '"/D={}"', '/D="{}"', '/d={}\\']):
            with self.subTest(form=form):
                folder = self.folder(f"My Books {n}/The Book")
                self.silent(setup, "/S " + form.format(win_path(folder)), INSTALLED, tag=str(n))
                self.assertTree(folder, BOOK)

    def test_outcomes_have_their_exit_codes(self):
        secret = archives.info_zip(BOOK_FILES, self.case_work / "s.zip", password="open sesame")
        damaged = archives.info_zip(BOOK_FILES, self.case_work / "d.zip", store=True)
        archives.damage_entry(damaged, "book.html")
        unsupported = archives.python_zip([("a.txt", b"a" * 100)], self.case_work / "u.zip",
                                          method=12)  # bzip2
        blocker = self.folder("blocked", create=True) / "file"
        blocker.write_bytes(b"a file where the folder should be")
        password_file = self.case_work / "password.txt"
        password_file.write_bytes(b"open sesame\r\nsecond line\r\n")
        # (setup, arguments before /D=, expected code, installed files or None)
        cases = [
            (secret, '"/P=open sesame"', INSTALLED, BOOK_FILES),
            (secret, f"/PF={win_path(password_file)}", INSTALLED, BOOK_FILES),
            (secret, "/P=wrong", PASSWORD_CODE, None),
            (secret, "", PASSWORD_CODE, None),
            (damaged, "", DAMAGED, None),
            (unsupported, "", UNSUPPORTED, None),
        ]
        for n, (archive, arguments, code, files) in enumerate(cases):
            with self.subTest(archive=archive.name, arguments=arguments):
                folder = self.folder(f"out{n}")
                setup = self.package(archive, name=f"setup{n}.exe")
                self.silent(setup, f"/S {arguments} /D={win_path(folder)}".replace("  ", " "),
                            code, tag=str(n))
                if files is not None:
                    self.assertTree(folder, files)
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "w.zip"), name="w.exe")
        self.silent(setup, f"/S /D={win_path(blocker)}", CANNOT_WRITE, tag="w")

    def test_overwrite_answers_and_log(self):
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        for n, (answer, kept) in enumerate([("/O=none", True), ("/O=all", False), ("", False)]):
            with self.subTest(answer=answer):
                folder = self.folder(f"o{n}", create=True)
                (folder / "book.html").write_bytes(b"the reader's own page\r\n")
                log = self.case_work / f"log{n}.txt"
                self.silent(setup, f"/S {answer} /LOG={win_path(log)} /D={win_path(folder)}",
                            INSTALLED, tag=str(n))
                page = (folder / "book.html").read_bytes()
                self.assertEqual(page == b"the reader's own page\r\n", kept)
                target = win_path(folder)
                self.assertEqual(log.read_text(encoding="utf-8").splitlines(), [
                    ("kept " if kept else "installed ") + target + "\\book.html",
                    "installed " + target + "\\pics\\cover.txt",
                    "result 0"])

    def test_directives_under_silent(self):
        reader = harness.TOOLS.reader.read_bytes()
        # An update directive finds its folder.
        app = "e2e-silent-viewer.exe"
        installed = self.folder("apps/viewer")
        write_tree(installed, {"viewer.exe": b"MZ", "manual.txt": b"old\r\n"})
        reg_add(f"HKCU\\{APP_PATHS}\\{app}", "Path", win_path(installed) + "\\")
        update = archives.info_zip({"!!licence.txt": f"p {app}\r\nUpdate.\r\n".encode(),
                                    "doc/manual.txt": b"new\r\n"}, self.case_work / "u.zip")
        self.silent(self.package(update, name="u.exe"), "/S", INSTALLED, tag="u")
        self.assertEqual((installed / "manual.txt").read_bytes(), b"new\r\n")
        # The program starts unless /NORUN.
        for n, norun in enumerate(["", "/NORUN"]):
            with self.subTest(norun=norun):
                folder = self.folder(f"run{n}")
                archive = archives.python_zip([("quonview.exe", reader), ("a.txt", b"a")],
                                              self.case_work / f"r{n}.zip")
                self.silent(self.package(archive, name=f"r{n}.exe"),
                            f"/S {norun} /D={win_path(folder)}".replace("  ", " "), INSTALLED,
                            tag=f"r{n}")
                record = folder / "quonview.exe.started"
                if norun:
                    self.assertTrue((folder / "a.txt").exists())
                    self.assertFalse(wait_for_file(record, limit_s=3))
                else:
                    self.assertTrue(wait_for_file(record))

    def test_usage_and_refused_arguments(self):
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        # The usage box, and nothing else happens.
        for n, arguments in enumerate(["/?", "/X", "/O=some", "/D="]):
            with self.subTest(arguments=arguments):
                outcome = self.run_setup(setup, message(MAIN), args=arguments,
                                         code=0 if arguments == "/?" else USAGE, tag=str(n))
                self.assertEqual(len(outcome.messages), 1)
                self.assertTrue(outcome.messages[0][1].startswith(USAGE_START), outcome.messages)
                # Laid out in lines the box never breaks: no option is split
                # ("[/" at one line's end, "P=password" on the next).
                text = outcome.windows[0].controls[harness.MESSAGE_TEXT]
                self.assertEqual(text["lines"], len(text["text"].splitlines()), text)
        # Under /S a refused argument shows nothing and installs nothing.
        folder = self.folder("refused")
        self.silent(setup, f"/S /BOGUS /D={win_path(folder)}", USAGE, tag="s")
        self.assertFalse(folder.exists())
        # /S /? shows nothing and installs nothing, with exit code 0, as
        # docs/stub.md says.
        self.silent(setup, f"/S /? /D={win_path(folder)}", INSTALLED, tag="q")
        self.assertFalse(folder.exists())

    def test_arguments_with_the_dialog(self):
        """Without /S the dialog shows the folder given, and the password
        given is not asked for."""
        secret = archives.info_zip(BOOK_FILES, self.case_work / "s.zip", password="pw")
        folder = self.folder("given")
        outcome = self.run_setup(self.package(secret), [f"window {MAIN}", "press 1"],
                                 args=f"/P=pw /D={win_path(folder)}")
        self.assertEqual(outcome.first(MAIN).text(harness.FOLDER_FIELD), win_path(folder))
        self.assertNotIn(PASSWORD, outcome.captions)
        self.assertIsNotNone(outcome.done)
        self.assertTree(folder, BOOK_FILES)


class ElevationTest(SetupCase):
    QUESTION = ("This folder can only be written with administrator rights. "
                "Continue as administrator?")

    def test_the_elevated_copy_installs_without_asking_again(self):
        """The second process's command line, as the first one builds it (the
        unit tests check that it does): the dialog shows and installs at
        once, with the password and the overwrite answer given."""
        secret = archives.info_zip(BOOK_FILES, self.case_work / "s.zip", password="pass word")
        folder = self.folder("My Books/Elevated", create=True)
        (folder / "book.html").write_bytes(b"the reader's own page\r\n")
        outcome = self.run_setup(
            self.package(secret), f"window {MAIN}",
            args=f'/ELEVATED /O=none "/P=pass word" /D={win_path(folder)}')
        self.assertEqual(outcome.captions, [MAIN])
        self.assertEqual(outcome.first(MAIN).text(harness.FOLDER_FIELD), win_path(folder))
        self.assertIsNotNone(outcome.done)
        self.assertEqual((folder / "book.html").read_bytes(), b"the reader's own page\r\n")
        self.assertEqual((folder / "pics/cover.txt").read_bytes(), BOOK_FILES["pics/cover.txt"])

    def test_yes_hands_the_install_to_an_elevated_copy(self):
        """The whole way through the system: access denied, the question, Yes;
        the first setup ends without a word and its copy, started through
        ShellExecuteExW's runas verb (Wine starts it without a prompt),
        installs with the answers given. The obstacle goes before Yes, as
        administrator rights would remove it."""
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        folder = self.folder("protected", create=True)
        (folder / "book.html").write_bytes(b"an older page\r\n")
        (folder / "~ebook-setup.part").mkdir()
        outcome = self.install(
            setup, folder, [f"window {MAIN}", f"rmdir {win_path(folder / '~ebook-setup.part')}",
                            "press 6", f"follow {MAIN}"], args="/O=all /NORUN")
        question = outcome.windows[1]
        self.assertEqual(question.message, self.QUESTION)
        self.assertEqual(outcome.captions, [MAIN, MAIN, MAIN])
        # The copy's dialog shows the folder it was given.
        self.assertEqual(outcome.windows[2].text(harness.FOLDER_FIELD), win_path(folder))
        self.assertIsNotNone(outcome.done)
        self.assertTree(folder, BOOK_FILES)

    def test_access_denied_asks_once_and_no_tells_the_plain_message(self):
        """A folder where the setup's temporary file should be is refused
        with access denied, as a protected folder would be: the question
        comes, owned, and No gives the message of old."""
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        folder = self.folder("protected", create=True)
        (folder / "book.html").write_bytes(b"an older page\r\n")
        (folder / "~ebook-setup.part").mkdir()
        outcome = self.install(setup, folder, [f"window {MAIN}", "press 7"],
                               message("Couldn't open..."), args="/O=all")
        question = outcome.windows[1]
        self.assertEqual(question.message, self.QUESTION)
        self.assertEqual(question.owner, MAIN)
        self.assertIsNone(outcome.done)
        self.assertEqual((folder / "book.html").read_bytes(), b"an older page\r\n")
        self.assertEqual((folder / "pics/cover.txt").read_bytes(), BOOK_FILES["pics/cover.txt"])


class MendsUnderWindowsTest(SetupCase):
    def test_non_ascii_passwords_on_the_command_line_give_the_bytes_of_typing(self):
        """zip -P with a Latin-1 password: /P= and a UTF-8 /PF= file install,
        as typing the password into the dialog does."""
        secret = archives.info_zip(BOOK_FILES, self.case_work / "s.zip",
                                   password=b"p\xe4sswort")
        setup = self.package(secret)
        utf8_file = self.case_work / "pw-utf8.txt"
        utf8_file.write_bytes("pässwort\r\n".encode())
        probe = self.run_setup(setup, [f"window {MAIN}", "press 2"], tag="probe")
        if probe.acp != 1252:
            self.skipTest(f"the prefix's ANSI code page is {probe.acp}, not 1252")
        for n, argument in enumerate(["/P=pässwort", f"/PF={win_path(utf8_file)}"]):
            with self.subTest(argument=argument):
                folder = self.folder(f"p{n}")
                outcome = self.run_setup(setup, args=f"/S {argument} /D={win_path(folder)}",
                                         code=INSTALLED, tag=str(n))
                self.assertEqual(outcome.windows, [])
                self.assertTree(folder, BOOK_FILES)
        # Typed in the dialog, the same password installs too.
        folder = self.folder("typed")
        self.install(setup, folder, harness.password("pässwort"))
        self.assertTree(folder, BOOK_FILES)

    def test_an_update_without_its_application_fails_unattended_unless_a_folder_is_given(self):
        update = archives.info_zip({"!!licence.txt": b"p e2e-nosuchviewer.exe\r\nUpdate.\r\n",
                                    "a.txt": b"a\r\n"}, self.case_work / "u.zip")
        setup = self.package(update)
        log = self.case_work / "u.log"
        outcome = self.run_setup(setup, args=f"/S /LOG={win_path(log)}", code=NO_APPLICATION)
        self.assertEqual(outcome.windows, [])
        self.assertEqual(log.read_text(encoding="utf-8").splitlines(),
                         ["failed c:\\zq: File to replace not found!", "result 7"])
        folder = self.folder("given")
        self.run_setup(setup, args=f"/S /D={win_path(folder)}", code=INSTALLED, tag="d")
        self.assertTree(folder, {"!!licence.txt": b"p e2e-nosuchviewer.exe\r\nUpdate.\r\n",
                                 "a.txt": b"a\r\n"})

    def test_a_bare_program_name_is_found_in_the_windows_folder(self):
        """hh.exe lives in the Windows folder: a licence line 'a hh.exe
        book.chm' must start it. The stand-in program is placed there under a
        name of its own."""
        program = harness.TOOLS.drive_c / "windows" / "e2e-winview.exe"
        record = program.with_name(program.name + ".started")
        record.unlink(missing_ok=True)
        program.write_bytes(harness.TOOLS.reader.read_bytes())
        self.addCleanup(program.unlink, missing_ok=True)
        self.addCleanup(record.unlink, missing_ok=True)
        book = archives.info_zip({"!!licence.txt": b"a e2e-winview.exe book.chm\r\n",
                                  "book.chm": b"ITSF"}, self.case_work / "h.zip")
        folder = self.folder("chm")
        self.run_setup(self.package(book), args=f"/S /D={win_path(folder)}", code=INSTALLED)
        self.assertTrue(wait_for_file(record))
        self.assertIn("book.chm", record.read_text(encoding="utf-8", errors="replace"))

    def test_without_a_display_the_setup_says_it_installed_nothing(self):
        """Wine without a display driver cannot make the dialog: the setup
        must not exit 0 as if it had installed."""
        setup = self.package(archives.info_zip(BOOK, self.case_work / "b.zip"))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        for n, arguments in enumerate([["/S"], []]):
            with self.subTest(arguments=arguments):
                folder = self.folder(f"nd{n}")
                log = self.case_work / f"nd{n}.log"
                process = subprocess.run(
                    ["wine", str(setup), *arguments, f"/LOG={win_path(log)}",
                     f"/D={win_path(folder)}"], env=env, timeout=120,
                    # Not a pipe: Wine's helpers may keep it open (see harness.wine).
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertEqual(process.returncode, NO_WINDOW)
                self.assertFalse(folder.exists())
                self.assertEqual(log.read_text(encoding="utf-8").splitlines(), [
                    "failed: no window could be made, nothing was installed", "result 8"])

    def test_a_folder_that_cannot_be_made_is_told_once(self):
        """A drive that does not exist, and a book of several folders: one
        message, owned by the main dialog (any second box fails the run)."""
        files = {f"part{n}/page.html": b"<p/>\r\n" for n in range(5)}
        setup = self.package(archives.info_zip(files, self.case_work / "f.zip"))
        log = self.case_work / "f.log"
        outcome = self.run_setup(setup, [f"window {MAIN}", f"set {harness.FOLDER_FIELD} Q:\\book",
                                         "press 1"], message(), args=f"/LOG={win_path(log)}")
        box = outcome.windows[1]
        self.assertEqual(box.owner, MAIN)
        self.assertTrue(box.message.startswith("The folder could not be made:"), box.message)
        self.assertIsNone(outcome.done)
        lines = log.read_text(encoding="utf-8").splitlines()
        # Each folder entry and each file has its line (zip -r stores both).
        self.assertEqual(len(lines), 11, lines)
        for line in lines[:10]:
            self.assertTrue(line.startswith("failed Q:\\book\\part"), line)
            self.assertIn(": The folder could not be made: Q:\\book", line)
        self.assertEqual(lines[10], "result 5")

    def test_a_program_the_reader_kept_starts(self):
        reader = harness.TOOLS.reader.read_bytes()
        folder = self.folder("kept", create=True)
        (folder / "quonview.exe").write_bytes(reader)
        archive = archives.python_zip([("quonview.exe", reader + b"newer"), ("a.txt", b"a")],
                                      self.case_work / "k.zip")
        self.install(self.package(archive), folder, harness.overwrite(False))
        self.assertTrue(wait_for_file(folder / "quonview.exe.started"))
        self.assertEqual((folder / "quonview.exe").read_bytes(), reader)
