#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs whatever the build and the tests need and this machine lacks; installs nothing twice.
# Usage: install-deps.sh [build|test|bench|fuzz|deb]...
set -euo pipefail
cd "$(dirname "$0")/.."

# The picture libraries' -dev packages, and the encoders the build makes its test pictures with
# (cwebp and img2webp; heif-enc, which encodes HEIC with x265 and AVIF with aom).
packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev libjpeg-dev libpng-dev
          libwebp-dev libheif-dev pkg-config zlib1g-dev webp libheif-examples)
for need in "$@"; do
    case "$need" in
    build) ;;
    # debian/control's Build-Depends beyond the build set; dpkg-buildpackage refuses to start
    # when one is missing, so the two cannot drift apart unseen.
    deb) packages+=(debhelper dpkg-dev build-essential) ;;
    test) packages+=(xvfb xauth desktop-file-utils appstream chromium firefox-esr webkit2gtk-driver
                     nodejs npm libjpeg-turbo-progs clang libclang-rt-14-dev mandoc groff-base
                     man-db bash-completion debhelper dpkg-dev build-essential lintian clang-format
                     clang-tidy) ;;
    bench) packages+=(imagemagick libvips-tools libjpeg-turbo-progs time python3) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown set '$need'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
# nodejs and npm may come from elsewhere than Debian; a working command is enough.
filtered=()
for p in "${missing[@]}"; do
    case "$p" in
    nodejs) command -v node >/dev/null || filtered+=("$p") ;;
    npm) command -v npm >/dev/null || filtered+=("$p") ;;
    *) filtered+=("$p") ;;
    esac
done
missing=("${filtered[@]}")

if ((${#missing[@]})); then
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
