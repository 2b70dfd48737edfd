#!/usr/bin/env python3
"""Finishes the linked setup stub and checks what every packaged setup relies on.

    finish_stub.py LINKED.exe OUT.exe --max-size BYTES

- Writes the stub's own length into its length slot (found by the marker
  "StubLength::"), so the stub looks for the archive at length + 8.
- Fails when the image holds the bytes 50 4B 03 04 (a local-header
  signature would confuse tools that scan for the archive), when it is larger
  than --max-size, when it is not a 32-bit GUI program with ASLR (and its
  relocations) and DEP, or when it imports anything but system DLLs.
Prints one line with the figures.
"""
import argparse
import struct
import sys

MARKER = b"StubLength::"
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
ORIGINAL_SIZE = 34304


def fail(message: str) -> None:
    sys.exit("finish_stub: " + message)


class Image:
    def __init__(self, data: bytes):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            fail("not a PE image")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.optional = pe + 24
        magic = struct.unpack_from("<H", data, self.optional)[0]
        if magic != 0x10B:
            fail("not a 32-bit image")
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, self.optional + 68)
        self.directories = self.optional + 96
        table = self.optional + optional_size
        self.sections = []
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rsize), raddr))

    def directory(self, index: int):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva: int) -> int:
        for _, vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        fail(f"address {rva:#x} is in no section")

    def text_at(self, rva: int) -> str:
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imported_dlls(self):
        rva, size = self.directory(1)
        dlls = []
        at = self.offset(rva) if size else None
        while at is not None:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                break
            dlls.append(self.text_at(name_rva).lower())
            at += 20
        return dlls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("linked")
    parser.add_argument("output")
    parser.add_argument("--max-size", type=int, required=True)
    args = parser.parse_args()

    data = bytearray(open(args.linked, "rb").read())
    where = data.find(MARKER)
    if where < 0 or data.find(MARKER, where + 1) >= 0:
        fail("the length slot's marker must occur exactly once")
    struct.pack_into("<I", data, where + len(MARKER), len(data))

    if b"PK\x03\x04" in data:
        fail("the image holds a local-header signature (50 4B 03 04)")
    if len(data) > args.max_size:
        fail(f"the stub is {len(data)} bytes, above the bound of {args.max_size}")

    image = Image(bytes(data))
    if image.machine != 0x14C or image.subsystem != 2:
        fail("not an i386 GUI program")
    dynamic_base, nx_compat = 0x40, 0x100
    if image.dll_characteristics & dynamic_base == 0 or image.dll_characteristics & nx_compat == 0:
        fail("ASLR and DEP must both be on")
    if image.directory(5)[1] == 0:
        fail("no relocations: the image could not move, so ASLR would not apply")
    if image.directory(9)[1] != 0:
        fail("a TLS directory: the stub runs no thread-local start-up code")
    dlls = image.imported_dlls()
    foreign = [d for d in dlls if d not in ALLOWED_DLLS]
    if foreign:
        fail("imports from non-system DLLs: " + ", ".join(foreign))

    with open(args.output, "wb") as out:
        out.write(data)
    below = ORIGINAL_SIZE - len(data)
    print(f"setup stub: {len(data):,} bytes, {abs(below):,} {'below' if below >= 0 else 'above'} "
          f"the original {ORIGINAL_SIZE:,} (bound {args.max_size:,}); "
          f"imports {', '.join(dlls)}; ASLR, DEP, relocations")
    return 0


if __name__ == "__main__":
    sys.exit(main())
