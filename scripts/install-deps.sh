#!/usr/bin/env bash
# Installs the build and test toolchain on a Debian machine: native compilers
# and test libraries, the i686 and x86-64 MinGW cross compilers, 32- and
# 64-bit Wine and Xvfb, NSIS for the install benchmark, and dpkg-dev for
# the library sources of scripts/build-mingw-libs.sh.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-dev googletest libgtest-dev
  zlib1g-dev libdeflate-dev libdeflate-tools
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine32:i386 wine64 xvfb
  zip unzip p7zip-full python3 imagemagick
  dpkg-dev debian-archive-keyring
  libbz2-dev liblzma-dev libarchive-tools libzip-dev osslsigncode openssl
  nsis
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  # dpkg-query names foreign-architecture packages with their suffix.
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ! command -v python3 >/dev/null 2>&1; then missing+=(python3); fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "== packages: $SECONDS s"
