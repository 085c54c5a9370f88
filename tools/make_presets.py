#!/usr/bin/env python3
"""Writes the 85 codec presets into Presets/.

Format (plain text, one "key=value" per line, "#" starts a comment):
  [preset]  name, container (mpegts | mpeg)
  [video]   codec (h264 | mpeg2video), width, height, framerate (num/den),
            scan (progressive | tff | bff), bitrate, maxrate, bufsize (bits),
            gop, profile, level
  [audio]   codec (ac3 | mp2), rate, channels, bitrate
A preset without a [video] or [audio] section has no codec of that kind.
Rerun after any change and refresh the digest table (tools/preset_digests.sh).
"""
import os, sys

RES = {
    # key: (width, height, rate, scan)
    "1080p_ntsc":   (1920, 1080, "30000/1001", "progressive"),
    "1080p_23976":  (1920, 1080, "24000/1001", "progressive"),
    "1080i_ntsc":   (1920, 1080, "30000/1001", "tff"),
    "720p_ntsc":    (1280, 720,  "60000/1001", "progressive"),
    "480p_ntsc":    (720,  480,  "30000/1001", "progressive"),
    "480i_ntsc":    (720,  480,  "30000/1001", "tff"),
    "1080p_pal":    (1920, 1080, "25/1", "progressive"),
    "1080i_pal":    (1920, 1080, "25/1", "tff"),
    "720p_pal":     (1280, 720,  "50/1", "progressive"),
    "576p_pal":     (720,  576,  "25/1", "progressive"),
    "576i_pal":     (720,  576,  "25/1", "tff"),
    "480p_ps_ntsc": (720,  480,  "30000/1001", "progressive"),
    "480i_ps_ntsc": (720,  480,  "30000/1001", "tff"),
    "576p_ps_pal":  (720,  576,  "25/1", "progressive"),
    "576i_ps_pal":  (720,  576,  "25/1", "tff"),
    "1080p_5994":   (1920, 1080, "60000/1001", "progressive"),
}

H264 = {"high": 25, "medium": 15, "low": 10}
H264_5994 = {"high": 35, "medium": 30, "low": 25,
             # older variants kept for players that still carry them
             "high3": 35, "medium3": 30, "high_old": 25, "medium_old": 15}
MPEG2_HD = {"high": 38, "medium": 30, "low": 18}
MPEG2_PS = {"high": 14, "medium": 10, "low": 6}


def gop(rate):
    num, den = (int(x) for x in rate.split("/"))
    return max(1, round(num / den / 2))


def preset(res, codec, quality, mbps):
    w, h, rate, scan = RES[res]
    ps = "_ps_" in res
    bits = mbps * 1000000
    lines = ["# Quorvel codec preset", "[preset]",
             "name=%s_%s_%s" % (res, codec, quality),
             "container=%s" % ("mpeg" if ps else "mpegts"), "",
             "[video]"]
    if codec == "h264":
        # Level 3.1 allows 17.5 Mbit/s (High profile); faster SD presets need 3.2.
        level = "4.2" if rate == "60000/1001" else ("4.1" if h >= 720 else ("3.2" if bits > 17500000 else "3.1"))
        lines += ["codec=h264", "profile=high", "level=" + level]
    else:
        lines += ["codec=mpeg2video", "profile=main", "level=" + ("high" if h >= 720 else "main")]
    lines += ["width=%d" % w, "height=%d" % h, "framerate=" + rate, "scan=" + scan,
              "bitrate=%d" % bits, "maxrate=%d" % bits,
              # VBV buffer of about half a second keeps the multiplexer happy
              "bufsize=%d" % (bits // 2 if codec == "h264" else min(bits // 2, 9781248)),
              "gop=%d" % gop(rate), ""]
    lines += ["[audio]"]
    if ps:
        lines += ["codec=mp2", "rate=48000", "channels=2", "bitrate=224000"]
    else:
        lines += ["codec=ac3", "rate=48000", "channels=2", "bitrate=192000"]
    return "\n".join(lines) + "\n"


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "Presets")
    os.makedirs(out, exist_ok=True)
    files = {}
    for res in RES:
        if res == "1080p_5994":
            for q, m in H264_5994.items():
                files["%s_h264_%s.mps" % (res, q)] = preset(res, "h264", q, m)
            continue
        if "_ps_" in res:
            for q, m in MPEG2_PS.items():
                files["%s_mpeg2_%s.mps" % (res, q)] = preset(res, "mpeg2", q, m)
            continue
        for q, m in H264.items():
            files["%s_h264_%s.mps" % (res, q)] = preset(res, "h264", q, m)
        for q, m in MPEG2_HD.items():
            files["%s_mpeg2_%s.mps" % (res, q)] = preset(res, "mpeg2", q, m)
    assert len(files) == 85, len(files)
    for name, text in sorted(files.items()):
        with open(os.path.join(out, name), "w", newline="\n") as f:
            f.write(text)
    print("wrote %d presets to %s" % (len(files), os.path.abspath(out)))


if __name__ == "__main__":
    main()
