// One fuzz run: a disk image held in memory is mounted and everything the
// library can reach on it is listed, opened, read and seeked.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "dfs_internal.h"
#include "dfs_memdisk.h"

namespace dfsfuzz {

constexpr uint64_t kDiskSectors = 131072;   // 64 MiB; past the input everything reads as zero

// Names in one directory of the mounted volume, through the library's cursors.
inline void ListDirectory(DfsDrive* vol, uint32_t cluster, std::vector<std::string>& names)
{
    Protected(
        [&] {
            DirCursor cursor;
            char name[260] = {};
            uint32_t missing = 0;
            for (uint8_t* e = OpenDirCursor(vol, cluster, 0, &cursor); e && names.size() < 64; e = NextDirEntry(vol, &cursor)) {
                if (vol->fsId == FS_EXFAT) {
                    if (e[0] == 0xC0) {
                        missing = e[3];
                        name[0] = 0;
                    } else if (e[0] == 0xC1 && missing) {
                        const uint32_t take = missing < 15 ? missing : 15;
                        Utf16ToOem(name + std::strlen(name), name + sizeof name, reinterpret_cast<uint16_t*>(e + 2), take);
                        missing -= take;
                        if (!missing)
                            names.push_back(name);
                    }
                } else if (e[0] != 0 && e[0] != 0xE5 && e[11] != 0x0F) {
                    char shortName[13];
                    if (ShortNameToText(e, shortName, sizeof shortName) > 0)
                        names.push_back(shortName);
                }
            }
        },
        [](ExceptionFrame& f) { HandleException(&f); },
        [] {});
}

inline void ReadHandle(int32_t h)
{
    static std::vector<uint8_t> buf(70000);
    VolumeFileInfo info;
    GetVolumeFileInfo(h, &info);
    uint32_t got = 0;
    uint64_t total = 0;
    for (uint32_t chunk : {3u, 700u, 70000u}) {
        int64_t pos = 0;
        SeekVolumeFile(h, &pos, 0);
        for (int i = 0; i < 40; ++i) {
            if (ReadVolumeFile(h, buf.data(), chunk, &got) < 0 || got == 0)
                break;
            total += got;
        }
    }
    for (int64_t at : {int64_t(1), int64_t(511), int64_t(4097), int64_t(info.size), int64_t(info.size) - 1}) {
        int64_t pos = at;
        if (SeekVolumeFile(h, &pos, 0) == 0)
            ReadVolumeFile(h, buf.data(), 1000, &got);
        pos = -at;
        SeekVolumeFile(h, &pos, 2);
    }
}

// Returns how many files and folders it could open by name.
inline int Walk(const uint8_t* data, size_t size)
{
    int opened = 0;
    g_dfsDebugHook = Quiet;
    std::vector<uint8_t> bytes(data, data + size);
    MemoryDisk& disk = TheDisk();
    disk.Start(bytes, kDiskSectors);

    int32_t root = OpenVolumeFile("\\");
    if (root > 0) {
        ReadHandle(root);
        DfsDrive* vol = g_driveFsData.files[root & 0xFFFF].drive;
        std::vector<std::string> names;
        LockDevice(vol->device);
        const uint32_t rootCluster = vol->fsId == FS_FAT32 || vol->fsId == FS_EXFAT ? uint32_t(vol->rootDir) : kRootArea;
        ListDirectory(vol, rootCluster, names);
        UnlockDevice(vol->device);
        CloseVolumeFile(root);
        for (const std::string& n : names) {
            const std::string path = "\\" + n;
            const int32_t h = OpenVolumeFile(path.c_str());
            if (h <= 0)
                continue;
            ++opened;
            ReadHandle(h);
            DfsFile* f = &g_driveFsData.files[h & 0xFFFF];
            if (f->inUse && (f->entry[11] & ATTR_DIRECTORY) && f->drive) {
                std::vector<std::string> inner;
                DfsDrive* v = f->drive;
                const uint32_t c = EntryFirstCluster(f->entry);
                LockDevice(v->device);
                ListDirectory(v, c, inner);
                UnlockDevice(v->device);
                for (size_t i = 0; i < inner.size() && i < 8; ++i) {
                    const std::string sub = path + "\\" + inner[i];
                    const int32_t s = OpenVolumeFile(sub.c_str());
                    if (s > 0) {
                        ++opened;
                        ReadHandle(s);
                        CloseVolumeFile(s);
                    }
                }
                const std::string dots = path + "\\..\\" + n + "\\.";
                const int32_t d = OpenVolumeFile(dots.c_str());
                if (d > 0)
                    CloseVolumeFile(d);
            }
            CloseVolumeFile(h);
        }
    }
    for (const char* raw : {"\\\\.\\C:", "\\\\.\\PHYSICALDRIVE0"}) {
        const int32_t h = OpenVolumeFile(raw);
        if (h > 0) {
            static uint8_t sectors[4096];
            uint32_t got = 0;
            ReadVolumeFile(h, sectors, sizeof sectors, &got);
            VolumeFileInfo info;
            GetVolumeFileInfo(h, &info);
            CloseVolumeFile(h);
        }
    }
    disk.Stop(bytes);
    return opened;
}

} // namespace dfsfuzz
