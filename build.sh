#!/usr/bin/env bash
# ./build.sh run   install what is missing, build, start Quorvel
# ./build.sh test  install what is missing, build, run every test
# ./build.sh build install what is missing and build
# JOBS (default: the number of processors) compile jobs and TEST_JOBS
# (default: 4) tests run at a time.
set -euo pipefail
cd "$(dirname "$0")"
mode=${1:-build}
BUILD_DIR=${BUILD_DIR:-build}

PACKAGES=(cmake g++ make pkg-config
  qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev
  libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
  libblkid-dev
  ffmpeg exfatprogs exfat-fuse dosfstools mtools fdisk util-linux python3-pyftpdlib xvfb xauth curl gzip mount fonts-dejavu-core
  locales)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing Debian packages (${missing[*]}): run this as root, or install sudo, or install them first." >&2
      exit 1
    fi
    # A user whom sudo gives no rights would only see apt fail in the log.
    local refusal
    if ! refusal=$(sudo -v 2>&1 >/dev/null); then
      refusal=${refusal##*$'\n'}
      echo "Missing Debian packages (${missing[*]}): sudo gives no rights here (${refusal:-sudo -v failed}); run this as root, or install them first." >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}"
  # apt and dpkg print a line or more per package: kept in a log, shown only when they fail.
  mkdir -p "$BUILD_DIR"
  local log="$BUILD_DIR/packages.log"
  if ! { "${sudo[@]}" apt-get update -qq &&
         "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
           apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    echo "Installing the packages failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

# build [target...]: configures, then builds the targets (everything when none).
build() {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$BUILD_DIR" -j"${JOBS:-$(nproc)}" --target "$@"
  else
    cmake --build "$BUILD_DIR" -j"${JOBS:-$(nproc)}"
  fi
}

# Runs Quorvel on a virtual display. Ended by its process id (as a service
# manager or a script ends it), this script ends Quorvel; xvfb-run then ends
# its Xvfb and removes its files.
run_on_virtual_display() {
  run_state=$(mktemp -d)
  trap 'rm -rf "$run_state"' EXIT
  pid_file=$run_state/pid
  xvfb-run -a /bin/sh -c 'echo $$ >"$0.part" && mv "$0.part" "$0" && exec "$@"' "$pid_file" ../Quorvel "$@" &
  runner=$!
  trap end_run TERM INT HUP
  wait "$runner"
}

end_run() {
  trap '' TERM INT HUP
  # Quorvel may not have started yet: it is ended as soon as it has.
  while [ ! -s "$pid_file" ] && kill -0 "$runner" 2>/dev/null; do
    sleep 0.1
  done
  [ -s "$pid_file" ] && kill -TERM "$(cat "$pid_file")" 2>/dev/null
  wait "$runner"
  exit 143
}

install_missing
case "$mode" in
  run) build Quorvel quorvelc ;;
  *) build ;;
esac

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
      run_on_virtual_display "${@:2}"
      exit
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
