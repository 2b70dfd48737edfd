#!/usr/bin/env bash
# Keeps cores busy, as other work on a shared machine does, so that the
# tests can be run under load (scripts/stress-tests.sh does).
#
#   scripts/busy-cores.sh [N [SECONDS]]
#
# N busy loops (default: one a core, nproc) at the tests' own priority, until
# this script is stopped (Ctrl-C, SIGTERM) or SECONDS have passed. For a
# loaded `make test`:
#
#   scripts/busy-cores.sh & make test; kill %1
set -uo pipefail

n=${1:-$(nproc 2>/dev/null || echo 2)}
limit=${2:-}
case $n in '' | *[!0-9]*) echo "usage: busy-cores.sh [N [SECONDS]]" >&2; exit 2 ;; esac

# The loops and, with SECONDS, the sleep that times them: stopping must end
# the sleep too, or the final wait would hold this script until it ends.
loops=()
stop() {
  [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null
  wait 2>/dev/null
  loops=()
}
trap 'stop; exit 0' TERM INT HUP
trap stop EXIT

for _ in $(seq "$n"); do
  ( trap - TERM INT HUP EXIT; while :; do :; done ) &
  loops+=($!)
done
if [ -n "$limit" ]; then
  sleep "$limit" &
  loops+=($!)
  wait $!
else
  wait
fi
