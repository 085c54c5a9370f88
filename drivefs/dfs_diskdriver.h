// Disk driver: reads sectors with pread from the block device or disk image
// registered for a physical disk number. Writes are refused.
#pragma once

#include <string>

#include "dfs_types.h"

struct DiskDriverData {
    const char* path;       // unused: disks are found through the registration table
    uint64_t sectorCount;   // set at mount from the device or file size
    uint32_t sectorSize;    // 0 = ask the device at mount
    uint32_t reserved;
    int fd;                 // -1 when closed
    uint32_t mountedSectorSize;  // the size in use; a learned size is not kept for the next disk
};

extern const DfsDriver g_diskDriver;
extern DiskDriverData g_diskDriverData[1];

int32_t DiskDriverMount(void* data, int32_t unit, int32_t type, uint32_t flags);
int32_t DiskDriverUnmount(void* data);
int32_t DiskDriverRead(void* data, uint64_t first, uint32_t count, void* buffer);
int32_t DiskDriverWrite(void* data, uint64_t first, uint32_t count, const void* buffer);
int32_t DiskDriverMediaChanged(void* data);
int32_t DiskDriverGetDiskInfo(void* data, uint8_t info[16], uint8_t* removable);

// Path of "\\.\PHYSICALDRIVE<n>" style names; empty when not registered.
std::string ResolveDevicePath(const char* devicePath);
