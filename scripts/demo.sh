#!/usr/bin/env bash
# The main job: builds everything, then runs the engine once on a fresh
# sandbox machine and shows its run log and what the machine holds after.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
demo=build/demo
machine="$demo/machine"
rm -rf "$demo"
mkdir -p "$demo"
echo "== fresh sandbox machine: $machine"
set +e
VX_MACHINE="$machine" build/native/bin/vxengine "/log:$demo/run.log" /suppressmsgboxes
code=$?
set -e
echo "== run log ($demo/run.log)"
cat "$demo/run.log"
echo "== engine exit code: $(( code > 127 ? code - 256 : code ))"
echo "== temporary folder of the machine afterwards (empty when the engine cleaned up):"
ls -A "$machine/drive_c/Documents and Settings/User/Local Settings/Temp"
