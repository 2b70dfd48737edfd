"""Setups built by bookpack install through the real stub: one from each
producer bookpack reads, and one signed after building."""
import os
import shutil
import subprocess
import sys
import unittest
import zipfile
from pathlib import Path

import archives
import harness
from harness import MAIN, SetupCase, message, password, win_path

# The ZIP makers of bookpack's own tests, so that both suites feed bookpack
# the same producers' output.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bookpack"))
import build_fixtures as producers  # noqa: E402

BOOKPACK = Path(os.environ.get("BOOKPACK", Path(__file__).resolve().parents[2]
                               / "build/native/tools/bookpack/bookpack"))
PW = "sesame"
# bookpack.exe, the publisher's tool for Windows: the x86-64 tree builds it
# and names it here, since its tests run under the 64-bit Wine it needs.
BOOKPACK_EXE = os.environ.get("BOOKPACK_EXE", "")
DEMO_BOOK = Path(__file__).resolve().parents[2] / "demo/book"


class BookpackSetupTest(SetupCase):
    def setUp(self):
        super().setUp()
        self.assertTrue(BOOKPACK.exists(), f"{BOOKPACK} is not built: run make native")
        self.files = archives.book()
        self.tree = self.case_work / "src"
        harness.write_tree(self.tree, self.files)

    def build(self, source: Path, name: str, *options) -> Path:
        out = self.case_work / name
        made = subprocess.run([str(BOOKPACK), "build", "--stub", str(harness.TOOLS.stub), "-o",
                               str(out), *options, str(source)], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        return out

    def streamed_bsdtar(self, out: Path) -> Path:
        # To a pipe bsdtar cannot seek back: every entry gets a descriptor.
        with open(out, "wb") as f:
            subprocess.run(["bsdtar", "--format", "zip", "-cf", "-", "."], cwd=self.tree,
                           stdout=f, check=True)
        return out

    def test_each_producer_installs_through_the_stub(self):
        work = self.case_work
        sources = {
            "folder": (lambda: self.tree, []),
            "folder encrypted": (lambda: self.tree, ["--password", PW]),
            "info-zip": (lambda: producers.info_zip(self.tree, work / "i.zip"), []),
            "7-zip bzip2": (lambda: producers.seven_zip(self.tree, work / "s.zip", "-mm=BZip2"), []),
            "python lzma": (lambda: producers.python_zip(self.tree, work / "p.zip",
                                                         zipfile.ZIP_LZMA), []),
            "libzip encrypted": (lambda: producers.libzip_encrypted(self.tree, work / "l.zip",
                                                                    PW, work), []),
            "bsdtar streamed": (lambda: self.streamed_bsdtar(work / "b.zip"), []),
        }
        for n, (label, (make, options)) in enumerate(sources.items()):
            with self.subTest(label):
                setup = self.build(make(), f"setup{n}.exe", *options)
                encrypted = "encrypted" in label
                folder = self.folder(f"book{n}")
                outcome = self.install(setup, folder, *([password(PW)] if encrypted else []),
                                       tag=str(n))
                self.assertEqual(outcome.messages, [])
                self.assertTree(folder, self.files)

    def test_signed_setup_installs(self):
        setup = self.build(self.tree, "book.exe")
        key, cert, signed = (self.case_work / n for n in ("key.pem", "cert.pem", "signed.exe"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=E-book test publisher", "-days", "2", "-keyout", str(key), "-out",
                        str(cert)], check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in",
                        str(setup), "-out", str(signed)], check=True, capture_output=True)
        self.assertGreater(signed.stat().st_size, setup.stat().st_size)
        folder = self.folder("signed")
        outcome = self.install(signed, folder)
        self.assertEqual(outcome.messages, [])
        self.assertTree(folder, self.files)

        # The same signature with one byte more after it is a damaged download.
        tampered = self.case_work / "tampered.exe"
        tampered.write_bytes(signed.read_bytes() + b"\0")
        outcome = self.run_setup(tampered, message(), [f"window {MAIN}", "press 2"], tag="t")
        self.assertEqual([text for _, text in outcome.messages],
                         ["Error in the archive size. Please repeat the download."])


class BookpackExeSetupTest(SetupCase):
    @unittest.skipUnless(BOOKPACK_EXE, "bookpack.exe comes with the x86-64 tree's tests")
    def test_the_sample_book_built_by_bookpack_exe_installs(self):
        setup = self.case_work / "almanac.exe"
        made = harness.wine(BOOKPACK_EXE, "build", "--stub", win_path(harness.TOOLS.stub), "-o",
                            win_path(setup), win_path(DEMO_BOOK), check=False)
        self.assertEqual(made.returncode, 0, made.stdout)
        self.assertIn("licence: !!licence.txt", made.stdout)
        files = {path.relative_to(DEMO_BOOK).as_posix(): path.read_bytes()
                 for path in DEMO_BOOK.rglob("*") if path.is_file()}
        folder = self.folder("almanac")
        outcome = self.install(setup, folder)
        self.assertEqual(outcome.messages, [])
        self.assertTree(folder, files)
