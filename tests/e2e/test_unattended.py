"""Unattended installs (/S and the other arguments). /S runs go through the
driver too: it starts the setup on the tests' desktop and fails the run if
any window appears."""
import harness
import archives
from harness import (ERROR, MAIN, PASSWORD, SetupCase, message, reg_add, wait_for_file,
                     win_path, write_tree)

APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
USAGE_START = "Usage: setup [/S]"

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
