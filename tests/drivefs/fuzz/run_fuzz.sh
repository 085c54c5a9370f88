#!/usr/bin/env bash
# Builds one of the volume library's fuzz targets with clang (libFuzzer +
# ASan + UBSan) and runs it.
#   run_fuzz.sh [walk|differential] [SECONDS] [-- extra libFuzzer options]
# walk:         mounts and walks mutated disk images (the seed images); looks for crashes.
# differential: damages FAT chains of real images (DFS_DIFF_IMAGES, default the
#               seed images) and checks every read against the true bytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
target=walk
case "${1:-}" in walk|differential) target=$1; shift ;; esac
seconds=${1:-60}
shift || true
[ "${1:-}" = "--" ] && shift
command -v clang++ >/dev/null || { echo "clang++ is missing (apt-get install clang)"; exit 1; }
work=${FUZZ_WORK:-$(mktemp -d)}
mkdir -p "$work/corpus-$target" "$work/artifacts"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
    -I"$root/drivefs" -I"$here/.." "$root"/drivefs/dfs_*.cpp "$here/../dfs_memdriver.cpp" -lpthread)
if [ "$target" = walk ]; then
    cp -n "$here"/seeds/* "$work/corpus-$target/" 2>/dev/null || true
    clang++ "$here/fuzz_drivefs.cpp" "${flags[@]}" -o "$work/fuzz_drivefs"
    binary=$work/fuzz_drivefs
    maxlen=600000
else
    clang++ "$here/fuzz_differential.cpp" "${flags[@]}" -DDFS_DIFF_DEFAULT_IMAGES="\"$here/seeds\"" \
        -o "$work/fuzz_differential"
    binary=$work/fuzz_differential
    maxlen=800
fi
echo "fuzzing $target for ${seconds}s in $work"
cd "$work"   # libFuzzer writes its job logs into the current folder
"$binary" "$work/corpus-$target" -max_total_time="$seconds" -max_len=$maxlen -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@"
