"""The documentation against the build: the stub's size and imports that
README.md and the guide quote, and the options of each command that the man
page lists, taken from the built stubs and from `bookpack help`, which the
program makes from the same table it parses with. A figure or option that
changes without its documentation fails here."""
import re
import sys

from build_fixtures import REPO, STUB, STUB_X86_64, BuildTestCase, bookpack

sys.path.insert(0, str(REPO / "tools"))
from finish_stub import Image  # noqa: E402

README = (REPO / "README.md").read_text()
GUIDE = (REPO / "docs" / "publishing.md").read_text()
JSON_DOC = (REPO / "docs" / "publishing-json.md").read_text()
MAN = (REPO / "docs" / "bookpack.1").read_text()
COMMANDS = ("build", "check", "list", "extract")


def options_of_help(command: str) -> set:
    """The options `bookpack help COMMAND` lists, each in its long form."""
    text = bookpack("help", command).stdout
    return set(re.findall(r"^  (?:-\w, )?(--[a-z][\w-]*)", text, re.M))


def man_name(option: str) -> str:
    """An option as roff writes it: every '-' escaped."""
    return option.replace("-", "\\-")


def man_section(name: str) -> str:
    start = MAN.index(f".SH {name}")
    end = MAN.find("\n.SH ", start + 1)
    return MAN[start:end if end > 0 else len(MAN)]


class StubFiguresTest(BuildTestCase):
    def test_sizes_and_imports_are_the_built_stubs(self):
        size = STUB.stat().st_size
        self.assertIn(f"| size | **{size:,} bytes**", README)
        if STUB_X86_64.exists():
            self.assertIn(f"`build/win64/setup-stub.exe`, **{STUB_X86_64.stat().st_size:,} bytes**",
                          README)
        row = re.search(r"^\| imports \| (.*) \|$", README, re.M).group(1)
        quoted = sorted(re.findall(r"(\w+\.dll)", row))
        self.assertEqual(quoted, sorted(Image(STUB.read_bytes()).imported_dlls()))
        # The examples of build's report and of list's JSON.
        for name, text in (("README.md", README), ("docs/publishing.md", GUIDE)):
            with self.subTest(name):
                shown = re.findall(r"stub of (\d+) bytes", text)
                self.assertTrue(shown)
                self.assertEqual(set(shown), {str(size)})
        self.assertEqual(re.findall(r'"stub_length": (\d+)', JSON_DOC), [str(size)])


class OptionsDocumentedTest(BuildTestCase):
    def test_every_option_is_in_the_help_usage_and_man_page(self):
        accepted = set()
        synopsis = man_section("SYNOPSIS")
        listed = man_section("OPTIONS")
        for command in COMMANDS:
            options = options_of_help(command)
            accepted |= options
            with self.subTest(command):
                self.assertIn("--quiet", options, "-q and -v work for every command")
                usage = bookpack("help", command).stdout.split("\n\n")[0]
                man_usage = synopsis[synopsis.index(f".B bookpack {command}"):]
                man_usage = man_usage[:man_usage.find(".br")]
                for option in options - {"--help"}:
                    with self.subTest(option=option):
                        # Each is accepted (a usage error would name it).
                        probe = bookpack(command, option, "--help")
                        self.assertNotIn("unknown option", probe.stderr)
                        self.assertIn(man_name(option), listed, "the man page's OPTIONS")
                        if option in ("--quiet", "--verbose"):
                            self.assertIn("[-q|-v]", usage)
                            self.assertIn("\\-q | \\-v", man_usage)
                        elif option.startswith("--password"):
                            self.assertIn("[PASSWORD]", usage)
                            self.assertIn("PASSWORD", man_usage)
                        else:
                            short = {"--output": "-o"}.get(option, option)
                            self.assertIn(short, usage, "the usage line")
                            self.assertIn(man_name(short), man_usage, "the man page's SYNOPSIS")
        # Nothing the program does not take (beside the spelling --licence
        # also takes, the top-level --version and the "--name VALUE" form).
        in_man = set(re.findall(r"\\-\\-([a-z][\w\\-]*)", MAN))
        in_man = {"--" + name.replace("\\-", "-") for name in in_man}
        self.assertEqual(in_man - accepted - {"--license", "--version", "--name"}, set())
