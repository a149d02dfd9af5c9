# Sourced by the Wine scripts: the Wine of one Windows tree.
#   vx_wine_env ARCH    ARCH is win32 (32-bit programs, 32-bit Wine) or win64
#                       (64-bit programs, 64-bit Wine). Sets VX_WINE to the
#                       loader that runs that kind of program and exports the
#                       settings every run of the tests shares.
# The loaders are called directly rather than through the "wine" wrapper,
# which prefers 32-bit Wine: on a machine whose kernel cannot start 32-bit
# programs the wrapper fails even for 64-bit ones. VX_WINE32 and VX_WINE64
# name other loaders.
vx_wine_env() {
  case "$1" in
    win32) VX_WINE="${VX_WINE32:-/usr/lib/wine/wine}"
           [ -x "$VX_WINE" ] || VX_WINE="$(command -v wine || true)" ;;
    win64) VX_WINE="${VX_WINE64:-/usr/lib/wine/wine64}"
           [ -x "$VX_WINE" ] || VX_WINE="$(command -v wine64 || true)" ;;
    *) echo "wine: unknown architecture '$1' (win32 or win64)" >&2; return 2 ;;
  esac
  export WINEARCH="$1" WINEDEBUG=-all
  # No desktop menu entries on the machine that runs the tests: the menu
  # builder writes them into the home folder and reads new links while the
  # tests remove them.
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}"
  export WINELOADER="$VX_WINE"
  # The 64-bit server serves both kinds of prefix and runs where 32-bit
  # programs cannot.
  if [ -z "${WINESERVER:-}" ]; then
    for s in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32; do
      if [ -x "$s" ] && "$s" --version >/dev/null 2>&1; then export WINESERVER="$s"; break; fi
    done
  fi
}
