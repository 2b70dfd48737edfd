"""The publisher's settings, stored in the archive's end-record comment: a
setup without them behaves as designed, and each one shows as the reader
would see it."""
import subprocess

import archives
import harness
from harness import FOLDER_FIELD, MAIN, SetupCase, message, wait_for_file, win_path

BOOK = {"book.html": b"<p>page</p>\r\n" * 30, "pics/cover.txt": b"cover\r\n"}
TITLE = "Tales of the Harbour \u2014 Setup"


class SettingsTest(SetupCase):
    def book(self, name: str, *settings: str) -> "Path":
        archive = archives.info_zip(BOOK, self.case_work / f"{name}.zip")
        if settings:
            archives.with_settings(archive, *settings)
        return self.package(archive, name=f"{name}.exe")

    def test_without_settings_an_install_ends_by_itself(self):
        """No window but the main dialog, and the default folder as designed;
        a comment that zip -z wrote is no setting."""
        plain = archives.info_zip(BOOK, self.case_work / "plain.zip")
        commented = archives.info_zip(BOOK, self.case_work / "commented.zip")
        subprocess.run(["zip", "-q", "-z", str(commented)], input=b"done-message\ntitle=Not a title\n",
                       check=True)
        for n, archive in enumerate([plain, commented]):
            with self.subTest(archive=archive.name):
                folder = self.folder(f"book{n}")
                outcome = self.install(self.package(archive, name=f"s{n}.exe"), folder, tag=str(n))
                self.assertEqual(outcome.captions, [MAIN])
                self.assertEqual(outcome.first(MAIN).text(FOLDER_FIELD), "c:\\zq")
                self.assertTree(folder, BOOK)

    def test_folder_title_and_done_message(self):
        """The folder field shows the publisher's folder with the reader's
        variables expanded, the caption is the publisher's title, and the
        done message names the folder used. Message captions stay."""
        setup = self.book("chosen", "folder=%E2E_BOOKS%\\Tales", f"title={TITLE}", "done-message")
        books = self.folder("books", create=True)
        outcome = self.run_setup(setup, [f"window {TITLE}", "press 1"],
                                 env={"E2E_BOOKS": win_path(books)}, done=True)
        self.assertEqual(outcome.first(TITLE).text(FOLDER_FIELD), win_path(books) + "\\Tales")
        self.assertEqual(outcome.done.caption, MAIN)
        self.assertEqual(outcome.done.owner, TITLE)
        self.assertEqual(outcome.done.message.replace("\r\n", "\n"),
                         "The book was installed in:\n" + win_path(books) + "\\Tales")
        self.assertTree(books / "Tales", BOOK)

        # No done message after a problem, or when a program starts instead.
        damaged = archives.info_zip(BOOK, self.case_work / "d.zip", store=True)
        archives.damage_entry(damaged, "book.html")
        archives.with_settings(damaged, "done-message")
        outcome = self.install(self.package(damaged, name="d.exe"), self.folder("d"), message(),
                               tag="d")
        self.assertEqual(outcome.messages[0][1].splitlines()[0], "CRC error")
        program = archives.python_zip([("quonview.exe", harness.TOOLS.reader.read_bytes()),
                                       ("a.txt", b"a")], self.case_work / "r.zip")
        archives.with_settings(program, "done-message")
        folder = self.folder("r")
        self.install(self.package(program, name="r.exe"), folder, tag="r")
        self.assertTrue(wait_for_file(folder / "quonview.exe.started"))

    def test_a_folder_too_long_once_expanded_is_refused_at_install(self):
        setup = self.book("long", "folder=%E2E_DEEP%\\Book")
        folder = self.folder("short")
        outcome = self.run_setup(setup, [f"window {MAIN}", "press 1"], message(),
                                 [f"switch {MAIN}", f"set {FOLDER_FIELD} {win_path(folder)}",
                                  "press 1"],
                                 env={"E2E_DEEP": "C:\\" + "d" * 300})
        self.assertEqual(outcome.messages,
                         [("Error", "The installation folder is too long. Please choose a shorter one.")])
        self.assertTree(folder, BOOK)

    def test_a_signed_setup_keeps_its_settings(self):
        setup = self.book("unsigned", f"title={TITLE}")
        key, cert, signed = (self.case_work / n for n in ("key.pem", "cert.pem", "signed.exe"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=E-book test publisher", "-days", "2", "-keyout", str(key), "-out",
                        str(cert)], check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in",
                        str(setup), "-out", str(signed)], check=True, capture_output=True)
        self.assertGreater(signed.stat().st_size, setup.stat().st_size)
        folder = self.folder("signed")
        outcome = self.run_setup(signed, [f"window {TITLE}", f"set {FOLDER_FIELD} {win_path(folder)}",
                                          "press 1"])
        self.assertEqual(outcome.captions, [TITLE])
        self.assertTree(folder, BOOK)
