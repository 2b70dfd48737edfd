#!/usr/bin/env bash
# Tells which Windows architectures this host's Wine can run, by trying:
# a tiny program of each architecture is built and run in a fresh prefix of
# its kind, with a time limit. Prints one line an architecture:
#   i686 yes
#   x86_64 no <why>
# EBOOK_WINE_ARCHS (a list such as "x86_64" or "i686,x86_64") skips the trial
# and forces the choice: the listed ones are "yes", the others "no".
# Usage: scripts/wine-archs.sh [ARCH...]   (default: i686 x86_64)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

all=(i686 x86_64)
if [ $# -gt 0 ]; then all=("$@"); fi
limit_s=${EBOOK_WINE_PROBE_LIMIT:-120}

if [ -n "${EBOOK_WINE_ARCHS:-}" ]; then
  forced=" ${EBOOK_WINE_ARCHS//,/ } "
  for arch in $forced; do
    case $arch in i686|x86_64) ;; *) echo "wine-archs: EBOOK_WINE_ARCHS names '$arch' (i686 or x86_64)" >&2; exit 2 ;; esac
  done
  for arch in "${all[@]}"; do
    if [[ $forced == *" $arch "* ]]; then echo "$arch yes"; else echo "$arch no, EBOOK_WINE_ARCHS=$EBOOK_WINE_ARCHS"; fi
  done
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ebook-wine-probe.XXXXXX")
trap 'rm -rf "$work"' EXIT

probe() {
  local arch=$1 dir=$work/$1
  mkdir -p "$dir"
  local cc=$arch-w64-mingw32-gcc
  if ! command -v "$cc" >/dev/null; then echo "no, $cc is missing (make deps)"; return; fi
  if ! "$cc" -O1 -o "$dir/probe.exe" "$here/wine-probe.c" 2>"$dir/cc.log"; then
    echo "no, the probe program does not build: $(head -c 200 "$dir/cc.log")"; return
  fi
  (
    wine_use_arch "$arch" "$dir/bin" || exit 3
    export WINEPREFIX=$dir/prefix
    # No terminal on standard input: Wine would give the console probe a
    # console of its own on it (conhost.exe --unix).
    timeout "$limit_s" wineboot -i </dev/null >"$dir/boot.log" 2>&1
    boot=$?
    if [ $boot -eq 0 ]; then
      timeout "$limit_s" wine "$dir/probe.exe" </dev/null >"$dir/run.log" 2>&1
      run=$?
    else
      run=$boot
    fi
    wineserver -k >/dev/null 2>&1
    if [ $boot -eq 0 ] && [ $run -eq 0 ] && grep -q "wine-probe ok" "$dir/run.log"; then exit 0; fi
    [ $boot -eq 0 ] || cp "$dir/boot.log" "$dir/run.log"
    exit $run
  )
  local rc=$?
  if [ $rc -eq 0 ]; then echo yes; return; fi
  local bits=32; [ "$arch" = x86_64 ] && bits=64
  if [ $rc -eq 126 ] || grep -qi "exec format error" "$dir/run.log" 2>/dev/null; then
    echo "no, this host cannot execute $bits-bit code"
  elif [ $rc -eq 124 ]; then
    echo "no, $bits-bit Wine did not answer within $limit_s s"
  elif [ $rc -eq 3 ]; then
    echo "no, no $bits-bit Wine loader is installed"
  else
    echo "no, $bits-bit Wine failed (exit $rc): $(tail -n 1 "$dir/run.log" | head -c 200)"
  fi
}

for arch in "${all[@]}"; do
  echo "$arch $(probe "$arch")"
done
