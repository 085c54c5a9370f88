// exFAT mount: the geometry of the volume from its boot sector, each field
// checked against the others and the disk, then the allocation bitmap and
// the up-case table found in its root folder.
#include "dfs_mount.h"

#include <cstdio>
#include <new>

#include "dfs_cache.h"
#include "dfs_chains.h"
#include "dfs_device.h"
#include "drivefs.h"

namespace {
// Sector sizes from 512 bytes to 4 KiB, clusters up to 32 MiB.
constexpr uint32_t kMinSectorShift = 9;
constexpr uint32_t kMaxSectorShift = 12;
constexpr uint32_t kMaxClusterShift = 25;
constexpr uint32_t kMinFatOffset = 24;          // the boot region comes first
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5u;
} // namespace

void LocateExfatMetadata(DfsDrive* vol, uint32_t activeFat)
{
    DfsDevice* dev = vol->device;
    const uint64_t heapEnd = ClusterToSector(vol, vol->clusterLimit);
    // The run of sectors holding length bytes from a cluster, inside the heap.
    auto runInside = [&](uint32_t cluster, uint64_t length, uint64_t* sector, uint64_t* count) {
        if (cluster < 2 || cluster >= vol->clusterLimit || length == 0)
            return false;
        *sector = ClusterToSector(vol, cluster);
        *count = (length + dev->sectorSize - 1) >> dev->sectorShift;
        return *count <= heapEnd - *sector;
    };
    bool haveBitmap = false, haveUpcase = false;
    uint32_t bitmapsSeen = 0;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    DirCursor cursor;
    for (const uint8_t* e = OpenDirCursor(vol, uint32_t(vol->rootDir), 0, &cursor); e && !(haveBitmap && haveUpcase);
         e = NextDirEntry(vol, &cursor)) {
        if (e[0] == exfatdir::kEndOfDirectory)
            break;
        if (e[0] == exfatdir::kTypeBitmap && !haveBitmap) {
            // With two FATs there are two bitmaps; the active one counts.
            if (bitmapsSeen++ != activeFat)
                continue;
            uint64_t sector = 0, count = 0;
            const uint64_t length = Get64(e + exfatdir::kDataLength);
            if (length < (uint64_t(ClusterCount(vol)) + 7) / 8
                || !runInside(Get32(e + exfatdir::kFirstCluster), length, &sector, &count))
                break;
            vol->bitmapSector = sector;
            vol->bitmapSectors = count;
            haveBitmap = true;
        } else if (e[0] == exfatdir::kTypeUpcase && !haveUpcase) {
            upcaseCluster = Get32(e + exfatdir::kFirstCluster);
            upcaseLength = Get64(e + exfatdir::kDataLength);
            haveUpcase = true;
        }
    }
    uint64_t sector = 0, count = 0;
    // The full table of 65536 values is 128 KiB; anything longer is not one.
    if (!haveBitmap || !haveUpcase || upcaseLength < 2 || upcaseLength > exfatdir::kUpcaseTableMax
        || !runInside(upcaseCluster, upcaseLength, &sector, &count)) {
        DebugMessage("Failed to locate bitmap or upper case table on exFAT volume");
        vol->bitmapSector = 0;
        vol->exfatUsable = 0;
        return;
    }
    const size_t values = size_t(count << dev->sectorShift) / 2;
    uint16_t* table = new (std::nothrow) uint16_t[values];
    if (!table) {
        DebugMessage("failed to alloc upper case table for exFAT drive");
        vol->exfatUsable = 0;
        return;
    }
    int32_t r = Protected([&] { ReadDeviceSectors(dev, table, sector, uint32_t(count), 0); },
                          [&](ExceptionFrame&) { delete[] table; },
                          [] {});
    if (r < 0)
        RaiseError(r);
    const uint32_t n = uint32_t(upcaseLength / 2);
    uint32_t firstRun = n;
    for (uint32_t i = 0; i < n; ++i) {
        if (table[i] == exfatdir::kUpcaseRun) {
            firstRun = i;
            break;
        }
    }
    // Where the first run mark lies: below it ExfatUpcase maps directly.
    table[0] = uint16_t(firstRun > 0xFFFF ? 0xFFFF : firstRun);
    vol->upcase = table;
    vol->upcaseLength = n;
    vol->exfatUsable = 1;
}

void MountExfatVolume(DfsDrive* vol, const uint8_t* bs)
{
    DfsDevice* dev = vol->device;
    const uint32_t bpsShift = bs[exfatboot::kBytesPerSectorShift];
    const uint32_t spcShift = bs[exfatboot::kSectorsPerClusterShift];
    if (bpsShift < kMinSectorShift || bpsShift > kMaxSectorShift || spcShift > kMaxClusterShift - bpsShift)
        RaiseError(DFS_E_INVALID_FS);
    if ((1u << bpsShift) != dev->sectorSize)
        RaiseError(DFS_E_INVALID_SECTOR_SIZE);
    const uint64_t volumeLength = Get64(bs + exfatboot::kVolumeLength);
    const uint32_t fatOffset = Get32(bs + exfatboot::kFatOffset);
    const uint32_t fatLength = Get32(bs + exfatboot::kFatLength);
    const uint32_t heapOffset = Get32(bs + exfatboot::kClusterHeapOffset);
    const uint32_t clusterCount = Get32(bs + exfatboot::kClusterCount);
    const uint32_t rootCluster = Get32(bs + exfatboot::kFirstClusterOfRoot);
    const uint32_t flags = Get16(bs + exfatboot::kVolumeFlags);
    const uint32_t fatCount = bs[exfatboot::kNumberOfFats];
    const uint32_t percent = bs[exfatboot::kPercentInUse];
    const uint32_t partitionCount = Get32(vol->partition + mbr::kSectorCount);
    const uint64_t devSectors = DeviceSectorCount(dev);
    const bool secondFat = (flags & exfatboot::kActiveFat) != 0;
    if (fatCount < 1 || fatCount > 2 || (secondFat && fatCount < 2) || fatOffset < kMinFatOffset || fatLength == 0
        || clusterCount == 0 || clusterCount > kMaxClusterCount)
        RaiseError(DFS_E_INVALID_FS);
    if (uint64_t(heapOffset) < uint64_t(fatOffset) + uint64_t(fatLength) * fatCount)
        RaiseError(DFS_E_INVALID_FS);
    if (uint64_t(heapOffset) + (uint64_t(clusterCount) << spcShift) > volumeLength)
        RaiseError(DFS_E_INVALID_FS);
    if (partitionCount != 0 && volumeLength > partitionCount)
        RaiseError(DFS_E_INVALID_FS);
    if (devSectors != 0 && (vol->bootSector >= devSectors || volumeLength > devSectors - vol->bootSector))
        RaiseError(DFS_E_INVALID_FS);
    if ((uint64_t(fatLength) << bpsShift) / 4 < uint64_t(clusterCount) + 2)
        RaiseError(DFS_E_INVALID_FS);
    if (rootCluster < 2 || uint64_t(rootCluster) >= uint64_t(clusterCount) + 2)
        RaiseError(DFS_E_INVALID_FS);

    vol->sectorsPerCluster = 1u << spcShift;
    vol->spcShift = spcShift;
    vol->clusterShift = spcShift + bpsShift;
    vol->bytesPerCluster = 1u << vol->clusterShift;
    vol->firstFatSector = vol->bootSector + fatOffset + (secondFat ? fatLength : 0);
    vol->fatCount = 1;
    vol->fatSize = fatLength;
    vol->clusterLimit = clusterCount + 2;
    vol->firstDataSector = vol->bootSector + heapOffset;
    vol->rootDir = rootCluster;
    vol->rootEntryCount = 0;
    vol->fsInfoSector = 0;
    vol->serial = Get32(bs + exfatboot::kVolumeSerial);
    vol->volumeSectors = volumeLength;
    vol->fsId = FS_EXFAT;
    vol->letter = char('A' + (vol - g_driveFsData.drives));
    std::snprintf(vol->curDir, sizeof vol->curDir, "%c:\\", vol->letter);
    MakeRootDirEntry(vol, &vol->rootEntry);
    vol->state = DRIVE_MOUNTED;
    vol->freeCount = percent <= 100 ? int32_t((100 - percent) * uint64_t(vol->clusterLimit) / 100) : -1;
    vol->nextFree = 2;
    // A read failing here fails the mount: the volume must not pass as
    // mounted without its bitmap and up-case table.
    int32_t r = Protected([&] { LocateExfatMetadata(vol, secondFat ? 1 : 0); },
                          [&](ExceptionFrame&) {
                              vol->state = DRIVE_BOOT_READ;
                              vol->bitmapSector = 0;
                              vol->exfatUsable = 0;
                          },
                          [] {});
    if (r < 0)
        RaiseError(r);
    if (!vol->exfatUsable) {
        vol->state = DRIVE_BOOT_READ;
        RaiseError(DFS_E_INVALID_FS);
    }
}
