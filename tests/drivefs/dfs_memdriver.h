// Memory-backed sector driver with fault injection, for exercising the
// device layer, the cache and the mount code without files.
#pragma once

#include <utility>
#include <vector>

#include "dfs_types.h"

struct MemDiskData {
    std::vector<uint8_t> image;
    uint32_t sectorSize = 512;
    bool overrideMount = false;     // Mount answers mountResult instead of the sector size
    int32_t mountResult = 0;
    int32_t failCode = 0;           // a transfer touching failSector fails with this code
    uint64_t failSector = 0;
    int failCount = -1;             // how many failures to inject (-1 every time)
    bool shortRead = false;         // a transfer touching shortSector delivers only part of it
    uint64_t shortSector = 0;
    int32_t mediaChangedAnswer = 0;
    bool mounted = false;
    uint64_t diskSectors = 0;       // non-zero: the disk's size; sectors past the image read as zeros
    std::vector<std::pair<uint64_t, uint32_t>> reads;   // every transfer asked for

    uint64_t sectorCount() const { return diskSectors ? diskSectors : image.size() / sectorSize; }
};

extern const DfsDriver g_memDriver;
