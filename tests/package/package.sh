#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks of the Debian package, one per subcommand, each run by ctest (see CMakeLists.txt here).
#   package.sh version SOURCE VERSION       debian/changelog follows VERSION
#   package.sh lintian DEBDIR VERSION       lintian finds no error and no warning
#   package.sh contents DEBDIR VERSION      the package holds exactly what a user needs
#   package.sh unpack DEBDIR VERSION ROOT   dpkg -x into a scratch ROOT for the checks below
#   package.sh puzzle ROOT TILEMAVEN        ROOT's program writes the puzzle the build's one writes
#   package.sh man ROOT                     man finds and renders ROOT's page
#   package.sh completion ROOT              bash-completion finds ROOT's completion, which works
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check=$1
shift
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() { [[ $failures -eq 0 ]] && echo "package $check: all checks pass"; exit $((failures > 0)); }

deb_of() { # DEBDIR VERSION: the one package file, or fail
    local debs=("$1"/tilemaven_"$2"_*.deb)
    [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "FAIL: no tilemaven_$2_*.deb in $1" >&2; exit 1; }
    echo "${debs[0]}"
}

case $check in
version)
    source=$1 version=$2
    changelog=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
    [[ $changelog == "$version" ]] || fail "debian/changelog is at $changelog, the project at $version"
    ;;
lintian)
    debdir=$1 version=$2
    changes=("$debdir"/tilemaven_"$version"_*.changes)
    [[ -f ${changes[0]} ]] || { fail "no .changes in $debdir"; finish; }
    # Every tag is shown so that new info tags are seen; errors and warnings fail.
    lintian --info --display-info --fail-on error,warning "${changes[0]}" || fail "lintian"
    ;;
contents)
    deb=$(deb_of "$@")
    expected='./usr/bin/tilemaven
./usr/share/applications/example.tilemaven.Tilemaven.desktop
./usr/share/bash-completion/completions/tilemaven
./usr/share/doc/tilemaven/changelog.gz
./usr/share/doc/tilemaven/copyright
./usr/share/icons/hicolor/scalable/apps/example.tilemaven.Tilemaven.svg
./usr/share/man/man1/tilemaven.1.gz
./usr/share/metainfo/example.tilemaven.Tilemaven.metainfo.xml'
    files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | LC_ALL=C sort)
    [[ $files == "$expected" ]] || fail "the package holds:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
    # ${shlibs:Depends} was filled in: the libraries the program links are named, and libheif,
    # which it loads when a HEIF picture is opened.
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in libqt6widgets6 libqt6gui6 libqt6core6 libjpeg62-turbo libpng16-16 libwebp7 \
        libwebpdemux2 libheif1 libc6; do
        grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
    done
    [[ $(dpkg-deb -f "$deb" Version) == "${2}" ]] || fail "the package's version is not $2"
    ;;
unpack)
    deb=$(deb_of "$1" "$2") root=$3
    rm -rf "$root" && mkdir -p "$root" && dpkg -x "$deb" "$root" || fail "dpkg -x"
    ;;
puzzle)
    root=$1 built=$2
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    # A 403x300 picture of colour bands, made here: 4x4 pieces trim it to 400x300, 100x75 each.
    {
        printf 'P6\n403 300\n255\n'
        for ((y = 0; y < 300; y++)); do
            printf "$(printf '\\x%02x\\x%02x\\x%02x' $((y * 255 / 299)) $((255 - y * 255 / 299)) 128)%.0s" $(seq 403)
        done
    } >"$scratch/photo.ppm"
    cjpeg -quality 90 "$scratch/photo.ppm" >"$scratch/photo.jpg" || fail "cjpeg"
    out=$(cd "$scratch" && "$root/usr/bin/tilemaven" --grid 4 photo.jpg out) || fail "the installed program failed"
    [[ $out == "wrote 16 pieces of 100x75, white.jpg and index.html to out" ]] || fail "it said: $out"
    names=$(cd "$scratch/out" && ls | LC_ALL=C sort | tr '\n' ' ')
    expected=$(printf 'Image%d.jpg\n' $(seq 0 15) | LC_ALL=C sort | tr '\n' ' ')"index.html white.jpg "
    [[ $names == "$expected" ]] || fail "the folder holds $names"
    for piece in "$scratch"/out/*.jpg; do
        size=$(djpeg -pnm "$piece" | head -c 20 | sed -n 2p)
        [[ $size == "100 75" ]] || fail "$(basename "$piece") is $size, not 100 75"
    done
    grep -q "SRC='white.jpg'" "$scratch/out/index.html" || fail "index.html does not show white.jpg"
    # The package is built with Debian's flags, the build tree with the project's: same files.
    (cd "$scratch" && "$built" --grid 4 photo.jpg reference >/dev/null) || fail "the built program failed"
    diff -rq "$scratch/reference" "$scratch/out" || fail "the installed program writes another puzzle"
    ;;
man)
    root=$1
    page=$(MANPATH=$root/usr/share/man man -w tilemaven) || fail "man does not find the page"
    [[ $page == "$root/usr/share/man/man1/tilemaven.1.gz" ]] || fail "man found $page"
    text=$(MANPATH=$root/usr/share/man MANWIDTH=80 man tilemaven 2>&1) || fail "man: $text"
    grep -q '^NAME' <<<"$text" && grep -q 'tilemaven --grid 4 photo.jpg out' <<<"$text" ||
        fail "man shows: $text"
    ;;
completion)
    root=$1
    # Loaded on demand from a data folder, as bash does at the first Tab after `tilemaven`.
    loaded=$(XDG_DATA_DIRS=$root/usr/share bash -c \
        '. /usr/share/bash-completion/bash_completion; __load_completion tilemaven && complete -p tilemaven')
    [[ $loaded == "complete -F _tilemaven tilemaven" ]] || fail "bash-completion loads: $loaded"
    "$here/../app/completion.sh" "$root/usr/share/bash-completion/completions/tilemaven" \
        "$root/usr/bin/tilemaven" || fail "the installed completion"
    ;;
*)
    echo "package.sh: unknown check '$check'" >&2
    exit 2
    ;;
esac
finish
