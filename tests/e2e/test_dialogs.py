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
        # (tool, typed passwords, "right"/"wrong" stand for the kinds, and
        # whether the publisher chose to have a wrong password said)
        cases = [
            ("info-zip", ["right"], False),
            ("7-zip", ["right"], False),
            ("info-zip", ["wrong", "right"], False),
            ("7-zip", ["wrong", "wrong", "right"], False),
            ("info-zip", ["wrong", "wrong", "wrong"], False),
            ("7-zip", ["wrong", "wrong", "wrong"], False),
            ("info-zip", ["wrong", "right"], True),
            ("7-zip", ["wrong", "wrong", "wrong"], True),
        ]
        files = encrypted_book()
        for n, (tool, kinds, notice) in enumerate(cases):
            with self.subTest(tool=tool, typed=kinds, notice=notice):
                archive = makers[tool](files, self.case_work / f"book{n}.zip", password=RIGHT)
                if notice:
                    archives.with_settings(archive, "say-wrong-password")
                wrong = archives.wrong_password(archive, avoid=RIGHT)
                typed = [RIGHT if kind == "right" else wrong for kind in kinds]
                accepted = typed[-1] == RIGHT
                folder = self.folder(f"book{n}")
                # The dialog simply comes again; with the setting, each wrong
                # password is said before.
                dialogs = []
                for k, text in enumerate(typed):
                    if k > 0 and notice:
                        dialogs.append(message())
                    dialogs.append(password(text))
                if not accepted:
                    dialogs.append(message())
                outcome = self.install(self.package(archive, name=f"setup{n}.exe"), folder,
                                       *dialogs, tag=str(n))
                again = [ERROR, PASSWORD] if notice else [PASSWORD]
                asked = [MAIN, PASSWORD] + again * (len(typed) - 1)
                said = [(ERROR, TRY_AGAIN)] * (len(typed) - 1) if notice else []
                self.assertEqual(outcome.messages[:len(said)], said)
                if accepted:
                    self.assertEqual(outcome.captions, asked)
                    self.assertTree(folder, files)
                else:
                    self.assertEqual(outcome.captions, asked + [ERROR])
                    self.assertEqual(outcome.messages[-1], (ERROR, STOPPED))
                    self.assertEqual([p.name for p in folder.rglob("*") if p.is_file()], [])

    def test_escape_in_the_password_dialog(self):
        """As designed, Escape there does nothing: the dialog stays until Ok
        or Enter. Where the publisher chose to ask before stopping, Escape
        gives up, and nothing is written."""
        files = encrypted_book()
        for n, stop in enumerate([False, True]):
            with self.subTest(ask_before_stopping=stop):
                archive = archives.info_zip(files, self.case_work / f"book{n}.zip", password=RIGHT)
                if stop:
                    archives.with_settings(archive, "ask-before-stopping")
                folder = self.folder(f"book{n}")
                if stop:
                    outcome = self.install(self.package(archive, name=f"s{n}.exe"), folder,
                                           [f"window {PASSWORD}", "press 2"], message(),
                                           tag=str(n))
                    self.assertEqual(outcome.captions, [MAIN, PASSWORD, ERROR])
                    self.assertEqual(outcome.messages, [(ERROR, NO_PASSWORD)])
                    self.assertEqual([p for p in folder.rglob("*") if p.is_file()], [])
                else:
                    outcome = self.install(self.package(archive, name=f"s{n}.exe"), folder,
                                           [f"window {PASSWORD}", "press 2", "sleep 500", "read",
                                            f"set 101 {RIGHT}", "press 1"], tag=str(n))
                    self.assertEqual(outcome.captions, [MAIN, PASSWORD])
                    self.assertEqual(outcome.reads[-1].caption, PASSWORD)
                    self.assertTree(folder, files)


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
