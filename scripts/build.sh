#!/usr/bin/env bash
# Builds everything, installing missing Debian packages first:
# - build/stub-native, build/stub-win32: the size-optimised engines that go
#   in front of setup files (vxstub natively, VXStub.exe for Windows);
# - build/native: vxengine on the sandbox machine, the tools, the tests;
# - build/win32: VXEngine.exe and the Windows tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs="${VX_JOBS:-$(nproc)}"
root="$(pwd)"
cmake -S . -B build/stub-native -G Ninja -DVX_STUB_BUILD=ON >/dev/null
cmake --build build/stub-native -j "$jobs"
cmake -S . -B build/stub-win32 -G Ninja -DVX_STUB_BUILD=ON --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/stub-win32 -j "$jobs"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVX_STUB_ENGINE="$root/build/stub-native/bin/vxstub" >/dev/null
cmake --build build/native -j "$jobs"
cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DVX_STUB_ENGINE="$root/build/stub-win32/bin/VXStub.exe" \
      -DVX_VXBUILD_TOOL="$root/build/native/bin/vxbuild" >/dev/null
cmake --build build/win32 -j "$jobs"
