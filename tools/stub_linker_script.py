#!/usr/bin/env python3
"""Writes the stub's linker script: the linker's own default, with the
read-only data placed at the end of the code section.

    stub_linker_script.py LD OUT.x

Why: the stub's size counts in 512-byte file blocks, one partly filled block
per section, and a PE header of five sections (with the DOS stub program
left out by finish_stub.py) fits in one block where six need two. Constants
beside code are read-only either way; only the executable flag spreads to
them.
"""
import subprocess
import sys


def stub_script(default: str) -> str:
    start = default.index("  .rdata BLOCK(__section_alignment__) :")
    end = default.index("\n  }\n", start) + len("\n  }\n")
    block = default[start:end]
    body = block[block.index("{") + 1:block.rindex("}")]
    rest = default[:start] + default[end:]
    # At the end of .text, where the code's own symbols stop.
    at = rest.index("    PROVIDE (etext = .);")
    return rest[:at] + body.strip("\n") + "\n" + rest[at:]


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    printed = subprocess.run([sys.argv[1], "--verbose"], check=True, capture_output=True,
                             text=True).stdout
    parts = printed.split("==================================================")
    if len(parts) < 3:
        print("stub_linker_script: the linker printed no default script", file=sys.stderr)
        return 1
    with open(sys.argv[2], "w") as out:
        out.write(stub_script(parts[1].strip("\n") + "\n"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
