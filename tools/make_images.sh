#!/usr/bin/env bash
# Regenerates the pictures in resources/images/ from tools/make_images.cpp
# ("tools/make_images.sh batch": only the batch window's tool-bar pictures).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
g++ -std=c++17 -O1 -fPIC "$root/tools/make_images.cpp" -o "$work/make_images" \
    $(pkg-config --cflags --libs Qt5Gui)
"$work/make_images" "$root/resources/images" "$@"
ls -l "$root/resources/images"
