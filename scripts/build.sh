#!/usr/bin/env bash
# Builds the trees named on the command line (default: all), installing
# missing Debian packages first:
#   native  build/stub-native (vxstub, the size-optimised engine that goes in
#           front of native setup files) and build/native (vxengine on the
#           sandbox machine, vxbuild, vxtool, the tests)
#   win32   build/stub-win32 (VXStub.exe) and build/win32 (the 32-bit
#           VXEngine.exe and the Windows tests); needs native for vxbuild
#   win64   build/stub-win64 and build/win64: the same for 64-bit Windows
#   demo    only what the main job needs: vxstub and the native vxbuild
set -euo pipefail
cd "$(dirname "$0")/.."
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(native win32 win64)
./scripts/install-deps.sh
jobs="${VX_JOBS:-$(nproc)}"
root="$(pwd)"

configure() {  # configure DIR ARGS...: quiet unless it fails
  local dir="$1" out
  shift
  if ! out="$(cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli "$@" 2>&1)"; then
    echo "$out" >&2
    return 1
  fi
}

build_native() {  # build_native [TARGET...]: everything by default
  configure build/stub-native -DVX_STUB_BUILD=ON
  cmake --build build/stub-native -j "$jobs"
  configure build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVX_STUB_ENGINE="$root/build/stub-native/bin/vxstub"
  if [ $# -gt 0 ]; then
    cmake --build build/native -j "$jobs" --target "$@"
  else
    cmake --build build/native -j "$jobs"
  fi
}

build_windows() {  # build_windows win32|win64
  local tree="$1" toolchain
  case "$tree" in
    win32) toolchain=cmake/mingw-i686.cmake ;;
    win64) toolchain=cmake/mingw-x86_64.cmake ;;
  esac
  configure "build/stub-$tree" -DVX_STUB_BUILD=ON -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  cmake --build "build/stub-$tree" -j "$jobs"
  configure "build/$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DVX_STUB_ENGINE="$root/build/stub-$tree/bin/VXStub.exe" \
    -DVX_VXBUILD_TOOL="$root/build/native/bin/vxbuild" \
    -DVX_NATIVE_STUB="$root/build/stub-native/bin/vxstub"
  cmake --build "build/$tree" -j "$jobs"
}

for tree in "${trees[@]}"; do
  case "$tree" in
    native | win32 | win64 | demo) ;;
    *) echo "build.sh: unknown tree '$tree' (native, win32, win64, demo)" >&2; exit 2 ;;
  esac
done
if [ "${trees[*]}" = demo ]; then
  build_native vxbuild vxtool
  exit 0
fi
# The Windows trees use the native vxbuild: native comes first.
build_native
for tree in "${trees[@]}"; do
  case "$tree" in
    win32 | win64) build_windows "$tree" ;;
  esac
done
