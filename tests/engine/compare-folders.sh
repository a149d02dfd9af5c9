#!/usr/bin/env bash
# Compares the folder variables that the engine computes on a fresh sandbox
# machine (Windows XP) with those the Windows engine computes under Wine on
# the test run's fresh prefix, value by value. Differences that come from
# the systems themselves are listed in folder-differences.txt; any other
# difference, and a folder known on one side only, fails.
#
#   compare-folders.sh ARCH NATIVE_SETUP WINDOWS_SETUP
# ARCH is win32 or win64; VX_WINEPREFIX names the prefix; an X display is
# needed for the Windows engine's windows.
set -uo pipefail
arch="$1"
native_setup="$2"
windows_setup="$3"
here="$(cd "$(dirname "$0")" && pwd)"
rules="$here/folder-differences.txt"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

VX_MACHINE="$work/machine" "$native_setup" "/log:$work/sandbox.log" /suppressmsgboxes >/dev/null 2>&1
"$here/../../cmake/wine-run.sh" "$arch" "$windows_setup" "/log:Z:${work//\//\\}\\wine.log" /suppressmsgboxes \
  >/dev/null 2>&1
for log in sandbox wine; do
  if ! grep -q '^variable: ' "$work/$log.log" 2>/dev/null; then
    echo "the $log run logged no variables:"
    cat "$work/$log.log" 2>/dev/null
    exit 1
  fi
done

# The value a run used: the text after "->" when the log shows both forms.
declare -A sandbox wine
read_values() {  # read_values LOG ARRAY
  local -n into="$2"
  local line name value
  while IFS= read -r line; do
    line="${line#variable: }"
    name="${line%%=*}"
    value="${line#*=}"
    [[ "$value" == *'" -> "'* ]] && value="${value##*\" -> \"}" || value="${value#\"}"
    value="${value%\"}"
    into["$name"]="${value//\\\\/\\}"
  done < <(grep '^variable: ' "$1")
}
read_values "$work/sandbox.log" sandbox
read_values "$work/wine.log" wine
user="${wine[USERNAME]:-}"

lower() { printf '%s' "$1" | tr '[:upper:]' '[:lower:]'; }
# The sandbox path as it reads on the Wine side, by the first matching rule.
translate() {
  local path="$1" left right
  while IFS= read -r rule; do
    [[ -z "$rule" || "$rule" == \#* ]] && continue
    left="${rule%% => *}"
    right="${rule#* => }"
    right="${right//\{user\}/$user}"
    if [[ "$(lower "$path")" == "$(lower "$left")"* ]]; then
      printf '%s' "$right${path:${#left}}"
      return
    fi
  done < "$rules"
  printf '%s' "$path"
}

failed=0
for name in BootDrive Windows System Desktop Fonts NetHood Personal ProgramsMenu Recent SendTo StartMenu \
            StartupMenu Templates CommonStartMenu CommonProgramsMenu CommonStartupMenu CommonDesktop \
            ProgramFiles CommonFiles ApplicationData Office97 Office2000 BDE Delphi IIS-WWWRoot IIS-Scripts \
            QuickLaunch TEMP; do
  if [[ ! -v "sandbox[$name]" || ! -v "wine[$name]" ]]; then
    printf 'MISSING   %-18s sandbox=%s wine=%s\n' "$name" "${sandbox[$name]-(none)}" "${wine[$name]-(none)}"
    failed=1
    continue
  fi
  s="${sandbox[$name]}"
  w="${wine[$name]}"
  if [[ -z "$s" || -z "$w" ]]; then
    printf 'EMPTY     %-18s sandbox="%s" wine="%s"\n' "$name" "$s" "$w"
    failed=1
  elif [[ "$(lower "$s")" == "$(lower "$w")" ]]; then
    printf 'same      %-18s %s\n' "$name" "$w"
  elif [[ "$(lower "$(translate "$s")")" == "$(lower "$w")" ]]; then
    printf 'listed    %-18s %s | %s\n' "$name" "$s" "$w"
  else
    printf 'DIFFERENT %-18s sandbox="%s" wine="%s"\n' "$name" "$s" "$w"
    failed=1
  fi
done
exit $failed
