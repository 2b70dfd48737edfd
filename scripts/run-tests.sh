#!/usr/bin/env bash
# Runs every test suite: native, sanitized (with the short fuzzing runs) and
# the Windows build under a private Wine prefix. Prints one closing line.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
status=0

run_suite() {
  local name=$1; shift
  local log
  log=$(mktemp)
  echo "== $name"
  "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # ctest: "100% tests passed, 0 tests failed out of 7"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  else
    echo "$name: no test results" >&2
    failed=$((failed + 1))
  fi
  if [ "$rc" -ne 0 ]; then status=1; fi
  rm -f "$log"
}

run_suite native ctest --test-dir build/native --output-on-failure --no-tests=error
run_suite sanitize ctest --test-dir build/sanitize --output-on-failure --no-tests=error
run_suite win32 scripts/with-wine.sh ctest --test-dir build/win32 --output-on-failure --no-tests=error

echo
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit "$status"
