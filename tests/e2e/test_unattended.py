"""Unattended installs (/S and the other arguments). /S runs go through the
driver too: it starts the setup on the tests' desktop and fails the run if
any window appears."""
import harness
import archives
import subprocess
from pathlib import Path

from harness import (ERROR, MAIN, OVERWRITE, PASSWORD, SetupCase, allow_writes, deny_writes, message,
                     overwrite, password, reg_add, wait_for_file, win_path, write_tree)

APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
USAGE_START = "Usage: setup "

# Exit codes under /S, as docs/stub.md documents them.
INSTALLED, USAGE, DAMAGED, PASSWORD_CODE, UNSUPPORTED, CANNOT_WRITE = 0, 1, 2, 3, 4, 5

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
        # Under /S a refused argument shows nothing and installs nothing.
        folder = self.folder("refused")
        self.silent(setup, f"/S /BOGUS /D={win_path(folder)}", USAGE, tag="s")
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
