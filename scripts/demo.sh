#!/usr/bin/env bash
# make demo: packs the sample e-book of demo/book into a packaged setup and
# runs it under Wine in a private prefix (build/demo/wineprefix, made anew on
# every run and kept afterwards so the installed files can be looked at;
# ~/.wine is never touched).
#
# The setup is built with the i686 stub we ship and runs in a 32-bit prefix.
# On a host that cannot execute 32-bit code (found by trying, see
# scripts/wine-archs.sh; EBOOK_WINE_ARCHS forces the choice) it is built
# with the x86-64 stub and runs under 64-bit Wine instead.
#
# With DISPLAY set the setup opens on that display and you click through it.
# Without DISPLAY (or with EBOOK_DEMO_HEADLESS=1) it runs on a private Xvfb:
# the project's UI driver types the folder and presses Install, the dialog is
# saved as a PNG beside the setup, and the run fails unless every file of the
# book arrived intact and the reader logged its /INIT start.
#
# It builds only what it needs, in the trees `make test` uses: bookpack in
# build/native, and the stub, the sample reader and the UI driver in the tree
# of the architecture it runs (build/win32 or build/win64), with the compilers'
# output in build/demo/build.log, shown when the build fails.
# EBOOK_NATIVE_BUILD and EBOOK_WIN32_BUILD / EBOOK_WIN64_BUILD point it at
# trees built already instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-env.sh

out=build/demo
mkdir -p "$out"
arch=i686
verdict=$(bash scripts/wine-archs.sh i686)
if [ "$verdict" = "i686 yes" ]; then
  win32=${EBOOK_WIN32_BUILD:-build/win32}
  given_tree=${EBOOK_WIN32_BUILD:-}
else
  arch=x86_64
  win32=${EBOOK_WIN64_BUILD:-build/win64}
  given_tree=${EBOOK_WIN64_BUILD:-}
  printf 'i686 Windows programs cannot run here (%s): the demo uses the x86-64 stub under 64-bit Wine.\n' \
    "${verdict#i686 no, }"
fi
if [ -z "$given_tree" ] && [ -z "${EBOOK_NATIVE_BUILD:-}" ]; then
  build_log=$out/build.log
  printf 'Building bookpack and the %s stub, reader and UI driver (a first run takes about 3 min) ... ' \
    "$arch"
  started=$SECONDS
  if ! make --no-print-directory -j2 demo-parts DEMO_TREE="$win32" >"$build_log" 2>&1; then
    printf 'failed:\n'
    tail -n 40 "$build_log"
    printf 'demo: the build failed; its whole log is %s\n' "$build_log" >&2
    exit 1
  fi
  printf 'done in %d s.\n' $((SECONDS - started))
fi
stub=$win32/setup-stub.exe
reader=$win32/demo/quonview.exe
bookpack=${EBOOK_NATIVE_BUILD:-build/native}/tools/bookpack/bookpack
setup=$out/Sample-Book-Setup.exe
dialog_png=$out/Sample-Book-Setup.png
reader_png=$out/Sample-Book-Reader.png
install_win=${EBOOK_DEMO_FOLDER:-'C:\Books\Sample Book'}
# Seconds the reader stays open in the unattended run (read by quonview.exe).
autoclose=4

say() { printf '%s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

for f in "$stub" "$reader"; do
  [ -f "$f" ] || fail "$f is missing: run 'make win32' first"
done
for tool in wine wineserver unzip python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run 'make deps'"
done

case $install_win in
  [Cc]:\\?*) install_rel=${install_win:3}; install_rel=${install_rel//\\//} ;;
  *) fail "EBOOK_DEMO_FOLDER must be a folder on C:, like C:\\Books\\Sample Book" ;;
esac

headless=${EBOOK_DEMO_HEADLESS:-}
if [ -z "${DISPLAY:-}" ]; then headless=1; fi
if [ -n "$headless" ]; then
  driver=$(find "$win32" -name uidriver.exe -type f 2>/dev/null | head -n1)
  [ -n "$driver" ] || fail "the UI driver (uidriver.exe) is missing in $win32: run 'make win32' first"
  command -v Xvfb >/dev/null || fail "Xvfb is missing: run 'make deps'"
fi

# --- The packaged setup -----------------------------------------------------

staging=$out/staging
rm -rf "$staging" "$setup" "$dialog_png" "$reader_png"
mkdir -p "$staging"
cp -R demo/book/. "$staging/"
python3 demo/tools/make_images.py "$staging"
cp "$reader" "$staging/quonview.exe"
# The licence is shown as it is stored: a checkout that lost its CR LF line
# ends would show one long line.
if ! grep -q $'\r$' "$staging/!!licence.txt"; then
  fail "demo/book/!!licence.txt has lost its CR LF line ends"
fi
[ -x "$bookpack" ] || fail "bookpack is missing: run 'make native' first"
# The publisher's way: bookpack builds the setup, tells what the reader will
# see, and checks it with the stub's own engine.
"$bookpack" build --stub "$stub" -o "$setup" "$staging" || fail "bookpack build failed"
"$bookpack" check "$setup" >/dev/null || fail "bookpack check finds problems in $setup"
# Other tools open the setup as a ZIP file too.
unzip -tqq "$setup" >/dev/null || fail "unzip cannot read $setup"
mapfile -t book_files < <(cd "$staging" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
say "Packed ${#book_files[@]} files into $setup ($(stat -c %s "$setup") bytes)."

# --- A private Wine prefix --------------------------------------------------

xvfb_pid=
work=$(mktemp -d "${TMPDIR:-/tmp}/ebook-demo.XXXXXX")
wine_use_arch "$arch" "$work/bin"
export WINEPREFIX=$root/$out/wineprefix
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$headless" ]; then
  # Xvfb picks a free display itself and writes its number once it accepts
  # clients; -fbdir keeps the screen in a file for the screenshots, -br makes
  # the root black so that the windows stand out for the crop.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -br -fbdir "$work" \
    3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb gave no display number"
  export DISPLAY=":$(head -n1 "$work/display")"
fi

if [ "$arch" = i686 ]; then bits=32; else bits=64; fi
say "Preparing a fresh $bits-bit Wine prefix in $WINEPREFIX ..."
# No persistent wineserver: `wineserver -w` below must return once the setup
# and the reader it starts have ended.
wineboot -i >/dev/null 2>&1
# Console programs (reg, the UI driver) get no terminal on standard input:
# Wine would give each a console of its own on it (conhost.exe --unix),
# which changes the terminal's settings while it runs.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
drive_c=$WINEPREFIX/drive_c

# Lists the book's files below the install folder with their sizes, in the
# Windows and the Linux form, and fails on any file that is missing or differs
# from what was packed.
report_install() {
  local linux_dir=$1 win_dir=$2 missing=0 f
  say "Installed into $win_dir"
  say "  (on Linux: $linux_dir)"
  for f in "${book_files[@]}"; do
    if [ ! -f "$linux_dir/$f" ]; then
      say "  MISSING  $win_dir\\${f//\//\\}"
      missing=1
    elif ! cmp -s "$staging/$f" "$linux_dir/$f"; then
      say "  DIFFERS  $win_dir\\${f//\//\\}"
      missing=1
    else
      printf '  %7d  %s\n           %s\n' "$(stat -c %s "$linux_dir/$f")" \
        "$win_dir\\${f//\//\\}" "$linux_dir/$f"
    fi
  done
  return $missing
}

show_reader_log() {
  local log=$1/quonview.log
  if [ -f "$log" ] && grep -q 'started with /INIT' "$log"; then
    say "The setup started the reader; its log (${2}\\quonview.log) says:"
    grep 'started with /INIT' "$log" | sed 's/\r$//; s/^/  /'
    return 0
  fi
  say "The reader did not log a start with /INIT."
  return 1
}

# --- Interactive run --------------------------------------------------------

if [ -z "$headless" ]; then
  say ""
  say "Starting $setup on $DISPLAY."
  say "Type a folder (for instance $install_win) and press Install;"
  say "the Quon Viewer opens afterwards: close it to finish the demo."
  wine "$setup" || true
  wineserver -w
  say ""
  # The prefix is new, so any copy of the reader came from this install.
  mapfile -t readers < <(find "$drive_c" -name quonview.exe -type f 2>/dev/null)
  if [ ${#readers[@]} -eq 0 ]; then
    say "Nothing was installed under C:\\ (Exit pressed, or a folder on another drive)."
    exit 0
  fi
  linux_dir=$(dirname "${readers[0]}")
  rel=${linux_dir#"$drive_c"/}
  win_dir="C:\\${rel//\//\\}"
  status=0
  report_install "$linux_dir" "$win_dir" || status=1
  show_reader_log "$linux_dir" "$win_dir" || true
  say ""
  say "Open the book: $linux_dir/index.html"
  say "The Wine prefix stays in $WINEPREFIX until the next 'make demo'."
  exit $status
fi

# --- Unattended run under Xvfb ----------------------------------------------

# Prints what the UI driver saw, from its JSON log: a failure with the windows
# then open, or the dialog's entry count, licence and folder. Fails when the
# licence box does not hold the licence file whole, first line included.
summarise_driver_log() {
  python3 - "$1" "$staging/!!licence.txt" <<'PY'
import json, sys
log, licence_file = sys.argv[1], sys.argv[2]
status = 0
for raw in open(log, encoding="utf-8"):
    event = json.loads(raw)
    if event.get("event") == "failure":
        print("The UI driver stopped: " + event.get("message", ""))
        for window in event.get("windows", []):
            texts = [c["text"].splitlines()[0][:60] for c in window.get("controls", [])
                     if c.get("text", "").strip()]
            print("  window %r: %s" % (window.get("caption"), " | ".join(texts)))
    if event.get("event") == "read":
        controls = {c.get("id"): c for c in event.get("controls", [])}
        entries = len(controls.get(301, {}).get("items", []))
        shown = controls.get(701, {}).get("text", "")
        print("The dialog listed %d archive entries and shows the licence, first line: %r"
              % (entries, (shown.splitlines() or [""])[0]))
        if shown != open(licence_file, encoding="cp1252", newline="").read():
            print("The licence box does NOT show !!licence.txt as written.")
            status = 1
        print("Install folder typed into the dialog: %s" % controls.get(101, {}).get("text", ""))
sys.exit(status)
PY
}

drive_setup() {
  local script=$work/install.uid log=$out/uidriver.log bmp=$work/dialog.bmp code=0 i
  # The driver's script: type the folder, picture the dialog, press Install
  # and wait for the setup to end. The setup ends by itself once it has
  # installed and started the reader; a closing "The book was installed in:"
  # message, where a stub shows one, is answered by the driver's `exit` (and
  # logged as "done"), so the run needs it neither way. Any other dialog (an
  # error box) fails it.
  {
    echo "timeout 60"
    echo "env EBOOK_DEMO_AUTOCLOSE=$autoclose"
    echo "run $(winepath -w "$root/$setup")"
    echo "window E-book Setup"
    echo "set 101 $install_win"
    echo "read"
    echo "shot $(winepath -w "$bmp")"
    echo "press 1"
    echo "exit"
  } >"$script"
  timeout 300 wine "$driver" "$(winepath -w "$script")" "$(winepath -w "$root/$log")" </dev/null || code=$?
  if [ -f "$log" ]; then summarise_driver_log "$log" || licence_shown=0; fi
  if [ -f "$bmp" ]; then python3 demo/tools/screen_to_png.py "$bmp" "$dialog_png"; fi
  [ $code -eq 0 ] || fail "the UI driver failed (exit status $code); its log is $log"

  # The setup has ended and started the reader, which closes by itself.
  for i in $(seq 100); do
    [ -f "$drive_c/$install_rel/quonview.log" ] && break
    sleep 0.2
  done
  if [ -f "$drive_c/$install_rel/quonview.log" ]; then
    sleep 1.5  # time for its window to paint
    python3 demo/tools/screen_to_png.py "$work/Xvfb_screen0" "$reader_png"
  fi
  timeout 60 wineserver -w || say "(Wine programs were still running after 60 s)"
}

# Without a window manager Wine would wait about 2 s after each closed dialog.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1

say "Running the setup on a private X display ($DISPLAY) through the UI driver ..."
licence_shown=1
drive_setup

linux_dir=$drive_c/$install_rel
status=0
say ""
report_install "$linux_dir" "$install_win" || status=1
show_reader_log "$linux_dir" "$install_win" || status=1
[ $licence_shown -eq 1 ] || status=1
say ""
say "Screenshot of the setup dialog: $dialog_png"
if [ -f "$reader_png" ]; then say "Screenshot of the reader:       $reader_png"; fi
say "Open the book: $linux_dir/index.html"
if [ $status -eq 0 ]; then
  say "Demo finished: the sample book is installed and the reader ran."
else
  say "Demo FAILED: see the lines above."
fi
exit $status
