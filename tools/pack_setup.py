#!/usr/bin/env python3
"""Packs a ZIP archive behind the setup stub.

    pack_setup.py STUB.exe ARCHIVE.zip OUT.exe [--size-delta N]

The packaged file is the stub byte for byte, the total length of the packaged
file as a little-endian 32-bit number, four zero bytes, then the archive. The
archive's central directory and end record are moved by the stub's length
plus 8, so that unzip and 7-Zip still open the packaged file (not for Zip64
end records, which stay as they are).

--size-delta N writes a size field that is N bytes off, for tests of the
stub's download check.
"""
import argparse
import struct
import sys

EOCD = b"PK\x05\x06"
CENTRAL = b"PK\x01\x02"


def shift_offsets(archive: bytes, delta: int) -> bytes:
    """Adds `delta` to the central directory's offsets (no Zip64 records)."""
    data = bytearray(archive)
    end = data.rfind(EOCD, max(0, len(data) - 65557))
    if end < 0:
        return bytes(data)  # not a finished archive: leave it for the stub to judge
    entries, cd_size, cd_offset = struct.unpack_from("<HII", data, end + 10)
    if cd_offset == 0xFFFFFFFF or entries == 0xFFFF:
        # Zip64 end records are left as they are: the stub never reads the
        # central directory, though other tools then cannot open the setup.
        return bytes(data)
    struct.pack_into("<I", data, end + 16, cd_offset + delta)
    pos = cd_offset
    for _ in range(entries):
        if data[pos:pos + 4] != CENTRAL:
            sys.exit("pack_setup: central directory not where the end record says")
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
        (local,) = struct.unpack_from("<I", data, pos + 42)
        struct.pack_into("<I", data, pos + 42, local + delta)
        pos += 46 + name_len + extra_len + comment_len
    return bytes(data)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stub")
    parser.add_argument("archive")
    parser.add_argument("output")
    parser.add_argument("--size-delta", type=int, default=0)
    args = parser.parse_args()
    stub = open(args.stub, "rb").read()
    archive = shift_offsets(open(args.archive, "rb").read(), len(stub) + 8)
    total = len(stub) + 8 + len(archive)
    with open(args.output, "wb") as out:
        out.write(stub)
        out.write(struct.pack("<II", (total + args.size_delta) & 0xFFFFFFFF, 0))
        out.write(archive)
    return 0


if __name__ == "__main__":
    sys.exit(main())
