#!/usr/bin/env bash
# Drive index speed: builds "index.dat" for an exFAT drive image holding
# 100,000 frame files and runs "fsck.exfat -n" on the same image, both with a
# warm cache, and prints the time ratio. Target: ratio <= 1 (no slower than fsck).
# Needs root, loop devices and exfat-fuse the first time (to make the image).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
RUNS=${RUNS:-5}
work="$(realpath -m "$BUILD_DIR")/bench-index"
image="$work/bench.img"
fixture=tests/drivefs/index/indexfixture.py

cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j"${JOBS:-4}" --target drivefs_indexbuilder >/dev/null
mkdir -p "$work"
if [ ! -f "$image" ]; then
  echo "making $image (100 clip folders of 1,000 frames) ..."
  /usr/bin/python3 "$fixture" make bench "$image.tmp" T9PW_1
  mv "$image.tmp" "$image"
fi

loop=$(losetup -f --show -o $((2048 * 512)) "$image")
trap 'losetup -d "$loop"' EXIT

best_fsck=""
fsck.exfat -n "$loop" >/dev/null     # warm the cache
for _ in $(seq "$RUNS"); do
  start=$(date +%s%N)
  fsck.exfat -n "$loop" >/dev/null
  t=$(( $(date +%s%N) - start ))
  if [ -z "$best_fsck" ] || [ "$t" -lt "$best_fsck" ]; then best_fsck=$t; fi
done

runner=$(find "$BUILD_DIR/tests" -name drivefs_indexbuilder -type f | head -1)
out=$(QUORVEL_TESTS_DIR="$PWD/tests" QUORVEL_INDEX_BENCH_IMAGE="$image" \
      QUORVEL_INDEX_BENCH_RUNS=$((RUNS + 1)) "$runner" timeLargeImage)
line=$(printf '%s\n' "$out" | grep '^index-seconds') || { printf '%s\n' "$out"; exit 1; }
index_s=$(echo "$line" | awk '{print $2}')
entries=$(echo "$line" | awk '{print $4}')

awk -v i="$index_s" -v f="$best_fsck" -v e="$entries" 'BEGIN {
  fs = f / 1e9
  printf "index builder: %.3f s for %d frame entries\n", i, e
  printf "fsck.exfat -n: %.3f s\n", fs
  printf "ratio index/fsck: %.2f (target <= 1)\n", i / fs
}'
