#!/usr/bin/env bash
# Runs every test suite: native, sanitized (with the short fuzzing runs), the
# static checks of both Windows trees, and each Windows tree under a private
# Wine prefix of its architecture, for every architecture this host can run
# (found by trying, see scripts/wine-archs.sh). Fails when no Windows suite
# could run at all. Prints which Windows suites ran and one closing line.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
status=0

run_suite() {
  local name=$1; shift
  local log
  log=$(mktemp)
  local started=$SECONDS
  echo "== $name"
  # Never the caller's terminal on standard input: under Wine every console
  # program started with a terminal there gets a console of its own on it
  # (conhost.exe --unix, one more Wine process for each of hundreds of runs),
  # which a test run from CI never has.
  "$@" 2>&1 </dev/null | tee "$log"
  local rc=${PIPESTATUS[0]}
  echo "== $name: $((SECONDS - started)) s"
  # ctest: "100% tests passed, 0 tests failed out of 7"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
    suite_summary="$((total - fail)) passed, $fail failed"
  else
    echo "$name: no test results" >&2
    failed=$((failed + 1))
    suite_summary="no test results"
  fi
  if [ "$rc" -ne 0 ]; then status=1; fi
  rm -f "$log"
}

# The native suites run a test a core: the fuzzers and bookpack's tests each
# keep one core busy for their whole run. The Windows suites stay one test
# at a time, since the end-to-end tests time the setup's responses.
jobs=$(nproc 2>/dev/null || echo 2)
run_suite native ctest --test-dir build/native -j "$jobs" --output-on-failure --no-tests=error
run_suite sanitize ctest --test-dir build/sanitize -j "$jobs" --output-on-failure --no-tests=error

declare -A tree=([i686]=build/win32 [x86_64]=build/win64)
declare -A bits=([i686]=32 [x86_64]=64)
report=()

# The shipped stub and its 64-bit variant are checked as images on every host.
for arch in i686 x86_64; do
  run_suite "$arch static checks" ctest --test-dir "${tree[$arch]}" -L static \
    --output-on-failure --no-tests=error
  report+=("$arch static checks of the stub: $suite_summary")
done

echo "== which Windows architectures Wine runs here"
mapfile -t verdicts < <(bash scripts/wine-archs.sh)
printf '%s\n' "${verdicts[@]}"
ran=0
for arch in i686 x86_64; do
  verdict=$(printf '%s\n' "${verdicts[@]}" | sed -n "s/^$arch //p")
  if [ "$verdict" = yes ]; then
    run_suite "$arch Windows tests under Wine" scripts/with-wine.sh "$arch" \
      ctest --test-dir "${tree[$arch]}" -LE static --output-on-failure --no-tests=error
    report+=("$arch Windows tests (${bits[$arch]}-bit Wine): $suite_summary")
    ran=$((ran + 1))
  else
    report+=("$arch Windows tests: not run, ${verdict#no, }")
  fi
done

echo
printf '%s\n' "${report[@]}"
if [ "$ran" -eq 0 ]; then
  echo "no Windows suite could run: the Windows code is untested on this host" >&2
  status=1
  failed=$((failed + 1))
fi
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit "$status"
