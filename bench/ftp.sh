#!/usr/bin/env bash
# Uploads a 1 GB file to a local FTP server (pyftpdlib) through FtpQueue and
# through the curl program, both in active mode, and prints the time ratio
# (target: FtpQueue no slower than curl).
#   BUILD_DIR  build folder (default: build)
#   SIZE_MB    file size in MiB (default: 1024)
#   BENCH_TMP  where the file to upload goes (default: /var/tmp)
#   RUNS       uploads per method, best time counts (default: 5)
# The server writes into /dev/shm when it exists, so that disk write-back does
# not decide the result.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
SIZE_MB=${SIZE_MB:-1024}
RUNS=${RUNS:-5}
# The test program logs in with these.
USER_NAME=operator
PASSWORD='s3cret pass'

[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target engine_ftpqueue -j"$(nproc)" >/dev/null
bin=$(find "$BUILD_DIR" -name engine_ftpqueue -type f -perm -u+x | head -n1)
[ -n "$bin" ] || { echo "engine_ftpqueue not built" >&2; exit 1; }
bin=$(realpath "$bin")

work=$(mktemp -d "${BENCH_TMP:-/var/tmp}/quorvel-ftp-bench.XXXXXX")
server_pid=""
root=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work" "${root:-}"
}
trap cleanup EXIT
root_parent=$work
[ -d /dev/shm ] && root_parent=/dev/shm
root=$(mktemp -d "$root_parent/quorvel-ftp-root.XXXXXX")
/usr/bin/python3 tests/engine/ftpserver.py "$root" "$USER_NAME" "$PASSWORD" \
  > "$work/server.out" 2>/dev/null &
server_pid=$!
for _ in $(seq 50); do
  grep -q '^PORT ' "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$work/server.out")
[ -n "$port" ] || { echo "FTP server did not start" >&2; exit 1; }

src="$work/upload.mpg"
echo "making a ${SIZE_MB} MiB file in $work"
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom > "$src"
cat "$src" > /dev/null

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

best_curl=""
best_ours=""
for run in $(seq "$RUNS"); do
  t0=$(now_ms)
  curl -sS --ftp-port - -T "$src" -u "$USER_NAME:$PASSWORD" "ftp://127.0.0.1:$port/curl.mpg"
  t1=$(now_ms)
  ms=$((t1 - t0))
  cmp "$src" "$root/curl.mpg"
  rm -f "$root/curl.mpg"
  { [ -z "$best_curl" ] || [ "$ms" -lt "$best_curl" ]; } && best_curl=$ms

  out=$(cd "$work" && QT_QPA_PLATFORM=offscreen QUORVEL_BENCH_UPLOAD_FILE="$src" \
        QUORVEL_BENCH_FTP_PORT="$port" "$bin" benchmarkUpload 2>&1) || { echo "$out" | tail -20 >&2; exit 1; }
  ms=$(echo "$out" | sed -n 's/^BENCH_MS //p')
  cmp "$src" "$root/upload.mpg"
  rm -f "$root/upload.mpg"
  { [ -z "$best_ours" ] || [ "$ms" -lt "$best_ours" ]; } && best_ours=$ms
  echo "run $run: curl ${best_curl} ms best so far, FtpQueue ${best_ours} ms best so far"
done
curl_ms=$best_curl
ours_ms=$best_ours

echo "curl:     ${curl_ms} ms"
echo "FtpQueue: ${ours_ms} ms (from \"Upload Started\" to the final status)"
awk -v a="$ours_ms" -v b="$curl_ms" 'BEGIN { printf "ratio FtpQueue/curl: %.3f (target <= 1.00)\n", a / b }'
