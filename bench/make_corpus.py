#!/usr/bin/env python3
"""Builds the benchmark corpus: realistic e-book payloads from this machine.

Usage: make_corpus.py OUTDIR [--force]

Three classes of items, several of each:
  text    chapters of HTML made from documentation, licences and man pages
  binary  programs and libraries (ELF files), as attachments or tools
  images  already-compressed pictures (PNG, JPEG, GIF; .gz files if there are
          too few), which Deflate can barely shrink
Every item is written as <name>.raw and as <name>.deflate, raw Deflate from
Python's zlib at level 6, which is what typical ZIP tools produce. The index
items.txt lists "name class raw-bytes deflate-bytes" per line.

The corpus is deterministic for a given machine: file lists are sorted and
every item is capped. An existing complete corpus is kept unless --force.
"""
import gzip
import html
import os
import sys
import zlib

MB = 1 << 20


def files_under(roots, accept, min_file=1, max_file=None):
    """Regular files (no symlinks) under `roots` in sorted order, lazily."""
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                try:
                    size = os.path.getsize(path)
                except OSError:
                    continue
                if size < min_file or (max_file and size > max_file):
                    continue
                if accept(path):
                    yield path


def read(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
        if path.endswith(".gz") and not path.endswith(".tar.gz"):
            return gzip.decompress(data)
        return data
    except (OSError, EOFError, zlib.error, gzip.BadGzipFile):
        return None


def read_raw(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def fill(paths, cap, transform=lambda path, data: data):
    """Concatenates the files, transformed, until `cap` bytes."""
    parts, total = [], 0
    for path in paths:
        data = read(path)
        if not data:
            continue
        data = transform(path, data)
        parts.append(data)
        total += len(data)
        if total >= cap:
            break
    return b"".join(parts)[:cap]


def as_html(title):
    """Wraps plain text into the markup of an e-book chapter."""
    def transform(path, data):
        text = data.decode("utf-8", "replace")
        paragraphs = [p.strip() for p in text.split("\n\n") if p.strip()]
        body = "\n".join('<p class="body">%s</p>' % html.escape(p).replace("\n", "<br/>\n")
                         for p in paragraphs)
        return ('<div class="chapter">\n<h2 title="%s">%s</h2>\n%s\n</div>\n' %
                (title, html.escape(os.path.basename(path)), body)).encode("utf-8")
    return transform


def html_book(paths, cap, title):
    head = ('<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE html>\n'
            '<html xmlns="http://www.w3.org/1999/xhtml">\n<head><title>%s</title>\n'
            '<link rel="stylesheet" type="text/css" href="book.css"/></head>\n<body>\n' % title)
    tail = "</body>\n</html>\n"
    body = fill(paths, cap - len(head) - len(tail), as_html(title))
    return head.encode() + body + tail.encode()


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def has_ext(*exts):
    return lambda path: path.lower().endswith(exts)


def build_items():
    doc = "/usr/share/doc"
    items = []  # (name, class, bytes)

    licenses = files_under(["/usr/share/common-licenses"], lambda p: True)
    copyrights = files_under([doc], lambda p: os.path.basename(p) == "copyright")
    changelogs = files_under([doc], lambda p: os.path.basename(p).startswith("changelog"))
    manpages = files_under(["/usr/share/man/man1", "/usr/share/man/man5"], has_ext(".gz"))
    items.append(("html_licenses_short", "text", html_book(licenses, 400 * 1024, "Licences")))
    items.append(("html_copyright", "text", html_book(copyrights, 3 * MB, "Copyright")))
    items.append(("html_changelogs", "text", html_book(changelogs, 4 * MB, "Changes")))
    items.append(("html_manpages", "text", html_book(manpages, 3 * MB, "Manual")))

    items.append(("elf_bin", "binary",
                  fill(files_under(["/usr/bin"], is_elf, max_file=2 * MB), 4 * MB)))
    items.append(("elf_lib", "binary",
                  fill(files_under(["/usr/lib/x86_64-linux-gnu", "/usr/lib"], is_elf,
                                   max_file=2 * MB), 4 * MB)))
    items.append(("elf_libexec", "binary",
                  fill(files_under(["/usr/libexec", "/usr/sbin"], is_elf, max_file=2 * MB),
                       1536 * 1024)))

    # Pictures of a few KB and up, as books carry them; icon-sized ones would
    # share too much with each other to stand for compressed data.
    pictures = has_ext(".png", ".jpg", ".jpeg", ".gif")
    roots = ["/usr/share/icons", "/usr/share/pixmaps", doc, "/usr/share"]
    pool, seen = [], set()
    for path in files_under(roots, pictures, min_file=4096):
        if path not in seen:
            seen.add(path)
            pool.append(path)
    # Too few on this machine: any PNG, then gzip files, which are just as
    # incompressible.
    fallbacks = [files_under(["/usr", "/opt"], has_ext(".png"), min_file=4096),
                 files_under([doc, "/usr/share/man"], has_ext(".gz"), min_file=4096)]
    total = sum(os.path.getsize(p) for p in pool)
    for more in fallbacks:
        for path in more:
            if total >= 6 * MB:
                break
            if path not in seen:
                seen.add(path)
                pool.append(path)
                total += os.path.getsize(path)
    pool_data = b"".join(d for d in (read_raw(p) for p in pool) if d)
    for k, name in enumerate(("images_a", "images_b", "images_c")):
        items.append((name, "images", pool_data[k * 2 * MB:(k + 1) * 2 * MB]))
    return [(n, c, d) for n, c, d in items if d]


def up_to_date(outdir):
    index = os.path.join(outdir, "items.txt")
    if not os.path.exists(index):
        return False
    with open(index) as f:
        for line in f:
            name, _, raw, packed = line.split()
            for ext, size in ((".raw", raw), (".deflate", packed)):
                path = os.path.join(outdir, name + ext)
                if not os.path.exists(path) or os.path.getsize(path) != int(size):
                    return False
    return True


def main(argv):
    args = [a for a in argv[1:] if a != "--force"]
    if len(args) != 1:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    outdir = args[0]
    if "--force" not in argv and up_to_date(outdir):
        print("make_corpus: %s is up to date" % outdir)
        return 0
    os.makedirs(outdir, exist_ok=True)
    lines, total = [], 0
    for name, cls, data in build_items():
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        packed = c.compress(data) + c.flush()
        for ext, blob in ((".raw", data), (".deflate", packed)):
            with open(os.path.join(outdir, name + ext), "wb") as f:
                f.write(blob)
        lines.append("%s %s %d %d\n" % (name, cls, len(data), len(packed)))
        total += len(data)
        print("make_corpus: %-20s %-7s %8d -> %8d bytes" % (name, cls, len(data), len(packed)))
    with open(os.path.join(outdir, "items.txt"), "w") as f:
        f.writelines(lines)
    # Items of an earlier corpus that this one no longer has.
    names = {line.split()[0] for line in lines}
    for entry in os.listdir(outdir):
        stem, ext = os.path.splitext(entry)
        if ext in (".raw", ".deflate") and stem not in names:
            os.remove(os.path.join(outdir, entry))
    print("make_corpus: %d items, %.1f MB in %s" % (len(lines), total / MB, outdir))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
