"""The password and overwrite dialogs, answered as a reader would."""
import archives
from harness import (ERROR, MAIN, OVERWRITE, PASSWORD, SetupCase, message, overwrite, password,
                     write_tree)

RIGHT = "Open-Sesame_42"
STOPPED = "The installation stopped, because the password is wrong."
TRY_AGAIN = "The password is wrong. Please try again."
NO_PASSWORD = "The installation stopped, because no password was given."


def encrypted_book() -> dict:
    # Several encrypted entries: the password typed for the first one must
    # open the others without asking again.
    return {"book.html": b"<p>A secret story.</p>\r\n" * 300,
            "images/cover.jpg": bytes(range(256)) * 64,
            "notes/end.txt": b"The end.\r\n"}


class PasswordTest(SetupCase):
    def test_password_answers(self):
        makers = {"info-zip": archives.info_zip, "7-zip": archives.seven_zip}
        # (tool, typed passwords, "right"/"wrong" stand for the kinds)
        cases = [
            ("info-zip", ["right"]),
            ("7-zip", ["right"]),
            ("info-zip", ["wrong", "right"]),
            ("7-zip", ["wrong", "wrong", "right"]),
            ("info-zip", ["wrong", "wrong", "wrong"]),
            ("7-zip", ["wrong", "wrong", "wrong"]),
        ]
        files = encrypted_book()
        for n, (tool, kinds) in enumerate(cases):
            with self.subTest(tool=tool, typed=kinds):
                archive = makers[tool](files, self.case_work / f"book{n}.zip", password=RIGHT)
                wrong = archives.wrong_password(archive, avoid=RIGHT)
                typed = [RIGHT if kind == "right" else wrong for kind in kinds]
                accepted = typed[-1] == RIGHT
                folder = self.folder(f"book{n}")
                # Each wrong password is said before the dialog comes again.
                dialogs = []
                for k, text in enumerate(typed):
                    if k > 0:
                        dialogs.append(message())
                    dialogs.append(password(text))
                if not accepted:
                    dialogs.append(message())
                outcome = self.install(self.package(archive, name=f"setup{n}.exe"), folder,
                                       *dialogs, tag=str(n))
                asked = [MAIN, PASSWORD] + [ERROR, PASSWORD] * (len(typed) - 1)
                self.assertEqual(outcome.messages[:len(typed) - 1], [(ERROR, TRY_AGAIN)] * (len(typed) - 1))
                if accepted:
                    self.assertEqual(outcome.captions, asked)
                    self.assertTree(folder, files)
                else:
                    self.assertEqual(outcome.captions, asked + [ERROR])
                    self.assertEqual(outcome.messages[-1], (ERROR, STOPPED))
                    self.assertEqual([p.name for p in folder.rglob("*") if p.is_file()], [])


    def test_escape_in_the_password_dialog_stops_the_install(self):
        # The main dialog is disabled while its password dialog is open;
        # Escape there (as the close box) gives up, and nothing is written.
        files = encrypted_book()
        archive = archives.info_zip(files, self.case_work / "book.zip", password=RIGHT)
        folder = self.folder("book")
        outcome = self.install(self.package(archive), folder,
                               [f"window {PASSWORD}", "press 2"], message())
        self.assertEqual(outcome.captions, [MAIN, PASSWORD, ERROR])
        self.assertEqual(outcome.messages, [(ERROR, NO_PASSWORD)])
        self.assertEqual([p for p in folder.rglob("*") if p.is_file()], [])


class OverwriteTest(SetupCase):
    OLD = {"a.txt": b"old a\r\n", "b.txt": b"old b\r\n", "c/d.txt": b"old d\r\n"}
    NEW = {"a.txt": b"new a\r\n" * 10, "b.txt": b"new b\r\n" * 10, "c/d.txt": b"new d\r\n" * 10,
           "e.txt": b"new e, no older copy\r\n"}

    def test_overwrite_answers(self):
        # (answers as (yes, don't ask again), files that end up new)
        cases = [
            ([(True, False), (False, False), (True, False)], {"a.txt", "c/d.txt"}),
            ([(True, True)], {"a.txt", "b.txt", "c/d.txt"}),
            ([(False, True)], set()),
            ([(False, False), (True, True)], {"b.txt", "c/d.txt"}),
        ]
        archive = archives.info_zip(self.NEW, self.case_work / "book.zip",
                                    order=["a.txt", "b.txt", "c", "e.txt"])
        setup = self.package(archive)
        asked_about = ["a.txt", "b.txt", "d.txt"]
        for n, (answers, replaced) in enumerate(cases):
            with self.subTest(answers=answers):
                folder = self.folder(f"book{n}")
                write_tree(folder, self.OLD)
                outcome = self.install(setup, folder,
                                       *[overwrite(yes, dont_ask) for yes, dont_ask in answers],
                                       tag=str(n))
                questions = [w.text(101) for w in outcome.windows if w.caption == OVERWRITE]
                self.assertEqual(questions, [f"{name}...already exists, overwrite?"
                                             for name in asked_about[:len(answers)]])
                # Kept files are not damaged entries: no "CRC error" follows.
                self.assertEqual(outcome.messages, [])
                expected = {name: self.NEW[name] if name in replaced else data
                            for name, data in self.OLD.items()}
                self.assertTree(folder, {**expected, "e.txt": self.NEW["e.txt"]})
