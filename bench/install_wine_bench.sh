#!/usr/bin/env bash
# Installation speed under Wine: the 32-bit Windows engine against an NSIS 3
# installer of the same files, both silent, in the same Wine prefix.
#
#   bench/install_wine_bench.sh [scale] [scratch folder] [rounds]
#     scale    of the payload of install_bench's cases 1 and 3 (default 1:
#              2,000 files, 200 MB, a third random bytes, the rest text and
#              binary that compress); 0.05 for a quick run
#     scratch  default /tmp (the script works in <scratch>/vx-install-wine-bench)
#     rounds   runs of each installer (default 3); the best wall time counts
#
# The payload comes from install_bench (--payload DIR SCALE); vxbuild builds
# the setup file in front of build/stub-win32/bin/VXStub.exe, makensis (the
# Debian package nsis, installed when missing) an installer with
# `SetCompressor zlib` and one `File /r` of the same tree. Both run in one
# fresh prefix (WINEPREFIX in the scratch folder, WINEDEBUG=-all) served by
# one persistent wineserver, in a virtual X display (xvfb-run -a) when there
# is no display: the engine as `setup.exe /s /suppressmsgboxes /log:...`, NSIS
# as `/S /D=C:\InstallBench\nsis` (the engine into C:\InstallBench\vx).
# Runs alternate; before each the installed folder is removed and the disks
# synced, neither timed. The first installation of each is compared with
# the sources. The engine must be faster.
#
# Where 32-bit Wine cannot run (no loader, or a kernel that does not start
# 32-bit programs) the script says so and instead compares the 64-bit engine
# (build/stub-win64/bin/VXStub.exe) under 64-bit Wine with the native engine
# on a fresh sandbox machine; NSIS installers are 32-bit programs and are
# left out then.
#
# Other trees: VX_NATIVE_TREE (default build/native: vxbuild and
# bench/install_bench), VX_STUB_TREE32, VX_STUB_TREE64, VX_STUB_NATIVE
# (default build/stub-win32, build/stub-win64, build/stub-native).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scale="${1:-1}"
scratch="$(realpath -m "${2:-/tmp}")/vx-install-wine-bench"
rounds="${3:-3}"
native="$(realpath -m "${VX_NATIVE_TREE:-$root/build/native}")"
stub32="$(realpath -m "${VX_STUB_TREE32:-$root/build/stub-win32}")/bin/VXStub.exe"
stub64="$(realpath -m "${VX_STUB_TREE64:-$root/build/stub-win64}")/bin/VXStub.exe"
stubNative="$(realpath -m "${VX_STUB_NATIVE:-$root/build/stub-native}")/bin/vxstub"
vxbuild="$native/bin/vxbuild"
generator="$native/bench/install_bench"

die() { echo "install_wine_bench: $*" >&2; exit 1; }

# One virtual display for every run.
if [ -z "${DISPLAY:-}" ] && [ -z "${VX_WINE_BENCH_XVFB:-}" ]; then
  command -v xvfb-run >/dev/null || die "no display and no xvfb-run (Debian package xvfb)"
  exec env VX_WINE_BENCH_XVFB=1 xvfb-run -a "$0" "$@"
fi

for f in "$vxbuild" "$generator"; do [ -x "$f" ] || die "$f is missing (build the native tree)"; done

. "$root/cmake/wine-env.sh"

# --- Which comparison this machine can run --------------------------------------------------
mode=win32
why=""
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  mode=win64
  why="32-bit Wine does not run here (/usr/lib/wine/wine --version fails)"
fi
if [ "$mode" = win32 ]; then
  [ -f "$stub32" ] || die "$stub32 is missing (scripts/build.sh win32)"
  if ! command -v makensis >/dev/null; then
    echo "installing nsis ..."
    DEBIAN_FRONTEND=noninteractive apt-get install -y nsis >/dev/null || die "cannot install nsis"
  fi
  vx_wine_env win32
else
  [ -f "$stub64" ] || die "$stub64 is missing (scripts/build.sh win64)"
  [ -f "$stubNative" ] || die "$stubNative is missing (scripts/build.sh native)"
  vx_wine_env win64
fi
server="${WINESERVER:-wineserver}"

rm -rf "$scratch"
mkdir -p "$scratch"
export WINEPREFIX="$scratch/prefix"
cleanup() {
  "$server" -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { echo "$(now) - $1" | bc -l; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

# --- Payload and installers ------------------------------------------------------------------
t="$(now)"
"$generator" --payload "$scratch/src" "$scale" >/dev/null || die "the payload cannot be generated"
files="$(find "$scratch/src" -type f | wc -l)"
mb="$(du -sm --apparent-size "$scratch/src" | cut -f1)"
printf 'install_wine_bench: %s files, %s MB (generated in %.1f s), %s round(s), %s cores\n' \
  "$files" "$mb" "$(elapsed "$t")" "$rounds" "$(nproc)"
echo "  load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# The engine's setup file: every file below %InstallPath%, no uninstaller.
# Both install below C:\InstallBench (a folder without blanks: NSIS takes
# /D= unquoted).
project() {  # project STUB OUT
  cat > "$scratch/project.xml" <<'EOF'
<vx2project>
  <variables>
    <var name="AppID" value="InstallBench"/>
    <var name="AppName" value="Install Bench"/>
    <var name="InstallPath" value="C:\InstallBench\vx"/>
  </variables>
  <components>
    <component id="app"><files><file src="*.*" dst="%InstallPath%\"/></files></component>
  </components>
  <build source="src" output="out" name="setup.exe"/>
</vx2project>
EOF
  "$vxbuild" "$scratch/project.xml" --stub "$1" --out "$2" >/dev/null || die "vxbuild failed"
  chmod +x "$2/setup.exe"
}

# --- Runs -----------------------------------------------------------------------------------
declare -A best runs

# run NAME: one timed installation; the output it checks against the sources
# the first time.
run() {
  local name="$1" target code=0 t d
  case "$name" in
    vx | vx64) target="$WINEPREFIX/drive_c/InstallBench/vx" ;;
    nsis) target="$WINEPREFIX/drive_c/InstallBench/nsis" ;;
    native) target="$scratch/machine/drive_c/InstallBench/vx" ;;
  esac
  rm -rf "$target" "$scratch/machine"
  sync
  t="$(now)"
  case "$name" in
    vx | vx64) "$VX_WINE" "$scratch/vx/setup.exe" /s /suppressmsgboxes "/log:$(winpath "$scratch/run.log")" \
                 >"$scratch/out.log" 2>&1 || code=$? ;;
    nsis) "$VX_WINE" "$scratch/nsis-setup.exe" /S '/D=C:\InstallBench\nsis' >"$scratch/out.log" 2>&1 || code=$? ;;
    native) VX_MACHINE="$scratch/machine" "$scratch/native/setup.exe" /s /suppressmsgboxes \
              "/log:$scratch/run.log" >"$scratch/out.log" 2>&1 || code=$? ;;
  esac
  d="$(elapsed "$t")"
  if [ "$code" != 0 ]; then
    cat "$scratch/out.log" >&2
    [ -f "$scratch/run.log" ] && grep -v '^variable' "$scratch/run.log" | tail -n 20 >&2
    die "$name ended with $code"
  fi
  if [ -z "${runs[$name]:-}" ]; then
    diff -r -q "$scratch/src" "$target" >/dev/null || die "$name did not install the files as they are"
    runs[$name]=0
  fi
  runs[$name]=$((runs[$name] + 1))
  if [ -z "${best[$name]:-}" ] || [ "$(echo "$d < ${best[$name]}" | bc -l)" = 1 ]; then best[$name]="$d"; fi
}

# alternate A B: A B, B A, B A, A B, ... (the write-back of one run weighs
# on the next)
alternate() {
  local a="$1" b="$2" r
  for ((r = 0; r < rounds; r++)); do
    if (((r + r / 2) % 2 == 0)); then run "$a"; run "$b"; else run "$b"; run "$a"; fi
  done
}

echo "  making the Wine prefix ($WINEARCH) ..."
t="$(now)"
"$VX_WINE" wineboot -i >/dev/null 2>&1 || die "Wine cannot make a $WINEARCH prefix"
"$server" -w
"$server" -p  # one server for every run
# The virtual display has no window manager: Wine would wait two seconds
# for the manager to confirm each managed window it hides (the engine's
# preparation window), a wait no desktop has. Unmanaged windows skip it.
"$VX_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 ||
  die "cannot set the X11 driver's Managed option"
printf '  prefix ready in %.1f s\n' "$(elapsed "$t")"

if [ "$mode" = win32 ]; then
  # A 32-bit program must start, or the comparison cannot be made here.
  if ! "$VX_WINE" cmd /c echo vx-probe 2>/dev/null | grep -q vx-probe; then
    die "32-bit Wine is installed but cannot run a 32-bit program (the kernel may not start them)"
  fi
  project "$stub32" "$scratch/vx"
  cat > "$scratch/bench.nsi" <<EOF
Unicode true
SetCompressor zlib
Name "Install Bench"
OutFile "$scratch/nsis-setup.exe"
InstallDir "C:\\InstallBench\\nsis"
RequestExecutionLevel user
Section
  SetOutPath "\$INSTDIR"
  File /r "$scratch/src/*"
SectionEnd
EOF
  t="$(now)"
  makensis -V1 "$scratch/bench.nsi" >/dev/null || die "makensis failed"
  printf '  setup files: engine %.1f MB, NSIS %.1f MB (makensis %.1f s)\n' \
    "$(echo "$(stat -c %s "$scratch/vx/setup.exe") / 1048576" | bc -l)" \
    "$(echo "$(stat -c %s "$scratch/nsis-setup.exe") / 1048576" | bc -l)" "$(elapsed "$t")"
  alternate vx nsis
  ratio="$(echo "${best[vx]} / ${best[nsis]}" | bc -l)"
  echo "  load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '  %-44s %8.2f s\n' "engine (32-bit, VXStub.exe) under Wine:" "${best[vx]}"
  printf '  %-44s %8.2f s\n' "NSIS 3 (SetCompressor zlib) under Wine:" "${best[nsis]}"
  verdict=MISS
  [ "$(echo "$ratio < 1" | bc -l)" = 1 ] && verdict=PASS
  printf '  %-44s %8.2f    target < 1   %s   (best of %d runs each)\n' "ratio engine / NSIS:" "$ratio" "$verdict" \
    "$rounds"
else
  echo "  $why: comparing the 64-bit engine under 64-bit Wine with the native engine instead"
  project "$stub64" "$scratch/vx"
  project "$stubNative" "$scratch/native"
  alternate vx64 native
  ratio="$(echo "${best[vx64]} / ${best[native]}" | bc -l)"
  echo "  load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '  %-44s %8.2f s\n' "engine (64-bit, VXStub.exe) under Wine:" "${best[vx64]}"
  printf '  %-44s %8.2f s\n' "native engine on a fresh sandbox machine:" "${best[native]}"
  printf '  %-44s %8.2f    (best of %d runs each; no NSIS: it needs 32-bit Wine)\n' "ratio Wine / native:" \
    "$ratio" "$rounds"
  verdict=PASS
fi
[ "$verdict" = PASS ]
