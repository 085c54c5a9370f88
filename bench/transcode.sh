#!/usr/bin/env bash
# Transcode speed: the same 1080p source and preset through the engine and
# through the ffmpeg program with equal codec settings, back to back.
# Prints both times and the ratio engine / ffmpeg (target: at most 1.0).
#   bench/transcode.sh [seconds of source (default 10)] [rounds (default 2)]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}
rounds=${2:-2}
preset=1080p_ntsc_h264_medium
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target engine mcplugcore platform >/dev/null

# A small driver: one TranscodeEngine::transcode call.
cat >"$work/bench.cpp" <<'CPP'
#include "transcodeengine.h"
#include <QCoreApplication>
#include <cstdio>
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("QuorvelBench");
    QCoreApplication::setApplicationName("bench");
    TranscodeEngine engine(argv[4]);
    return engine.transcode(argv[1], argv[2], argv[3], false, 0, 0, false, false, 0) == 0 ? 0 : 1;
}
CPP
g++ -std=c++17 -O2 -fPIC "$work/bench.cpp" -o "$work/bench" \
  -I"$root/engine" -I"$root/mcplugcore" $(pkg-config --cflags Qt5Core) \
  "$build/engine/libengine.a" "$build/mcplugcore/libmcplugcore.a" "$build/platform/libplatform.a" \
  $(pkg-config --libs Qt5Core libavformat libavcodec libavfilter libavutil libswscale libswresample) -lpthread

echo "making a ${seconds}s 1080p source..."
ffmpeg -hide_banner -nostdin -loglevel error -y \
  -f lavfi -i "testsrc2=size=1920x1080:rate=30000/1001" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
  -t "$seconds" -c:v libx264 -preset veryfast -crf 18 -c:a aac -ac 2 "$work/source.mp4"

# The preset's values, for the ffmpeg command line.
p="$root/Presets/$preset.mps"
val() { sed -n "/^\[$1\]/,/^\[/p" "$p" | sed -n "s/^$2=//p" | head -1; }
w=$(val video width); h=$(val video height); rate=$(val video framerate)
br=$(val video bitrate); maxrate=$(val video maxrate); bufsize=$(val video bufsize); gop=$(val video gop)
profile=$(val video profile); level=$(val video level)
abr=$(val audio bitrate); ar=$(val audio rate); ac=$(val audio channels)

run_engine() {
  HOME="$work" "$work/bench" "$work/source.mp4" "$work/engine.mpg" "$p" "$root/Plugins"
}
run_ffmpeg() {
  ffmpeg -hide_banner -nostdin -loglevel error -y -i "$work/source.mp4" \
    -vf "scale=w=$w:h=$h,fps=$rate,format=pix_fmts=yuv420p,setsar=1/1" \
    -c:v libx264 -profile:v "$profile" -level "$level" -b:v "$br" -maxrate "$maxrate" -bufsize "$bufsize" -g "$gop" \
    -af "aresample=$ar" -c:a ac3 -b:a "$abr" -ar "$ar" -ac "$ac" -f mpegts "$work/ffmpeg.mpg"
}
# Wall time of a command in milliseconds.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
secs() { awk -v ms="$1" 'BEGIN { printf "%.2fs", ms / 1000 }'; }

best_engine=0; best_ffmpeg=0
for ((i = 1; i <= rounds; i++)); do
  te=$(timed run_engine); tf=$(timed run_ffmpeg)
  echo "round $i: engine $(secs "$te")  ffmpeg $(secs "$tf")"
  if [ "$best_engine" -eq 0 ] || [ "$te" -lt "$best_engine" ]; then best_engine=$te; fi
  if [ "$best_ffmpeg" -eq 0 ] || [ "$tf" -lt "$best_ffmpeg" ]; then best_ffmpeg=$tf; fi
done

frames_e=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$work/engine.mpg" | sed -n 1p)
frames_f=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$work/ffmpeg.mpg" | sed -n 1p)
echo "frames: engine $frames_e, ffmpeg $frames_f"
echo "best: engine $(secs "$best_engine")  ffmpeg $(secs "$best_ffmpeg")"
awk -v e="$best_engine" -v f="$best_ffmpeg" 'BEGIN { printf "ratio engine/ffmpeg: %.3f (target <= 1.00)\n", e / f }'
