"""The publisher's settings: each build option reaches the setup's end record
in the stub's format and comes back through list, check and their JSON;
values the stub could not use are refused before anything is written; a
comment that is not ours is no setting."""
import json
import struct
import sys
import zipfile

from build_fixtures import REPO, STUB, BuildTestCase, bookpack, build, info_zip, run

PACK_SETUP = REPO / "tools" / "pack_setup.py"
TAG = b"ebook-setup settings 1\n"
DEFAULTS = {"default_folder": None, "default_folder_example": None, "title": None,
            "done_message": False, "ask_before_stopping": False, "say_wrong_password": False}


def end_comment(setup) -> bytes:
    data = setup.read_bytes()
    end = data.rindex(b"PK\x05\x06")
    length = struct.unpack_from("<H", data, end + 20)[0]
    comment = data[end + 22:]
    assert len(comment) == length, "the comment runs to the end of the file"
    return comment


class SettingsTest(BuildTestCase):
    def setUp(self):
        super().setUp()
        self.book = self.tree({"book.html": b"<p>Hello</p>", "quonview.exe": b"MZ"})

    def inspect(self, setup, command, *options):
        text = bookpack(command, setup, *options)
        data = bookpack(command, setup, "--json", *options)
        self.assertEqual(text.returncode, data.returncode, text.stdout + text.stderr)
        return text.returncode, text.stdout, json.loads(data.stdout)

    def test_each_option_reaches_list_check_and_their_json(self):
        cases = [
            # options, the JSON's settings besides the defaults, the text's line
            (["--default-folder", r"%LOCALAPPDATA%\Books\My Book"],
             {"default_folder": r"%LOCALAPPDATA%\Books\My Book",
              "default_folder_example": r"C:\Users\<reader>\AppData\Local\Books\My Book"},
             r"default folder: %LOCALAPPDATA%\Books\My Book (expanded on the reader's PC, "
             r"e.g. C:\Users\<reader>\AppData\Local\Books\My Book)"),
            (["--default-folder", r"C:\Bücher\Almanach"],
             {"default_folder": r"C:\Bücher\Almanach",
              "default_folder_example": r"C:\Bücher\Almanach"},
             "default folder: C:\\Bücher\\Almanach\n"),
            (["--default-folder", r"%ProgramFiles%\Almanac"],
             {"default_folder": r"%ProgramFiles%\Almanac",
              "default_folder_example": r"C:\Program Files (x86)\Almanac"},
             "a reader without administrator rights is asked to continue as administrator"),
            (["--title", "Almanach – Setup"], {"title": "Almanach – Setup"},
             "title: Almanach – Setup"),
            (["--done-message"], {"done_message": True}, "done message: after an install"),
            (["--ask-before-stopping"], {"ask_before_stopping": True},
             "ask before stopping: Exit, Escape and the close box ask"),
            (["--say-wrong-password"], {"say_wrong_password": True},
             'say wrong password: "The password is wrong. Please try again."'),
        ]
        for options, values, line in cases:
            with self.subTest(options=options):
                setup = self.built(self.book, *options)
                made = build(self.book, self.scratch / "again.exe", *options)
                self.assertIn(line, made.stdout, "build says it")
                for command in ("list", "check"):
                    status, text, data = self.inspect(setup, command)
                    self.assertEqual(status, 0, text)
                    self.assertIn(line, text, command)
                    self.assertEqual(data["settings"], {**DEFAULTS, **values}, command)
                # Where the default folder leads, the program still starts
                # from the install folder.
                self.assertEqual(data["runs"], '"<install folder>\\quonview.exe" /INIT')

    def test_the_stored_text_is_the_stubs_format_then_the_padding(self):
        setup = self.built(self.book, "--default-folder", r"%LOCALAPPDATA%\Books\Almanac",
                           "--title", "Almanac - Setup", "--done-message",
                           "--ask-before-stopping", "--say-wrong-password")
        comment = end_comment(setup)
        settings = (TAG + b"folder=%LOCALAPPDATA%\\Books\\Almanac\ntitle=Almanac - Setup\n"
                    b"done-message\nask-before-stopping\nsay-wrong-password\n")
        self.assertEqual(comment.rstrip(b" "), settings)
        self.assertLess(len(comment) - len(settings), 8)
        self.assert_layout(setup)
        self.assert_tools_accept(setup)
        with zipfile.ZipFile(setup) as z:
            self.assertEqual(z.comment, comment)

    def test_without_settings_the_comment_is_only_padding(self):
        setup = self.built(self.book)
        self.assertEqual(end_comment(setup).strip(b" "), b"")
        self.assertLess(len(end_comment(setup)), 8)
        status, text, data = self.inspect(setup, "list")
        self.assertIn("settings: none", text)
        self.assertIsNone(data["settings"])

    def test_values_the_stub_could_not_use_are_refused(self):
        cases = [
            # options, words of the reason
            (["--default-folder", "Books\\Almanac"], "is neither absolute"),
            (["--default-folder", "C:Almanac"], "is neither absolute"),
            (["--default-folder", "\\Almanac"], "is neither absolute"),
            (["--default-folder", "Almanac\\%USERNAME%"], "is neither absolute"),
            (["--default-folder", "\\\\server\\books"], "is a network path"),
            (["--default-folder", "C:\\Books\\A|B"], "holds '|'"),
            (["--default-folder", "C:\\Books\\What?"], "holds '?'"),
            (["--default-folder", "C:\\Books\\<A>"], "holds '<'"),
            (["--default-folder", "C:\\Books\\\"A\""], "holds '\"'"),
            (["--default-folder", "C:\\Books\\A*"], "holds '*'"),
            (["--default-folder", "C:\\Books\\A:B"], "a ':' other than a drive's"),
            (["--default-folder", "C:\\Books\\A\tB"], "control character"),
            (["--default-folder", "C:\\Books\\Almanac."], "ending in a dot or a space"),
            (["--default-folder", "C:\\" + "a" * 253], "256 bytes long, and the stub takes at most 255"),
            (["--default-folder", ""], "is empty"),
            (["--title", "x" * 128], "128 bytes long, and the stub takes at most 127"),
            (["--title", "Line\nbreak"], "control character"),
            (["--title", ""], "is empty"),
        ]
        for options, words in cases:
            with self.subTest(options=options):
                out = self.scratch / "Refused.exe"
                result = build(self.book, out, *options)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(words, result.stderr)
                self.assertFalse(out.exists())
                self.assertEqual(list(self.scratch.glob("Refused.exe*")), [])
        # The longest values the stub takes are taken.
        self.built(self.book, "--default-folder", "C:\\" + "a" * 252, "--title", "é" * 63 + "x")

    def test_check_judges_the_setup_where_the_default_folder_leads(self):
        cases = [
            # folder, words of check's problem or of what the reader sees
            (r"%BOOKS%\Almanac", "%BOOKS% is not a variable Windows sets on every PC"),
            ("%LOCALAPPDATA%\\" + "a" * 230, "The installation folder is too long"),
            # A reader's PC surely has C:, and no other drive.
            (r"D:\Books\Almanac", "The folder could not be made"),
        ]
        for folder, words in cases:
            with self.subTest(folder=folder):
                setup = self.built(self.book, "--default-folder", folder)
                status, text, data = self.inspect(setup, "check")
                self.assertEqual(status, 1, text)
                self.assertIn(words, text)
                self.assertFalse(data["ok"])

    def test_comments_that_are_not_ours_are_no_settings(self):
        zipped = info_zip(self.book, self.scratch / "book.zip")
        cases = {
            "zip -z": b"Made with zip -z",
            "our tag, a key it does not have": TAG + b"colour=blue\ndone-message\n",
            "our tag, another version": b"ebook-setup settings 2\ndone-message\n",
        }
        for label, comment in cases.items():
            with self.subTest(label):
                source = self.scratch / f"{len(comment)}.zip"
                source.write_bytes(zipped.read_bytes())
                if label == "zip -z":
                    run(["zip", "-z", source], input=comment + b"\n", check=True)
                else:
                    with zipfile.ZipFile(source, "a") as z:
                        z.comment = comment
                self.assertEqual(zipfile.ZipFile(source).comment, comment)
                # Packed as it is, the comment is the setup's ...
                packed = self.scratch / f"packed-{len(comment)}.exe"
                run([sys.executable, PACK_SETUP, STUB, source, packed], check=True)
                # ... and through bookpack, the source's comment is not kept.
                built = self.built(source, name=f"built-{len(comment)}.exe")
                for setup in (packed, built):
                    status, text, data = self.inspect(setup, "list")
                    self.assertEqual(status, 0, text)
                    self.assertIn("settings: none", text)
                    self.assertIsNone(data["settings"])
                self.assertEqual(end_comment(built).strip(b" "), b"")
