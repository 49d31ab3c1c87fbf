#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package into OUTDIR. dpkg-buildpackage writes its results into the parent of
# the tree it builds and leaves debian/ build files behind, so it works on a copy inside OUTDIR
# and never writes beside the clone; the copy goes again when the build ends.
# Usage: build-deb.sh OUTDIR
# Unless DEB_BUILD_OPTIONS is set, the package's run of the tests is left out ("nocheck", and the
# nocheck profile, so that the packages only the tests need are not asked for either): `make test`
# runs them already.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: build-deb.sh OUTDIR" >&2; exit 2; }
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)

mkdir -p "$1"
out=$(cd "$1" && pwd)
copy=$out/tilemaven-$version
rm -rf "${out:?}"/tilemaven*
trap 'rm -rf "$copy"' EXIT
mkdir "$copy"

# What git would commit: tracked files as they are now plus new ones, never build output.
(
    cd "$src"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -
) | tar -xf - -C "$copy"

cd "$copy"
if [[ -z ${DEB_BUILD_OPTIONS+set} ]]; then
    export DEB_BUILD_OPTIONS="nocheck parallel=${JOBS:-2}" DEB_BUILD_PROFILES=nocheck
fi
dpkg-buildpackage -b -us -uc
ls "$out"/tilemaven_"$version"_*.deb
