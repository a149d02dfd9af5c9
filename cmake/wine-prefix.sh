#!/usr/bin/env bash
# Creates a fresh private Wine prefix for one test run.
set -e
prefix="$1"
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
# Stop a wineserver still serving an old prefix of the same path.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
rm -rf "$prefix"
WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1
WINEPREFIX="$prefix" wineserver -w
test -f "$prefix/system.reg"
echo "wine prefix ready: $prefix"
