"""Archives for the setups under test, made at test time by the real tools
(Info-ZIP zip, 7-Zip, Python's zipfile) and changed by hand where a case
needs bytes no tool writes."""
import random
import struct
import subprocess
import zipfile
from pathlib import Path

from harness import write_tree

LOCAL_HEADER = b"PK\x03\x04"


def book() -> dict:
    """A small e-book: compressible text, incompressible pictures (stored by
    zip), a file larger than the stub's 32 KiB pieces, an empty file, nested
    and empty folders."""
    rnd = random.Random(1)
    chapters = "".join(f"<h2>Chapter {i}</h2><p>{'It was a dark night. ' * (i % 7 + 1)}</p>\n"
                       for i in range(900))
    plates = b"".join(rnd.randbytes(64) + bytes(rnd.randrange(200)) for _ in range(1500))
    return {
        "book.html": chapters.encode(),
        "images/cover.jpg": rnd.randbytes(70_000),
        "images/plates/plates.dat": plates,
        "notes/empty.txt": b"",
        "notes/deep/er/end.txt": b"The end.\r\n",
        "blank/": None,
    }


def top_names(files: dict) -> list:
    return sorted({name.split("/")[0] for name in files})


def info_zip(files: dict, out: Path, password: str = None, store: bool = False,
             order: list = None) -> Path:
    """`zip -r` of the tree, run inside it so that names are relative;
    `order` lists the names to add, in archive order."""
    source = out.with_suffix(".src")
    write_tree(source, files)
    command = ["zip", "-q", "-r", "-X"] + (["-0"] if store else [])
    if password is not None:
        command += ["-P", password]
    subprocess.run(command + [str(out.resolve())] + (order or top_names(files)), cwd=source,
                   check=True)
    return out


def seven_zip(files: dict, out: Path, password: str = None) -> Path:
    source = out.with_suffix(".src")
    write_tree(source, files)
    command = ["7z", "a", "-tzip", "-bd", "-y"]
    if password is not None:
        command += ["-mem=ZipCrypto", f"-p{password}"]
    subprocess.run(command + [str(out.resolve())] + top_names(files), cwd=source, check=True,
                   stdout=subprocess.DEVNULL)
    return out


def python_zip(entries: list, out: Path, method: int = zipfile.ZIP_DEFLATED) -> Path:
    """(name, bytes) pairs in archive order; names are stored as given,
    "../" and drive letters included (ZipFile.writestr does not clean them).
    zipfile sets the UTF-8 flag for names that are not ASCII."""
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 12, 0, 0))
            info.compress_type = method
            archive.writestr(info, data)
    return out


SETTINGS_TAG = "ebook-setup settings 1\n"


def with_comment(archive: Path, comment: bytes) -> Path:
    """Replaces the end record's comment, as `zip -z` or a packer would."""
    with zipfile.ZipFile(archive, "a") as z:
        z.comment = comment
    return archive


def with_settings(archive: Path, *lines: str) -> Path:
    """The publisher's settings, one per line ("title=My Book", "done-message")."""
    return with_comment(archive, (SETTINGS_TAG + "".join(l + "\n" for l in lines)).encode())


def replace_name_bytes(archive: Path, placeholder: bytes, raw: bytes) -> None:
    """Swaps an ASCII name for raw bytes of the same length in the local
    header and the central directory, leaving the UTF-8 flag clear: a name
    that only the system code page can read."""
    assert len(placeholder) == len(raw)
    data = archive.read_bytes()
    assert data.count(placeholder) == 2, "the placeholder must name one entry, twice"
    archive.write_bytes(data.replace(placeholder, raw))


def local_entries(archive: Path) -> list:
    """(name, flags, mod_time, crc, data offset, compressed size) of every
    local header, walked the way the stub walks them."""
    data = archive.read_bytes()
    entries = []
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            at = info.header_offset
            assert data[at:at + 4] == LOCAL_HEADER
            (flags, _method, mod_time, _date, crc, _size, _usize, name_len,
             extra_len) = struct.unpack_from("<HHHHIIIHH", data, at + 6)
            start = at + 30 + name_len + extra_len
            entries.append((info.filename, flags, mod_time, crc or info.CRC, start,
                            info.compress_size))
    return entries


def damage_entry(archive: Path, name: str) -> int:
    """Flips one byte in the middle of a stored entry's data; returns the
    offset of that byte within the entry's contents."""
    for entry_name, flags, _time, _crc, start, size in local_entries(archive):
        if entry_name == name:
            assert not flags & 1 and size > 0
            data = bytearray(archive.read_bytes())
            data[start + size // 2] ^= 0x5A
            archive.write_bytes(bytes(data))
            return size // 2
    raise KeyError(name)


# Traditional PKWARE encryption, only as far as the password check goes: the
# last byte of the decrypted 12-byte header must match the entry's check byte.
def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC = _crc_table()


def _crc_step(crc: int, byte: int) -> int:
    return _CRC[(crc ^ byte) & 0xFF] ^ (crc >> 8)


def _passes_check(header: bytes, password: bytes, check_byte: int) -> bool:
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(byte):
        keys[0] = _crc_step(keys[0], byte)
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = _crc_step(keys[2], keys[1] >> 24)

    for byte in password:
        update(byte)
    plain = 0
    for byte in header:
        t = (keys[2] | 2) & 0xFFFF
        plain = byte ^ (((t * (t ^ 1)) >> 8) & 0xFF)
        update(plain)
    return plain == check_byte


def wrong_password(archive: Path, avoid: str) -> str:
    """A password other than `avoid` that fails the one-byte check of every
    encrypted entry, so a wrong try cannot pass by chance (1 in 256)."""
    data = archive.read_bytes()
    encrypted = [(start, (mod_time >> 8) if flags & 8 else crc >> 24)
                 for _n, flags, mod_time, crc, start, _s in local_entries(archive) if flags & 1]
    assert encrypted, "the archive has no encrypted entry"
    for n in range(1000):
        candidate = f"wrong{n}"
        if candidate != avoid and not any(
                _passes_check(data[s:s + 12], candidate.encode(), check) for s, check in encrypted):
            return candidate
    raise AssertionError("no failing password found")
