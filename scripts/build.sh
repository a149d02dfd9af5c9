#!/usr/bin/env bash
# Builds everything: the native tree (build/native: vxengine on the sandbox
# machine, tools, tests) and the Windows tree (build/win32: VXEngine.exe and
# the Windows tests), installing missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs="${VX_JOBS:-$(nproc)}"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"
cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/win32 -j "$jobs"
