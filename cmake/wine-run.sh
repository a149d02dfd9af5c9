#!/usr/bin/env bash
# Runs a Windows program under Wine in the test run's private prefix.
# VX_WINEPREFIX names the prefix (the test harness creates it fresh for
# each run); without it a prefix beside this build is used.
set -e
export WINEPREFIX="${VX_WINEPREFIX:-${WINEPREFIX:-$PWD/wineprefix}}"
export WINEDEBUG=-all
export WINEARCH=win32
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
