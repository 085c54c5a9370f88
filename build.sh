#!/usr/bin/env bash
# ./build.sh run   install what is missing, build, start Quorvel
# ./build.sh test  install what is missing, build, run every test
# ./build.sh build install what is missing and build
set -euo pipefail
cd "$(dirname "$0")"
mode=${1:-build}
BUILD_DIR=${BUILD_DIR:-build}

PACKAGES=(cmake g++ make pkg-config
  qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev
  libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
  libblkid-dev
  ffmpeg exfatprogs exfat-fuse dosfstools mtools fdisk util-linux python3-pyftpdlib xvfb xauth curl gzip mount fonts-dejavu-core)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)"
}

install_missing
build

case "$mode" in
  build) ;;
  run)
    if [ ! -x "$BUILD_DIR/Quorvel" ]; then
      echo "Built; Quorvel is not part of this build yet."
      exit 0
    fi
    cd "$BUILD_DIR/run"
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
      echo "No display found (DISPLAY is not set): Quorvel runs on an invisible virtual display (Xvfb), so no window appears here. Press Ctrl-C to end it."
      exec xvfb-run -a ../Quorvel "${@:2}"
    fi
    exec ../Quorvel "${@:2}"
    ;;
  test)
    cd "$BUILD_DIR"
    ctest --output-on-failure -j"${TEST_JOBS:-4}" --timeout 900
    ;;
  *)
    echo "usage: $0 run|test|build" >&2
    exit 2
    ;;
esac
