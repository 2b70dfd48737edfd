"""bookpack's command line: option forms, help and version, where the
password comes from, exit codes and messages, -q and -v, and the stub found
by an installed bookpack."""
import os
import pty
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from build_fixtures import (BOOKPACK, NOT_FOUND, REPO, RUNNER, STUB, WINDOWS, BuildTestCase,
                            bookpack, bookpack_command, build, linux_only, read_terminal,
                            read_tree, run, write_tree)


def project_version() -> str:
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(ebook_setup VERSION (\d+\.\d+\.\d+)", text).group(1)


class OptionSyntaxTest(BuildTestCase):
    def test_value_forms_and_the_end_of_options(self):
        # A source whose name starts with a dash is reachable only after --.
        source = self.tree({"a.txt": b"text " * 100}, "-book")
        out = self.scratch / "Eq.exe"
        result = run([*bookpack_command(), "build", f"--stub={STUB}", f"--output={out}", "--level=1",
                          "--password=pw", "--", "-book"], cwd=self.scratch, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(bookpack("check", out, "--password", "pw").returncode, 0)
        result = run([*bookpack_command(), "build", "--stub", STUB, "-o", out, "-book"], cwd=self.scratch,
                     text=True)
        self.assertEqual(result.returncode, 2, "without --, -book is an option")
        self.assertIn("unknown option -book", result.stderr)

    def test_the_american_spelling_of_licence(self):
        licence = self.scratch / "licence.txt"
        licence.write_bytes(b"Terms\r\n")
        setup = self.built(self.tree({"a.txt": b"a"}), "--license", licence)
        self.assertIn("!!licence.txt", bookpack("list", setup).stdout)

    def test_usage_errors_exit_2_and_say_what_is_wrong(self):
        source = self.tree({"a.txt": b"x"})
        out = self.scratch / "U.exe"
        cases = [
            (["build", "--stub", STUB, "-o", out, "-o", out, source], "-o is given twice"),
            (["build", "--stub", STUB, "-o", out, "--output", out, source], "given twice"),
            (["build", "--stub", STUB, "--stub", STUB, "-o", out, source], "--stub is given twice"),
            (["build", "--stub", STUB, "-o", out, "--level=1", "--level", "2", source],
             "--level is given twice"),
            (["check", out, "--password", "a", "--password-env", "HOME"], "one way only"),
            (["build", "--stub", STUB, "-o", out, "--shiny", source], "unknown option --shiny\n"),
            (["build", "--stub", STUB, "-o", out, "--lisence", out, source],
             "unknown option --lisence; did you mean --licence?"),
            (["build", "--stub", STUB, "-o", out, "--licence", out, "--license", out, source],
             "--license is given twice"),
            (["build", "--stub", STUB, "-o", self.scratch, source], "is a folder"),
            (["build", "--stub", STUB, source, "-o"], "-o needs a value"),
            (["check", out, "--password-prompt=yes"], "--password-prompt takes no value"),
            (["check", out, "-q", "-v"], "-q and -v exclude each other"),
            (["build", "--stub", STUB, "-o", out, "--level", "13", source], "--level takes 0 to 12"),
            (["list", out, "--password", "pw"], "unknown option --password"),
            (["extract", out], "extract takes SETUP.exe and DIR"),
            (["help", "nosuch"], "help takes one of"),
            (["bake"], "unknown command bake"),
            ([], "usage"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                result = bookpack(*arguments)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertIn(message, result.stderr)
        self.assertFalse(out.exists())

    def test_help_in_every_form(self):
        general = bookpack("--help")
        self.assertEqual((general.returncode, general.stderr), (0, ""))
        for needed in ("bookpack build", "bookpack check", "bookpack list", "bookpack extract",
                       "--password-prompt", "--password-file", "--password-env", "process list",
                       "Exit status", "2  usage"):
            self.assertIn(needed, general.stdout)
        for same in (["-h"], ["help"]):
            self.assertEqual(bookpack(*same).stdout, general.stdout)
        for command in ("build", "check", "list", "extract"):
            with self.subTest(command):
                shown = bookpack("help", command)
                self.assertEqual(shown.returncode, 0)
                self.assertTrue(shown.stdout.startswith(f"usage: bookpack {command} "))
                self.assertIn("Exit status", shown.stdout)
                for form in ("--help", "-h"):
                    other = bookpack(command, form)
                    self.assertEqual((other.returncode, other.stdout), (0, shown.stdout))
        self.assertNotIn("--password", bookpack("help", "list").stdout)

    def test_version_is_the_projects(self):
        result = bookpack("--version")
        self.assertEqual((result.returncode, result.stdout), (0, f"bookpack {project_version()}\n"))


class PasswordSourceTest(BuildTestCase):
    def assert_encrypted_with(self, setup, password):
        self.assertEqual(bookpack("check", setup, "--password", password).returncode, 0)
        self.assertEqual(bookpack("check", setup).returncode, 1, "encrypted: needs the password")

    def test_file_and_environment(self):
        source = self.tree({"a.txt": b"secret " * 50})
        file = self.scratch / "password.txt"
        cases = [
            # how the password is given, the password it must be
            ("file", b"line end\n", "line end"),
            ("file", b"crlf\r\nsecond line\n", "crlf"),
            ("file", b"no line end", "no line end"),
            ("env", "from the environment", "from the environment"),
        ]
        for number, (kind, content, password) in enumerate(cases):
            with self.subTest(content=content):
                env = dict(os.environ)
                if kind == "file":
                    file.write_bytes(content)
                    option = ["--password-file", file]
                else:
                    env["BOOK_PASSWORD"] = content
                    option = ["--password-env", "BOOK_PASSWORD"]
                setup = self.scratch / f"P{number}.exe"
                result = run(bookpack_command("build", "--stub", STUB, "-o", setup, *option, source),
                             env=env, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(run(bookpack_command("check", setup, *option), env=env).returncode, 0)
                self.assert_encrypted_with(setup, password)

    @linux_only("a Unix shell's <(command); Wine cannot open /dev/fd/N")
    def test_password_file_from_a_command(self):
        # --password-file <(pass show book) hands bookpack a pipe.
        source = self.tree({"a.txt": b"secret " * 50})
        setup = self.scratch / "Piped.exe"
        result = subprocess.run(
            ["bash", "-c", 'exec "$@" --password-file <(printf "piped pw\\n")', "bash",
             *map(str, bookpack_command("build", "--stub", STUB, "-o", setup, source))],
            capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_encrypted_with(setup, "piped pw")

    def test_sources_that_give_no_usable_password_are_usage_errors(self):
        source = self.tree({"a.txt": b"x"})
        (self.scratch / "empty.txt").write_bytes(b"\n")
        (self.scratch / "umlaut.txt").write_bytes("pässword\n".encode())
        env = dict(os.environ, EMPTY_PASSWORD="")
        env.pop("NO_SUCH_PASSWORD", None)
        cases = [
            (["--password-file", self.scratch / "missing.txt"], NOT_FOUND[0]),
            (["--password-file", self.scratch / "empty.txt"], "is empty"),
            (["--password-env", "NO_SUCH_PASSWORD"], "NO_SUCH_PASSWORD is not set"),
            (["--password-env", "EMPTY_PASSWORD"], "EMPTY_PASSWORD is empty"),
            # The message names where the password came from.
            (["--password-file", self.scratch / "umlaut.txt"],
             f"the password of --password-file {self.scratch / 'umlaut.txt'} must be printable"),
        ]
        for option, message in cases:
            with self.subTest(option=option):
                out = self.scratch / "None.exe"
                result = run(bookpack_command("build", "--stub", STUB, "-o", out, *option, source),
                             env=env, text=True)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(out.exists())

    def on_terminal(self, arguments, replies):
        """Runs bookpack on a new terminal, typing each reply after the
        prompt that ends in ': '; returns the exit status and what the
        terminal showed."""
        pid, controller = pty.fork()
        if pid == 0:
            os.execv(str(BOOKPACK), [str(BOOKPACK), *map(str, arguments)])
        shown = read_terminal(controller, replies)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), shown.decode(errors="replace")

    @linux_only("the terminal is a pty; Wine's console is not driven through one")
    def test_prompt_on_a_terminal_does_not_echo(self):
        source = self.tree({"a.txt": b"secret " * 50})
        setup = self.scratch / "Typed.exe"
        status, shown = self.on_terminal(["build", "--stub", STUB, "-o", setup,
                                          "--password-prompt", source], ["typed pw", "typed pw"])
        self.assertEqual(status, 0, shown)
        self.assertIn("Password:", shown)
        self.assertIn("again:", shown)
        self.assertNotIn("typed pw", shown)
        self.assert_encrypted_with(setup, "typed pw")
        status, shown = self.on_terminal(["check", setup, "--password-prompt"], ["typed pw"])
        self.assertEqual(status, 0, shown)
        self.assertIn("ok: the reader's install would succeed", shown)
        self.assertNotIn("again", shown, "check asks once")

        slipped = self.scratch / "Slipped.exe"
        status, shown = self.on_terminal(["build", "--stub", STUB, "-o", slipped,
                                          "--password-prompt", source], ["typed pw", "typo pw"])
        self.assertEqual(status, 1, shown)
        self.assertIn("differ", shown)
        self.assertFalse(slipped.exists())

    def test_prompt_without_a_terminal_is_a_usage_error(self):
        source = self.tree({"a.txt": b"x"})
        result = subprocess.run(list(map(str, bookpack_command(
                                    "build", "--stub", STUB, "-o", self.scratch / "N.exe",
                                    "--password-prompt", source))),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                start_new_session=True)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("--password-prompt needs a terminal", result.stderr)


class MessagesTest(BuildTestCase):
    def test_failures_name_their_cause_on_stderr(self):
        source = self.tree({"a.txt": b"x"})
        setup = self.built(source)
        (self.scratch / "plain").write_bytes(b"a file")
        missing = self.scratch / "missing"
        cases = [
            # arguments, exit status, message
            (["build", "--stub", STUB, "-o", self.scratch / "A.exe", missing], 2,
             f"cannot read the source {missing}: "),
            (["build", "--stub", missing, "-o", self.scratch / "A.exe", source], 2,
             f"cannot read the stub {missing}: "),
            (["build", "--stub", STUB, "-o", self.scratch / "A.exe", "--licence", missing, source],
             2, f"cannot read the licence file {missing}: "),
            # An output that cannot be made is a usage error, as the help says.
            (["build", "--stub", STUB, "-o", missing / "A.exe", source], 2,
             f"cannot write {missing / 'A.exe'}: "),
            (["check", missing], 2, f"cannot read {missing}: "),
            (["list", missing], 2, f"cannot read {missing}: "),
            (["extract", setup, self.scratch / "plain" / "dir"], 2,
             "cannot make the folder"),
        ]
        for arguments, status, message in cases:
            with self.subTest(arguments=arguments):
                result = bookpack(*arguments)
                self.assertEqual((result.returncode, result.stdout), (status, ""), result.stderr)
                if message.endswith(": "):  # followed by the system's reason
                    self.assertTrue(any(message + reason in result.stderr for reason in NOT_FOUND),
                                    result.stderr)
                else:
                    self.assertIn(message, result.stderr)

    def test_results_that_cannot_be_written_are_a_failure(self):
        # A full disk (or a closed pipe, or a failed console write) loses the
        # results: the status and standard error say so, never a silent 0.
        setup = self.built(self.tree({"a.txt": b"x"}))
        for arguments in (["--version"], ["list", setup], ["check", setup]):
            with self.subTest(arguments=arguments), open("/dev/full", "wb") as full:
                result = subprocess.run(list(map(str, bookpack_command(*arguments))),
                                        stdin=subprocess.DEVNULL, stdout=full,
                                        stderr=subprocess.PIPE, text=True)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertRegex(result.stderr, "^bookpack: the results could not be written to "
                                                "standard output: [A-Z].+\n$")

    def test_counts_read_as_english(self):
        text, noise = b"words " * 200, os.urandom(3000)
        cases = [
            # files, options, the build's summary, list's last line
            ({"a.txt": text}, [], "1 entry, stub", "1 entry, 1200 bytes"),
            ({"a.bin": noise}, [], "1 entry (1 file stored as it is), stub",
             "1 entry, 3000 bytes"),
            ({"a.bin": noise, "b.bin": noise, "c.txt": text}, ["--password", "pw"],
             "3 entries (2 files stored as they are, 3 encrypted), stub",
             "3 entries, 7200 bytes (* encrypted)"),
        ]
        for number, (files, options, summary, total) in enumerate(cases):
            with self.subTest(files=list(files), options=options):
                setup = self.scratch / f"C{number}.exe"
                result = build(self.tree(files, f"src{number}"), setup, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(summary, result.stdout.splitlines()[0])
                listed = bookpack("list", setup)
                self.assertEqual(listed.stdout.splitlines()[-1], total)

    def test_quiet_and_verbose(self):
        files = {"a.txt": b"words " * 200, "b/c.bin": os.urandom(500), "d.txt": b"d"}
        source = self.tree(files)
        quiet = build(source, self.scratch / "Q.exe", "-q", "--password", "pw")
        self.assertEqual((quiet.returncode, quiet.stdout, quiet.stderr), (0, "", ""))
        loud = build(source, self.scratch / "V.exe", "--verbose")
        self.assertEqual(loud.returncode, 0, loud.stderr)
        self.assertIn("a.txt (1200 bytes, compressed to", loud.stdout)
        self.assertIn("b/c.bin (500 bytes, stored as it is)", loud.stdout)
        setup = self.scratch / "Q.exe"
        cases = [
            # arguments, exit status, lines that must be there, text that must not
            (["check", setup, "-q", "--password", "pw"], 0, [], None),
            (["check", setup, "--quiet"], 1, ["problem: a.txt: encrypted"], "walked"),
            (["check", setup, "-v", "--password", "pw"], 0,
             ["ok: a.txt", "ok: b/c.bin", "ok: d.txt", "ok: the reader's install"], None),
            (["extract", setup, self.scratch / "q", "-q", "--password", "pw"], 0, [], None),
            (["extract", setup, self.scratch / "v", "-v", "--password", "pw"], 0,
             ["  a.txt", "  b/c.bin", "installed 3 of 3 entries"], None),
        ]
        for arguments, status, lines, absent in cases:
            with self.subTest(arguments=arguments):
                result = bookpack(*arguments)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                if not lines:
                    self.assertEqual((result.stdout, result.stderr), ("", ""))
                for line in lines:
                    self.assertIn(line, result.stdout)
                if absent:
                    self.assertNotIn(absent, result.stdout)


@unittest.skipUnless(RUNNER, "bookpack.exe under Wine only: Wine's own messages")
class WineStartFailureTest(BuildTestCase):
    def test_a_program_wine_cannot_start_says_so_on_stderr(self):
        # bookpack.exe importing a DLL that does not exist: Wine ends it
        # before any of its code runs. Unless Wine's message reaches
        # standard error, that run looks like a bookpack that lost both of
        # its streams.
        image = BOOKPACK.read_bytes()
        self.assertEqual(image.count(b"bcrypt.dll"), 1)
        broken = self.scratch / "bookpack.exe"
        broken.write_bytes(image.replace(b"bcrypt.dll", b"bcryqt.dll"))
        result = run([*RUNNER, broken, "--version"], text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "")
        self.assertIn("bcryqt.dll", result.stderr)


class PathTest(BuildTestCase):
    """Paths on the command line as publishers have them: any script in the
    names, and folders nested deeper than Windows' old 260 characters."""

    def round_trip(self, folder: Path):
        files = {"Zoë/préface.txt": "Préface — 序文\n".encode(), "book.html": b"<p>1</p>\n" * 50,
                 "blank/": None}
        source = write_tree(folder / "Bücher 書 source", files)
        setup = folder / "Σετ ап.exe"
        made = bookpack("build", "--stub", STUB, "-o", setup, "--password-file",
                        self.password_file(folder), source)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertIn(f"wrote {setup}:", made.stdout)
        listed = bookpack("list", setup)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertIn("Zoë/préface.txt", listed.stdout)
        checked = bookpack("check", setup, "--password", "pw")
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        out = folder / "出力 ö"
        extracted = bookpack("extract", setup, out, "--password", "pw")
        self.assertEqual(extracted.returncode, 0, extracted.stdout + extracted.stderr)
        self.assertEqual(read_tree(out), files)

    def password_file(self, folder: Path) -> Path:
        path = folder / "pässwort.txt"
        path.write_bytes(b"pw\r\n")
        return path

    def test_unicode_names_of_folders_and_files(self):
        self.round_trip(self.scratch)

    def test_paths_longer_than_260_characters(self):
        deep = self.scratch.joinpath(*[f"level {n} " + "x" * 50 for n in range(5)])
        deep.mkdir(parents=True)
        self.assertGreater(len(str(deep)), 300)
        self.round_trip(deep)


class InstalledStubTest(BuildTestCase):
    PROGRAM = "bookpack.exe" if WINDOWS else "bookpack"
    SEPARATOR = "\\" if WINDOWS else "/"

    def build_with(self, program: Path, source: Path, name: str) -> subprocess.CompletedProcess:
        return run([*RUNNER, program, "build", "-o", self.scratch / name, source], text=True)

    @linux_only("make install is the Linux tool's")
    def test_installed_bookpack_finds_its_stub(self):
        build_dir = os.environ.get("BOOKPACK_BUILD_DIR", str(BOOKPACK.parents[2]))
        staging = self.scratch / "staging"
        made = run(["make", "-C", REPO, "install", f"DESTDIR={staging}", "PREFIX=/usr",
                    "BUILT=1", f"NATIVE_BUILD={build_dir}"], text=True)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        installed = staging / "usr/bin/bookpack"
        self.assertTrue((staging / "usr/share/man/man1/bookpack.1").is_file())
        self.assertEqual((staging / "usr/share/ebook-setup/setup-stub.exe").read_bytes(),
                         STUB.read_bytes())
        source = self.tree({"a.txt": b"words " * 100})
        result = self.build_with(installed, source, "Found.exe")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.scratch / "Found.exe").read_bytes()[:STUB.stat().st_size],
                         STUB.read_bytes())

    def test_an_unpacked_release_finds_the_stub_beside_the_program(self):
        beside = self.scratch / "release"
        beside.mkdir()
        shutil.copy(BOOKPACK, beside / self.PROGRAM)
        shutil.copy(STUB, beside / "setup-stub.exe")
        alone = self.scratch / "alone"
        alone.mkdir()
        shutil.copy(BOOKPACK, alone / self.PROGRAM)

        source = self.tree({"a.txt": b"words " * 100})
        result = self.build_with(beside / self.PROGRAM, source, "Found.exe")
        self.assertEqual(result.returncode, 0, result.stderr)
        setup = self.scratch / "Found.exe"
        self.assertEqual(setup.read_bytes()[:STUB.stat().st_size], STUB.read_bytes())
        self.assertEqual(bookpack("check", setup).returncode, 0)
        result = self.build_with(alone / self.PROGRAM, source, "None.exe")
        self.assertEqual(result.returncode, 2)
        self.assertIn("build needs --stub", result.stderr)
        # Each place looked at is named, as this system writes paths.
        sep = self.SEPARATOR
        self.assertIn(f"alone{sep}setup-stub.exe", result.stderr)
        self.assertIn(f"share{sep}ebook-setup{sep}setup-stub.exe", result.stderr)


if __name__ == "__main__":
    unittest.main()
