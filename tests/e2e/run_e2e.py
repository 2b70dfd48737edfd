#!/usr/bin/env python3
"""End-to-end tests of the packaged setup under Wine.

    run_e2e.py --stub setup-stub.exe --driver uidriver.exe --reader quonview.exe
               --packer tools/pack_setup.py --work DIR --artifacts DIR [-k PATTERN]

Runs inside a prepared Wine prefix (scripts/with-wine.sh: WINEPREFIX set, a
persistent wineserver). Starts one Xvfb for all cases and a desktop of the
tests' own on it, tells Wine's X11 driver not to wait for a window manager,
and runs the test_*.py cases of this folder. Every case has its time limits
(uidriver's per step, the harness's per driver run), and uidriver ends the
setup it started whenever a script stops early.
"""
import argparse
import contextlib
import os
import select
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

import harness

HERE = Path(__file__).resolve().parent


def start_xvfb() -> subprocess.Popen:
    """Xvfb on a free display: it picks the number and writes it to us."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    # Xvfb writes the number and the line end separately; closing our end
    # before the line end arrives would kill it with SIGPIPE.
    answer = b""
    while not answer.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], 30)
        chunk = os.read(read_end, 64) if ready else b""
        if not chunk:
            break
        answer += chunk
    os.close(read_end)
    display = answer.decode().strip() if answer.endswith(b"\n") else ""
    if not display:
        xvfb.kill()
        sys.exit("run_e2e: Xvfb did not report a display")
    os.environ["DISPLAY"] = ":" + display
    return xvfb


def hold_desktop(driver: Path, work: Path, limit_s: float = 120) -> subprocess.Popen:
    """Starts `uidriver --hold`, which keeps the tests' own Wine desktop, on
    our display, for the whole run (see uidriver/main.cpp)."""
    status = work / "desktop.status"
    deadline = time.monotonic() + limit_s
    tries = []
    while True:
        status.unlink(missing_ok=True)
        holder = subprocess.Popen(["wine", str(driver), "--hold", harness.DESKTOP,
                                   harness.win_path(status)],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        # The answer is one line; the file may exist a moment before it has it.
        while (holder.poll() is None and time.monotonic() < deadline
               and not (status.exists() and status.read_text().endswith("\n"))):
            time.sleep(0.1)
        answer = status.read_text().strip() if status.exists() else "no answer"
        if answer == "ok" and holder.poll() is None:
            return holder
        holder.stdin.close()
        holder.wait()
        tries.append(f"{answer} (exit {holder.returncode})")
        if time.monotonic() > deadline:
            sys.exit(f"run_e2e: Wine programs cannot make windows on {os.environ['DISPLAY']}: "
                     + ", ".join(tries))
        time.sleep(2)


@contextlib.contextmanager
def wine_desktop(driver: Path, work: Path):
    """One Xvfb and the tests' desktop, held for as long as the block runs."""
    xvfb = start_xvfb()
    holder = None
    try:
        # Without a window manager Wine otherwise waits about 2 s after each
        # closed dialog for a reply that never comes.
        harness.reg_add(r"HKCU\Software\Wine\X11 Driver", "Managed", "N")
        holder = hold_desktop(driver, work)
        yield
    finally:
        if holder:
            holder.stdin.close()
            holder.wait(timeout=30)
        xvfb.terminate()
        xvfb.wait(timeout=10)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("stub", "driver", "reader", "packer", "work", "artifacts"):
        parser.add_argument("--" + name, required=True, type=Path)
    parser.add_argument("-k", dest="patterns", action="append",
                        help="only cases whose name contains this text")
    args = parser.parse_args()

    if "WINEPREFIX" not in os.environ:
        sys.exit("run_e2e: no WINEPREFIX; run under scripts/with-wine.sh")
    missing = [tool for tool in ("wine", "Xvfb", "zip", "7z") if not shutil.which(tool)]
    missing += [str(p) for p in (args.stub, args.driver, args.reader, args.packer) if not p.exists()]
    if missing:
        sys.exit("run_e2e: missing " + ", ".join(missing))

    args.work.mkdir(parents=True, exist_ok=True)
    args.artifacts.mkdir(parents=True, exist_ok=True)
    harness.TOOLS = harness.Tools(stub=args.stub.resolve(), driver=args.driver.resolve(),
                                  reader=args.reader.resolve(), packer=args.packer.resolve(),
                                  work=args.work.resolve(), artifacts=args.artifacts.resolve(),
                                  prefix=Path(os.environ["WINEPREFIX"]).resolve())
    with wine_desktop(harness.TOOLS.driver, harness.TOOLS.work):
        loader = unittest.TestLoader()
        if args.patterns:
            loader.testNamePatterns = [f"*{p}*" for p in args.patterns]
        suite = loader.discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE))
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun else 1


if __name__ == "__main__":
    sys.exit(main())
