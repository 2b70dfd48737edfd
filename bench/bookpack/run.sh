#!/usr/bin/env bash
# bookpack build against `zip -r -9` on the same synthetic e-book folder, in
# the same run: sizes, times (best of a few runs each) and the ratios
# ours/zip. The target is a ratio of at most 1 for both.
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
command -v zip >/dev/null || { echo "bench: zip is missing" >&2; exit 1; }

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
# Best wall time of $runs runs of the command given.
best_time() {
  local best="" start end t
  for _ in $(seq "$runs"); do
    start=$(now)
    "$@" >/dev/null
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" \
      'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.3f", b }')
  done
  echo "$best"
}

ours_time=$(best_time "$bookpack" build --stub "$stub" -o "$work/book-setup.exe" \
  "${level_args[@]}" "$work/book")
zip_once() { rm -f "$work/book.zip" && (cd "$work/book" && zip -r -9 -q "$work/book.zip" .); }
zip_time=$(best_time zip_once)

stub_size=$(stat -c %s "$stub")
setup_size=$(stat -c %s "$work/book-setup.exe")
archive_size=$((setup_size - stub_size - 8))
zip_size=$(stat -c %s "$work/book.zip")

echo "e-book folder: $files files, $bytes bytes; $(nproc) cores; best of $runs runs"
printf '%-34s %12s bytes %8.3f s\n' "bookpack build ${level_args[*]:-(default level)}" \
  "$archive_size" "$ours_time"
printf '%-34s %12s bytes\n' "  (setup with its stub)" "$setup_size"
printf '%-34s %12s bytes %8.3f s\n' "zip -r -9 -q" "$zip_size" "$zip_time"
awk -v a="$archive_size" -v z="$zip_size" -v o="$ours_time" -v t="$zip_time" \
  'BEGIN { printf "ratio ours/zip: size %.4f, time %.3f\n", a / z, o / t }'
