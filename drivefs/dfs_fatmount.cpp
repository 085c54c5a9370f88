// FAT12/16/32 mount: the geometry of the volume from its boot sector, each
// field checked before anything is computed from it, and the FSInfo hints.
#include "dfs_mount.h"

#include <cstdio>
#include <cstring>

#include "dfs_cache.h"
#include "dfs_device.h"
#include "dfs_partitions.h"
#include "drivefs.h"

namespace {
// The most clusters each FAT type holds: the count decides the type.
constexpr uint64_t kFat12MaxClusters = 4084;
constexpr uint64_t kFat16MaxClusters = 65524;
constexpr uint64_t kFat32MaxClusters = 0x0FFFFFF4u;

uint32_t Log2Ceil(uint64_t v, uint32_t from)
{
    uint32_t g = from;
    while ((uint64_t(1) << g) < v)
        ++g;
    return g;
}
} // namespace

void MountFatVolume(DfsDrive* drive, const uint8_t* bs)
{
    DfsDevice* dev = drive->device;
    drive->state = DRIVE_BOOT_READ;
    if (dev->mountState < MOUNT_SECTOR_READ)
        dev->mountState = MOUNT_SECTOR_READ;
    const uint32_t bps = Get16(bs + bpb::kBytesPerSector);
    if (bps != dev->sectorSize)
        RaiseError(DFS_E_INVALID_SECTOR_SIZE);
    uint32_t spc = bs[bpb::kSectorsPerCluster];
    const uint32_t largeShift = spc & ~uint32_t(bpb::kLargeClusterFlag);
    if (spc != 0 && (spc & (spc - 1)) == 0) {
    } else if ((spc & bpb::kLargeClusterFlag) && largeShift >= 8 && largeShift <= 15) {
        spc = 1u << largeShift;
    } else {
        RaiseError(DFS_E_INVALID_FS);
    }
    const uint32_t clusterShift = Log2Ceil(uint64_t(bps) * spc, 1);
    const uint32_t spcShift = Log2Ceil(spc, 0);
    uint64_t total = Get16(bs + bpb::kTotalSectors16);
    if (total == 0)
        total = Get32(bs + bpb::kTotalSectors32);
    const uint32_t reserved = Get16(bs + bpb::kReservedSectors);
    uint32_t fatCount = bs[bpb::kFatCount];
    const uint32_t rootEntries = Get16(bs + bpb::kRootEntryCount);
    const uint64_t rootSectors = (uint64_t(rootEntries) * direntry::kSize + bps - 1) / bps;
    uint32_t fatSize = Get16(bs + bpb::kFatSize16);
    if (fatSize == 0)
        fatSize = Get32(bs + bpb::kFatSize32);
    // Checked before any arithmetic depends on them.
    const uint32_t partitionCount = Get32(drive->partition + mbr::kSectorCount);
    if (reserved == 0 || fatCount == 0 || fatCount > 2 || fatSize == 0 || total == 0)
        RaiseError(DFS_E_INVALID_FS);
    if (partitionCount != 0 && partitionCount < total)
        RaiseError(DFS_E_INVALID_FS);
    const uint64_t devSectors = DeviceSectorCount(dev);
    if (devSectors != 0 && (drive->bootSector >= devSectors || total > devSectors - drive->bootSector))
        RaiseError(DFS_E_INVALID_FS);
    const uint64_t overhead = uint64_t(reserved) + uint64_t(fatCount) * fatSize + rootSectors;
    if (overhead >= total)
        RaiseError(DFS_E_INVALID_FS);
    const uint64_t clusters = (total - overhead) >> spcShift;
    if (clusters == 0 || clusters > kFat32MaxClusters)
        RaiseError(DFS_E_INVALID_FS);
    int32_t fsId = clusters <= kFat12MaxClusters ? FS_FAT12 : clusters <= kFat16MaxClusters ? FS_FAT16 : FS_FAT32;
    const uint64_t fatBytesNeeded = fsId == FS_FAT12 ? ((clusters + 2) * 3 + 1) / 2 : (clusters + 2) * (fsId == FS_FAT16 ? 2 : 4);
    if (uint64_t(fatSize) * bps < fatBytesNeeded)
        RaiseError(DFS_E_INVALID_FS);

    drive->fsId = fsId;
    drive->clusterLimit = uint32_t(clusters + 2);
    drive->sectorsPerCluster = spc;
    drive->clusterShift = clusterShift;
    drive->spcShift = spcShift;
    drive->bytesPerCluster = 1u << clusterShift;
    drive->fatSize = fatSize;
    drive->fatCount = fatCount;
    drive->firstFatSector = drive->bootSector + reserved;
    drive->volumeSectors = total;
    drive->fsInfoSector = 0;
    if (fsId == FS_FAT32) {
        if (Get16(bs + bpb::kFsVersion) != 0)
            RaiseError(DFS_E_INVALID_FS);
        drive->firstDataSector = drive->firstFatSector + uint64_t(fatCount) * fatSize;
        drive->rootDir = Get32(bs + bpb::kRootCluster);
        if (drive->rootDir < 2 || drive->rootDir >= drive->clusterLimit)
            RaiseError(DFS_E_INVALID_FS);
        drive->rootEntryCount = 0;
        drive->serial = Get32(bs + bpb::kVolumeId32);
        const uint32_t fsInfo = Get16(bs + bpb::kFsInfoSector);
        // FSInfo lies in the reserved area or is not used.
        if (fsInfo != bpb::kNoFsInfo && fsInfo != 0 && fsInfo < reserved)
            drive->fsInfoSector = drive->bootSector + fsInfo;
        const uint8_t extFlags = bs[bpb::kExtFlags];
        if (extFlags & bpb::kMirroringOff) {
            // One FAT is in use, the one the flags name.
            const uint32_t active = extFlags & bpb::kActiveFatMask;
            if (active >= fatCount)
                RaiseError(DFS_E_INVALID_FS);
            drive->fatCount = 1;
            drive->firstFatSector = drive->bootSector + reserved + uint64_t(active) * fatSize;
        }
    } else {
        drive->rootDir = drive->firstFatSector + uint64_t(fatCount) * fatSize;
        drive->firstDataSector = drive->rootDir + rootSectors;
        drive->rootEntryCount = rootEntries;
        drive->serial = Get32(bs + bpb::kVolumeId16);
    }
    if (drive->letter == 0)
        drive->letter = char('A' + DriveIndex(drive));
    std::snprintf(drive->curDir, sizeof drive->curDir, "%c:\\", drive->letter);
    MakeRootDirEntry(drive, &drive->rootEntry);
    drive->state = DRIVE_MOUNTED;
    drive->freeCount = -1;
    drive->nextFree = 2;
    if (drive->fsInfoSector) {
        drive->nextFree = 3;
        const uint8_t* fi = GetSectorBuffer(dev, drive->fsInfoSector, GSB_NO_READAHEAD);
        if (std::memcmp(fi + fsinfo::kLeadSignature, fsinfo::kLeadText, 4) == 0
            && std::memcmp(fi + fsinfo::kStructSignature, fsinfo::kStructText, 4) == 0
            && Get32(fi + fsinfo::kTrailSignature) == fsinfo::kTrailValue) {
            const uint32_t hint = Get32(fi + fsinfo::kNextFree);
            const uint32_t freeCount = Get32(fi + fsinfo::kFreeCount);
            if (hint != fsinfo::kUnknown && hint > 2)
                drive->nextFree = hint;
            if (freeCount != fsinfo::kUnknown && freeCount <= clusters)
                drive->freeCount = int32_t(freeCount);
        }
    }
}
