// Differential reads: a file of a real image is read through the library
// after its FAT chain was damaged, by a sequence of seeks and reads, and each
// result is held against the file's true bytes. Every successful read must
// return exactly the bytes at its offset, failures must be codes, and the
// part of the file before the damage must stay readable.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dfs_internal.h"
#include "dfs_memdisk.h"

namespace dfsdiff {

constexpr uint64_t kNoEnd = ~uint64_t(0);

// One file of an image as the undamaged image holds it.
struct Target {
    std::string path;               // as the library takes it
    std::vector<uint8_t> truth;
    std::vector<uint32_t> clusters; // in file order, as many as its size needs
    bool contiguous = false;        // exFAT NoFatChain: the FAT is not used
};

// An image held in memory with the geometry of its volume.
struct Image {
    std::string name;
    std::vector<uint8_t> bytes;
    uint64_t diskSectors = 0;       // non-zero: sectors past the bytes read as zeros
    int32_t fsId = 0;
    uint32_t sectorSize = 512;
    uint64_t firstFatSector = 0;
    uint32_t fatCount = 0;
    uint32_t fatSize = 0;
    uint32_t clusterLimit = 0;
    uint32_t bytesPerCluster = 0;
    std::vector<Target> targets;
};

enum DamageKind { None, Free, One, Bad, Reserved, Beyond, Loop, FailingSector, DamageKindCount };

inline const char* DamageName(int kind)
{
    static const char* const names[] = {"none", "free", "one", "bad", "reserved", "beyond", "loop", "failing FAT sector"};
    return kind >= 0 && kind < DamageKindCount ? names[kind] : "?";
}

// What is done to the chain: the FAT entry of the file's cluster `at` is
// changed, or the FAT sector holding it fails to read.
struct Damage {
    int kind = None;
    uint32_t at = 0;
    uint32_t variant = 0;           // loop target, reserved value or distance past the volume
    int32_t failCode = DFS_E_BAD_SECTOR;
};

enum OpKind { Read, SeekStart, SeekCurrent, SeekEnd };
struct Op {
    int kind;
    int64_t value;                  // byte count, or the seek distance
};

// Mounts the undamaged image and reads those of the paths that open as files.
// Returns false when the image does not mount.
inline bool Prepare(Image& image, const std::vector<std::string>& paths)
{
    dfsfuzz::MemoryDisk& disk = dfsfuzz::TheDisk();
    void (*savedHook)(const char*) = g_dfsDebugHook;
    g_dfsDebugHook = dfsfuzz::Quiet;
    disk.Start(image.bytes, image.diskSectors);
    bool mounted = false;
    for (const std::string& path : paths) {
        const int32_t h = OpenVolumeFile(path.c_str());
        if (h <= 0)
            continue;
        DfsFile* slot = &g_driveFsData.files[h & 0xFFFF];
        DfsDrive* vol = slot->drive;
        if (!mounted) {
            mounted = true;
            image.fsId = vol->fsId;
            image.sectorSize = vol->device->sectorSize;
            image.firstFatSector = vol->firstFatSector;
            image.fatCount = vol->fatCount;
            image.fatSize = vol->fatSize;
            image.clusterLimit = vol->clusterLimit;
            image.bytesPerCluster = vol->bytesPerCluster;
        }
        Target t;
        t.path = path;
        t.contiguous = (slot->entry[11] & ATTR_NOFATCHAIN) != 0;
        const bool directory = (slot->entry[11] & ATTR_DIRECTORY) != 0;
        const uint64_t size = EntryFileSize(slot->entry);
        const uint64_t need = (size + vol->bytesPerCluster - 1) / vol->bytesPerCluster;
        uint32_t c = EntryFirstCluster(slot->entry);
        LockDevice(vol->device);
        const int32_t walked = Protected(
            [&] {
                for (uint64_t i = 0; i < need && c >= 2 && c < vol->clusterLimit; ++i) {
                    t.clusters.push_back(c);
                    c = t.contiguous ? c + 1 : GetClusterValue(vol, c);
                }
            },
            [](ExceptionFrame& f) { HandleException(&f); }, [] {});
        UnlockDevice(vol->device);
        t.truth.resize(size_t(size));
        uint32_t got = 0;
        const int32_t r = size ? ReadVolumeFile(h, t.truth.data(), uint32_t(size), &got) : 0;
        CloseVolumeFile(h);
        if (!directory && walked == 0 && r == 0 && got == size && t.clusters.size() == need)
            image.targets.push_back(std::move(t));
    }
    disk.Stop(image.bytes);
    g_dfsDebugHook = savedHook;
    return mounted;
}

// Byte offset in the image of the FAT entry of cluster, in FAT copy.
inline uint64_t EntryOffset(const Image& image, uint32_t cluster, uint32_t copy)
{
    uint64_t inFat = image.fsId == FS_FAT12 ? uint64_t(cluster) + cluster / 2
                     : image.fsId == FS_FAT16 ? uint64_t(cluster) * 2
                                              : uint64_t(cluster) * 4;
    return (image.firstFatSector + uint64_t(copy) * image.fatSize) * image.sectorSize + inFat;
}

// Changes bytes of the image, remembering what they held.
struct Patch {
    std::vector<std::pair<uint64_t, uint8_t>> saved;

    bool Put(std::vector<uint8_t>& bytes, uint64_t offset, uint8_t value)
    {
        if (offset >= bytes.size())
            return false;
        saved.emplace_back(offset, bytes[size_t(offset)]);
        bytes[size_t(offset)] = value;
        return true;
    }
    void Undo(std::vector<uint8_t>& bytes)
    {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            bytes[size_t(it->first)] = it->second;
        saved.clear();
    }
};

// Writes value into the FAT entry of cluster in every copy the volume uses.
inline void SetFatEntry(const Image& image, std::vector<uint8_t>& bytes, Patch& patch, uint32_t cluster, uint32_t value)
{
    for (uint32_t copy = 0; copy < image.fatCount; ++copy) {
        const uint64_t at = EntryOffset(image, cluster, copy);
        if (at + 4 > bytes.size())
            continue;
        uint8_t* p = bytes.data() + at;
        switch (image.fsId) {
        case FS_FAT12: {
            const uint16_t old = Get16(p);
            const uint16_t v = (cluster & 1) ? uint16_t((old & 0x000F) | ((value & 0xFFF) << 4))
                                             : uint16_t((old & 0xF000) | (value & 0xFFF));
            patch.Put(bytes, at, uint8_t(v));
            patch.Put(bytes, at + 1, uint8_t(v >> 8));
            break;
        }
        case FS_FAT16:
            patch.Put(bytes, at, uint8_t(value));
            patch.Put(bytes, at + 1, uint8_t(value >> 8));
            break;
        case FS_FAT32:
            value = (Get32(p) & 0xF0000000u) | (value & 0x0FFFFFFFu);
            [[fallthrough]];
        default:
            for (int i = 0; i < 4; ++i)
                patch.Put(bytes, at + i, uint8_t(value >> (8 * i)));
        }
    }
}

// The largest value each FAT type gives a cluster number; above come the marks.
inline uint32_t ClusterMask(int32_t fsId)
{
    return fsId == FS_FAT12 ? 0xFFFu : fsId == FS_FAT16 ? 0xFFFFu : fsId == FS_FAT32 ? 0x0FFFFFFFu : 0xFFFFFFFFu;
}

// Applies the damage to the disk; returns the file offset from which reads
// may fail (kNoEnd when the whole file must stay readable).
inline uint64_t ApplyDamage(const Image& image, const Target& t, const Damage& d, Patch& patch, MemDiskData& disk)
{
    const uint32_t n = uint32_t(t.clusters.size());
    if (d.kind == None || n == 0)
        return kNoEnd;
    const uint32_t at = d.at % n;
    const uint32_t cluster = t.clusters[at];
    const uint32_t mask = ClusterMask(image.fsId);
    uint32_t value = 0;
    switch (d.kind) {
    case Free: value = 0; break;
    case One: value = 1; break;
    case Bad: value = mask - 8; break;          // 0xFF7, 0xFFF7, 0x0FFFFFF7, 0xFFFFFFF7
    case Reserved: value = mask - 15 + d.variant % 7; break;
    case Beyond:
        value = image.clusterLimit + d.variant % 16;
        if (value > mask - 16 || value < image.clusterLimit)
            value = mask - 15;
        break;
    case Loop: value = t.clusters[d.variant % (at + 1)]; break;
    case FailingSector: {
        const uint64_t sector = EntryOffset(image, cluster, 0) / image.sectorSize;
        disk.failCode = d.failCode;
        disk.failSector = sector;
        if (t.contiguous)
            return kNoEnd;
        // Every cluster whose entry lies in that sector is cut off.
        for (uint32_t i = 0; i < n; ++i)
            if (EntryOffset(image, t.clusters[i], 0) / image.sectorSize == sector)
                return uint64_t(i + 1) * image.bytesPerCluster;
        return kNoEnd;
    }
    default: return kNoEnd;
    }
    SetFatEntry(image, disk.image, patch, cluster, value);
    // The entry of cluster at links to at + 1: a read reaching that boundary
    // may fail (the step is taken after the copy), one before it must not.
    return t.contiguous ? kNoEnd : uint64_t(at + 1) * image.bytesPerCluster;
}

inline std::string Describe(const Image& image, const Target& t, const Damage& d)
{
    char text[200];
    std::snprintf(text, sizeof text, "%s %s, %s at cluster %u (variant %u, code %d)", image.name.c_str(),
                  t.path.c_str(), DamageName(d.kind), t.clusters.empty() ? 0 : d.at % uint32_t(t.clusters.size()),
                  d.variant, d.failCode);
    return text;
}

// Runs the ops against the damaged file; returns "" or the first thing
// that went wrong.
inline std::string Run(Image& image, size_t targetIndex, const Damage& damage, const std::vector<Op>& ops)
{
    const Target& t = image.targets[targetIndex];
    const uint64_t size = t.truth.size();
    Patch patch;
    dfsfuzz::MemoryDisk& disk = dfsfuzz::TheDisk();
    void (*savedHook)(const char*) = g_dfsDebugHook;
    g_dfsDebugHook = dfsfuzz::Quiet;
    disk.Start(image.bytes, image.diskSectors);
    const uint64_t safeEnd = ApplyDamage(image, t, damage, patch, disk.data);
    std::string error;
    auto fail = [&](const char* what, int step, int64_t a = 0, int64_t b = 0) {
        char text[400];
        std::snprintf(text, sizeof text, "%s: step %d: %s (%lld, %lld)", Describe(image, t, damage).c_str(), step, what,
                      static_cast<long long>(a), static_cast<long long>(b));
        error = text;
    };
    const int32_t h = OpenVolumeFile(t.path.c_str());
    if (h <= 0) {
        // Directories on the way may share the failing sector; value damage
        // of the file's own chain never stops it from opening.
        if (damage.kind != FailingSector)
            fail("open failed", -1, h);
    } else {
        std::vector<uint8_t> buf;
        uint64_t pos = 0;
        for (size_t i = 0; i < ops.size() && error.empty(); ++i) {
            const Op& op = ops[i];
            const int step = int(i);
            if (op.kind == Read) {
                const uint32_t count = uint32_t(op.value < 0 ? 0 : op.value > (1 << 22) ? (1 << 22) : op.value);
                buf.assign(count, 0xA5);
                uint32_t got = 0;
                const int32_t r = ReadVolumeFile(h, buf.data(), count, &got);
                const uint64_t avail = pos < size ? size - pos : 0;
                const uint64_t want = count < avail ? count : avail;
                if (r > 0 || r < DFS_E_NO_MEDIA)
                    fail("read returned no code", step, r);
                else if (got > want)
                    fail("read delivered more than it could", step, got, int64_t(want));
                else if (r == 0 && got != want)
                    fail("successful read delivered too little", step, got, int64_t(want));
                else if (got && std::memcmp(buf.data(), t.truth.data() + pos, got) != 0)
                    fail(r == 0 ? "successful read returned other bytes" : "failed read delivered other bytes", step,
                         int64_t(pos), got);
                else if (r < 0 && (safeEnd == kNoEnd || pos + want < safeEnd))
                    fail("read failed before the damage", step, int64_t(pos), r);
                pos += got;
            } else {
                const int origin = op.kind - SeekStart;
                const int64_t base = origin == 0 ? 0 : origin == 1 ? int64_t(pos) : int64_t(size);
                const int64_t target = base + op.value;
                int64_t moved = op.value;
                const int32_t r = SeekVolumeFile(h, &moved, origin);
                const bool valid = target >= 0 && uint64_t(target) <= size;
                if (r > 0 || r < DFS_E_NO_MEDIA)
                    fail("seek returned no code", step, r);
                else if (r == 0 && (!valid || moved != target))
                    fail("seek succeeded to the wrong place", step, moved, target);
                else if (r < 0 && valid && (safeEnd == kNoEnd || uint64_t(target) < safeEnd))
                    fail("seek failed before the damage", step, target, r);
                if (r == 0)
                    pos = uint64_t(target);
            }
            VolumeFileInfo info;
            if (error.empty() && (GetVolumeFileInfo(h, &info) != 0 || info.position != pos))
                fail("handle position differs", step, int64_t(info.position), int64_t(pos));
        }
        CloseVolumeFile(h);
    }
    disk.Stop(image.bytes);     // the patched bytes come back with the image
    patch.Undo(image.bytes);
    g_dfsDebugHook = savedHook;
    return error;
}

// One run chosen by bytes (the fuzz target's input): the image, file and
// damage, then the ops, three bytes each.
inline std::string RunInput(std::vector<Image>& images, const uint8_t* data, size_t size)
{
    if (images.empty() || size < 7)
        return std::string();
    Image& image = images[data[0] % images.size()];
    if (image.targets.empty())
        return std::string();
    const size_t target = data[1] % image.targets.size();
    static const int32_t codes[] = {DFS_E_BAD_SECTOR, DFS_E_GENERAL_FAILURE, DFS_E_DATA, DFS_E_CRC, DFS_E_SECTOR_NOT_FOUND};
    Damage damage;
    damage.kind = data[2] % DamageKindCount;
    damage.at = uint32_t(data[3] | data[4] << 8);
    damage.variant = data[5];
    damage.failCode = codes[data[6] % 5];
    static const int64_t scales[8] = {1, 3, 61, 509, 512, 2048, 4096, 65536};
    std::vector<Op> ops;
    for (size_t i = 7; i + 3 <= size && ops.size() < 256; i += 3) {
        const int kind = data[i] & 3;
        const int64_t scale = scales[(data[i] >> 2) & 7];
        const int64_t v = int16_t(data[i + 1] | data[i + 2] << 8);
        // The top bits nudge seeks onto and around cluster boundaries.
        const int64_t nudge = (data[i] >> 5) == 7 ? -1 : (data[i] >> 5) == 6 ? 1 : 0;
        ops.push_back({kind, kind == Read ? (v < 0 ? -v : v) * scale / 8 : v * scale + nudge});
    }
    return Run(image, target, damage, ops);
}

// Paths the runs try on an image.
inline std::vector<std::string> CandidatePaths()
{
    return {"\\big.bin", "\\frag.bin", "\\clp1.bin", "\\Dir1\\Dir2\\nested file.dat", "\\A long file name with spaces.txt",
            "\\A long name.bin", "\\Clip_00001\\frame00000.tga", "\\lower.txt"};
}

} // namespace dfsdiff
