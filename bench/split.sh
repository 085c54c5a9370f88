#!/usr/bin/env bash
# Splits a 2 GB file with FileSplitter and with `split -b` of the same part
# size and prints the time ratio (target: FileSplitter within 2x of split).
#   BUILD_DIR  build folder (default: build)
#   SIZE_MB    source size in MiB (default: 2048)
#   PART_SIZE  part size in bytes (default: 512 MiB)
#   BENCH_TMP  where the files go (default: /var/tmp); needs twice SIZE_MB free
#   RUNS       splits per method, alternating; the best time counts (default: 3)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
SIZE_MB=${SIZE_MB:-2048}
PART_SIZE=${PART_SIZE:-536870912}
RUNS=${RUNS:-3}

[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target engine_splitter -j"$(nproc)" >/dev/null
bin=$(find "$BUILD_DIR" -name engine_splitter -type f -perm -u+x | head -n1)
[ -n "$bin" ] || { echo "engine_splitter not built" >&2; exit 1; }
bin=$(realpath "$bin")

work=$(mktemp -d "${BENCH_TMP:-/var/tmp}/quorvel-split-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
src="$work/source.mpg"
echo "making a ${SIZE_MB} MiB source in $work"
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom > "$src"
cat "$src" > /dev/null
sync

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

best_split=""
best_ours=""
for run in $(seq "$RUNS"); do
  mkdir "$work/split"
  t0=$(now_ms)
  split -b "$PART_SIZE" "$src" "$work/split/part."
  sync
  t1=$(now_ms)
  ms=$((t1 - t0))
  rm -rf "$work/split"
  sync
  { [ -z "$best_split" ] || [ "$ms" -lt "$best_split" ]; } && best_split=$ms

  t0=$(now_ms)
  out=$(cd "$work" && QT_QPA_PLATFORM=offscreen QUORVEL_BENCH_SPLIT_FILE="$src" \
        QUORVEL_BENCH_PART_SIZE="$PART_SIZE" "$bin" benchmarkSplit 2>&1) || { echo "$out" >&2; exit 1; }
  sync
  t1=$(now_ms)
  ms=$((t1 - t0))
  parts=$(echo "$out" | sed -n 's/^BENCH_DIR //p')
  cmp <(cat "$parts/source.mpg" "$parts"/source.[0-9]*) "$src" \
    || { echo "parts differ from the source" >&2; exit 1; }
  rm -rf "$parts"
  sync
  { [ -z "$best_ours" ] || [ "$ms" -lt "$best_ours" ]; } && best_ours=$ms
  echo "run $run: best so far split -b ${best_split} ms, FileSplitter ${best_ours} ms"
done
split_ms=$best_split
ours_ms=$best_ours

echo "split -b:     ${split_ms} ms"
echo "FileSplitter: ${ours_ms} ms (program start, split and sync)"
awk -v a="$ours_ms" -v b="$split_ms" 'BEGIN { printf "ratio FileSplitter/split: %.2f (target <= 2.00)\n", a / b }'
