"""The reader's window during the install: it answers while a long file is
written, and its questions and messages are owned by it, so that a click on
the main dialog never buries them."""
import subprocess

import archives
from harness import (ERROR, FOLDER_FIELD, MAIN, OVERWRITE, PASSWORD, SetupCase, message,
                     overwrite, password, win_path)

STOP = "Stop the installation? Files already installed stay in place."


class ResponsiveTest(SetupCase):
    def test_window_answers_while_a_long_file_is_written(self):
        tree = self.case_work / "tree"
        tree.mkdir()
        # 3 GB of zeros deflate to a few megabytes, and take the stub
        # seconds to write.
        with open(tree / "big.bin", "wb") as big:
            big.truncate(3 << 30)
        archive = self.case_work / "big.zip"
        # A file already there after it: the overwrite question holds the
        # window open however fast the big file was written, since the setup
        # ends by itself once the install is done.
        (tree / "z-after.txt").write_bytes(b"new\r\n")
        subprocess.run(["zip", "-q", "-1", str(archive), "big.bin", "z-after.txt"], cwd=tree,
                       check=True)
        (tree / "big.bin").unlink()
        folder = self.folder("big", create=True)
        (folder / "z-after.txt").write_bytes(b"old\r\n")
        outcome = self.run_setup(self.package(archive),
                                 [f"window {MAIN}", f"set {FOLDER_FIELD} {win_path(folder)}",
                                  "press 1", "sleep 1000", "ping 1000", "sleep 300", "ping 1000"],
                                 overwrite(True))
        self.assertEqual(len(outcome.pings), 2)
        for ping in outcome.pings:
            self.assertTrue(ping["answered"], ping)
        self.assertEqual((folder / "big.bin").stat().st_size, 3 << 30)
        (folder / "big.bin").unlink()

    def long_install(self, name: str, *settings: str):
        """A setup whose first file takes the stub a few seconds to write."""
        tree = self.case_work / f"{name}.tree"
        tree.mkdir()
        with open(tree / "a-big.bin", "wb") as big:
            big.truncate(2 << 30)
        (tree / "b-after.txt").write_bytes(b"written after the big one\r\n")
        archive = self.case_work / f"{name}.zip"
        subprocess.run(["zip", "-q", "-1", str(archive), "a-big.bin", "b-after.txt"], cwd=tree,
                       check=True)
        (tree / "a-big.bin").unlink()
        if settings:
            archives.with_settings(archive, *settings)
        return self.package(archive, name=f"{name}.exe")

    def test_exit_escape_and_the_close_box_wait_for_the_install(self):
        """As designed: while the install runs, Exit, Escape and the close
        box are ignored, and the setup ends by itself when it is done."""
        folder = self.folder("ignored")
        outcome = self.run_setup(self.long_install("ignored"),
                                 [f"window {MAIN}", f"set {FOLDER_FIELD} {win_path(folder)}",
                                  "press 1", "sleep 300", "press 2", "escape", "sleep 100",
                                  "close"])
        self.assertEqual(outcome.captions, [MAIN])
        self.assertEqual((folder / "a-big.bin").stat().st_size, 2 << 30)
        self.assertEqual((folder / "b-after.txt").read_bytes(), b"written after the big one\r\n")
        (folder / "a-big.bin").unlink()

    def test_exit_and_escape_ask_where_the_publisher_chose_it(self):
        """With the setting, Exit (or Escape) during the install asks, and
        Yes stops after the current file; No goes on."""
        for n, (how, yes) in enumerate([("press 2", True), ("escape", False)]):
            with self.subTest(how=how, yes=yes):
                folder = self.folder(f"asked{n}")
                outcome = self.run_setup(
                    self.long_install(f"asked{n}", "ask-before-stopping"),
                    [f"window {MAIN}", f"set {FOLDER_FIELD} {win_path(folder)}", "press 1",
                     "sleep 500", how, f"window {MAIN}", "read", f"press {6 if yes else 7}"],
                    tag=str(n))
                question = outcome.windows[-1]
                self.assertEqual(question.message, STOP)
                self.assertEqual(question.owner, MAIN)
                # The file being written was finished; after Yes the next one
                # was never begun, and nothing was said after the reader's own
                # answer.
                self.assertEqual((folder / "a-big.bin").stat().st_size, 2 << 30)
                self.assertEqual((folder / "b-after.txt").exists(), not yes)
                self.assertEqual([w.caption for w in outcome.windows], [MAIN, MAIN])
                (folder / "a-big.bin").unlink()

    def test_questions_and_messages_are_owned_by_the_main_dialog(self):
        files = {"a.txt": b"new a\r\n", "b.txt": b"new b\r\n" * 40}
        # The password and the overwrite question.
        secret = archives.info_zip(files, self.case_work / "secret.zip", password="pw")
        folder = self.folder("owned", create=True)
        (folder / "a.txt").write_bytes(b"old a\r\n")
        outcome = self.install(self.package(secret, name="secret.exe"), folder, password("pw"),
                               overwrite(True), tag="q")
        # A message: the CRC error of a damaged entry.
        damaged = archives.info_zip(files, self.case_work / "damaged.zip", store=True)
        archives.damage_entry(damaged, "b.txt")
        told = self.install(self.package(damaged, name="damaged.exe"), self.folder("told"),
                            message(), tag="m")
        owned = {w.caption: w.owner for w in outcome.windows + told.windows if w.caption != MAIN}
        self.assertEqual(owned, {PASSWORD: MAIN, OVERWRITE: MAIN, ERROR: MAIN})
