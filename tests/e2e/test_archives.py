"""Archives from streaming and large-file writers through the real stub:
Zip64 local headers, a file read from a pipe, bsdtar's stored entries with
their CRC and empty files in descriptors; and a method the stub cannot read,
named before any password is asked."""
import subprocess

import archives
import harness
from harness import ERROR, MAIN, SetupCase, message


class StreamingWritersTest(SetupCase):
    def test_zip64_and_descriptor_archives_install_completely(self):
        files = {k: v for k, v in archives.book().items() if v is not None}
        tree = self.case_work / "tree"
        harness.write_tree(tree, files)
        names = sorted(files)
        piped = b"read from a pipe\r\n" * 300

        def info_zip_fz(out):
            subprocess.run(["zip", "-q", "-fz", str(out), *names], cwd=tree, check=True)
            return out

        def info_zip_pipe(out):
            # zip cannot know the size of what it reads from a pipe first.
            subprocess.run(["zip", "-q", "-fz", str(out), "-"], cwd=tree, input=piped, check=True)
            subprocess.run(["zip", "-q", "-fz", str(out), *names], cwd=tree, check=True)
            return out

        def bsdtar_stored(out):
            subprocess.run(["bsdtar", "--format", "zip", "--options", "zip:compression=store",
                            "-cf", str(out), *names], cwd=tree, check=True)
            return out

        makers = {"zip -fz": (info_zip_fz, files),
                  "zip -fz from a pipe": (info_zip_pipe, {**files, "-": piped}),
                  "bsdtar stored": (bsdtar_stored, files)}
        for n, (label, (make, expected)) in enumerate(makers.items()):
            with self.subTest(label):
                setup = self.package(make(self.case_work / f"a{n}.zip"), name=f"a{n}.exe")
                folder = self.folder(f"book{n}")
                outcome = self.install(setup, folder, tag=str(n))
                self.assertEqual(outcome.messages, [])
                self.assertTree(folder, expected)

    def test_aes_entry_is_named_before_any_password(self):
        tree = self.case_work / "tree"
        harness.write_tree(tree, {"chapter.html": b"<p>secret</p>\r\n" * 200})
        archive = self.case_work / "aes.zip"
        subprocess.run(["7z", "a", "-tzip", "-mem=AES256", "-psesame", str(archive),
                        "chapter.html"], cwd=tree, check=True, capture_output=True)
        folder = self.folder("aes")
        outcome = self.install(self.package(archive), folder, message())
        self.assertEqual(outcome.messages,
                         [(ERROR, "Unsupported compression method\nchapter.html\n(method 99)")])
        self.assertEqual(outcome.captions, [MAIN, ERROR])
        self.assertFalse((folder / "chapter.html").exists())
