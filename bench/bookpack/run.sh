#!/usr/bin/env bash
# bookpack against the usual tools on the same synthetic e-book, in the same
# run, best of a few runs each:
#   build/zip-9      `bookpack build` of the folder against `zip -r -9`:
#                    time, and bytes of the archive
#   extract/bsdtar   `bookpack extract` of that setup against `bsdtar -x` of
#                    zip's archive
#   check/unzip-t    `bookpack check` against `unzip -t`
# The target is a ratio of at most 1 for each.
# With BOOKPACK_EXE naming bookpack.exe (and `wine` running 64-bit programs,
# as under scripts/with-wine.sh x86_64), its build is timed in the same runs,
# interleaved with the other two, and gets a build/zip-9 line of its own.
#
# Usage: bench/bookpack/run.sh BOOKPACK STUB [LEVEL]
#   LEVEL  passed as --level; by default bookpack's own default
# The folder is made once under $BOOKPACK_BENCH_DIR (default
# ${TMPDIR:-/tmp}/bookpack-bench) and kept for later runs.
set -euo pipefail
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 BOOKPACK STUB [LEVEL]" >&2
  exit 2
fi
bookpack=$(realpath "$1")
stub=$(realpath "$2")
level_args=()
if [ $# -eq 3 ]; then level_args=(--level "$3"); fi
here=$(cd "$(dirname "$0")" && pwd)
work=${BOOKPACK_BENCH_DIR:-${TMPDIR:-/tmp}/bookpack-bench}
runs=${BOOKPACK_BENCH_RUNS:-3}
for tool in zip unzip bsdtar; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

# The folder is remade whenever the generator changes.
stamp=$(sha256sum "$here/make_book.py" | cut -c1-16)
if [ ! -f "$work/book.$stamp" ]; then
  echo "making the e-book folder in $work/book ..."
  rm -rf "$work/book" "$work"/book.*
  mkdir -p "$work"
  python3 "$here/make_book.py" "$work/book"
  touch "$work/book.$stamp"
fi
files=$(find "$work/book" -type f | wc -l)
bytes=$(find "$work/book" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

now() { date +%s.%N; }
# Best wall time of $runs runs of the command given; $fresh, when set, names
# a folder emptied before each run (outside the time).
fresh=""
best_time() {
  local best="" start end t
  for _ in $(seq "$runs"); do
    if [ -n "$fresh" ]; then rm -rf "$fresh" && mkdir -p "$fresh"; fi
    start=$(now)
    "$@" >/dev/null
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" \
      'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.3f", b }')
  done
  echo "$best"
}

zip_once() { rm -f "$work/book.zip" && (cd "$work/book" && zip -r -9 -q "$work/book.zip" .); }
exe=${BOOKPACK_EXE:-}
# One run of each build in turn, so that the load of the machine falls on
# all of them alike; the best of each.
timed() {
  local start end
  start=$(now)
  "$@" >/dev/null
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
lower() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b < a) a = b; printf "%s", a }'; }
ours_time="" zip_time="" exe_time=""
for _ in $(seq "$runs"); do
  ours_time=$(lower "$ours_time" "$(timed "$bookpack" build --stub "$stub" \
    -o "$work/book-setup.exe" "${level_args[@]}" "$work/book")")
  zip_time=$(lower "$zip_time" "$(timed zip_once)")
  if [ -n "$exe" ]; then
    exe_time=$(lower "$exe_time" "$(timed wine "$exe" build --stub "$stub" \
      -o "$work/book-setup-exe.exe" "${level_args[@]}" "$work/book")")
  fi
done

fresh=$work/extracted
extract_time=$(best_time "$bookpack" extract "$work/book-setup.exe" "$fresh")
bsdtar_time=$(best_time bsdtar -xf "$work/book.zip" -C "$fresh")
fresh=""
rm -rf "$work/extracted"
check_time=$(best_time "$bookpack" check "$work/book-setup.exe")
unzip_time=$(best_time unzip -tqq "$work/book.zip")

stub_size=$(stat -c %s "$stub")
setup_size=$(stat -c %s "$work/book-setup.exe")
archive_size=$((setup_size - stub_size - 8))
zip_size=$(stat -c %s "$work/book.zip")

echo "e-book folder: $files files, $bytes bytes; $(nproc) cores; best of $runs runs"
printf '%-34s %12s bytes %8.3f s\n' "bookpack build ${level_args[*]:-(default level)}" \
  "$archive_size" "$ours_time"
printf '%-34s %12s bytes\n' "  (setup with its stub)" "$setup_size"
printf '%-34s %12s bytes %8.3f s\n' "zip -r -9 -q" "$zip_size" "$zip_time"
printf '%-34s %12s       %8.3f s\n' "bookpack extract" "" "$extract_time"
printf '%-34s %12s       %8.3f s\n' "bsdtar -x (zip's archive)" "" "$bsdtar_time"
printf '%-34s %12s       %8.3f s\n' "bookpack check" "" "$check_time"
printf '%-34s %12s       %8.3f s\n' "unzip -t (zip's archive)" "" "$unzip_time"
awk -v a="$archive_size" -v z="$zip_size" -v o="$ours_time" -v t="$zip_time" \
  'BEGIN { printf "build/zip-9 time %.3f bytes %.4f\n", o / t, a / z }'
if [ -n "$exe" ]; then
  exe_size=$(( $(stat -c %s "$work/book-setup-exe.exe") - stub_size - 8 ))
  same=no
  if cmp -s "$work/book-setup.exe" "$work/book-setup-exe.exe"; then same=yes; fi
  printf '%-34s %12s bytes %8.3f s\n' "bookpack.exe build (64-bit Wine)" "$exe_size" "$exe_time"
  awk -v a="$exe_size" -v z="$zip_size" -v o="$exe_time" -v t="$zip_time" -v same="$same" \
    'BEGIN { printf "build/zip-9 bookpack.exe-wine64 time %.3f bytes %.4f (the same setup as Linux: %s)\n", o / t, a / z, same }'
fi
awk -v o="$extract_time" -v t="$bsdtar_time" 'BEGIN { printf "extract/bsdtar time %.3f\n", o / t }'
awk -v o="$check_time" -v t="$unzip_time" 'BEGIN { printf "check/unzip-t time %.3f\n", o / t }'
