#!/usr/bin/env bash
# Unpacks Debian's source package of libmspack into DEST (nothing of it is
# kept in the repository). The Windows build compiles the extraction
# library's cabinet reader from it; the tests use the sample cabinets it
# ships. Needs a deb-src entry and dpkg-dev (scripts/install-deps.sh).
set -euo pipefail
dest="${1:?usage: fetch-libmspack.sh DEST}"
if [ -f "$dest/mspack/cabd.c" ]; then exit 0; fi
mkdir -p "$(dirname "$dest")"
work="$(mktemp -d "${dest%/}.fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq libmspack >/dev/null 2>&1) || {
  echo "fetch-libmspack: 'apt-get source libmspack' failed (run scripts/install-deps.sh)" >&2
  exit 1
}
src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libmspack-*' | head -n1)"
if [ -z "$src" ] || [ ! -f "$src/mspack/cabd.c" ]; then
  echo "fetch-libmspack: unexpected layout of the source package" >&2
  exit 1
fi
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
mv "$src" "$dest"
