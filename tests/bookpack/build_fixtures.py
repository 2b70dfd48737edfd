"""Shared by the `bookpack build` tests: running the tool, small source
trees, ZIP files from real tools, and the setup read back the way the stub
reads it (its size field and its walk from local header to local header).

BOOKPACK, SETUP_STUB and SETUP_STUB_X86_64 name the tool and the stubs; by
default the ones of build/native, build/win32 and build/win64 in this
repository. BOOKPACK may be bookpack.exe, with BOOKPACK_RUNNER the program
that runs it (wine): the same tests then hold for the tool on Windows.
"""
import os
import random
import shlex
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BOOKPACK = Path(os.environ.get("BOOKPACK", REPO / "build/native/tools/bookpack/bookpack"))
STUB = Path(os.environ.get("SETUP_STUB", REPO / "build/win32/setup-stub.exe"))
# The x86-64 variant of the stub: bookpack packs either.
STUB_X86_64 = Path(os.environ.get("SETUP_STUB_X86_64", REPO / "build/win64/setup-stub.exe"))
# What runs BOOKPACK on this host: nothing for the Linux tool, Wine for
# bookpack.exe.
RUNNER = shlex.split(os.environ.get("BOOKPACK_RUNNER", ""))
# Wine's own error messages stay on for bookpack.exe (the suites' Wine
# environment turns every message off): a run that fails inside Wine then
# says so on its standard error in that very run. Its status cannot: Wine
# passes on only the low byte of the Windows exit code, so a process that
# Wine ended with STATUS_UNSUCCESSFUL (0xC0000001) ends with status 1, as a
# bookpack whose writes were lost does. A sound run prints none of them.
if RUNNER:
    os.environ["WINEDEBUG"] = "err+all"
WINDOWS = BOOKPACK.suffix.lower() == ".exe"
# The system's words for a missing file or folder: strerror on Linux,
# FormatMessage on Windows (Wine's wording and Windows' own).
NOT_FOUND = (("File not found", "Path not found", "The system cannot find the file specified",
              "The system cannot find the path specified") if WINDOWS
             else ("No such file or directory",))
# ... and for a file on the way where a folder should be.
NOT_A_FOLDER = (("Path not found", "The system cannot find the path specified") if WINDOWS
                else ("Not a directory",))
MARKER = b"StubLength::"
# unzip, zip and 7-Zip turn non-ASCII names into the locale's characters.
os.environ["LC_ALL"] = "C.UTF-8"


def sample_book() -> dict:
    """A small e-book: compressible text, an incompressible picture that must
    be stored, a file longer than the stub's 32 KiB pieces, an empty file, a
    non-ASCII name, nested and empty folders (None marks a folder)."""
    rnd = random.Random(7)
    text = "".join(f"<p>Chapter {i}: {'the quick brown fox. ' * (i % 9 + 1)}</p>\n"
                   for i in range(2000)).encode()
    return {
        "book.xhtml": text,
        "images/cover.jpg": rnd.randbytes(50_000),
        "images/plates/plate1.dat": b"".join(rnd.randbytes(40) + bytes(90) for _ in range(900)),
        "notes/empty.txt": b"",
        "notes/deep/end.txt": b"The end.\r\n",
        "Zoë's préface.txt": "Préface — déjà vu.\n".encode(),
        "blank/": None,
    }


def write_tree(root: Path, files: dict, mtime: int = 1_600_000_000) -> Path:
    for name, data in files.items():
        path = root / name
        if data is None:
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        os.utime(path, (mtime, mtime))
    # Folders last, since adding to a folder changes its time.
    for name, data in files.items():
        if data is None:
            os.utime(root / name, (mtime, mtime))
    return root


def read_tree(root: Path) -> dict:
    """Files with their bytes and empty folders (as None), by relative name."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = Path(dirpath).relative_to(root)
        if not dirnames and not filenames and rel != Path("."):
            tree[rel.as_posix() + "/"] = None
        for name in filenames:
            tree[(rel / name).as_posix().removeprefix("./")] = (Path(dirpath) / name).read_bytes()
    return tree


def run(command, cwd=None, **kwargs) -> subprocess.CompletedProcess:
    # Standard input is never the caller's terminal: under Wine a console
    # program with a terminal there gets a console of its own on it
    # (conhost.exe --unix, one more Wine process per run), which CI never has.
    if "input" not in kwargs:
        kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, **kwargs)


def bookpack_command(*args) -> list:
    """The command line that runs bookpack with `args` on this host."""
    return [*RUNNER, BOOKPACK, *args]


def bookpack(*args, **kwargs) -> subprocess.CompletedProcess:
    """Runs bookpack. A run that failed without a word on either stream is
    no result of bookpack's (every failure of it says why): it fails the
    test at once with the status and, under Wine, Wine's own messages for
    the same command run again. It is never retried: Wine's errors were on
    and there were none, so nothing tells a Wine that failed to start it
    apart from a bookpack that was ended."""
    return checked(run(bookpack_command(*args), text=True, **kwargs), args, kwargs)


def checked(result: subprocess.CompletedProcess, args, kwargs: dict) -> subprocess.CompletedProcess:
    """`result` of bookpack `args`, failing the test at once when it ended
    with a non-zero status and nothing on either stream (see bookpack())."""
    if result.returncode != 0 and not result.stdout and not result.stderr:
        raise AssertionError(ended_without_a_word(args, result.returncode, kwargs))
    return result


def ended_without_a_word(args, status: int, kwargs: dict) -> str:
    described = "killed by signal %d" % -status if status < 0 else "status %d" % status
    text = (f"bookpack {' '.join(map(str, args))}\nended with {described} and wrote nothing on "
            "standard output or standard error, which no path of bookpack does: it was ended "
            "from outside, its code never ran, or both of its streams were lost")
    if RUNNER:
        text += (f" (Wine's error messages were on, WINEDEBUG={os.environ.get('WINEDEBUG')}; the "
                 "status is the low byte of the Windows exit code, so 1 may be 0xC0000001 too)")
    # A build renames its setup into place only once it is complete, before
    # it reports: a setup there means that its code ran to the end.
    words = list(map(str, args))
    if words[:1] == ["build"] and "-o" in words[:-1]:
        setup = Path(words[words.index("-o") + 1])
        text += (f".\nIts setup {setup} " + ("exists: the build ran to its end, and what it "
                 "wrote to both streams was lost" if setup.exists() else "was not written"))
    if not RUNNER:
        return text
    environment = dict(kwargs.get("env") or os.environ, WINEDEBUG="err+all,+process,+loaddll")
    again = run(bookpack_command(*args), text=True, env=environment,
                **{k: v for k, v in kwargs.items() if k != "env"})
    messages = (again.stderr or "(none)").splitlines()
    return (text + f".\nThe same command again with Wine's messages on ({environment['WINEDEBUG']})"
            f" ended with status {again.returncode}; the last of its messages:\n  "
            + "\n  ".join(messages[-40:]))


def linux_only(reason: str):
    """For tests of what only the Linux tool has or can be driven by (a
    terminal made with pty, POSIX signals, make install)."""
    return unittest.skipIf(WINDOWS, f"Linux only: {reason}")


def build(source: Path, out: Path, *options, stub: Path = STUB) -> subprocess.CompletedProcess:
    return bookpack("build", "--stub", stub, "-o", out, *options, source)


def read_terminal(controller: int, replies=(), limit_s: float = 120) -> bytes:
    """Reads what a terminal shows until its program closes it, typing each
    reply after a prompt that ends in ': '; closes the terminal."""
    import select
    import time
    shown = b""
    pending = list(replies)
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if not select.select([controller], [], [], 5)[0]:
            continue
        try:
            piece = os.read(controller, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not piece:
            break
        shown += piece
        if pending and shown.rstrip(b" ").endswith(b":"):
            os.write(controller, pending.pop(0).encode() + b"\n")
    os.close(controller)
    return shown


def with_stderr_on_a_terminal(arguments) -> tuple:
    """Runs bookpack with its standard error on a new terminal (where it
    draws its progress line); returns the exit status and what the
    terminal showed."""
    import pty
    controller, terminal = pty.openpty()
    process = subprocess.Popen(list(map(str, bookpack_command(*arguments))),
                               stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    shown = read_terminal(controller)
    return process.wait(60), shown


# --- ZIP files made by real tools ------------------------------------------

def info_zip(tree: Path, out: Path, *options) -> Path:
    run(["zip", "-q", "-r", *options, out.resolve(), "."], cwd=tree, check=True)
    return out


def seven_zip(tree: Path, out: Path, *options) -> Path:
    run(["7z", "a", "-tzip", "-bd", "-y", *options, out.resolve(), "."], cwd=tree, check=True)
    return out


def bsdtar_zip(tree: Path, out: Path) -> Path:
    run(["bsdtar", "--format", "zip", "-cf", out.resolve(), "."], cwd=tree, check=True)
    return out


def python_zip(tree: Path, out: Path, method: int, force_zip64: bool = False) -> Path:
    with zipfile.ZipFile(out, "w", method) as z:
        for path in sorted(tree.rglob("*")):
            name = path.relative_to(tree).as_posix()
            if path.is_dir():
                if not any(path.iterdir()):
                    z.write(path, name + "/")
                continue
            with z.open(z_info(path, name, method), "w", force_zip64=force_zip64) as f:
                f.write(path.read_bytes())
    return out


def z_info(path: Path, name: str, method: int) -> zipfile.ZipInfo:
    info = zipfile.ZipInfo.from_file(path, name)
    info.compress_type = method
    return info


LIBZIP_WRITER = r"""
#include <zip.h>
#include <stdio.h>
#include <string.h>
/* out.zip password name=path|folder/ ...: every file encrypted the traditional way */
int main(int argc, char **argv) {
  int error;
  zip_t *z = zip_open(argv[1], ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!z) return 1;
  for (int i = 3; i < argc; ++i) {
    char *eq = strchr(argv[i], '=');
    if (!eq) {
      if (zip_dir_add(z, argv[i], ZIP_FL_ENC_UTF_8) < 0) return 1;
      continue;
    }
    *eq = 0;
    zip_source_t *s = zip_source_file(z, eq + 1, 0, -1);
    zip_int64_t index = zip_file_add(z, argv[i], s, ZIP_FL_ENC_UTF_8);
    if (index < 0 || zip_file_set_encryption(z, index, ZIP_EM_TRAD_PKWARE, argv[2]) < 0) {
      fprintf(stderr, "%s\n", zip_strerror(z));
      return 1;
    }
  }
  return zip_close(z) < 0;
}
"""


def libzip_encrypted(tree: Path, out: Path, password: str, scratch: Path) -> Path:
    """libzip writes encrypted entries with data descriptors; its own tools
    cannot encrypt, so a few lines of C against the library do."""
    program = scratch / "libzip_writer"
    if not program.exists():
        source = scratch / "libzip_writer.c"
        source.write_text(LIBZIP_WRITER)
        made = run(["cc", "-o", program, source, "-lzip"])
        if made.returncode != 0:
            raise RuntimeError("libzip-dev is needed: " + made.stderr.decode())
    arguments = []
    for path in sorted(tree.rglob("*")):
        name = path.relative_to(tree).as_posix()
        if path.is_file():
            arguments.append(f"{name}={path}")
        elif not any(path.iterdir()):
            arguments.append(name + "/")
    run([program, out.resolve(), password, *arguments], check=True)
    return out


# --- The setup as the stub sees it -----------------------------------------

@dataclass
class LocalEntry:
    offset: int
    flags: int
    method: int
    mod_time: int
    crc: int
    compressed: int
    uncompressed: int
    name: bytes
    extra: bytes
    data: bytes


def stored_entries(archive: Path) -> dict:
    """Each entry's record as the central directory gives it and its stored
    bytes as they lie in the file, by name (UTF-8 names read as UTF-8 also
    where the writer did not set their flag)."""
    data = archive.read_bytes()
    entries = {}
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
            start = info.header_offset + 30 + name_length + extra_length
            name = info.filename
            if not info.flag_bits & 0x800:
                try:
                    name = name.encode("cp437").decode("utf-8")
                except UnicodeError:
                    pass
            entries[name] = (info, data[start:start + info.compress_size])
    return entries


def stub_length(setup: bytes) -> int:
    at = setup.index(MARKER) + len(MARKER)
    return struct.unpack_from("<I", setup, at)[0]


def walk_setup(setup: bytes) -> list:
    """The stub's walk: from stub length + 8, local header after local
    header, past a descriptor only where bit 3 is set with real sizes."""
    entries = []
    pos = stub_length(setup) + 8
    while setup[pos:pos + 4] == b"PK\x03\x04":
        (flags, method, mod_time, _date, crc, compressed, uncompressed, name_length,
         extra_length) = struct.unpack_from("<HHHHIIIHH", setup, pos + 6)
        start = pos + 30 + name_length + extra_length
        entries.append(LocalEntry(pos, flags, method, mod_time, crc, compressed, uncompressed,
                                  setup[pos + 30:pos + 30 + name_length],
                                  setup[pos + 30 + name_length:start],
                                  setup[start:start + compressed]))
        pos = start + compressed
        if flags & 8 and compressed:
            word = struct.unpack_from("<I", setup, pos)[0]
            pos += 16 if word == 0x08074B50 else 12 if word == crc else 0
    return entries


def zip_keys_decrypt(password: bytes, data: bytes) -> bytes:
    """Traditional PKWARE decryption, written out from the APPNOTE."""
    def crc_byte(crc, b):
        return zlib.crc32(bytes([b]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF
    k0, k1, k2 = 0x12345678, 0x23456789, 0x34567890

    def update(k0, k1, k2, b):
        k0 = crc_byte(k0, b)
        k1 = ((k1 + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = crc_byte(k2, k1 >> 24)
        return k0, k1, k2
    for b in password:
        k0, k1, k2 = update(k0, k1, k2, b)
    out = bytearray()
    for c in data:
        t = (k2 & 0xFFFF) | 2
        p = c ^ (((t * (t ^ 1)) >> 8) & 0xFF)
        out.append(p)
        k0, k1, k2 = update(k0, k1, k2, p)
    return bytes(out)


class BuildTestCase(unittest.TestCase):
    """Gives each test a scratch folder and the checks every setup must pass."""

    @classmethod
    def setUpClass(cls):
        for tool in (BOOKPACK, STUB):
            if not tool.exists():
                raise RuntimeError(f"{tool} is not built: run make native win32")

    def setUp(self):
        self.scratch = Path(tempfile.mkdtemp(prefix="bookpack_build_"))
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def tree(self, files: dict, name: str = "src") -> Path:
        return write_tree(self.scratch / name, files)

    def built(self, source: Path, *options, name: str = "Setup.exe") -> Path:
        out = self.scratch / name
        result = build(source, out, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out

    def refused(self, source: Path, *options) -> str:
        """Builds what must be refused; returns the message."""
        out = self.scratch / "Refused.exe"
        result = build(source, out, *options)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertFalse(out.exists(), "a refused build leaves no setup behind")
        self.assertEqual(list(self.scratch.glob("Refused.exe*")), [])
        return result.stderr

    def assert_tools_accept(self, setup: Path, password: str = None):
        """unzip -t, 7-Zip's test and the stub's own engine (bookpack check)."""
        unzip = run(["unzip", "-t"] + (["-P", password] if password else []) + [setup])
        self.assertEqual(unzip.returncode, 0, unzip.stdout.decode() + unzip.stderr.decode())
        seven = run(["7z", "t", "-bd"] + [f"-p{password or ''}"] + [setup])
        self.assertEqual(seven.returncode, 0, seven.stdout.decode())
        check = bookpack("check", setup, *(["--password", password] if password else []))
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def unzipped(self, setup: Path, password: str = None) -> dict:
        dest = self.scratch / ("unzipped_" + setup.stem)
        shutil.rmtree(dest, ignore_errors=True)
        result = run(["unzip", "-q"] + (["-P", password] if password else []) + [setup, "-d", dest])
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return read_tree(dest)

    def assert_layout(self, setup: Path):
        """What the stub and signing tools rely on in the whole file."""
        data = setup.read_bytes()
        length = stub_length(data)
        self.assertLessEqual(length + 8, len(data))
        self.assertEqual(data[:length], STUB.read_bytes())
        self.assertEqual(struct.unpack_from("<II", data, length), (len(data), 0))
        self.assertEqual(len(data) % 8, 0, "padded for the certificate table")


def password_failing_every_header(setup: Path, base: str = "wrong") -> str:
    """A wrong password that the one-byte header check refuses for every
    encrypted entry of `setup`. Headers are random, so about one wrong
    password in 256 passes that check for a given entry; tests that expect
    the stub's "wrong password" path pick one that cannot."""
    entries = [e for e in walk_setup(setup.read_bytes()) if e.flags & 1]
    for n in range(10_000):
        candidate = f"{base}{n}".encode()
        if all(zip_keys_decrypt(candidate, e.data[:12])[11]
               != ((e.mod_time >> 8) if e.flags & 8 else (e.crc >> 24)) for e in entries):
            return candidate.decode()
    raise RuntimeError("no failing password found")
