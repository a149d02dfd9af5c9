#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need.
# Safe to run again: does nothing when everything is already present.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ make pkg-config
  googletest
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb xauth
  zlib1g-dev libz-mingw-w64-dev libmspack-dev
  cabextract gcab
  dpkg-dev libgcrypt20-dev
  mingw-w64-tools fonts-dejavu-core
  liblnk-utils
  libexpat1-dev libxml2-utils
  osslsigncode openssl
  tmux
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The Windows build compiles libmspack from Debian's source package
# ("apt-get source"), which needs a deb-src entry for bookworm main.
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "install-deps: adding a deb-src entry for bookworm main" >&2
  echo 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main' |
    $SUDO tee /etc/apt/sources.list.d/vx-deb-src.list >/dev/null
  $SUDO apt-get update -qq
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  missing+=("(i386 architecture)")
fi
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/dev/null
