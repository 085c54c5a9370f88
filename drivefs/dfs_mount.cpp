// Mounting a drive's volume: recognising the file system its boot sector
// holds, and forgetting a device's volumes when its medium goes.
#include "dfs_mount.h"

#include <cstring>

#include "dfs_cache.h"
#include "dfs_chains.h"
#include "dfs_device.h"
#include "dfs_partitions.h"
#include "drivefs.h"

void FreeUpcase(DfsDrive* d)
{
    delete[] d->upcase;
    d->upcase = nullptr;
    d->upcaseLength = 0;
}

bool IsExfatBootSector(const uint8_t* bs)
{
    return Get16(bs + exfatboot::kMustBeZero) == 0
        && std::memcmp(bs + bpb::kOemName, exfatboot::kFileSystemName, bpb::kOemNameLength) == 0
        && Get32(bs + exfatboot::kVolumeLengthHigh) == 0;
}

void MountVolume(DfsDrive* drive, int32_t wantedState)
{
    DfsDevice* dev = drive->device;
    Protected(
        [&] {
            if (!dev)
                RaiseError(DFS_E_DRIVE_NOT_FOUND);
            if (dev->mountState < MOUNT_MOUNTED) {
                int32_t r = MountDevice(dev, 0);
                if (dev->mountState < MOUNT_MOUNTED)
                    RaiseError(r < 0 ? r : DFS_E_DRIVE_NOT_FOUND);
            }
            if (wantedState <= DRIVE_DEVICE)
                return;
            if (drive->state < DRIVE_PARTITION) {
                ScanDevicePartitions(dev);
                if (drive->state < DRIVE_PARTITION)
                    RaiseError(DFS_E_DRIVE_NOT_FOUND);
            }
            if (dev->sectorSize < 512)
                RaiseError(DFS_E_INVALID_SECTOR_SIZE);
            uint8_t bs[512];
            std::memcpy(bs, GetSectorBuffer(dev, drive->bootSector, GSB_NO_READAHEAD), sizeof bs);
            if (std::memcmp(bs + bpb::kOemName, bpb::kNtfsName, bpb::kOemNameLength) == 0) {
                drive->state = DRIVE_BOOT_READ;
                drive->fsId = FS_NTFS;
                return;
            }
            FreeUpcase(drive);
            drive->bitmapSector = 0;
            drive->bitmapSectors = 0;
            drive->exfatUsable = 0;
            if (IsExfatBootSector(bs))
                MountExfatVolume(drive, bs);
            else
                MountFatVolume(drive, bs);
        },
        [&](ExceptionFrame& f) {
            if ((dev && dev->mountState >= MOUNT_MOUNTED && wantedState <= DRIVE_DEVICE) || drive->state >= wantedState)
                HandleException(&f);
        },
        [] {});
}

void MakeRootDirEntry(DfsDrive* drive, DirEntryRecord* out)
{
    std::memset(out, 0, sizeof *out);
    uint8_t* e = out->entry;
    e[direntry::kName] = '\\';
    std::memset(e + direntry::kName + 1, ' ', direntry::kShortNameLength - 1);
    e[direntry::kAttributes] = ATTR_DIRECTORY;
    Put16(e + direntry::kCreateTime + 2, direntry::kRootDate);
    Put16(e + direntry::kWriteDate, direntry::kRootDate);
    uint32_t root = (drive->fsId == FS_FAT32 || drive->fsId == FS_EXFAT) ? uint32_t(drive->rootDir) : kRootArea;
    Put16(e + direntry::kFirstClusterHigh, uint16_t(root >> 16));
    Put16(e + direntry::kFirstClusterLow, uint16_t(root));
    out->dirCluster = 0;
    out->dirIndex = 0;
}

void ForgetDevice(DfsDevice* device, bool clearFiles)
{
    if (clearFiles) {
        for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i) {
            DfsFile* f = &g_driveFsData.files[i];
            if (SlotInUse(f) && f->device == device)
                ReleaseFileSlot(f);
        }
    }
    for (DfsDrive* d = device->firstDrive; d; d = d->nextOfDevice) {
        d->state = DRIVE_EMPTY;
        FreeUpcase(d);
    }
    InvalidateDeviceBuffers(device);
    device->mountState = MOUNT_NONE;
}
