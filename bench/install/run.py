#!/usr/bin/env python3
"""Install time of our setup against an NSIS installer of the same files.

    run.py --arch i686|x86_64 --stub STUB --bookpack BOOKPACK --driver UIDRIVER
           --book BOOKDIR --work DIR [--runs N]

Runs inside a prepared Wine prefix (scripts/with-wine.sh). Two payloads: the
benchmark book (bench/bookpack/make_book.py) and one 256 MiB file that
Deflate shrinks by about 29%. For each, `bookpack build` makes our setup and
makensis an NSIS installer (zlib, not solid; `Target amd64-unicode` for
x86-64, its default x86-unicode for i686). Both install into a folder on
tmpfs when there is one, alternating ours and NSIS's, N runs each (at least
5); every installed tree is compared byte for byte with its source after
each run. Both are started by uidriver, which reports the process's lifetime
as the system recorded it (creation to exit), so that the driver's polling
adds nothing to either figure.

A third program sets the floor: bench/install/floor.c, built here, only
creates the same files from bytes stored as they are after it (no
decompression, no check, no window), started the same way.

Prints per payload the medians and the lines
    install/nsis-zlib PAYLOAD ARCH R
    install/floor PAYLOAD ARCH F
with R = our median time / NSIS's median time (below 1: ours faster) and F =
our median time / the floor's (how far ours is from what Wine allows).
"""
import argparse
import filecmp
import json
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tests" / "e2e"))
import harness  # noqa: E402
import run_e2e  # noqa: E402

BIG_SIZE = 256 << 20


def make_big_file(path: Path) -> None:
    """256 MiB, the same bytes every time: in every 64 KiB block, 66% random
    bytes and 34% words of a small vocabulary, so that Deflate saves about
    29%."""
    if path.exists() and path.stat().st_size == BIG_SIZE:
        return
    rng = random.Random(29)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(8)]
    block = 64 << 10
    random_part = block * 66 // 100
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path.with_suffix(".part"), "wb") as out:
        for _ in range(BIG_SIZE // block):
            text = b" ".join(rng.choice(words) for _ in range(block // 4))
            out.write(rng.randbytes(random_part) + text[:block - random_part])
    path.with_suffix(".part").rename(path)


# Both setups install unattended with the same arguments; /D= comes last
# and unquoted, as NSIS wants it.
def silent_script(setup: Path, target: Path) -> list:
    return [f"args /S /D={harness.win_path(target)}", f"run {harness.win_path(setup)}", "exit"]


def timed_run(driver: Path, work: Path, name: str, lines: list) -> float:
    """Runs one uidriver script; returns the setup's lifetime in seconds."""
    script = work / f"{name}.script"
    log = work / f"{name}.log"
    script.write_text("".join(line + "\n" for line in
                              ["timeout 600", f"desktop {harness.DESKTOP}", *lines]),
                      encoding="utf-8")
    log.unlink(missing_ok=True)
    result = harness.wine(str(driver), harness.win_path(script), harness.win_path(log),
                          check=False, limit_s=900)
    events = [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()
              if line.strip()] if log.exists() else []
    exits = [e for e in events if e["event"] == "exit"]
    if result.returncode != 0 or not exits or exits[0]["code"] != 0 or "us" not in exits[0]:
        sys.exit(f"install bench: {name} failed (driver exit {result.returncode}):\n"
                 + (log.read_text(encoding="utf-8") if log.exists() else result.stdout))
    return exits[0]["us"] / 1e6


def same_tree(source: Path, installed: Path) -> str:
    """Empty when `installed` holds exactly the files of `source`, byte for
    byte; otherwise what differs."""
    def files(root):
        return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())
    want, got = files(source), files(installed) if installed.exists() else []
    if want != got:
        return f"names differ: {len(want)} expected, {len(got)} installed"
    for name in want:
        if not filecmp.cmp(source / name, installed / name, shallow=False):
            return f"{name} differs"
    return ""


def nsis_installer(makensis: str, arch: str, source: Path, out: Path) -> None:
    target = "Target amd64-unicode\n" if arch == "x86_64" else "Unicode true\n"
    script = out.with_suffix(".nsi")
    script.write_text(
        target +
        "SetCompressor zlib\n"
        # With its check of the whole installer on, NSIS shows a "verifying
        # installer" window even when silent once the check takes a second
        # (the big file), which the driver takes for a stray dialog. Off, it
        # is only faster: the comparison stays on the safe side for us.
        "CRCCheck off\n"
        "RequestExecutionLevel user\n"
        "Name \"Bench\"\n"
        f"OutFile \"{out}\"\n"
        "InstallDir \"$TEMP\\bench\"\n"
        "Section\n"
        "  SetOutPath \"$INSTDIR\"\n"
        f"  File /r \"{source}/*\"\n"
        "SectionEnd\n", encoding="utf-8")
    subprocess.run([makensis, "-V1", str(script)], check=True)


def floor_setup(arch: str, source: Path, out: Path) -> None:
    """The floor program with `source`'s files after it (see floor.c)."""
    program = out.with_name(f"floor-{arch}.exe")
    subprocess.run([f"{arch}-w64-mingw32-gcc", "-O2", "-s", "-municode", "-mwindows",
                    "-o", str(program), str(HERE / "floor.c")], check=True)
    with open(out, "wb") as setup:
        setup.write(program.read_bytes())
        start = setup.tell()
        for path in sorted(p for p in source.rglob("*") if p.is_file()):
            name = str(path.relative_to(source)).encode("utf-8")
            setup.write(struct.pack("<I", len(name)) + name)
            setup.write(struct.pack("<I", path.stat().st_size))
            with open(path, "rb") as data:
                shutil.copyfileobj(data, setup, 1 << 20)
        setup.write(struct.pack("<I", 0) + struct.pack("<I", start) + b"FLR1")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=("i686", "x86_64"))
    for name in ("stub", "bookpack", "driver", "book", "work"):
        parser.add_argument("--" + name, required=True, type=Path)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=("book", "big"), help="one payload only")
    args = parser.parse_args()
    runs = max(args.runs, 5)
    makensis = shutil.which("makensis")
    if makensis is None:
        print(f"install/nsis-zlib {args.arch}: not run, makensis is missing (Debian package nsis)")
        return 0

    work = args.work.resolve() / args.arch
    work.mkdir(parents=True, exist_ok=True)
    shm = Path("/dev/shm")
    target_root = (shm if shm.is_dir() and os.access(shm, os.W_OK) else work) / \
        f"ebook-install-bench-{os.getpid()}"
    big_source = args.work.resolve() / "big" / "big.bin"
    make_big_file(big_source)
    payloads = {"book": args.book.resolve(), "big": big_source.parent}
    if args.only:
        payloads = {args.only: payloads[args.only]}

    harness.TOOLS = harness.Tools(stub=args.stub, driver=args.driver, reader=args.driver,
                                  packer=args.driver, work=work, artifacts=work,
                                  prefix=Path(os.environ["WINEPREFIX"]))
    try:
        with run_e2e.wine_desktop(args.driver, work):
            for payload, source in payloads.items():
                ours = work / f"{payload}-ours.exe"
                nsis = work / f"{payload}-nsis.exe"
                subprocess.run([str(args.bookpack), "build", "-q", "--stub", str(args.stub),
                                "-o", str(ours), str(source)], check=True)
                nsis_installer(makensis, args.arch, source, nsis)
                floor = work / f"{payload}-floor.exe"
                floor_setup(args.arch, source, floor)
                setups = {"ours": ours, "nsis": nsis, "floor": floor}
                target = target_root / payload
                times = {"ours": [], "nsis": [], "floor": []}
                for k in range(runs):
                    order = ("ours", "nsis", "floor") if k % 2 == 0 else ("floor", "nsis", "ours")
                    for who in order:
                        shutil.rmtree(target, ignore_errors=True)
                        setup = setups[who]
                        lines = silent_script(setup, target)
                        times[who].append(timed_run(args.driver, work, f"{payload}-{who}", lines))
                        problem = same_tree(source, target)
                        if problem:
                            sys.exit(f"install bench: {who} installed {payload} wrongly: {problem}")
                shutil.rmtree(target, ignore_errors=True)
                ours_median = statistics.median(times["ours"])
                nsis_median = statistics.median(times["nsis"])
                print(f"{payload}: ours {ours_median:.3f} s ({ours.stat().st_size} bytes), "
                      f"NSIS zlib {nsis_median:.3f} s ({nsis.stat().st_size} bytes); "
                      f"medians of {runs} alternating runs, each tree checked byte for byte; "
                      f"target {target_root.parent}")
                floor_median = statistics.median(times["floor"])
                print(f"{payload}: the floor (files written from stored bytes) "
                      f"{floor_median:.3f} s")
                print(f"install/nsis-zlib {payload} {args.arch} {ours_median / nsis_median:.2f}")
                print(f"install/floor {payload} {args.arch} {ours_median / floor_median:.2f}")
    finally:
        shutil.rmtree(target_root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
