# Sourced by every script that starts Wine: picks the Wine loader and prefix
# kind for one Windows architecture.
#
#   . scripts/wine-env.sh
#   wine_use_arch i686|x86_64 BIN_DIR
#
# i686 uses Debian's `wine` as it is (the 32-bit loader, WINEARCH=win32).
# x86_64 uses the 64-bit loader, which Debian keeps off PATH: /usr/bin/wine,
# wine-stable and the wineapploader scripts (wineboot, winepath, ...) choose
# the 32-bit loader whenever wine32 is installed, and that loader cannot even
# start on hosts that run 64-bit code only. So BIN_DIR gets `wine` and
# `wine-stable` that start the 64-bit loader, and goes first in PATH.

wine_loader64() {
  local candidate
  for candidate in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 /opt/wine-stable/bin/wine64; do
    if [ -x "$candidate" ]; then printf '%s\n' "$candidate"; return 0; fi
  done
  command -v wine64 2>/dev/null
}

wine_use_arch() {
  local arch=$1 bin=$2
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  case $arch in
    i686)
      export WINEARCH=win32
      unset WINELOADER
      ;;
    x86_64)
      local loader
      loader=$(wine_loader64) || { echo "wine-env: no 64-bit Wine loader (wine64) found" >&2; return 1; }
      mkdir -p "$bin"
      local name
      for name in wine wine-stable; do
        printf '#!/bin/sh\nexec %s "$@"\n' "$loader" >"$bin/$name"
        chmod +x "$bin/$name"
      done
      export WINEARCH=win64
      export WINELOADER=$loader
      export PATH="$bin:$PATH"
      ;;
    *)
      echo "wine-env: unknown architecture '$arch' (i686 or x86_64)" >&2
      return 1
      ;;
  esac
  export EBOOK_WINE_ARCH=$arch
}
