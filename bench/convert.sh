#!/usr/bin/env bash
# Image-sequence conversion against cp: converts a 3840x2160 Targa sequence of
# 60 frames into four quadrant destinations, copies the same source with cp,
# and prints the throughput ratio (conversion bytes/s over cp bytes/s).
# Target: at least 1.0; the work is bound by the disk, not the CPU.
#
#   bench/convert.sh            KRX outputs (the players' format)
#   FORMAT=0 bench/convert.sh   Targa outputs
# Environment: BUILD_DIR (default build), WORK_DIR (default a new folder under
# /var/tmp, on disk rather than in memory), FRAMES (default 60), RUNS (default 5;
# the median of the paired runs counts).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
frames=${FRAMES:-60}
runs=${RUNS:-5}
format=${FORMAT:-1}
work=${WORK_DIR:-$(mktemp -d /var/tmp/quorvel-convert-XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

echo "building the libraries in $build ..."
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-4}" --target engine drivefs targa platform mcplugcore >/dev/null
libs=()
for dir in engine drivefs engine/targa platform mcplugcore; do
    f="$build/$dir/lib$(basename "$dir").a"
    [ -f "$f" ] && libs+=("$f")
done
# shellcheck disable=SC2046
g++ -std=c++17 -O2 -fPIC -Iengine -Iengine/targa -Idrivefs -Iplatform bench/convertbench.cpp \
    -Wl,--start-group "${libs[@]}" -Wl,--end-group \
    $(pkg-config --cflags --libs Qt5Widgets Qt5Network Qt5Concurrent blkid \
        libavformat libavcodec libavfilter libavutil libswscale libswresample) \
    -lcurl -lpthread -o "$work/convertbench"

echo "making $frames frames of 3840x2160 (24-bit, uncompressed) ..."
mkdir -p "$work/src"
ffmpeg -v error -f lavfi -i "testsrc2=s=3840x2160:r=60,format=bgr24" -frames:v "$frames" \
    -c:v targa -rle 0 -pix_fmt bgr24 -y "$work/src/frame%04d.tga"

# Both sides start from a cold cache where the machine lets us drop it, and
# both include flushing what they wrote.
cold() {
    sync
    sleep 1   # let the file system settle after the deletions
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 > /proc/sys/vm/drop_caches; fi
}
now() { date +%s.%N; }

ratios=()
for run in $(seq "$runs"); do
    rm -rf "$work/q0" "$work/q1" "$work/q2" "$work/q3" "$work/copy"
    cold
    start=$(now)
    "$work/convertbench" "$work/src" "$format" "$work/q0" "$work/q1" "$work/q2" "$work/q3" >/dev/null
    end=$(now)
    conv=$(echo "$end - $start" | bc -l)
    conv_bytes=$(du -sb "$work/q0" "$work/q1" "$work/q2" "$work/q3" | awk '{ s += $1 } END { print s }')
    rm -rf "$work/q0" "$work/q1" "$work/q2" "$work/q3"

    cold
    start=$(now)
    cp -r "$work/src" "$work/copy"
    sync
    end=$(now)
    cpt=$(echo "$end - $start" | bc -l)
    cp_bytes=$(du -sb "$work/copy" | awk '{ print $1 }')
    rm -rf "$work/copy"

    ratio=$(echo "($conv_bytes / $conv) / ($cp_bytes / $cpt)" | bc -l)
    ratios+=("$ratio")
    printf 'run %d: conversion %.2f s (%d bytes, %.0f MB/s), cp %.2f s (%d bytes, %.0f MB/s), ratio %.2f\n' \
        "$run" "$conv" "$conv_bytes" "$(echo "$conv_bytes / $conv / 1000000" | bc -l)" \
        "$cpt" "$cp_bytes" "$(echo "$cp_bytes / $cpt / 1000000" | bc -l)" "$ratio"
done

# Runs are paired (conversion, then cp) and the median pair counts: the
# machine's load changes from minute to minute.
median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
printf 'ratio (conversion / cp throughput, median of %d runs): %.2f (target >= 1.00)\n' "$runs" "$median"
