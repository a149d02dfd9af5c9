#!/usr/bin/env bash
# Test cabinets for the extraction library, made at build time:
#   OUT/src/...            the files packed into our own cabinets
#   OUT/cab/*.cab          cabinets made by gcab (MSZIP and stored), the
#                          sample cabinets of libmspack's source package
#   OUT/expected/NAME/     what cabextract extracts from cab/NAME.cab
#   OUT/expected/NAME.rc   cabextract's exit status for it
# usage: make-fixtures.sh OUT [LIBMSPACK_SOURCE]
set -euo pipefail
out="$1"
mspack="${2:-}"
rm -rf "$out"
mkdir -p "$out/src/sub/dir" "$out/cab" "$out/expected" "$out/names"

seq 1 200000 > "$out/src/text.txt"
head -c 300000 /dev/urandom > "$out/src/random.bin"
printf 'nested\r\n' > "$out/src/sub/dir/nested.txt"
: > "$out/src/empty.txt"
printf 'small' > "$out/src/small.txt"
(cd "$out/src" && gcab -c -z "$out/cab/gcab_mszip.cab" text.txt random.bin sub/dir/nested.txt empty.txt small.txt)
(cd "$out/src" && gcab -c "$out/cab/gcab_stored.cab" small.txt sub/dir/nested.txt text.txt)

# Entry names the tests turn into unsafe ones by changing bytes in place.
mkdir -p "$out/names/xx"
printf 'a' > "$out/names/xx/evil1.txt"
printf 'b' > "$out/names/Cxevil2.txt"
printf 'c' > "$out/names/yevil3.txt"
(cd "$out/names" && gcab -c -z "$out/cab/names.cab" xx/evil1.txt Cxevil2.txt yevil3.txt)

if [ -n "$mspack" ] && [ -d "$mspack/test/test_files/cabd" ]; then
  for f in "$mspack"/test/test_files/cabd/*.cab; do
    cp "$f" "$out/cab/mspack_$(basename "$f")"
  done
  # The parts of a set get the names their headers give each other.
  mkdir -p "$out/set"
  for f in "$mspack"/test/test_files/cabd/multi_basic_pt*.cab; do
    rm -f "$out/cab/mspack_$(basename "$f")"
    cp "$f" "$out/set/cabd_$(basename "$f")"
  done
fi

for cab in "$out"/cab/*.cab "$out"/set/cabd_multi_basic_pt1.cab; do
  [ -f "$cab" ] || continue
  name="$(basename "$cab" .cab)"
  mkdir -p "$out/expected/$name"
  rc=0
  cabextract -q -d "$out/expected/$name" "$cab" >/dev/null 2>&1 || rc=$?
  echo "$rc" > "$out/expected/$name.rc"
done
touch "$out/stamp"
