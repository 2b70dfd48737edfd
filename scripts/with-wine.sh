#!/usr/bin/env bash
# Runs a command with a private, freshly booted Wine prefix of one
# architecture and a persistent wineserver, then tears both down. Nothing
# touches ~/.wine.
# Usage: scripts/with-wine.sh i686|x86_64 COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

if [ $# -lt 2 ]; then
  echo "usage: $0 i686|x86_64 COMMAND [ARGS...]" >&2
  exit 2
fi
arch=$1; shift

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ebook-wine-$arch.XXXXXX")
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
wine_use_arch "$arch" "$prefix/bin"
export WINEPREFIX="$prefix/prefix"
mkdir -p "$WINEPREFIX"

# One persistent server for every program of the run: much faster than a
# server per program.
wineserver -p
if ! wineboot -i </dev/null >/dev/null 2>&1; then
  echo "with-wine: could not boot a fresh $arch Wine prefix" >&2
  exit 1
fi
# A crash must end the program with its exception code, not wait in a dialog.
# (reg is a console program: no terminal on its standard input, where Wine
# would give it a console of its own.)
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
"$@"
