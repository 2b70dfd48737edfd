#!/usr/bin/env bash
# make dist: the publisher's downloads, in build/dist/.
#
#   ebook-setup-VERSION-windows-x64.zip     bookpack.exe, setup-stub.exe (the
#                                           i686 stub we ship), the guide,
#                                           LICENSE, CHANGELOG.md
#   ebook-setup-VERSION-linux-x86_64.tar.gz bookpack, setup-stub.exe, the
#                                           guide, the manual page, LICENSE,
#                                           CHANGELOG.md
#
# Each bundle is one folder holding a SHA256SUMS of its files, and each
# archive gets a .sha256 beside it. bookpack finds setup-stub.exe beside
# itself, so an unpacked bundle works as it is; the Linux one is tried here.
# File times are the last commit's, so that the same sources give the same
# archives.
set -euo pipefail
cd "$(dirname "$0")/.."

native=${NATIVE_BUILD:-build/native}
win32=${WIN32_BUILD:-build/win32}
win64=${WIN64_BUILD:-build/win64}
out=build/dist

linux_tool=$native/tools/bookpack/bookpack
windows_tool=$win64/tools/bookpack/bookpack.exe
stub=$win32/setup-stub.exe
for file in "$linux_tool" "$windows_tool" "$stub"; do
  [ -f "$file" ] || { echo "dist: $file is not built (make native win32 win64)" >&2; exit 1; }
done

version=$("$linux_tool" --version | sed -n 's/^bookpack //p')
[ -n "$version" ] || { echo "dist: bookpack --version gave no version" >&2; exit 1; }
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)

rm -rf "$out"
mkdir -p "$out/stage"

# Stages one bundle: its files with their final names, modes and times, and
# the sums of them.
stage() {
  local folder=$1; shift
  mkdir -p "$folder"
  while [ $# -gt 0 ]; do
    cp "$1" "$folder/$2"
    shift 2
  done
  (cd "$folder" && sha256sum -- * >SHA256SUMS)
  find "$folder" -type f -exec chmod 0644 {} + -exec touch -d "@$stamp" {} +
  touch -d "@$stamp" "$folder"
}

win_name=ebook-setup-$version-windows-x64
win_dir=$out/stage/$win_name
stage "$win_dir" "$windows_tool" bookpack.exe "$stub" setup-stub.exe docs/publishing.md publishing.md \
  LICENSE LICENSE CHANGELOG.md CHANGELOG.md
(cd "$out/stage" && find "$win_name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "../$win_name.zip")

linux_name=ebook-setup-$version-linux-x86_64
linux_dir=$out/stage/$linux_name
mkdir -p "$linux_dir"
strip -o "$linux_dir/bookpack" "$linux_tool"
stage "$linux_dir" "$stub" setup-stub.exe docs/publishing.md publishing.md \
  docs/bookpack.1 bookpack.1 LICENSE LICENSE CHANGELOG.md CHANGELOG.md
chmod 0755 "$linux_dir/bookpack"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" \
  -C "$out/stage" -cf - "$linux_name" | gzip -n -9 >"$out/$linux_name.tar.gz"

(cd "$out" && for archive in "$win_name.zip" "$linux_name.tar.gz"; do
  sha256sum "$archive" >"$archive.sha256"
done)

# The unpacked Linux bundle builds a setup without being told where the
# stub is.
check=$out/stage/check
mkdir -p "$check/book"
echo "A page." >"$check/book/page.txt"
if ! "$linux_dir/bookpack" build -q -o "$check/book.exe" "$check/book" >/dev/null; then
  echo "dist: the unpacked Linux bundle does not find its stub" >&2
  exit 1
fi
rm -rf "$out/stage"

for archive in "$win_name.zip" "$linux_name.tar.gz"; do
  printf '%s  %s bytes\n' "$out/$archive" "$(stat -c %s "$out/$archive")"
done
