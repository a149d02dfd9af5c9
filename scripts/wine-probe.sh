#!/usr/bin/env bash
# Finds out by trying whether this machine runs the programs of one Windows
# tree under Wine:
#   wine-probe.sh ARCH TREE    ARCH: win32 or win64; TREE: build/win32 ...
# Makes the tree's fresh Wine prefix (TREE/wineprefix) and starts the tree's
# probe program in it. Prints "ok", or one line with the machine's reason
# and exits 1.
set -uo pipefail
arch="$1"
tree="$(realpath -m "$2")"
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/cmake/wine-env.sh"
vx_wine_env "$arch"
bits=32
[ "$arch" = win64 ] && bits=64

fail() { echo "$*"; exit 1; }
last_line() { grep -v "^[[:space:]]*$" | tail -n 1 | sed "s/^.*: line [0-9]*: //"; }

[ -n "$VX_WINE" ] && [ -x "$VX_WINE" ] || fail "no $bits-bit Wine is installed"
# The loader is itself a $bits-bit program: the kernel may refuse to start it.
if ! out="$("$VX_WINE" --version 2>&1)"; then
  fail "the kernel cannot start the $bits-bit Wine loader ($(echo "$out" | last_line))"
fi
if ! out="$("$here/cmake/wine-prefix.sh" "$arch" "$tree/wineprefix" 2>&1)"; then
  fail "Wine cannot make a $arch prefix ($(echo "$out" | last_line))"
fi
probe="$tree/bin/wine_probe.exe"
[ -f "$probe" ] || fail "the probe program $probe was not built"
out="$(VX_WINEPREFIX="$tree/wineprefix" timeout 120 "$here/cmake/wine-run.sh" "$arch" "$probe" 2>&1)"
echo "$out" | grep -q "vx wine probe: $bits-bit" ||
  fail "Wine cannot run a $bits-bit Windows program ($(echo "$out" | last_line))"
echo ok
