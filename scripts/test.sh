#!/usr/bin/env bash
# Builds every tree and runs every test: the native suites directly, then
# each Windows tree's suites under Wine inside a virtual X display. Whether
# a Windows tree can run here is found out by trying (scripts/wine-probe.sh):
# the 32-bit suites need a kernel that starts 32-bit programs, the 64-bit
# ones 64-bit Wine. A tree that cannot run is reported with the machine's
# reason; the script fails only when a test that ran failed.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh || exit 1
jobs="${VX_JOBS:-$(nproc)}"
status=0
summary=()

echo "== native tests"
if (cd build/native && ctest -j "$jobs" --output-on-failure); then
  summary+=("native suites: passed")
else
  summary+=("native suites: FAILED")
  status=1
fi

for arch in win32 win64; do
  bits=32
  [ "$arch" = win64 ] && bits=64
  echo "== Windows $bits-bit tests under Wine (build/$arch)"
  reason="$(./scripts/wine-probe.sh "$arch" "build/$arch")"
  if [ "$reason" != ok ]; then
    echo "not run: $reason"
    summary+=("Windows $bits-bit suites: not run on this machine: $reason")
    continue
  fi
  # The probe made the tree's fresh Wine prefix: the fixture that would
  # make it again is left out.
  if (cd "build/$arch" && xvfb-run -a ctest -j "$jobs" --output-on-failure -FS wine -E '^wine_prefix$'); then
    summary+=("Windows $bits-bit suites: passed")
  else
    summary+=("Windows $bits-bit suites: FAILED")
    status=1
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
