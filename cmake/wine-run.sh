#!/usr/bin/env bash
# Runs a Windows program under Wine in the test run's private prefix.
#   wine-run.sh ARCH PROGRAM ARGS...    ARCH: win32 or win64
# VX_WINEPREFIX names the prefix (the test harness creates it fresh for
# each run); without it a prefix beside this build is used.
set -e
arch="$1"
shift
. "$(dirname "$0")/wine-env.sh"
vx_wine_env "$arch"
export WINEPREFIX="$(realpath -m "${VX_WINEPREFIX:-${WINEPREFIX:-$PWD/wineprefix}}")"
exec "$VX_WINE" "$@"
