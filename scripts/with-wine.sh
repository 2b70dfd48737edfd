#!/usr/bin/env bash
# Runs a command with a private, freshly booted 32-bit Wine prefix and a
# persistent wineserver, then tears both down. Nothing touches ~/.wine.
# Usage: scripts/with-wine.sh COMMAND [ARGS...]
set -euo pipefail

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ebook-wine.XXXXXX")
export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# One persistent server for every program of the run: much faster than a
# server per program.
wineserver -p
wineboot -i >/dev/null 2>&1
# A crash must end the program with its exception code, not wait in a dialog.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$@"
