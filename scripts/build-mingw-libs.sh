#!/usr/bin/env bash
# Builds the compression libraries that bookpack links on Linux (libdeflate,
# bzip2, xz's liblzma) as static libraries for a MinGW target, from Debian's
# source packages of exactly the versions the Linux build uses, so that
# bookpack.exe compresses and decompresses with the same code. zlib comes
# from Debian's own MinGW package (libz-mingw-w64-dev).
#
#   scripts/build-mingw-libs.sh TRIPLET OUT
#
# OUT receives include/ and lib/. The sources are fetched with a private
# list of Debian's source archives and private apt state under OUT/apt, so
# nothing under /etc changes. A second run with the same versions does nothing.
# It prints nothing unless it fails: the compilers' and configure's output
# goes to OUT/build.log, which a failure shows.
set -euo pipefail

triplet=${1:?usage: build-mingw-libs.sh TRIPLET OUT}
out=${2:?usage: build-mingw-libs.sh TRIPLET OUT}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The source versions behind the Linux build's -dev packages.
src_version() {
  dpkg-query -W -f='${source:Version}' "$1"
}
deflate_v=$(src_version libdeflate-dev)
bzip2_v=$(src_version libbz2-dev)
xz_v=$(src_version liblzma-dev)
want="$triplet libdeflate=$deflate_v bzip2=$bzip2_v xz-utils=$xz_v"

stamp="$out/.built"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi
if [ -z "${EBOOK_MINGW_LIBS_LOG:-}" ]; then
  log=$out/build.log
  if ! EBOOK_MINGW_LIBS_LOG=$log bash "$0" "$triplet" "$out" >"$log" 2>&1; then
    echo "build-mingw-libs: building $want in $out failed; its log, $log:" >&2
    cat "$log" >&2
    exit 1
  fi
  exit 0
fi
echo "build-mingw-libs: building $want in $out"
rm -rf "$out/include" "$out/lib" "$out/src"
mkdir -p "$out/include" "$out/lib" "$out/src"

# Debian's source archives for the release this machine runs, beside (never
# instead of) the machine's own configuration.
apt_dir="$out/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
. /etc/os-release
codename=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $codename-security main
EOF
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "Debug::NoLocking=1"
  # The files land in a folder apt's own download user may not enter.
  -o "APT::Sandbox::User=root"
)
apt-get "${apt_opts[@]}" -qq update
(
  cd "$out/src"
  apt-get "${apt_opts[@]}" -qq source \
    "libdeflate=$deflate_v" "bzip2=$bzip2_v" "xz-utils=$xz_v" >/dev/null
)

cc="$triplet-gcc"
ar="$triplet-ar"
ranlib="$triplet-ranlib"
jobs=$(nproc 2>/dev/null || echo 2)
cflags="-O2"

# libdeflate: its Makefile knows MinGW from the compiler's target and then
# names the static library libdeflatestatic.lib.
deflate_src=$(find "$out/src" -maxdepth 1 -type d -name 'libdeflate-*' | head -1)
make -s -C "$deflate_src" -j "$jobs" CC="$cc" AR="$ar" CFLAGS="$cflags" libdeflatestatic.lib
cp "$deflate_src/libdeflatestatic.lib" "$out/lib/libdeflate.a"
cp "$deflate_src/libdeflate.h" "$out/include/"

# bzip2: the library is seven C files; its Makefile would also build and run
# the command-line programs, which a cross build cannot.
bzip2_src=$(find "$out/src" -maxdepth 1 -type d -name 'bzip2-*' | head -1)
(
  cd "$bzip2_src"
  objs=()
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$cc" $cflags -D_FILE_OFFSET_BITS=64 -c "$f.c" -o "$f.o"
    objs+=("$f.o")
  done
  rm -f libbz2.a
  "$ar" rcs libbz2.a "${objs[@]}"
)
cp "$bzip2_src/libbz2.a" "$out/lib/"
cp "$bzip2_src/bzlib.h" "$out/include/"

# xz: only liblzma, static, without the programs, translations or manuals.
xz_src=$(find "$out/src" -maxdepth 1 -type d -name 'xz-utils-*' | head -1)
(
  cd "$xz_src"
  ./configure -q --host="$triplet" --prefix="$out/xz-install" CFLAGS="$cflags" \
    --enable-static --disable-shared --disable-xz --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
    --enable-threads=vista
  make -s -j "$jobs" -C src/liblzma >/dev/null
  make -s -C src/liblzma install >/dev/null
)
cp "$out/xz-install/lib/liblzma.a" "$out/lib/"
cp -r "$out/xz-install/include/." "$out/include/"

"$ranlib" "$out/lib/"*.a
echo "$want" >"$stamp"
