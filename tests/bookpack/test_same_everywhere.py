"""bookpack.exe and the Linux bookpack make the same setup from the same
source: byte for byte without a password; with one, only the random
encryption headers (and so the encrypted bytes after them) differ, and both
install the same files. Runs with the tests of bookpack.exe, with
BOOKPACK_LINUX naming the Linux program."""
import os
import unittest
from pathlib import Path

from build_fixtures import (STUB, WINDOWS, BuildTestCase, bookpack_command, checked, info_zip,
                            read_tree, run, sample_book, seven_zip, walk_setup, write_tree,
                            zip_keys_decrypt)

LINUX = Path(os.environ.get("BOOKPACK_LINUX", "/nonexistent"))


@unittest.skipUnless(WINDOWS and LINUX.is_file(),
                     "compares bookpack.exe (BOOKPACK) with the Linux bookpack (BOOKPACK_LINUX)")
class SameSetupEverywhereTest(BuildTestCase):
    def setUp(self):
        super().setUp()
        self.files = sample_book()
        self.source = self.tree(self.files)
        self.licence = self.scratch / "licence.txt"
        self.licence.write_bytes(b"You may read this book.\r\nThank you.\r\n")
        os.utime(self.licence, (1_500_000_000, 1_500_000_000))

    def both(self, source: Path, *options, env=None) -> dict:
        """The setups and reports of both programs, by system."""
        made = {}
        for system, command in (("linux", [LINUX]), ("windows", bookpack_command())):
            out = self.scratch / f"{system}.exe"
            out.unlink(missing_ok=True)  # so that a setup there is this run's
            args = ["build", "--stub", STUB, "-o", out, *options, source]
            result = run([*command, *args], text=True, env=env)
            if system == "windows":
                checked(result, args, {"env": env} if env else {})
            self.assertEqual(result.returncode, 0, f"{system}: {result.stderr}")
            made[system] = (out.read_bytes(), result.stdout.replace(f"{system}.exe", "*.exe"),
                            result.stderr)
        return made

    def test_without_a_password_the_setups_are_identical(self):
        sources = {
            "folder": lambda: self.source,
            "info-zip": lambda: info_zip(self.source, self.scratch / "i.zip"),
            "7-zip bzip2": lambda: seven_zip(self.source, self.scratch / "s.zip", "-mm=BZip2"),
        }
        option_sets = [[], ["--level", "0"], ["--level", "12"], ["--licence", self.licence]]
        for label, make in sources.items():
            source = make()
            for options in option_sets:
                with self.subTest(source=label, options=options):
                    made = self.both(source, *options)
                    self.assertEqual(made["windows"][1:], made["linux"][1:], "the same report")
                    self.assertTrue(made["windows"][0] == made["linux"][0],
                                    "the same bytes from both programs")

    def test_local_times_follow_the_time_zone_on_both(self):
        # DOS times are local: zones far from UTC, with summer time, move
        # them the same way on both systems, also in a year whose summer
        # time rules the zone has changed since (New York on 20 March 2005
        # kept winter time; today's rules would say summer time).
        source = self.scratch / "times"
        for name, when in (("2005-03-20.txt", 1_111_300_000), ("2020-09-13.txt", 1_600_000_000),
                           ("2023-11-14.txt", 1_700_000_000)):
            write_tree(source, {name: name.encode()}, mtime=when)
        for zone in ("UTC", "America/New_York", "Europe/Berlin", "Australia/Sydney", "Asia/Tokyo"):
            with self.subTest(zone=zone):
                made = self.both(source, env=dict(os.environ, TZ=zone))
                self.assertTrue(made["windows"][0] == made["linux"][0],
                                f"the same bytes in {zone}")

    def test_source_date_epoch_makes_one_setup_in_every_zone(self):
        # An executable file, whose mode Linux sees and Windows cannot, and
        # two zones on opposite sides of a date line: all four the same.
        source = self.scratch / "modes"
        write_tree(source, {"run.sh": b"#!/bin/sh\n", "book.html": b"<p>x</p>", "sub/": None})
        os.chmod(source / "run.sh", 0o755)
        setups = []
        for zone in ("UTC", "Asia/Tokyo"):
            made = self.both(source, env=dict(os.environ, TZ=zone,
                                              SOURCE_DATE_EPOCH="1700000000"))
            setups += [made["linux"][0], made["windows"][0]]
        self.assertTrue(all(setup == setups[0] for setup in setups), "one setup")

    def test_with_a_password_only_the_encryption_headers_differ(self):
        made = self.both(self.source, "--password", "sesame", "--licence", self.licence)
        self.assertEqual(made["windows"][1:], made["linux"][1:])
        linux, windows = made["linux"][0], made["windows"][0]
        self.assertEqual(len(linux), len(windows))
        a, b = walk_setup(linux), walk_setup(windows)
        self.assertEqual([(e.offset, e.name, e.flags, e.method, e.crc, e.compressed)
                          for e in a], [(e.offset, e.name, e.flags, e.method, e.crc, e.compressed)
                                        for e in b])
        encrypted = 0
        for x, y in zip(a, b):
            start, end = x.offset + 30 + len(x.name) + len(x.extra), x.offset + 30 + len(x.name) \
                + len(x.extra) + x.compressed
            if x.flags & 1:
                encrypted += 1
                self.assertEqual(zip_keys_decrypt(b"sesame", x.data)[12:],
                                 zip_keys_decrypt(b"sesame", y.data)[12:], x.name)
                # Everything else of the file is the same: blank the data out.
                linux = linux[:start] + bytes(end - start) + linux[end:]
                windows = windows[:start] + bytes(end - start) + windows[end:]
        files = sum(data is not None for data in self.files.values())
        self.assertEqual(encrypted, files, "every file, not the licence nor a folder")
        self.assertTrue(linux == windows, "the same bytes outside the encrypted data")
        # And both install the same files, through the stub's engine.
        for system in ("linux", "windows"):
            folder = self.scratch / f"out-{system}"
            result = run(bookpack_command("extract", self.scratch / f"{system}.exe", folder,
                                          "--password", "sesame"), text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            tree = read_tree(folder)
            self.assertEqual(tree.pop("!!licence.txt"), self.licence.read_bytes())
            self.assertEqual(tree, self.files)


if __name__ == "__main__":
    unittest.main()
