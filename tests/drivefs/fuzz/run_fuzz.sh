#!/usr/bin/env bash
# Builds the volume library's fuzz target with clang (libFuzzer + ASan +
# UBSan) and runs it over a copy of the seed images.
#   run_fuzz.sh [SECONDS] [-- extra libFuzzer options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
seconds=${1:-60}
shift || true
[ "${1:-}" = "--" ] && shift
command -v clang++ >/dev/null || { echo "clang++ is missing (apt-get install clang)"; exit 1; }
work=${FUZZ_WORK:-$(mktemp -d)}
mkdir -p "$work/corpus" "$work/artifacts"
cp -n "$here"/seeds/* "$work/corpus/" 2>/dev/null || true
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/drivefs" "$here/fuzz_drivefs.cpp" "$root"/drivefs/dfs_*.cpp -o "$work/fuzz_drivefs" -lpthread
echo "fuzzing for ${seconds}s in $work"
cd "$work"   # libFuzzer writes its job logs into the current folder
"$work/fuzz_drivefs" "$work/corpus" -max_total_time="$seconds" -max_len=600000 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@"
