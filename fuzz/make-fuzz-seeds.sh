#!/usr/bin/env bash
# Seed corpora of the package fuzz targets:
#   OUT/unpack/   for unpack_fuzz: small cabinets made by gcab (MSZIP and
#                 stored), one with its entries out of data order, libmspack's
#                 sample cabinets, one scrambled and one plain cabinet behind
#                 a stub with a trailer, a cabinet set in one input (parts
#                 joined by the separator unpack_fuzz splits at)
#   OUT/trailer/  for trailer_fuzz: package files behind their control byte
# usage: make-fuzz-seeds.sh OUT [LIBMSPACK_SOURCE]
set -euo pipefail
out="$1"
mspack="${2:-}"
rm -rf "$out"
mkdir -p "$out/unpack" "$out/trailer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

u="$out/unpack"
mkdir -p "$work/src/sub/dir"
seq 1 300 > "$work/src/text.txt"
head -c 700 /dev/urandom > "$work/src/random.bin"
printf 'nested\r\n' > "$work/src/sub/dir/nested.txt"
: > "$work/src/empty.txt"
printf 'small' > "$work/src/small.txt"
printf 'first entry\n' > "$work/src/a.txt"
printf 'second one\n' > "$work/src/b.txt"
(cd "$work/src" && gcab -c -z "$u/gcab_mszip.cab" text.txt random.bin sub/dir/nested.txt empty.txt small.txt)
(cd "$work/src" && gcab -c "$u/gcab_stored.cab" small.txt sub/dir/nested.txt text.txt)
(cd "$work/src" && gcab -c "$work/ab.cab" a.txt b.txt)
(cd "$work/src" && gcab -c -z "$work/one.cab" text.txt small.txt)

# The two file entries of ab.cab swapped (same name length, so nothing else
# moves): the entries no longer follow the order of their data.
perl -0777 -e '
  local $/; my $c = <STDIN>;
  my $files = unpack("v", substr($c, 28, 2)); die "two entries expected" unless $files == 2;
  my $first = unpack("V", substr($c, 16, 4));
  my $len = 16 + length("a.txt") + 1;
  my ($x, $y) = (substr($c, $first, $len), substr($c, $first + $len, $len));
  substr($c, $first, 2 * $len) = $y . $x;
  print $c;' < "$work/ab.cab" > "$u/out_of_order.cab"

# A trailer: StubSize TotalSize PresetupSize DataSize Flags, then the marker.
trailer() { perl -e 'print pack("V5", @ARGV), "VXPEND"' "$@"; }
stub="$work/stub"
head -c 1500 /dev/zero | tr '\0' 'S' > "$stub"
cab_size=$(stat -c %s "$work/one.cab")
total=$((1500 + cab_size + 26))
{ cat "$stub"; perl -0777 -pe 's/(.)/chr(ord($1) ^ 0xA7)/gse' < "$work/one.cab"; trailer 1500 "$total" 900 0 1; } \
  > "$u/scrambled_setup.exe"
{ cat "$stub" "$work/one.cab"; trailer 1500 "$total" 900 0 0; printf 'SIGNATURE'; } > "$u/plain_setup.exe"

if [ -n "$mspack" ] && [ -d "$mspack/test/test_files/cabd" ]; then
  for f in "$mspack"/test/test_files/cabd/*.cab; do
    case "$(basename "$f")" in multi_basic_pt*) continue ;; esac
    cp "$f" "$u/mspack_$(basename "$f")"
  done
  # The parts of the set, in order, behind each other.
  first=1
  for f in "$mspack"/test/test_files/cabd/multi_basic_pt*.cab; do
    [ "$first" = 1 ] || printf '\n--next cabinet--\n'
    cat "$f"
    first=0
  done > "$u/mspack_multi_basic_set"
fi

# trailer_fuzz: control byte (bit 7: setup file; bit 6: filler behind, not
# in front; low six bits: 2 KiB units of filler), then the file.
t="$out/trailer"
{ printf '\x80'; cat "$stub" "$work/one.cab"; trailer 1500 "$total" 900 0 0; } > "$t/setup"
{ printf '\x80'; cat "$stub" "$work/one.cab"; trailer 1500 "$total" 900 0 0; printf 'SIGNATURE'; } > "$t/signed"
{ printf '\x00'; cat "$work/one.cab"; trailer 0 $((cab_size + 26)) 900 77 6; } > "$t/package"
{ printf '\x81'; cat "$stub" "$work/one.cab"; trailer $((2048 + 1500)) $((2048 + total)) 0 0 0; } > "$t/filler"
# 64 KiB of filler behind the marker: it lies outside the window.
{ printf '\x60'; cat "$work/one.cab"; trailer 0 $((cab_size + 26)) 0 0 0; } > "$t/far"
{ printf '\x80'; printf 'VXPEND'; } > "$t/bare"
