"""Runs packaged setups under Wine and drives their dialogs with uidriver.

A case writes a uidriver script (see tests/e2e/uidriver/main.cpp for its
commands), runs it, and gets back an Outcome: every window the setup showed,
in order, with the texts of its controls, and the setup's exit code. The
driver fails a run as soon as a window appears that the script did not ask
for, so the script itself states the whole sequence of dialogs.

Files are checked through the Wine prefix: C:\\ is $WINEPREFIX/drive_c and
Z:\\ is the Linux root.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

MAIN = "E-book Setup"
PASSWORD = "Insert Password..."
OVERWRITE = "Confirm overwrite of..."
ERROR = "Error"

# Control ids of the main dialog.
FOLDER_FIELD = 101
FOLDER_LABEL = 100
NOTICE = 132
LICENCE_BOX = 701
ENTRY_LIST = 301
MESSAGE_TEXT = 0xFFFF  # the text of a message box

# The desktop that the setups run on, held by run_e2e for the whole run.
DESKTOP = "e2e"

# A hung dialog fails its case long before ctest's own limit.
DRIVER_RUN_LIMIT_S = 180


@dataclass
class Tools:
    stub: Path
    driver: Path
    reader: Path  # the quonview.exe stand-in
    packer: Path
    work: Path  # packaged setups, scripts and logs (reached as Z:)
    artifacts: Path
    prefix: Path

    @property
    def drive_c(self) -> Path:
        return self.prefix / "drive_c"


TOOLS: Optional[Tools] = None


def win_path(path: Path) -> str:
    """The Windows name of a Linux path: C:\\ inside the prefix, else Z:\\."""
    path = Path(os.path.abspath(path))
    if path.is_relative_to(TOOLS.drive_c):
        return "C:\\" + "\\".join(path.relative_to(TOOLS.drive_c).parts)
    return "Z:" + str(path).replace("/", "\\")


def wine(*args: str, check: bool = True, limit_s: float = 120) -> subprocess.CompletedProcess:
    """Runs a Wine program and returns its output. The output goes through a
    file, not a pipe: Wine may start helpers (services, the desktop process)
    that inherit the program's handles and outlive it, and a pipe would then
    never reach its end. Standard input is never the caller's terminal:
    Wine would give a console program one console of its own on it
    (conhost.exe --unix), which a run from CI never has."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(["wine", *args], stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT)
        try:
            process.wait(timeout=limit_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        output.seek(0)
        text = output.read().decode("utf-8", "replace")
    if check and process.returncode != 0:
        raise RuntimeError(f"wine {' '.join(args)} failed with {process.returncode}: {text}")
    return subprocess.CompletedProcess(args, process.returncode, text)


def reg_add(key: str, name: str, data: str, kind: str = "REG_SZ") -> None:
    # No spaces in `data`: Wine builds the Windows command line from argv and
    # a quoted value ending in a backslash would escape its own quote.
    assert " " not in data, data
    wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")


def end_process(pid: int) -> None:
    wine("taskkill", "/F", "/PID", str(pid), check=False)


@dataclass
class Window:
    caption: str
    controls: dict  # id -> {"class", "text", "visible", maybe "items", "selected", "checked"}
    owner: Optional[str] = None  # the caption of the window that owns it

    def text(self, control_id: int) -> str:
        return self.controls[control_id]["text"]

    @property
    def message(self) -> str:
        return self.text(MESSAGE_TEXT)


@dataclass
class Outcome:
    events: list
    log: str
    windows: list = field(default_factory=list)  # in the order they appeared
    reads: list = field(default_factory=list)  # "read" snapshots, in order
    pings: list = field(default_factory=list)  # "ping" answers: {"answered", "waited"}
    exit_code: Optional[int] = None
    # The message that said where the book was installed, answered by the
    # driver's "exit" step; None when the setup ended without it.
    done: Optional[Window] = None
    failure: Optional[str] = None
    acp: Optional[int] = None

    @property
    def captions(self) -> list:
        return [w.caption for w in self.windows]

    @property
    def messages(self) -> list:
        """(caption, text) of every message box, in order. Line breaks read
        back as CR LF or LF depending on the way the text was set; both show
        the same, so they are compared as LF."""
        return [(w.caption, w.message.replace("\r\n", "\n")) for w in self.windows
                if MESSAGE_TEXT in w.controls]

    def first(self, caption: str) -> Window:
        return next(w for w in self.windows if w.caption == caption)

    def of_event(self, name: str) -> dict:
        return next(e for e in self.events if e["event"] == name)


def _window(event: dict) -> Window:
    return Window(event["caption"], {c["id"]: c for c in event["controls"]}, event.get("owner"))


class Script:
    """A uidriver script, built line by line."""

    def __init__(self):
        self.lines = []

    def add(self, *lines: str) -> "Script":
        for line in lines:
            assert "\n" not in line and "\r" not in line, line
            self.lines.append(line)
        return self

    def text(self) -> str:
        return "".join(line + "\n" for line in self.lines)


# Answers to the setup's dialogs, as script lines.
def password(text: str) -> list:
    return [f"window {PASSWORD}", f"set 101 {text}", "press 1"]


def overwrite(yes: bool, dont_ask: bool = False) -> list:
    return [f"window {OVERWRITE}"] + (["tick 401"] if dont_ask else []) + [
        f"press {1 if yes else 2}"]


def message(caption: str = ERROR) -> list:
    return [f"window {caption}", "press 1"]


def drive(script: Script, name: str, watch=None) -> Outcome:
    """Runs the script; the log and script stay in the work folder. `watch`,
    when given, is called with each event as the driver logs it, while the
    script runs (for a test that acts between two steps, see `waitfile`)."""
    folder = TOOLS.work / "runs"
    folder.mkdir(parents=True, exist_ok=True)
    script_file, log_file = folder / f"{name}.script", folder / f"{name}.log"
    script_file.write_text(script.text(), encoding="utf-8")
    log_file.unlink(missing_ok=True)
    try:
        if watch is None:
            driver = wine(str(TOOLS.driver), win_path(script_file), win_path(log_file),
                          check=False, limit_s=DRIVER_RUN_LIMIT_S)
        else:
            driver = _drive_watched(script_file, log_file, watch)
        driver_failed = None
    except subprocess.TimeoutExpired:
        driver = subprocess.CompletedProcess([], None, "")
        driver_failed = f"the driver did not finish within {DRIVER_RUN_LIMIT_S} s"
    text = log_file.read_text(encoding="utf-8") if log_file.exists() else ""
    events = [json.loads(line) for line in text.splitlines() if line.strip()]
    outcome = Outcome(events, text)
    for event in events:
        kind = event["event"]
        if kind == "start":
            outcome.acp = event["acp"]
        elif kind == "window":
            outcome.windows.append(_window(event))
        elif kind == "read":
            outcome.reads.append(_window(event))
        elif kind == "ping":
            outcome.pings.append(event)
        elif kind == "exit":
            outcome.exit_code = event["code"]
        elif kind == "done":
            outcome.done = _window(event)
        elif kind == "failure":
            outcome.failure = event["message"]
    if driver_failed:
        # The driver was killed before it could end the setup itself.
        for event in events:
            if event["event"] == "start":
                end_process(event["pid"])
    if driver_failed or (driver.returncode != 0 and outcome.failure is None):
        outcome.failure = driver_failed or (
            f"uidriver exited with {driver.returncode}: {driver.stdout[-2000:]}")
    return outcome


def _drive_watched(script_file: Path, log_file: Path, watch) -> subprocess.CompletedProcess:
    result = {}

    def run():
        try:
            result["done"] = wine(str(TOOLS.driver), win_path(script_file), win_path(log_file),
                                  check=False, limit_s=DRIVER_RUN_LIMIT_S)
        except subprocess.TimeoutExpired as timeout:
            result["timeout"] = timeout

    thread = threading.Thread(target=run)
    thread.start()
    seen = 0
    while True:
        alive = thread.is_alive()
        lines = log_file.read_text(encoding="utf-8").splitlines() if log_file.exists() else []
        # Only whole lines: the driver may be in the middle of one.
        for line in lines[seen:]:
            try:
                event = json.loads(line)
            except json.JSONDecodeError:
                break
            watch(event)
            seen += 1
        if not alive:
            break
        time.sleep(0.05)
    thread.join()
    if "timeout" in result:
        raise result["timeout"]
    return result["done"]


def deny_writes(case: unittest.TestCase, folder: Path) -> None:
    """Makes `folder` refuse new files and folders with access denied, as a
    protected folder refuses a standard user: immutable when the tests run
    as root (who passes every permission check), read-only otherwise. The
    case lifts it again at its end."""
    if os.geteuid() == 0:
        subprocess.run(["chattr", "+i", str(folder)], check=True)
    else:
        folder.chmod(0o555)
    case.addCleanup(allow_writes, folder)


def allow_writes(folder: Path) -> None:
    if os.geteuid() == 0:
        subprocess.run(["chattr", "-i", str(folder)], check=False)
    else:
        folder.chmod(0o755)


def licence_copy(temp: Path, entry: str) -> Path:
    """The licence's copy in the temporary folder `temp`: in the one folder of
    the setup's own there, under the entry's bare name."""
    copies = list(temp.glob("ebook-setup-*/" + entry.rsplit("/", 1)[-1]))
    assert len(copies) == 1, copies
    return copies[0]


def wait_for_file(path: Path, limit_s: float = 30) -> bool:
    """For files written by a program the setup started and did not wait for."""
    deadline = time.monotonic() + limit_s
    while not path.exists():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    # The writer may still hold it open; its one write ends with a newline.
    while not path.read_bytes().endswith(b"\n") and time.monotonic() < deadline:
        time.sleep(0.1)
    return True


def read_tree(root: Path) -> dict:
    """Relative name -> bytes for files, name + "/" -> None for folders."""
    tree = {}
    for path in root.rglob("*"):
        name = path.relative_to(root).as_posix()
        if path.is_dir():
            tree[name + "/"] = None
        else:
            tree[name] = path.read_bytes()
    return tree


def with_folders(files: dict) -> dict:
    """The tree that `files` makes on disk: its folders, listed or implied."""
    tree = dict(files)
    for name in files:
        parts = name.rstrip("/").split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            tree["/".join(parts[:depth]) + "/"] = None
    return tree


def write_tree(root: Path, files: dict) -> None:
    for name, data in files.items():
        target = root / name
        if name.endswith("/"):
            target.mkdir(parents=True, exist_ok=True)
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)


class SetupCase(unittest.TestCase):
    """A case with its own folders under C:\\e2e and its own packaged setup."""

    maxDiff = None

    def setUp(self):
        self.case_name = self.id().split(".", 1)[1].replace(".", "-")
        self.case_c = TOOLS.drive_c / "e2e" / self.case_name
        self.case_work = TOOLS.work / "cases" / self.case_name
        for folder in (self.case_c, self.case_work):
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)

    def folder(self, name: str, create: bool = False) -> Path:
        """A folder on C: of this case (made only when asked)."""
        path = self.case_c / name
        if create:
            path.mkdir(parents=True, exist_ok=True)
        return path

    def package(self, archive: Path, size_delta: int = 0, name: str = "setup.exe") -> Path:
        out = self.case_work / name
        command = [sys.executable, str(TOOLS.packer), str(TOOLS.stub), str(archive), str(out)]
        if size_delta:
            command += ["--size-delta", str(size_delta)]
        subprocess.run(command, check=True)
        return out

    def run_setup(self, setup: Path, *steps, env: Optional[dict] = None,
                  cwd: Optional[Path] = None, tag: str = "", args: str = "",
                  code: int = 0, done: bool = False, watch=None) -> Outcome:
        """Starts the setup (with the command-line arguments `args`) and runs
        `steps` (script lines or lists of them), then waits for its end,
        which must come with the exit code `code`. Fails the case if the
        driver could not go through the script. The message that says where
        the book went must come exactly when `done` says: as designed, a
        setup ends without a word, and only a publisher's setting adds it."""
        script = Script().add("timeout 30", f"desktop {DESKTOP}")
        if args:
            script.add(f"args {args}")
        for key, value in (env or {}).items():
            script.add(f"env {key}={value}")
        if cwd is not None:
            script.add(f"cwd {win_path(cwd)}")
        script.add(f"run {win_path(setup)}")
        for step in steps:
            script.add(*([step] if isinstance(step, str) else step))
        script.add("exit")
        outcome = drive(script, self.case_name + tag, watch)
        self.assertIsNone(outcome.failure, f"{outcome.failure}\n--- driver log:\n{outcome.log}")
        self.assertEqual(outcome.exit_code, code)
        self.assertEqual(outcome.done is not None, done,
                         f"the message that says where the book went\n{outcome.log}")
        # An install that reported a problem never also says it installed
        # (a wrong password typed again is no problem of the install).
        if outcome.done is not None:
            self.assertEqual([text for caption, text in outcome.messages if caption == ERROR
                              and text != "The password is wrong. Please try again."], [],
                             outcome.log)
        return outcome

    def install(self, setup: Path, folder: Optional[Path], *dialogs, **options) -> Outcome:
        """Main dialog, folder typed (unless None), Install, then `dialogs`."""
        steps = [f"window {MAIN}"]
        if folder is not None:
            steps.append(f"set {FOLDER_FIELD} {win_path(folder)}")
        steps.append("press 1")
        return self.run_setup(setup, steps, *dialogs, **options)

    def assertTree(self, root: Path, files: dict):
        """The folder holds exactly `files` (and their folders), byte for byte."""
        expected = with_folders(files)
        actual = read_tree(root) if root.exists() else {}
        self.assertEqual(sorted(actual), sorted(expected), f"names under {root}")
        for name, data in expected.items():
            if data is not None:
                self.assertTrue(actual[name] == data, f"{name} differs from its archived bytes")
