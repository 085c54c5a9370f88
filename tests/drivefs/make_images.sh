#!/usr/bin/env bash
# Makes a partitioned test disk image and a manifest of the files on it.
#   make_images.sh fat12|fat16|fat32|exfat OUTDIR
# Writes OUTDIR/<kind>.img and OUTDIR/<kind>.manifest ("size sha256 path"
# per file, "/" separators). FAT images are filled with mtools; exFAT needs
# root, an offset loop device and mount.exfat-fuse (exit code 77 when missing).
set -euo pipefail
kind=$1
out=$2
mkdir -p "$out"
img="$out/$kind.img"
manifest="$out/$kind.manifest"
work=$(mktemp -d)
loop=""
mnt="$work/mnt"
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" || fusermount -u "$mnt" || true; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
export MTOOLS_SKIP_CHECK=1

# Position-dependent text: every 16 bytes name their own offset.
content() { # name size
    awk -v n="$1" -v s="$2" 'BEGIN { for (i = 0; i < s; i += 16) printf "%-15.15s\n", n ":" i }' | head -c "$2"
}

case $kind in
    fat12) mib=4;  mkfs_args=(-F 12 -s 4); cluster=2048 ;;
    fat16) mib=24; mkfs_args=(-F 16 -s 4); cluster=2048 ;;
    fat32) mib=40; mkfs_args=(-F 32 -s 1); cluster=512 ;;
    exfat) mib=4;  cluster=4096 ;;
    *) echo "unknown kind $kind" >&2; exit 2 ;;
esac

src="$work/src"
mkdir -p "$src/Dir1/Dir2"
content empty 0 > "$src/empty.bin"
for n in 511 512 513; do content "s$n" $n > "$src/s$n.bin"; done
content clm1 $((cluster - 1)) > "$src/clm1.bin"
content cl $cluster > "$src/cl.bin"
content clp1 $((cluster + 1)) > "$src/clp1.bin"
content long 3000 > "$src/A long file name with spaces.txt"
content lower 100 > "$src/lower.txt"
content nested 5000 > "$src/Dir1/Dir2/nested file.dat"
content upper 700 > "$src/Dir1/UPPER.TXT"
content big $((150 * 1024 + 77)) > "$src/big.bin"
content fillA $((3 * cluster)) > "$work/fillA.bin"
content fillB $((2 * cluster)) > "$work/fillB.bin"
content frag $((6 * cluster + 100)) > "$src/frag.bin"

dd if=/dev/zero of="$img" bs=1M count=$((mib + 1)) status=none
if [ "$kind" = exfat ]; then
    printf 'start=2048, type=07\n' | sfdisk -q "$img"
else
    printf 'start=2048, type=0c\n' | sfdisk -q "$img"
fi

if [ "$kind" = exfat ]; then
    if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/fuse ] || ! command -v mount.exfat-fuse >/dev/null; then
        echo "exFAT image needs root, /dev/fuse and mount.exfat-fuse" >&2
        exit 77
    fi
    loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((mib * 1024 * 1024)) "$img") || { echo "no loop device" >&2; exit 77; }
    mkfs.exfat -c 4K -L T9PW_TEST1 "$loop" >/dev/null
    mkdir -p "$mnt"
    mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1 || { echo "FUSE mount failed" >&2; exit 77; }
    content unicode 40 > "$src/naïve_ß.txt"
    content cjk 20 > "$src/日本.txt"
    content uber 30 > "$src/über.txt"
    cp "$work/fillA.bin" "$work/fillB.bin" "$mnt/"
    sync
    rm "$mnt/fillA.bin"
    sync
    # Into the hole fillA left and on behind fillB: fragmented.
    cp "$src/frag.bin" "$mnt/frag.bin"
    sync
    (cd "$src" && find . -mindepth 1 -type d | sort | while read -r d; do mkdir -p "$mnt/$d"; done)
    (cd "$src" && find . -type f ! -name frag.bin | sort | while read -r f; do cp "$f" "$mnt/$f"; sync; done)
    umount "$mnt"
    fsck.exfat -n "$loop" >/dev/null
    losetup -d "$loop"
    loop=""
else
    mkfs.vfat --offset 2048 "${mkfs_args[@]}" "$img" $((mib * 1024)) >/dev/null
    m="$img@@1M"
    mcopy -i "$m" "$work/fillA.bin" "$work/fillB.bin" ::/
    mdel -i "$m" ::/fillA.bin
    if [ "$kind" = fat32 ]; then
        # Forget FSInfo's next-free hint so the hole fillA left is used again.
        printf '\377\377\377\377' | dd of="$img" bs=1 seek=$((2048 * 512 + 512 + 492)) conv=notrunc status=none
    fi
    # Into the hole fillA left and on behind fillB: fragmented.
    mcopy -i "$m" "$src/frag.bin" ::/
    mmd -i "$m" ::/Dir1 ::/Dir1/Dir2
    (cd "$src" && find . -type f ! -name frag.bin | sort | while read -r f; do mcopy -i "$m" "$f" "::/${f#./}"; done)
fi
cp "$work/fillB.bin" "$src/fillB.bin"
(cd "$src" && find . -type f | sort | while read -r f; do
    printf '%s %s %s\n' "$(stat -c %s "$f")" "$(sha256sum < "$f" | cut -d' ' -f1)" "${f#./}"
done) > "$manifest"
