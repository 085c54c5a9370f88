#!/usr/bin/env bash
# Makes the fuzz seed images: small volumes cut after their last non-zero
# sector (the fuzz harness reads zeros past the input). exFAT needs root,
# a loop device and mount.exfat-fuse.
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)/seeds}
mkdir -p "$out"
work=$(mktemp -d)
trap 'mountpoint -q "$work/m" && umount "$work/m"; [ -n "${loop:-}" ] && losetup -d "$loop"; rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
cut_image() { # image out
    /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
last = max((i for i in range(0, len(d), 512) if any(d[i:i + 512])), default=0)
open(sys.argv[2], 'wb').write(d[:last + 512])
PY
}
fill_fat() { # mtools image (path@@offset)
    echo hello > "$work/lower.txt"
    head -c 1500 /dev/urandom > "$work/A long name.bin"
    mcopy -i "$1" "$work/lower.txt" "$work/A long name.bin" ::/
    mmd -i "$1" ::/Clip_00001
    for i in 0 1 2; do head -c 700 /dev/urandom > "$work/f$i.tga"; mcopy -i "$1" "$work/f$i.tga" "::/Clip_00001/frame0000$i.tga"; done
}
# FAT12 over the whole disk.
dd if=/dev/zero of="$work/fat12.img" bs=1k count=400 status=none
mkfs.vfat -F 12 "$work/fat12.img" >/dev/null
fill_fat "$work/fat12.img"
cut_image "$work/fat12.img" "$out/fat12_whole_disk.img"
# FAT16 and FAT32 in a partition at sector 1.
for t in 16 32; do
    size=$([ $t = 16 ] && echo 2600 || echo 34000)
    dd if=/dev/zero of="$work/fat$t.img" bs=1k count=$size status=none
    printf 'start=1, type=0c\n' | sfdisk -q "$work/fat$t.img" 2>/dev/null
    extra=$([ $t = 32 ] && echo "-f 1" || echo "")
    mkfs.vfat --offset 1 -F $t -s 1 $extra "$work/fat$t.img" $((size - 1)) >/dev/null
    fill_fat "$work/fat$t.img@@512"
    cut_image "$work/fat$t.img" "$out/fat${t}_partition.img"
done
# exFAT in a partition at sector 1, 512-byte clusters.
dd if=/dev/zero of="$work/exfat.img" bs=1k count=1100 status=none
printf 'start=1, type=07\n' | sfdisk -q "$work/exfat.img" 2>/dev/null
loop=$(losetup -f --show -o 512 --sizelimit $((1099 * 1024)) "$work/exfat.img")
mkfs.exfat -b 4096 -c 512 "$loop" >/dev/null
mkdir -p "$work/m"
mount.exfat-fuse "$loop" "$work/m" >/dev/null 2>&1
mkdir "$work/m/Clip_00001"
for i in 0 1 2; do head -c 700 /dev/urandom > "$work/m/Clip_00001/frame0000$i.tga"; done
echo hello > "$work/m/lower.txt"
head -c 1500 /dev/urandom > "$work/m/A long name.bin"
umount "$work/m"
fsck.exfat -n "$loop" >/dev/null
losetup -d "$loop"
loop=""
cut_image "$work/exfat.img" "$out/exfat_partition.img"
ls -l "$out"
