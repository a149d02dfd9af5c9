#!/usr/bin/env bash
# Fails when a Windows program imports a function the oldest supported
# Windows lacks.
#   check-imports.sh OBJDUMP LISTFILE PROGRAM...
# LISTFILE names one function per line ("#" comments). Every program's
# import table is read with objdump; each imported name found in the list
# is reported with its DLL.
set -u
objdump="$1"
list="$2"
shift 2
bad=0
checked=0
for program in "$@"; do
  if [ ! -f "$program" ]; then
    echo "missing: $program"
    bad=1
    continue
  fi
  imports=$("$objdump" -p "$program" | awk '
    /DLL Name:/ { dll = $3 }
    /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll ": " $3 }')
  if [ -z "$imports" ]; then
    echo "no import table read from $program"
    bad=1
    continue
  fi
  found=$(printf '%s\n' "$imports" | awk -F': ' -v list="$list" '
    BEGIN { while ((getline line < list) > 0) { sub(/#.*/, "", line); gsub(/[ \t\r]/, "", line); if (line != "") newer[line] = 1 } }
    ($2 in newer) { print "  " $0 }')
  checked=$((checked + 1))
  if [ -n "$found" ]; then
    echo "$program imports functions newer than the oldest supported Windows:"
    echo "$found"
    bad=1
  else
    echo "ok: $program ($(printf '%s\n' "$imports" | wc -l) imports)"
  fi
done
echo "$checked program(s) checked"
exit $bad
