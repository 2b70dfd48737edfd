#!/usr/bin/env bash
# Makes the benchmark corpus once, then runs the codec benchmark natively and,
# under Wine, as the Windows program of each architecture this host can run
# (scripts/wine-archs.sh; EBOOK_WINE_ARCHS forces the choice), on the same
# corpus. Every ratio line measured under Wine names its build and
# architecture, e.g. "inflate/zlib stub-i686 1.71", with the stub's size
# next to it. Then bookpack against zip, and last the install of the same
# book, and of one 256 MiB file, by our setup against an NSIS installer under
# Wine, again for each architecture (bench/install/run.py):
# "install/nsis-zlib book i686 0.80", our time over NSIS's.
# Usage: bench/run.sh NATIVE_BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 NATIVE_BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "$1" && pwd)
declare -A tree=([i686]=$(cd "$2" && pwd) [x86_64]=$(cd "$3" && pwd))
corpus=$native/bench/corpus

for program in "$native/bench/codec_bench" "${tree[i686]}/bench/codec_bench.exe" \
               "${tree[x86_64]}/bench/codec_bench.exe"; do
  if [ ! -x "$program" ]; then
    echo "bench: $program is missing (build with EBOOK_BENCH=ON)" >&2
    exit 1
  fi
done

python3 "$root/bench/make_corpus.py" "$corpus"

echo
echo "== native ($(uname -m))"
"$native/bench/codec_bench" "$corpus" "native-$(uname -m)"

mapfile -t verdicts < <(bash "$root/scripts/wine-archs.sh")
for verdict in "${verdicts[@]}"; do
  arch=${verdict%% *}
  echo
  if [ "${verdict#* }" != yes ]; then
    echo "== $arch under Wine: not run, ${verdict#* no, }"
    continue
  fi
  dir=${tree[$arch]}
  echo "== $arch under Wine: the speed-tuned engine, then the engine as the stub builds it (-Oz)"
  "$root/scripts/with-wine.sh" "$arch" bash -c '
    wine "$1/bench/codec_bench.exe" "$2" "win-$3"
    echo
    wine "$1/bench/codec_bench_stub.exe" "$2" "stub-$3"' _ "$dir" "$corpus" "$arch"
  echo "stub-$arch size $(stat -c %s "$dir/setup-stub.exe") bytes"
done

echo
echo "== bookpack build against zip -r -9 (a realistic e-book folder)"
# bookpack.exe is timed beside the Linux bookpack where 64-bit Wine runs.
exe=${tree[x86_64]}/tools/bookpack/bookpack.exe
if [ -x "$exe" ] && printf '%s\n' "${verdicts[@]}" | grep -qx 'x86_64 yes'; then
  BOOKPACK_EXE=$exe "$root/scripts/with-wine.sh" x86_64 bash "$root/bench/bookpack/run.sh" \
    "$native/tools/bookpack/bookpack" "${tree[i686]}/setup-stub.exe"
else
  echo "(bookpack.exe not timed: it is not built, or 64-bit Wine does not run here)"
  bash "$root/bench/bookpack/run.sh" "$native/tools/bookpack/bookpack" "${tree[i686]}/setup-stub.exe"
fi

# The same book as above (bench/bookpack/run.sh made it there).
book=${BOOKPACK_BENCH_DIR:-${TMPDIR:-/tmp}/bookpack-bench}/book
for verdict in "${verdicts[@]}"; do
  arch=${verdict%% *}
  echo
  if [ "${verdict#* }" != yes ]; then
    echo "== install under Wine, $arch: not run, ${verdict#* no, }"
    continue
  fi
  dir=${tree[$arch]}
  echo "== install under Wine, $arch: our setup against NSIS (zlib), the book and one 256 MiB file"
  echo "stub-$arch size $(stat -c %s "$dir/setup-stub.exe") bytes"
  "$root/scripts/with-wine.sh" "$arch" python3 "$root/bench/install/run.py" --arch "$arch" \
    --stub "$dir/setup-stub.exe" --bookpack "$native/tools/bookpack/bookpack" \
    --driver "$dir/tests/e2e/uidriver.exe" --book "$book" \
    --work "${INSTALL_BENCH_DIR:-${TMPDIR:-/tmp}/install-bench}"
done
