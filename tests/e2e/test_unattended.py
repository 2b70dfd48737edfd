"""Unattended installs (/S and the other arguments). /S runs go through the
driver too: it starts the setup on the tests' desktop and fails the run if
any window appears."""
import os
import subprocess

import harness
import archives
from pathlib import Path

from harness import (ERROR, MAIN, OVERWRITE, PASSWORD, SetupCase, allow_writes, deny_writes, message,
                     overwrite, password, reg_add, wait_for_file, win_path, write_tree)

APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
USAGE_START = "Usage: setup "

# Exit codes under /S, as docs/stub.md documents them.
INSTALLED, USAGE, DAMAGED, PASSWORD_CODE, UNSUPPORTED, CANNOT_WRITE = 0, 1, 2, 3, 4, 5
NO_APPLICATION, NO_WINDOW = 7, 8

BOOK = {"book.html": b"<p>page</p>\r\n" * 30, "pics/cover.txt": b"cover\r\n",
        "!!licence.txt": b"Licence text.\r\n"}
BOOK_FILES = {"book.html": BOOK["book.html"], "pics/cover.txt": BOOK["pics/cover.txt"]}


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
        # Unattended, the program starts only when /RUN asks for it, and
        # /NORUN still wins.
        for n, arguments in enumerate(["/S", "/S /RUN", "/S /RUN /NORUN"]):
            with self.subTest(arguments=arguments):
                folder = self.folder(f"run{n}")
                archive = archives.python_zip([("quonview.exe", reader), ("a.txt", b"a")],
                                              self.case_work / f"r{n}.zip")
                self.silent(self.package(archive, name=f"r{n}.exe"),
                            f"{arguments} /D={win_path(folder)}", INSTALLED, tag=f"r{n}")
                self.assertTrue((folder / "a.txt").exists())
                record = folder / "quonview.exe.started"
                if arguments == "/S /RUN":
                    self.assertTrue(wait_for_file(record))
                else:
                    self.assertFalse(wait_for_file(record, limit_s=3))

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
        self.assertTree(folder, BOOK_FILES)


class ElevationTest(SetupCase):
    QUESTION = ("This folder can only be written with administrator rights. "
                "Continue as administrator?")

    def slow_book(self, name: str, password: bytes = None) -> Path:
        """A file that takes the stub seconds to write, then BOOK_FILES
        (encrypted with `password`, if given): the copy with administrator
        rights installs as soon as its dialog shows, and the driver must
        still find that dialog, and it before any password dialog."""
        tree = self.case_work / f"{name}.src"
        write_tree(tree, BOOK_FILES)
        with open(tree / "zeros.bin", "wb") as zeros:
            zeros.truncate(2 << 30)
        archive = self.case_work / f"{name}.zip"
        subprocess.run(["zip", "-q", "-1", str(archive), "zeros.bin"], cwd=tree, check=True)
        (tree / "zeros.bin").unlink()
        command = ["zip", "-q", "-r"] + (["-P", password] if password else [])
        subprocess.run(command + [str(archive), "book.html", "pics"], cwd=tree, check=True)
        return self.package(archive, name=f"{name}.exe")

    def test_the_elevated_copy_installs_without_asking_again(self):
        """The second process's command line, as the first one builds it (the
        unit tests check that it does): the dialog shows and installs at
        once, with the overwrite answer given. The password never travels on
        a command line: the copy asks for it, and takes it exactly as typed,
        whatever characters it holds."""
        # Typed into the dialog, a password is the system code page's bytes.
        typed = "pässwort \"quoted\""
        setup = self.slow_book("s", password=typed.encode("cp1252"))
        folder = self.folder("My Books/Elevated", create=True)
        (folder / "book.html").write_bytes(b"the reader's own page\r\n")
        outcome = self.run_setup(
            setup, f"window {MAIN}", password(typed),
            args=f'/ELEVATED /O=none /D={win_path(folder)}')
        self.assertEqual(outcome.captions, [MAIN, PASSWORD])
        self.assertEqual(outcome.first(MAIN).text(harness.FOLDER_FIELD), win_path(folder))
        self.assertEqual((folder / "book.html").read_bytes(), b"the reader's own page\r\n")
        self.assertEqual((folder / "pics/cover.txt").read_bytes(), BOOK_FILES["pics/cover.txt"])
        self.assertEqual((folder / "zeros.bin").stat().st_size, 2 << 30)
        (folder / "zeros.bin").unlink()

    def test_yes_hands_the_install_to_an_elevated_copy(self):
        """The whole way through the system: access denied, the question, Yes;
        the first setup ends without a word and its copy, started through
        ShellExecuteExW's runas verb (Wine starts it without a prompt),
        installs with the answers given. The folder is opened up before Yes,
        as administrator rights would; the folder typed was relative, and
        the copy gets it whole."""
        setup = self.slow_book("b")
        folder = self.folder("protected", create=True)
        (folder / "book.html").write_bytes(b"an older page\r\n")
        (folder / "pics").mkdir()
        deny_writes(self, folder)
        lifted = self.case_work / "lifted"

        def watch(event):
            controls = {c["id"]: c for c in event.get("controls", [])}
            if event["event"] == "window" and harness.MESSAGE_TEXT in controls:
                allow_writes(folder)
                lifted.touch()

        outcome = self.run_setup(
            setup, [f"window {MAIN}", f"set {harness.FOLDER_FIELD} protected", "press 1",
                    f"window {MAIN}", f"waitfile {win_path(lifted)}", "press 6",
                    f"follow {MAIN}", *overwrite(True)],
            args="/NORUN", cwd=self.case_c, watch=watch)
        question = outcome.windows[1]
        self.assertEqual(question.message, self.QUESTION)
        # The copy asks about the page that is there (no standing answer was
        # given), which also holds its dialog open for the driver to read.
        self.assertEqual(outcome.captions, [MAIN, MAIN, MAIN, OVERWRITE])
        # The copy's dialog shows the folder it was given, made absolute.
        self.assertEqual(outcome.windows[2].text(harness.FOLDER_FIELD), win_path(folder))
        self.assertEqual((folder / "book.html").read_bytes(), BOOK_FILES["book.html"])
        self.assertEqual((folder / "zeros.bin").stat().st_size, 2 << 30)
        (folder / "zeros.bin").unlink()

    def test_access_denied_asks_once_and_no_tells_the_plain_message(self):
        """A folder that refuses new files with access denied, as a protected
        folder does: the question comes, owned, and No gives the message of
        old. A folder in the way of the part file is no such refusal: no
        question then."""
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        folder = self.folder("protected", create=True)
        (folder / "book.html").write_bytes(b"an older page\r\n")
        (folder / "pics").mkdir()
        deny_writes(self, folder)
        outcome = self.install(setup, folder, [f"window {MAIN}", "press 7"],
                               message("Couldn't open..."), args="/O=all")
        question = outcome.windows[1]
        self.assertEqual(question.message, self.QUESTION)
        self.assertEqual(question.owner, MAIN)
        self.assertEqual((folder / "book.html").read_bytes(), b"an older page\r\n")
        self.assertEqual((folder / "pics/cover.txt").read_bytes(), BOOK_FILES["pics/cover.txt"])

        blocked = self.folder("blocked", create=True)
        (blocked / "book.html").write_bytes(b"an older page\r\n")
        (blocked / "book.html.~part").mkdir()
        outcome = self.install(setup, blocked, message("Couldn't open..."), args="/O=all",
                               tag="b")
        self.assertNotIn(self.QUESTION, [text for _, text in outcome.messages])
        self.assertEqual((blocked / "book.html").read_bytes(), b"an older page\r\n")

    def test_a_licence_copy_refused_while_the_dialog_opens_never_asks(self):
        """The licence's copy is refused (the temporary folder denies new
        folders): the dialog says so and opens, no administrator question
        comes, and Install writes the book where the reader chose."""
        book = dict(BOOK_FILES, **{"!!licence.txt": b"Licence.\r\n"})
        setup = self.package(archives.info_zip(book, self.case_work / "l.zip"))
        temp = self.folder("temp", create=True)
        deny_writes(self, temp)
        folder = self.folder("chosen")
        outcome = self.run_setup(setup, message(), [f"window {MAIN}",
                                                    f"set {harness.FOLDER_FIELD} {win_path(folder)}",
                                                    "press 1"],
                                 env={"TEMP": win_path(temp), "TMP": win_path(temp)})
        self.assertEqual(outcome.captions, [ERROR, MAIN])
        self.assertTrue(outcome.messages[0][1].startswith("The folder could not be made:"))
        self.assertTree(folder, book)
        self.assertEqual(list(temp.iterdir()), [])

    def test_the_licence_copy_never_writes_through_a_planted_link(self):
        """A program of the user planted links in the temporary folder where
        a licence copy of a fixed name would go; an unattended install (as
        an elevated copy would run) leaves their targets alone."""
        book = dict(BOOK_FILES, **{"!!licence.txt": b"Publisher licence text.\r\n"})
        setup = self.package(archives.info_zip(book, self.case_work / "l.zip"))
        temp = self.folder("temp", create=True)
        important = self.folder("protected", create=True) / "important.cfg"
        important.write_bytes(b"x" * 260)
        (temp / "!!licence.txt").symlink_to(important)
        folder = self.folder("book")
        self.run_setup(setup, args=f"/S /D={win_path(folder)}",
                       env={"TEMP": win_path(temp), "TMP": win_path(temp)})
        self.assertEqual(important.read_bytes(), b"x" * 260)
        copies = list(temp.glob("ebook-setup-*/!!licence.txt"))
        self.assertEqual([c.read_bytes() for c in copies], [b"Publisher licence text.\r\n"])
        self.assertTree(folder, book)

    def test_part_files_are_the_setups_own(self):
        """A part file left by a setup killed mid-replace is removed by the
        next run, even one that keeps every file; an entry named like a part
        file is refused."""
        setup = self.package(archives.info_zip(BOOK_FILES, self.case_work / "b.zip"))
        folder = self.folder("book", create=True)
        (folder / "book.html").write_bytes(b"the reader's page\r\n")
        (folder / "book.html.~part").write_bytes(b"half a page")
        self.run_setup(setup, args=f"/S /O=none /D={win_path(folder)}")
        self.assertFalse((folder / "book.html.~part").exists())
        self.assertEqual((folder / "book.html").read_bytes(), b"the reader's page\r\n")

        named = archives.python_zip([("notes.txt.~part", b"n"), ("a.txt", b"a")],
                                    self.case_work / "n.zip")
        other = self.folder("named")
        outcome = self.install(self.package(named, name="n.exe"), other, message(), tag="n")
        self.assertIn("notes.txt.~part", outcome.messages[0][1])
        self.assertTree(other, {"a.txt": b"a"})


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
        self.run_setup(self.package(book), args=f"/S /RUN /D={win_path(folder)}", code=INSTALLED)
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
