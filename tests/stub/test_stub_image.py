#!/usr/bin/env python3
"""Static checks of a finished setup stub: they read the image and never run
it, so they pass or fail the same on every host.

    test_stub_image.py STUB.exe ARCH MAX_SIZE VERSION

The finished stub must pass every check of tools/finish_stub.py --verify,
and copies with one fault each must fail it, so that the checks themselves
are known to bite.
"""
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
FINISH = REPO / "tools" / "finish_stub.py"
STUB, ARCH, MAX_SIZE = Path(sys.argv[1]), sys.argv[2], int(sys.argv[3])
VERSION = sys.argv[4]  # the project's, which bookpack --version prints too
del sys.argv[1:5]


def verify(data: bytes, max_size: int = MAX_SIZE, arch: str = ARCH):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "stub.exe"
        path.write_bytes(data)
        return subprocess.run([sys.executable, str(FINISH), "--verify", str(path), "--arch", arch,
                               "--max-size", str(max_size)], capture_output=True, text=True)


def optional_header(data: bytes) -> int:
    return struct.unpack_from("<I", data, 0x3C)[0] + 24


class StubImage(unittest.TestCase):
    def setUp(self):
        self.data = STUB.read_bytes()

    def test_finished_stub_passes_every_check(self):
        result = verify(self.data)
        self.assertEqual(result.returncode, 0, result.stderr)
        print(result.stdout.strip())
        self.assertIn("resources and manifest checked", result.stdout)

    def test_a_fault_of_each_kind_is_found(self):
        data = bytearray(self.data)
        flags_at = optional_header(self.data) + 70
        flags = struct.unpack_from("<H", data, flags_at)[0]

        def with_flags(value):
            copy = bytearray(data)
            struct.pack_into("<H", copy, flags_at, value)
            return bytes(copy)

        slot = data.find(b"StubLength::") + 12
        wrong_slot = bytearray(data)
        struct.pack_into("<I", wrong_slot, slot, len(data) - 8)
        manifest_arch = b'processorArchitecture="'
        other_manifest = bytes(data).replace(manifest_arch + (b"x86" if ARCH == "i686" else b"amd64"),
                                             manifest_arch + (b"amd64" if ARCH == "i686" else b"x86"))
        cases = [
            ("local-header signature", bytes(data) + b"PK\x03\x04", "50 4B 03 04"),
            ("too large", bytes(data), "above the bound"),
            ("no DEP", with_flags(flags & ~0x100), "ASLR and DEP"),
            ("no ASLR", with_flags(flags & ~0x40), "ASLR and DEP"),
            ("wrong length slot", bytes(wrong_slot), "length slot says"),
            ("other architecture's manifest", other_manifest, "manifest"),
            ("no dialog", bytes(data).replace("MAINDIALOG".encode("utf-16-le"),
                                              "MAINDIALOX".encode("utf-16-le")), "no MAINDIALOG"),
        ]
        if ARCH == "x86_64":
            cases.append(("no high-entropy ASLR", with_flags(flags & ~0x20), "high-entropy"))
        # Commit only a page of the stack: a large frame would then fault.
        commit_at = optional_header(self.data) + (76 if ARCH == "i686" else 80)
        small_commit = bytearray(data)
        struct.pack_into("<I", small_commit, commit_at, 0x1000)
        cases.append(("stack committed a page at a time", bytes(small_commit), "stack"))
        for name, faulty, expected in cases:
            with self.subTest(name):
                limit = len(self.data) - 1 if name == "too large" else MAX_SIZE
                result = verify(faulty, max_size=limit)
                self.assertNotEqual(result.returncode, 0, name)
                self.assertIn(expected, result.stderr)

    def test_version_block_carries_the_project_version(self):
        # VS_FIXEDFILEINFO: file and product version as major<<16|minor, patch<<16|0.
        fixed = self.data.index(struct.pack("<I", 0xFEEF04BD))
        major, minor, patch = (int(n) for n in VERSION.split("."))
        expected = ((major << 16) | minor, patch << 16)
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", self.data, fixed + 8)
        self.assertEqual(((file_ms, file_ls), (product_ms, product_ls)), (expected, expected))
        # The "FileVersion" string: its key, padding to 4 bytes, the text.
        key = "FileVersion\0".encode("utf-16-le")
        at = self.data.index(key) + len(key)
        at += -at % 4
        end = at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        self.assertEqual(self.data[at:end].decode("utf-16-le"), VERSION)

    def test_the_other_architecture_is_refused(self):
        other = "x86_64" if ARCH == "i686" else "i686"
        result = verify(self.data, max_size=1 << 20, arch=other)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(f"not an {other} GUI program", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
