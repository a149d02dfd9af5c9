#!/usr/bin/env bash
# Creates a fresh private Wine prefix for one test run.
#   wine-prefix.sh ARCH PREFIX    ARCH: win32 or win64
set -e
arch="$1"
prefix="$(realpath -m "$2")"  # Wine wants an absolute path
. "$(dirname "$0")/wine-env.sh"
vx_wine_env "$arch"
server="${WINESERVER:-wineserver}"
# Stop a wineserver still serving an old prefix of the same path.
WINEPREFIX="$prefix" "$server" -k 2>/dev/null || true
rm -rf "$prefix"
WINEPREFIX="$prefix" "$VX_WINE" wineboot -i >/dev/null 2>&1
# Windows always has the key that counts shared files; a fresh prefix does
# not until something writes it, which would show up in the machine
# comparisons of whichever test installs first.
WINEPREFIX="$prefix" "$VX_WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' /f >/dev/null 2>&1
WINEPREFIX="$prefix" "$server" -w
test -f "$prefix/system.reg"
echo "wine prefix ready: $prefix ($arch)"
