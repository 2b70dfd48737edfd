#!/usr/bin/env python3
"""Finishes the linked setup stub and checks what every packaged setup relies on.

    finish_stub.py LINKED.exe OUT.exe --arch i686|x86_64 --max-size BYTES
    finish_stub.py --verify STUB.exe --arch i686|x86_64 --max-size BYTES

- Writes the stub's own length into its length slot (found by the marker
  "StubLength::"), so the stub looks for the archive at length + 8.
- Fails when the image holds the bytes 50 4B 03 04 (a local-header
  signature would confuse tools that scan for the archive), when it is larger
  than --max-size, when it is not a GUI program of the named architecture
  with ASLR (its relocations, and high-entropy addresses on x86-64) and DEP,
  when its stack is not committed whole at start (its code has no stack
  probes), when it has a TLS directory, or when it imports anything but
  system DLLs.
- Leaves out the DOS stub program (the PE header follows the MZ header
  directly) when that lets the headers fit in fewer 512-byte file blocks,
  and writes the image's checksum last.
- --verify checks a finished stub without changing it, the resources too
  (the three dialogs, the icon, the version block, the manifest): it never
  runs the stub, so it works on any host.
Prints one line with the figures.
"""
import argparse
import struct
import sys

MARKER = b"StubLength::"
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll"}
MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
MANIFEST_ARCH = {"i686": "x86", "x86_64": "amd64"}

DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 0x40, 0x100, 0x20
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24


class Problem(Exception):
    pass


class Image:
    """A PE image read with every offset checked against the file."""

    def __init__(self, data: bytes):
        self.data = data
        if data[:2] != b"MZ":
            raise Problem("not a PE image (no MZ header)")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise Problem("not a PE image")
        self.machine, sections, _, _, _, optional_size, _ = self.unpack("<HHIIIHH", pe + 4)
        self.optional = pe + 24
        self.magic = self.u16(self.optional)
        if self.magic == 0x10B:
            directories = 96
        elif self.magic == 0x20B:
            directories = 112
        else:
            raise Problem(f"unknown optional header magic {self.magic:#x}")
        self.subsystem, self.dll_characteristics = self.unpack("<HH", self.optional + 68)
        if self.magic == 0x10B:
            self.stack_reserve, self.stack_commit = self.unpack("<II", self.optional + 72)
        else:
            self.stack_reserve, self.stack_commit = self.unpack("<QQ", self.optional + 72)
        self.directory_count = self.u32(self.optional + directories - 4)
        self.directories = self.optional + directories
        table = self.optional + optional_size
        self.section_table = table
        self.sections = []
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = self.unpack("<8sIIII", table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(errors="replace"), vaddr,
                                  max(vsize, rsize), raddr))

    def unpack(self, fmt: str, at: int):
        if at < 0 or at + struct.calcsize(fmt) > len(self.data):
            raise Problem(f"a read at {at:#x} lies outside the file")
        return struct.unpack_from(fmt, self.data, at)

    def u16(self, at: int) -> int:
        return self.unpack("<H", at)[0]

    def u32(self, at: int) -> int:
        return self.unpack("<I", at)[0]

    def directory(self, index: int):
        if index >= self.directory_count:
            return (0, 0)
        return self.unpack("<II", self.directories + 8 * index)

    def offset(self, rva: int) -> int:
        for _, vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise Problem(f"address {rva:#x} is in no section")

    def text_at(self, rva: int) -> str:
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise Problem(f"the name at {rva:#x} has no end")
        return self.data[at:end].decode(errors="replace")

    def imported_dlls(self):
        rva, size = self.directory(1)
        dlls = []
        at = self.offset(rva) if size else None
        while at is not None:
            name_rva = self.u32(at + 12)
            if name_rva == 0:
                break
            dlls.append(self.text_at(name_rva).lower())
            at += 20
        return dlls

    def resources(self):
        """{type: {name: [data bytes of each language]}}; names are ints or
        upper-case strings, as Windows compares them."""
        rva, size = self.directory(2)
        if not size:
            return {}
        base = self.offset(rva)

        def entries(at):
            named, ids = self.unpack("<HH", at + 12)
            for i in range(named + ids):
                name, target = self.unpack("<II", at + 16 + 8 * i)
                if name & 0x80000000:
                    n_at = base + (name & 0x7FFFFFFF)
                    length = self.u16(n_at)
                    key = self.data[n_at + 2:n_at + 2 + 2 * length].decode("utf-16-le").upper()
                else:
                    key = name
                yield key, target

        tree = {}
        for kind, kind_target in entries(base):
            if not kind_target & 0x80000000:
                raise Problem("the resource tree is malformed")
            names = tree.setdefault(kind, {})
            for name, name_target in entries(base + (kind_target & 0x7FFFFFFF)):
                if not name_target & 0x80000000:
                    raise Problem("the resource tree is malformed")
                for _, leaf in entries(base + (name_target & 0x7FFFFFFF)):
                    data_rva, data_size = self.unpack("<II", base + leaf)
                    at = self.offset(data_rva)
                    names.setdefault(name, []).append(self.data[at:at + data_size])
        return tree


def compact_headers(data: bytearray) -> bytearray:
    """The same image with the PE header right after the 64-byte MZ header,
    when that saves a file block: the bytes between (a DOS program saying the
    file needs Windows) are what no system of ours runs."""
    image = Image(bytes(data))
    pe = image.optional - 24
    file_alignment = image.u32(image.optional + 36)
    headers = image.u32(image.optional + 60)
    # The PE signature, the file and optional headers and the section table.
    length = image.section_table + 40 * len(image.sections) - pe
    needed = -(-(0x40 + length) // file_alignment) * file_alignment
    if pe <= 0x40 or needed >= headers:
        return data
    saved = headers - needed
    out = bytearray(data[:0x40]) + data[pe:pe + length]
    out += bytes(needed - len(out)) + data[headers:]
    struct.pack_into("<I", out, 0x3C, 0x40)
    struct.pack_into("<I", out, 0x40 + 24 + 60, needed)
    table = image.section_table - pe + 0x40
    for i in range(len(image.sections)):
        raw = struct.unpack_from("<I", out, table + 40 * i + 20)[0]
        if raw:
            struct.pack_into("<I", out, table + 40 * i + 20, raw - saved)
    return out


def write_checksum(data: bytearray) -> None:
    """The PE checksum: 16-bit words summed with their carries, the
    checksum's own field left out, plus the file's length."""
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    struct.pack_into("<I", data, field, 0)
    padded = bytes(data) + bytes(len(data) % 2)
    total = sum(struct.unpack_from(f"<{len(padded) // 2}H", padded))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, field, total + len(data))


def check_image(data: bytes, arch: str, max_size: int, with_resources: bool):
    """Returns (problems, imported DLLs)."""
    problems = []
    if b"PK\x03\x04" in data:
        problems.append("the image holds a local-header signature (50 4B 03 04)")
    if len(data) > max_size:
        problems.append(f"the stub is {len(data):,} bytes, above the bound of {max_size:,}")
    where = data.find(MARKER)
    if where < 0 or data.find(MARKER, where + 1) >= 0:
        problems.append("the length slot's marker must occur exactly once")
    elif with_resources:
        (slot,) = struct.unpack_from("<I", data, where + len(MARKER))
        if slot != len(data):
            problems.append(f"the length slot says {slot}, the file is {len(data)} bytes")
    try:
        image = Image(data)
        machine, magic = MACHINES[arch]
        if image.machine != machine or image.magic != magic or image.subsystem != 2:
            problems.append(f"not an {arch} GUI program")
        flags = image.dll_characteristics
        if flags & DYNAMIC_BASE == 0 or flags & NX_COMPAT == 0:
            problems.append("ASLR and DEP must both be on")
        if arch == "x86_64" and flags & HIGH_ENTROPY_VA == 0:
            problems.append("a 64-bit stub must take high-entropy (64-bit) ASLR addresses")
        if image.directory(5)[1] == 0:
            problems.append("no relocations: the image could not move, so ASLR would not apply")
        if image.stack_commit != image.stack_reserve:
            problems.append("the stack is not committed whole at start, but the stub's code has "
                            "no stack probes")
        if image.directory(9)[1] != 0:
            problems.append("a TLS directory: the stub runs no thread-local start-up code")
        dlls = image.imported_dlls()
        foreign = [d for d in dlls if d not in ALLOWED_DLLS]
        if foreign:
            problems.append("imports from non-system DLLs: " + ", ".join(foreign))
        if with_resources:
            problems += check_resources(image.resources(), arch)
    except Problem as problem:
        problems.append(str(problem))
        dlls = []
    return problems, dlls


def check_resources(tree, arch: str):
    problems = []
    dialogs = tree.get(RT_DIALOG, {})
    for name in ("MAINDIALOG", "FILEEXIST", "PASSWD"):
        if name not in dialogs:
            problems.append(f"no {name} dialog")
    if "MAINICON" not in tree.get(RT_GROUP_ICON, {}) or not tree.get(RT_ICON):
        problems.append("no MAINICON icon group with its images")
    version = tree.get(RT_VERSION, {}).get(1)
    if not version or "E-book Setup".encode("utf-16-le") not in version[0]:
        problems.append("no version block naming E-book Setup")
    manifest = tree.get(RT_MANIFEST, {}).get(1)
    if not manifest:
        problems.append("no application manifest")
    else:
        text = manifest[0].decode("utf-8", "replace")
        wanted = [
            'level="asInvoker"',
            'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
            "PerMonitorV2",
            "longPathAware>true<",
            f'processorArchitecture="{MANIFEST_ARCH[arch]}"',
        ]
        problems += [f"the manifest lacks {w}" for w in wanted if w not in text]
        other = [a for a in MANIFEST_ARCH.values() if a != MANIFEST_ARCH[arch]]
        problems += [f"the manifest names the other architecture ({a})" for a in other
                     if f'processorArchitecture="{a}"' in text]
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("linked", nargs="?")
    parser.add_argument("output", nargs="?")
    parser.add_argument("--verify", metavar="STUB")
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--max-size", type=int, required=True)
    args = parser.parse_args()

    if args.verify:
        data = open(args.verify, "rb").read()
    else:
        if not args.linked or not args.output:
            parser.error("LINKED and OUT are needed unless --verify is given")
        try:
            data = compact_headers(bytearray(open(args.linked, "rb").read()))
        except Problem as problem:
            print(f"finish_stub: {problem}", file=sys.stderr)
            return 1
        where = data.find(MARKER)
        if where >= 0:
            struct.pack_into("<I", data, where + len(MARKER), len(data))
        write_checksum(data)
        data = bytes(data)

    problems, dlls = check_image(data, args.arch, args.max_size, with_resources=bool(args.verify))
    if problems:
        for problem in problems:
            print(f"finish_stub: {problem}", file=sys.stderr)
        return 1

    if not args.verify:
        with open(args.output, "wb") as out:
            out.write(data)
    room = args.max_size - len(data)
    print(f"setup stub ({args.arch}): {len(data):,} bytes, {room:,} below its bound of "
          f"{args.max_size:,}; imports {', '.join(dlls)}; ASLR"
          f"{' (high entropy)' if args.arch == 'x86_64' else ''}, DEP, relocations"
          f"{'; resources and manifest checked' if args.verify else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
