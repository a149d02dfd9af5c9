#!/usr/bin/env bash
# Builds both targets and runs every test: the native suites directly, the
# Windows suites under Wine inside a virtual X display (a fresh private
# Wine prefix is made at the start of the run).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
jobs="${VX_JOBS:-$(nproc)}"
echo "== native tests"
(cd build/native && ctest -j "$jobs" --output-on-failure)
echo "== Windows tests under Wine"
(cd build/win32 && xvfb-run -a ctest -j "$jobs" --output-on-failure)
