#!/usr/bin/env bash
# Makes the benchmark corpus once, then runs the codec benchmark natively and
# as the 32-bit Windows program under Wine, on the same corpus.
# Usage: bench/run.sh NATIVE_BUILD_DIR WIN32_BUILD_DIR
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 NATIVE_BUILD_DIR WIN32_BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "$1" && pwd)
win32=$(cd "$2" && pwd)
corpus=$native/bench/corpus

for program in "$native/bench/codec_bench" "$win32/bench/codec_bench.exe"; do
  if [ ! -x "$program" ]; then
    echo "bench: $program is missing (build with EBOOK_BENCH=ON)" >&2
    exit 1
  fi
done

python3 "$root/bench/make_corpus.py" "$corpus"

echo
echo "== native ($(uname -m))"
"$native/bench/codec_bench" "$corpus"

echo
echo "== win32 (i686, under Wine)"
"$root/scripts/with-wine.sh" wine "$win32/bench/codec_bench.exe" "$corpus"

echo
echo "== win32, the engine as the stub builds it (-Os), under Wine"
"$root/scripts/with-wine.sh" wine "$win32/bench/codec_bench_stub.exe" "$corpus"

echo
echo "== bookpack build against zip -r -9 (a realistic e-book folder)"
bash "$root/bench/bookpack/run.sh" "$native/tools/bookpack/bookpack" "$win32/setup-stub.exe"
