#!/usr/bin/env bash
# Runs the Windows suites N times while every core is kept busy, to show
# that they pass on a loaded machine; not part of `make test`.
#
#   scripts/stress-tests.sh [N [CTEST OPTION...]]     (N default 5)
#
# CTEST OPTIONs narrow the suites, e.g. `-R bookpack_exe`.
# Each round runs, for every Windows architecture this host can run (see
# scripts/wine-archs.sh), that tree's Wine tests the way `make test` does
# (scripts/run-tests.sh): a fresh prefix, a persistent wineserver, ctest.
# Meanwhile scripts/busy-cores.sh keeps one busy loop a core running
# (EBOOK_STRESS_LOAD=K for K loops). Every round's whole output is kept in
# build/stress/; each failure is shown with the output of its test, and the
# last line counts the rounds that passed and failed. Builds nothing: run
# `make build` (or `make test`) first.
set -uo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
case $rounds in '' | *[!0-9]* | 0) echo "usage: stress-tests.sh [N [CTEST OPTION...]]   (N rounds, default 5)" >&2; exit 2 ;; esac
shift $(($# > 0 ? 1 : 0))
narrowed=("$@")
load=${EBOOK_STRESS_LOAD:-$(nproc 2>/dev/null || echo 2)}
out=build/stress
declare -A tree=([i686]=build/win32 [x86_64]=build/win64)

mapfile -t verdicts < <(bash scripts/wine-archs.sh)
archs=()
for line in "${verdicts[@]}"; do
  arch=${line%% *}
  if [ "${line#* }" = yes ]; then
    [ -f "${tree[$arch]}/CTestTestfile.cmake" ] || {
      echo "stress-tests: ${tree[$arch]} is not built: run make build first" >&2
      exit 2
    }
    archs+=("$arch")
  else
    echo "stress-tests: $arch not run, ${line#* no, }"
  fi
done
[ ${#archs[@]} -gt 0 ] || { echo "stress-tests: no Windows suite can run on this host" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
bash scripts/busy-cores.sh "$load" &
load_pid=$!
trap 'kill "$load_pid" 2>/dev/null; wait "$load_pid" 2>/dev/null' EXIT
echo "stress-tests: $rounds rounds of the ${archs[*]} Windows suites${narrowed[*]:+ (${narrowed[*]})}, $load busy loops on $(nproc) cores"

# The output of each test that did not pass, from ctest --output-on-failure:
# from its "***Failed" (or Timeout, Exception, Not Run) line to the next
# test's start or the summary.
failed_output() {
  awk '
    / Test +#[0-9]+: .*(\*\*\*|Not Run|Failed)/ { show = 1 }
    /^ *Start +[0-9]+: / || /tests passed, / { show = 0 }
    show { print "    " $0 }
  ' "$1"
}

passed=0
failed=0
for round in $(seq "$rounds"); do
  for arch in "${archs[@]}"; do
    log=$out/round-$round-$arch.log
    started=$SECONDS
    # No terminal on standard input, as in make test (see run-tests.sh).
    scripts/with-wine.sh "$arch" ctest --test-dir "${tree[$arch]}" -LE static \
      --output-on-failure --no-tests=error "${narrowed[@]}" >"$log" 2>&1 </dev/null
    rc=$?
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -n 1)
    if [ $rc -eq 0 ]; then
      passed=$((passed + 1))
      printf 'round %d, %s: passed in %d s (%s)\n' "$round" "$arch" $((SECONDS - started)) "$summary"
    else
      failed=$((failed + 1))
      printf 'round %d, %s: FAILED in %d s, exit %d (%s); the whole output: %s\n' "$round" "$arch" \
        $((SECONDS - started)) "$rc" "${summary:-no summary}" "$log"
      failed_output "$log"
    fi
  done
done
echo "stress: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
