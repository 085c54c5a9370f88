#!/usr/bin/python3
"""Player-drive fixtures for the drive index tests, and a checker of "index.dat".

The checker is written from the published exFAT layout, on purpose without any
code of the program: it walks the disk image itself, works out which clip and
frame files the index must hold, and then checks the index byte for byte.

  indexfixture.py make LAYOUT IMAGE          build a disk image (loop device + exfat-fuse, root)
  indexfixture.py fill LAYOUT MOUNTPOINT     write a layout's folders into a mounted volume
  indexfixture.py check IMAGE INDEX [LAYOUT] verify an index against the disk image
  indexfixture.py corrupt IMAGE FAULT        put one fault into a "standard" image
"""

import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

SECTOR = 512
HEADER_SIZE = 16
CLIP_RECORDS = 9999
CLIP_RECORD_SIZE = 56
RESERVED_OFFSET = HEADER_SIZE + CLIP_RECORDS * CLIP_RECORD_SIZE  # 559,960
FRAME_TABLE_OFFSET = RESERVED_OFFSET + 128000                    # 687,960
FRAME_ENTRIES = 13824000
IMAGE_SIZE = FRAME_TABLE_OFFSET + 8 * FRAME_ENTRIES               # 111,279,960
MAGIC = 0x00D00DAD
FIRST_FRAME_LIMIT = 99999

# ---------------------------------------------------------------------------
# Frame files


def _pattern(tag, length):
    """Bytes that differ from frame to frame but compress well."""
    seed = hashlib.sha256(tag.encode("utf-8")).digest()
    head = tag.encode("utf-8")[:200]
    body = (seed * (length // len(seed) + 1))
    return (head + body)[:length]


def tga_bytes(tag, width, height, depth=24, top_down=True, rle=False):
    ident = tag.encode("utf-8")[:255]
    image_type = 10 if rle else 2
    descriptor = (0x20 if top_down else 0) | (8 if depth == 32 else 0)
    header = struct.pack("<BBBHHBHHHHBB", len(ident), 0, image_type, 0, 0, 0, 0, 0,
                         width, height, depth, descriptor)
    bpp = depth // 8
    pixels = _pattern(tag, width * height * bpp)
    if rle:
        data = bytearray()
        total = width * height
        pos = 0
        while pos < total:
            count = min(128, total - pos)
            if (pos // 128) % 2 == 0:       # a run packet
                data.append(0x80 | (count - 1))
                data += pixels[pos * bpp:(pos + 1) * bpp]
            else:                           # a raw packet
                data.append(count - 1)
                data += pixels[pos * bpp:(pos + count) * bpp]
            pos += count
        pixels = bytes(data)
    footer = b"\0" * 8 + b"TRUEVISION-XFILE.\0"
    return header + ident + pixels + footer


def krx_bytes(tag, width, height):
    e = width * height * 3 // 15 * 16
    header = b"KRX_" + struct.pack("<10I", 1, e + 512, width, height, 0, 0, 0, 2, 0, e)
    header += b"\0" * (512 - len(header))
    return header + _pattern(tag, e)


def file_content(folder, name, spec):
    tag = folder + "/" + name
    kind = spec.get("fmt")
    if kind == "tga":
        return tga_bytes(tag, spec["w"], spec["h"], spec.get("depth", 24),
                         spec.get("top", True), spec.get("rle", False))
    if kind == "krx":
        return krx_bytes(tag, spec["w"], spec["h"])
    if kind == "empty":
        return b""
    return spec.get("data", tag.encode("utf-8"))


def frames(prefix, numbers, ext, digits=5, **spec):
    spec = dict(spec)
    spec.setdefault("fmt", ext)
    return [("%s%0*d.%s" % (prefix, digits, n, ext), spec) for n in numbers]


# Layouts: the root directory's entries in the order they are created, which is
# the order exfat-fuse lists them. ("dir", name, [(file, spec)...]) or ("file", name, spec).
SMALL_TGA = dict(w=40, h=25)


def _layouts():
    standard = [
        ("dir", "Alpha_f25_00003",
         frames("A", range(0, 10), "tga", **SMALL_TGA)
         + [("A00010.krx", dict(fmt="krx", w=40, h=25))]),
        ("dir", "Beta_f25_00001",
         frames("B", [n for n in range(1, 101) if n != 50], "krx", w=40, h=25)),
        # A few hundred frames: the folder spans several clusters. Created empty
        # first so that its clusters lie side by side: exfat-fuse then stores it
        # without a FAT chain, while Beta's clusters are chained apart.
        ("dir", "Gamma_f59_00007",
         frames("G", [n for n in range(0, 310) if not 150 <= n < 160], "tga",
                w=40, h=25, depth=32, top=False)
         + [("readme.txt", dict(data=b"not a frame")),
            ("G00400.TGA", dict(fmt="tga", w=40, h=25)),
            ("nodigits.tga", dict(fmt="tga", w=40, h=25)),
            ("7.tg", dict(data=b"short")),
            ("G123456789012.tga", dict(fmt="tga", w=40, h=25)),
            ("thumb00001.png", dict(data=b"png"))],
         "prealloc"),
        ("dir", "Delta_00012",
         frames("D", range(5, 10), "tga", w=40, h=25, top=False, rle=True)
         + [("D0100000.tga", dict(fmt="tga", w=40, h=25))]),
        ("dir", "Eps_00000",
         [("E00000.tga", dict(fmt="empty")),
          ("E00001.tga", dict(fmt="tga", w=20, h=10, depth=16)),
          ("E00002.tga", dict(fmt="tga", w=20, h=10, depth=16))]),
        ("dir", "Notes", frames("N", range(0, 3), "tga", **SMALL_TGA)),
        ("dir", "Zeta_09999", frames("Z", range(0, 3), "tga", **SMALL_TGA)),
        ("dir", "Empty_00020", []),
        ("dir", "Other_00021", [("info.txt", dict(data=b"x")), ("pic.jpg", dict(data=b"y"))]),
        ("file", "Loose_00022", dict(data=b"a file, not a folder")),
        ("dir", "Dup_00003", frames("U", range(0, 2), "tga", w=16, h=10)),
        ("dir", "\u00dcnic\u00f6de_00030", frames("U", range(0, 2), "tga", **SMALL_TGA)),
        ("dir", "\u65e5\u672c_00031", frames("J", range(0, 2), "krx", w=40, h=25)),
        ("dir", "Bad_00040", [("bad00000.tga", dict(data=b"this is not a Targa file"))]
         + frames("bad", range(1, 3), "tga", **SMALL_TGA)),
        ("dir", "Big_00041", frames("I", range(0, 2), "tga", w=40, h=25, digits=12)),
    ]
    return {
        "standard": {"size_mb": 16, "entries": standard},
        "empty": {"size_mb": 8, "entries": []},
        # For bench/index.sh: 100,000 tiny frame files in 100 clip folders.
        "bench": {"size_mb": 640, "cluster": 4096, "entries": [
            ("dir", "Bench_f59_%05d" % clip, frames("F", range(0, 1000), "tga", w=5, h=2))
            for clip in range(1, 101)]},
        # For the mounted end-to-end test: small and quick to write.
        "live": {"size_mb": 8, "entries": [
            ("dir", "Live_f25_00002", frames("L", range(0, 40), "krx", w=40, h=25)),
            ("dir", "Live_f25_00001", frames("L", range(1, 6), "tga", **SMALL_TGA)),
        ]},
        # A root directory over several clusters: 120 clip folders.
        "manyclips": {"size_mb": 16, "entries": [
            ("dir", "Many_f25_%05d" % clip, frames("M", [0], "tga", **SMALL_TGA))
            for clip in range(1, 121)]},
        # Added to a "live" drive after it was indexed once.
        "late": {"size_mb": 8, "entries": [
            ("dir", "Late_f25_00003", frames("T", range(0, 30), "tga", **SMALL_TGA)),
        ]},
    }


LAYOUTS = _layouts()


def layout_contents(name):
    """{(folder, file): bytes} for every file the layout puts in a folder."""
    out = {}
    for entry in LAYOUTS[name]["entries"]:
        if entry[0] == "dir":
            for fname, spec in entry[2]:
                out[(entry[1], fname)] = file_content(entry[1], fname, spec)
    return out


def fill(name, root):
    for entry in LAYOUTS[name]["entries"]:
        path = os.path.join(root, entry[1])
        if entry[0] == "file":
            with open(path, "wb") as f:
                f.write(file_content("", entry[1], entry[2]))
            continue
        os.mkdir(path)
        files = entry[2]
        if len(entry) > 3 and entry[3] == "prealloc":
            for fname, _ in files:
                open(os.path.join(path, fname), "wb").close()
        for fname, spec in files:
            with open(os.path.join(path, fname), "wb") as f:
                f.write(file_content(entry[1], fname, spec))


# ---------------------------------------------------------------------------
# Disk images through an offset loop device and exfat-fuse


def run(*args, **kw):
    return subprocess.run(list(args), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, **kw).stdout.decode()


def make_image(layout, image, label="T9PW_1"):
    size = LAYOUTS[layout]["size_mb"] * 1024 * 1024
    with open(image, "wb") as f:
        f.truncate(size)
    run("sfdisk", "-q", image, input=b"label: dos\nstart=2048, type=7\n")
    offset = 2048 * SECTOR
    loop = run("losetup", "-f", "--show", "-o", str(offset), "--sizelimit",
               str(size - offset), image).strip()
    mnt = tempfile.mkdtemp(prefix="qidx-")
    mounted = False
    try:
        cluster = LAYOUTS[layout].get("cluster")
        run("mkfs.exfat", "-L", label, *(["-c", str(cluster)] if cluster else []), loop)
        run("mount.exfat-fuse", loop, mnt)
        mounted = True
        fill(layout, mnt)
    finally:
        if mounted:
            subprocess.run(["umount", mnt])
        subprocess.run(["losetup", "-d", loop])
        os.rmdir(mnt)


# ---------------------------------------------------------------------------
# exFAT, read straight from the image


class ExFat:
    def __init__(self, path):
        self.f = open(path, "rb")
        mbr = self.read(0, SECTOR)
        self.part_lba = 0
        if mbr[510:512] == b"\x55\xaa" and mbr[3:11] != b"EXFAT   ":
            # The first primary partition that holds exFAT.
            for i in range(4):
                e = mbr[446 + 16 * i:462 + 16 * i]
                lba = struct.unpack_from("<I", e, 8)[0]
                if e[4] not in (0, 5, 15) and e[4] <= 15 and \
                        self.read(lba * SECTOR + 3, 8) == b"EXFAT   ":
                    self.part_lba = lba
                    break
        boot = self.read(self.part_lba * SECTOR, SECTOR)
        if boot[3:11] != b"EXFAT   ":
            raise ValueError("no exFAT volume at sector %d" % self.part_lba)
        self.fat_offset, self.fat_length, self.heap_offset, self.cluster_count, \
            self.root_cluster = struct.unpack_from("<IIIII", boot, 80)
        self.sector_shift = boot[108]
        self.spc_shift = boot[109]
        self.bytes_per_sector = 1 << self.sector_shift
        self.cluster_bytes = self.bytes_per_sector << self.spc_shift
        active_fat = struct.unpack_from("<H", boot, 106)[0] & 1
        self.fat_start = (self.part_lba + self.fat_offset + active_fat * self.fat_length) * SECTOR

    def read(self, pos, n):
        self.f.seek(pos)
        return self.f.read(n)

    def cluster_sector(self, c):
        """Absolute sector (512 bytes) of cluster c on the disk."""
        return self.part_lba + ((self.heap_offset + ((c - 2) << self.spc_shift))
                                << (self.sector_shift - 9))

    def in_heap(self, c):
        return 2 <= c < self.cluster_count + 2

    def fat(self, c):
        return struct.unpack("<I", self.read(self.fat_start + 4 * c, 4))[0]

    def clusters(self, first, nofatchain, length):
        if not self.in_heap(first):
            return []
        if nofatchain:
            n = (length + self.cluster_bytes - 1) // self.cluster_bytes
            return [c for c in range(first, first + n) if self.in_heap(c)]
        out, seen, c = [], set(), first
        while self.in_heap(c) and c not in seen:
            out.append(c)
            seen.add(c)
            c = self.fat(c)
        return out

    def dir_data(self, first, nofatchain, length):
        return b"".join(self.read(self.cluster_sector(c) * SECTOR, self.cluster_bytes)
                        for c in self.clusters(first, nofatchain, length))

    def entries(self, first, nofatchain=False, length=0):
        """Complete in-use entry sets of a directory, in directory order."""
        data = self.dir_data(first, nofatchain, length)
        out = []
        i = 0
        while i + 32 <= len(data):
            e = data[i:i + 32]
            if e[0] != 0x85:
                i += 32
                continue
            secondary = e[1]
            attr = struct.unpack_from("<H", e, 4)[0]
            s = data[i + 32:i + 64]
            if len(s) < 32 or s[0] != 0xC0:
                i += 32
                continue
            name_len = s[3]
            first_cluster, length_ = struct.unpack_from("<IQ", s, 20)
            chars = b""
            for k in range(2, secondary + 1):
                n = data[i + 32 * k:i + 32 * k + 32]
                if len(n) == 32 and n[0] == 0xC1:
                    chars += n[2:32]
            name = chars.decode("utf-16-le")[:name_len]
            out.append(dict(name=name, dir=bool(attr & 0x10), first=first_cluster,
                            length=length_, nofatchain=bool(s[1] & 2), pos=i))
            i += 32 * (secondary + 1)
        return out

    def file_bytes(self, ent, n):
        data = self.dir_data(ent["first"], ent["nofatchain"], ent["length"])
        return data[:min(n, ent["length"])]


# ---------------------------------------------------------------------------
# What the index must hold


def crc16_umts(data, reg=0):
    """CRC-16/UMTS: polynomial 0x8005, initial 0, no reflection, no final XOR."""
    table = _crc_table()
    for b in data:
        reg = ((reg << 8) & 0xFFFF) ^ table[(reg >> 8) ^ b]
    return reg


_TABLE = None


def _crc_table():
    global _TABLE
    if _TABLE is None:
        t = []
        for b in range(256):
            r = b << 8
            for _ in range(8):
                r = ((r << 1) ^ 0x8005) if r & 0x8000 else (r << 1)
                r &= 0xFFFF
            t.append(r)
        _TABLE = t
    return _TABLE


def crc16_ff_run(reg, count):
    """The register after count further 0xFF bytes, by squaring the step map."""
    table = _crc_table()
    step = [((r << 8) & 0xFFFF) ^ table[(r >> 8) ^ 0xFF] for r in range(65536)]
    while count:
        if count & 1:
            reg = step[reg]
        count >>= 1
        if count:
            step = [step[x] for x in step]
    return reg


def oem_name(name):
    out = []
    for ch in name:
        try:
            b = ch.encode("cp437")
        except UnicodeEncodeError:
            b = b"_"
        out.append(b)
    return b"".join(out)


def trailing_number(name):
    """(digit count, value) of the digits that end name; values past 32 bits
    saturate so they never fall back into range."""
    n = 0
    while n < len(name) and "0" <= name[len(name) - 1 - n] <= "9":
        n += 1
    if n == 0:
        return 0, None
    digits = name[len(name) - n:]
    return n, min(int(digits), 2 ** 31 - 1)


def frame_kind(name):
    if name.endswith(b".tga"):
        return 1
    if name.endswith(b".krx"):
        return 2
    return 0


def targa_header_ok(h):
    if len(h) < 18:
        return False
    cmap_type, itype = h[1], h[2]
    if cmap_type not in (0, 1) or itype == 0:
        return False
    if itype in (1, 9) and cmap_type == 0:
        return False
    if itype not in (1, 9) and cmap_type == 1:
        return False
    if 4 <= itype <= 8 or itype >= 12:
        return False
    cmap_len, cmap_size = struct.unpack_from("<HB", h, 5)
    if cmap_type == 1 and (cmap_len == 0 or cmap_size not in (16, 24, 32)):
        return False
    width, height, depth = struct.unpack_from("<HHB", h, 12)
    if width == 0 or height == 0 or depth not in (8, 16, 24, 32):
        return False
    if itype in (1, 9) and depth != 8:
        return False
    return True


def expected_index(fs):
    """(records {clip: 14 ints}, entries {index: sector}, entry count, frames
    [(index, folder entry, file entry, kind)])."""
    records = {}
    entries = {}
    frames_out = []
    base = 0
    for folder in fs.entries(fs.root_cluster):
        if not folder["dir"]:
            continue
        fname = oem_name(folder["name"])
        n, clip = trailing_number(fname.decode("latin-1"))
        if n == 0 or clip > 9998 or not fs.in_heap(folder["first"]):
            continue
        highest, lowest, first = -1, FIRST_FRAME_LIMIT, None
        listed = []
        whole = True
        for f in fs.entries(folder["first"], folder["nofatchain"], folder["length"]):
            name = oem_name(f["name"])
            # An unfinished frame (hidden, ".part") keeps the clip out of the index.
            if len(name) > 6 and name.startswith(b".") and name.endswith(b".part"):
                whole = False
                continue
            kind = frame_kind(name)
            if len(name) < 5 or kind == 0:
                continue
            count, k = trailing_number(name[:-4].decode("latin-1"))
            if count == 0 or k > FRAME_ENTRIES - 1 or base + k > FRAME_ENTRIES - 1:
                continue
            highest = max(highest, k)
            if not fs.in_heap(f["first"]):
                continue            # no data: no sector, never the first frame
            # So does a frame that is not one run of clusters.
            clusters = fs.clusters(f["first"], f["nofatchain"], f["length"])
            if any(b != a + 1 for a, b in zip(clusters, clusters[1:])):
                whole = False
            if k < lowest:
                lowest, first = k, f
            listed.append((base + k, fs.cluster_sector(f["first"]) + (1 if kind == 2 else 0), f, kind))
        count = highest + 1
        if count <= 0 or not whole:
            continue
        for i, sector, f, kind in listed:
            entries[i] = sector
            frames_out.append((i, folder, f, kind))
        rec = [base, base + count - 1] + [0] * 12
        if first is not None:
            fill_format(fs, rec, folder, first)
        records[clip] = rec
        base += count
    return records, entries, base, frames_out


def fill_format(fs, rec, folder, first):
    rec[13] = first["length"] & 0xFFFFFFFF
    kind = frame_kind(oem_name(first["name"]))
    head = fs.file_bytes(first, 64)
    if kind == 1:
        if not targa_header_ok(head):
            return
        itype, width, height, depth, desc = head[2], *struct.unpack_from("<HHBB", head, 12)
        rec[2] = 1
        rec[3] = (0 if desc & 0x20 else 2) + (1 if itype in (9, 10, 11) else 0)
        rec[4] = 18
        rec[5], rec[6] = width, height
        rec[8] = 24 if depth == 32 else depth
        rec[9] = 3 if depth == 32 else 0xFFFFFFFD
        rec[10] = 8 if depth == 32 else 0
    else:
        if len(head) < 44:
            return
        rec[2] = 2
        rec[5], rec[6] = struct.unpack_from("<II", head, 12)


# ---------------------------------------------------------------------------
# The check


class CheckError(Exception):
    pass


def check(image, index, layout=None):
    fs = ExFat(image)
    with open(index, "rb") as f:
        data = f.read()
    problems = []

    def fail(text):
        problems.append(text)
        if len(problems) > 20:
            raise CheckError("\n".join(problems))

    records, entries, count, frame_list = expected_index(fs)
    want_len = FRAME_TABLE_OFFSET + 8 * count
    # An index rewritten in place keeps its length: past the last run it
    # holds unused entries, as a reader takes the bytes past its end.
    if len(data) < want_len or (len(data) - want_len) % 8 or \
            data[want_len:] != b"\xff" * (len(data) - want_len):
        raise CheckError("index is %d bytes, expected %d" % (len(data), want_len))
    magic, version, bpc, crc, zero = struct.unpack_from("<IIIHH", data, 0)
    if magic != MAGIC or version != 2 or zero != 0:
        fail("bad header %08x %d %d" % (magic, version, zero))
    if bpc != fs.cluster_bytes:
        fail("bytes per cluster %d, expected %d" % (bpc, fs.cluster_bytes))
    reg = crc16_umts(data[HEADER_SIZE:])
    reg = crc16_ff_run(reg, IMAGE_SIZE - len(data))
    if reg != crc:
        fail("CRC %04x, expected %04x" % (crc, reg))
    if data[RESERVED_OFFSET:FRAME_TABLE_OFFSET] != b"\xff" * 128000:
        fail("reserved area is not all 0xFF")
    for clip in range(CLIP_RECORDS):
        got = list(struct.unpack_from("<14I", data, HEADER_SIZE + CLIP_RECORD_SIZE * clip))
        want = records.get(clip, [0] * 14)
        if got != want:
            fail("clip %d: record %s, expected %s" % (clip, got, want))
    table = data[FRAME_TABLE_OFFSET:]
    for i in range(count):
        got = struct.unpack_from("<II", table, 8 * i)
        want = (entries[i], 0) if i in entries else (0xFFFFFFFF, 0xFFFFFFFF)
        if got != want:
            fail("frame entry %d: %s, expected %s" % (i, got, want))
    # A player reads each frame as one run of sectors from its entry's sector:
    # those bytes must be the whole frame's own.
    contents = layout_contents(layout) if layout else {}
    for i, folder, f, kind in frame_list:
        sector = struct.unpack_from("<I", table, 8 * i)[0]
        key = (folder["name"], f["name"])
        clusters = fs.clusters(f["first"], f["nofatchain"], f["length"])
        if any(b != a + 1 for a, b in zip(clusters, clusters[1:])):
            fail("%s/%s is not one run of clusters" % key)
        room = f["length"] - (SECTOR if kind == 2 else 0)
        if key in contents:
            body = contents[key][SECTOR:] if kind == 2 else contents[key]
            if len(contents[key]) != f["length"]:
                fail("%s/%s: %d bytes on disk, layout says %d" % (key + (f["length"], len(contents[key]))))
        else:
            body = fs.file_bytes(f, f["length"])[SECTOR if kind == 2 else 0:]
        n = min(room, len(body))
        if fs.read(sector * SECTOR, n) != body[:n]:
            fail("frame entry %d (%s/%s): sector %d does not hold the frame" % (i, key[0], key[1], sector))
    if problems:
        raise CheckError("\n".join(problems))
    return dict(entries=count, clips=len(records), frames=len(frame_list))


# ---------------------------------------------------------------------------
# Hostile images: one fault each, written straight into the image


def _set_checksum(data, pos, secondary):
    s = 0
    for i in range(32 * (secondary + 1)):
        if i not in (2, 3):
            s = (((s << 15) | (s >> 1)) + data[pos + i]) & 0xFFFF
    struct.pack_into("<H", data, pos + 2, s)


def _patch_stream(fs, image, dir_first, dir_nofat, dir_len, name, patch):
    """Applies patch(bytearray stream entry) to the entry set of name."""
    clusters = fs.clusters(dir_first, dir_nofat, dir_len)
    raw = bytearray(fs.dir_data(dir_first, dir_nofat, dir_len))
    for ent in fs.entries(dir_first, dir_nofat, dir_len):
        if ent["name"] != name:
            continue
        pos = ent["pos"]
        stream = raw[pos + 32:pos + 64]
        patch(stream)
        raw[pos + 32:pos + 64] = stream
        _set_checksum(raw, pos, raw[pos + 1])
        with open(image, "r+b") as f:
            for k, c in enumerate(clusters):
                f.seek(fs.cluster_sector(c) * SECTOR)
                f.write(raw[k * fs.cluster_bytes:(k + 1) * fs.cluster_bytes])
        return ent
    raise CheckError("no entry %s" % name)


def corrupt(image, kind):
    fs = ExFat(image)
    root = {e["name"]: e for e in fs.entries(fs.root_cluster)}
    if kind == "frame-past-heap":
        a = root["Alpha_f25_00003"]
        _patch_stream(fs, image, a["first"], a["nofatchain"], a["length"], "A00004.tga",
                      lambda s: struct.pack_into("<I", s, 20, fs.cluster_count + 100))
    elif kind == "dir-loop":
        b = root["Beta_f25_00001"]
        chain = fs.clusters(b["first"], False, b["length"])
        with open(image, "r+b") as f:
            f.seek(fs.fat_start + 4 * chain[-1])
            f.write(struct.pack("<I", chain[0]))
    elif kind == "dirs-whole-volume":
        # Every clip folder claims one contiguous directory as long as the heap.
        def whole(s):
            s[1] |= 0x02
            struct.pack_into("<Q", s, 8, fs.cluster_count * fs.cluster_bytes)
            struct.pack_into("<I", s, 20, 2)
            struct.pack_into("<Q", s, 24, fs.cluster_count * fs.cluster_bytes)
        for name, e in root.items():
            if e["dir"]:
                _patch_stream(fs, image, fs.root_cluster, False, 0, name, whole)
    elif kind == "bad-dir-cluster":
        _patch_stream(fs, image, fs.root_cluster, False, 0, "Gamma_f59_00007",
                      lambda s: struct.pack_into("<I", s, 20, 1))
    elif kind == "dir-past-heap":
        _patch_stream(fs, image, fs.root_cluster, False, 0, "Gamma_f59_00007",
                      lambda s: struct.pack_into("<Q", s, 24, 1 << 40))
    elif kind in ("root-link-past-heap", "root-link-free"):
        # The root directory's chain cut after its first cluster.
        chain = fs.clusters(fs.root_cluster, False, 0)
        if len(chain) < 2:
            raise CheckError("the root directory has one cluster")
        with open(image, "r+b") as f:
            f.seek(fs.fat_start + 4 * chain[0])
            f.write(struct.pack("<I", 0x7FFFFFFF if kind == "root-link-past-heap" else 0))
    elif kind == "not-exfat":
        with open(image, "r+b") as f:
            f.seek(fs.part_lba * SECTOR + 3)
            f.write(b"NTFS    ")
    else:
        raise CheckError("unknown fault %s" % kind)


def main(argv):
    if len(argv) >= 3 and argv[1] == "make":
        make_image(argv[2], argv[3], *(argv[4:5]))
    elif len(argv) >= 4 and argv[1] == "fill":
        fill(argv[2], argv[3])
    elif len(argv) >= 4 and argv[1] == "check":
        try:
            result = check(argv[2], argv[3], argv[4] if len(argv) > 4 else None)
        except CheckError as e:
            print(e)
            return 1
        print(json.dumps(result))
    elif len(argv) >= 4 and argv[1] == "corrupt":
        corrupt(argv[2], argv[3])
    elif len(argv) == 2 and argv[1] == "selftest":
        assert crc16_umts(b"123456789") == 0xFEE8
        assert crc16_ff_run(0x1234, 1000) == crc16_umts(b"\xff" * 1000, 0x1234)
        print("ok")
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
