#!/usr/bin/env bash
# Runs COMMAND, then says how long it took ("== NAME: N s"), so that the log
# of a whole `make test` shows where its minutes went.
# Usage: scripts/timed.sh NAME COMMAND [ARGS...]
name=$1
shift
started=$SECONDS
"$@"
status=$?
echo "== $name: $((SECONDS - started)) s"
exit $status
