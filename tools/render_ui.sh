#!/usr/bin/env bash
# Renders every page and panel of the main window to PNG files for a visual
# check of the layout.
#   tools/render_ui.sh [OUTPUT_FOLDER]        offscreen
#   XVFB=1 tools/render_ui.sh [OUTPUT_FOLDER] under Xvfb (xcb platform)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="$(realpath -m "${1:-$build/ui-shots}")"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvel_render_ui
cd "$build/run"
if [ -n "${XVFB:-}" ]; then
  QT_QPA_PLATFORM=xcb xvfb-run -a "$build/mainwindow/quorvel_render_ui" "$out"
else
  QT_QPA_PLATFORM=offscreen "$build/mainwindow/quorvel_render_ui" "$out"
fi
