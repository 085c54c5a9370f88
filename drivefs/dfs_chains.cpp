// FAT chains and directory cursors: following and counting chains, and
// stepping through the entries of a folder's clusters or the root area.
#include "dfs_chains.h"

#include "dfs_cache.h"
#include "dfs_device.h"
#include "drivefs.h"

uint64_t ClusterToSector(const DfsDrive* volume, uint32_t cluster)
{
    return volume->firstDataSector + (uint64_t(cluster - 2) << volume->spcShift);
}

uint32_t GetClusterValue(DfsDrive* volume, uint32_t cluster)
{
    if (cluster < 2 || cluster >= volume->clusterLimit)
        RaiseError(DFS_E_FAT_ALLOCATION);
    DfsDevice* dev = volume->device;
    const uint32_t shift = dev->sectorShift;
    const uint32_t mask = dev->sectorSize - 1;
    auto byteAt = [&](uint64_t offset) -> uint8_t {
        return GetSectorBuffer(dev, volume->firstFatSector + (offset >> shift), 0)[offset & mask];
    };
    auto word32At = [&](uint64_t offset) -> uint32_t {
        const uint8_t* s = GetSectorBuffer(dev, volume->firstFatSector + (offset >> shift), 0);
        return Get32(s + (offset & mask));
    };
    // Marks (bad cluster, reserved, end of chain) are widened to their 32-bit values.
    uint32_t v;
    switch (volume->fsId) {
    case FS_FAT12: {
        const uint64_t offset = uint64_t(cluster) + cluster / 2;
        const uint32_t lo = byteAt(offset);
        const uint32_t hi = byteAt(offset + 1);
        const uint32_t w = lo | (hi << 8);
        v = (cluster & 1) ? (w >> 4) : (w & 0xFFF);
        if (v >= fatentry::kFat12Marks)
            v |= 0xFFFFF000u;
        break;
    }
    case FS_FAT16: {
        const uint64_t offset = uint64_t(cluster) * 2;
        const uint8_t* s = GetSectorBuffer(dev, volume->firstFatSector + (offset >> shift), 0);
        v = Get16(s + (offset & mask));
        if (v >= fatentry::kFat16Marks)
            v |= 0xFFFF0000u;
        break;
    }
    case FS_FAT32:
        v = word32At(uint64_t(cluster) * 4) & fatentry::kFat32Mask;
        if (v >= fatentry::kFat32Marks)
            v |= ~fatentry::kFat32Mask;
        break;
    case FS_EXFAT:
        // A cluster the bitmap calls free belongs to no chain.
        if (volume->bitmapSector && !IsClusterAllocated(volume, cluster))
            return 0;
        // An entry of 0 is a free cluster, as on FAT: it ends no chain.
        v = word32At(uint64_t(cluster) * 4);
        break;
    default:
        FatalError("Invalid file system ID in GetClusterValue", 1);
    }
    // A link past the volume's clusters is damage, never an end: ending
    // there would drop the rest of a folder without a word.
    if ((v < kBadCluster && v >= volume->clusterLimit) || v == fatentry::kReservedValue)
        RaiseError(DFS_E_FAT_ALLOCATION);
    return v;
}

uint32_t NextChainCluster(DfsDrive* volume, uint32_t cluster)
{
    const uint32_t v = GetClusterValue(volume, cluster);
    if (v >= kEndOfChain)
        return 0;
    // A free cluster inside a chain: the chain was cut.
    if (v < 2)
        RaiseError(DFS_E_FAT_ALLOCATION);
    return v;
}

uint32_t CountChainClusters(DfsDrive* volume, uint32_t first)
{
    uint32_t count = 1;
    uint32_t cur = first;
    uint32_t saved = first;
    uint32_t steps = 0;
    for (;;) {
        const uint32_t v = NextChainCluster(volume, cur);
        if (v == 0)
            return count;
        cur = v;
        ++steps;
        ++count;
        if (cur == saved || count > ClusterCount(volume))
            RaiseError(DFS_E_FAT_ALLOCATION);
        if ((steps & (steps - 1)) == 0)
            saved = cur;
    }
}

bool IsClusterAllocated(DfsDrive* vol, uint32_t cluster)
{
    DfsDevice* dev = vol->device;
    const uint32_t bit = cluster - 2;
    const uint64_t sector = vol->bitmapSector + (bit >> (dev->sectorShift + 3));
    const uint8_t* s = GetSectorBuffer(dev, sector, 0);
    return (s[(bit / 8) % dev->sectorSize] >> (bit % 8)) & 1;
}

uint8_t* DirEntryAtCursor(DfsDrive* volume, DirCursor* c)
{
    if (c->cluster == 0)
        return nullptr;
    DfsDevice* dev = volume->device;
    const uint32_t perSector = dev->sectorSize / direntry::kSize;
    uint64_t sector;
    if (c->cluster == kRootArea) {
        if (c->index >= volume->rootEntryCount)
            return nullptr;
        sector = volume->rootDir + c->index / perSector;
    } else {
        if (c->cluster < 2 || c->cluster >= volume->clusterLimit || c->index >= volume->bytesPerCluster / direntry::kSize)
            return nullptr;
        sector = ClusterToSector(volume, c->cluster) + c->index / perSector;
    }
    return GetSectorBuffer(dev, sector, 0) + (c->index % perSector) * direntry::kSize;
}

uint8_t* OpenDirCursor(DfsDrive* volume, uint32_t cluster, uint32_t index, DirCursor* c)
{
    if (cluster == 1 || (cluster != kRootArea && cluster >= volume->clusterLimit))
        RaiseError(DFS_E_BAD_DIR_ENTRY);
    c->cluster = cluster;
    c->index = index;
    c->loopCluster = cluster;
    c->steps = 0;
    c->visited = 0;
    if (cluster == 0)
        return nullptr;
    return DirEntryAtCursor(volume, c);
}

uint8_t* NextDirEntry(DfsDrive* volume, DirCursor* c)
{
    if (c->cluster == 0)
        return nullptr;
    ++c->index;
    if (c->cluster == kRootArea) {
        if (c->index >= volume->rootEntryCount) {
            c->cluster = 0;
            return nullptr;
        }
    } else if (c->index >= volume->bytesPerCluster / direntry::kSize) {
        const uint32_t v = NextChainCluster(volume, c->cluster);
        c->index = 0;
        // A chain longer than the volume has clusters can only be a loop.
        if (v == 0 || v >= volume->clusterLimit || v == c->loopCluster || ++c->visited >= ClusterCount(volume)) {
            c->cluster = 0;
            return nullptr;
        }
        c->cluster = v;
        ++c->steps;
        if ((c->steps & (c->steps - 1)) == 0)
            c->loopCluster = v;
    }
    return DirEntryAtCursor(volume, c);
}

uint64_t EntryFileSize(const uint8_t* e)
{
    const uint64_t low = Get32(e + direntry::kFileSize);
    const uint8_t tenths = e[direntry::kCreateTenths];
    uint64_t high;
    if (e[direntry::kName] == 0)
        high = Get32(e + direntry::kImageSizeHigh);
    else if ((Get32(e + direntry::kCreateTime) & direntry::kLargeFileMarkMask) == direntry::kLargeFileMark)
        high = tenths;
    else
        high = tenths >= direntry::kLargeFileTenths ? uint64_t(tenths - direntry::kLargeFileTenths + 1) : 0;
    return (high << 32) | low;
}

uint32_t EntryFirstCluster(const uint8_t* e)
{
    return uint32_t(Get16(e + direntry::kFirstClusterHigh)) << 16 | Get16(e + direntry::kFirstClusterLow);
}

bool ContiguousLastCluster(const DfsDrive* vol, uint32_t first, uint64_t size, uint32_t* last)
{
    const uint64_t clusters = (size + vol->bytesPerCluster - 1) >> vol->clusterShift;
    if (first >= vol->clusterLimit || clusters > uint64_t(vol->clusterLimit - first))
        return false;
    *last = clusters ? uint32_t(first + clusters - 1) : first;
    return true;
}
