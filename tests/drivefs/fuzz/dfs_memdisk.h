// The fuzz runs' disk: an image held in memory as the library's only device.
#pragma once

#include <cstring>
#include <vector>

#include "dfs_internal.h"
#include "dfs_memdriver.h"

namespace dfsfuzz {

struct MemoryDisk {
    MemDiskData data;
    DfsDevice list[2];

    // Restarts the library on the bytes (taken over until Stop); with
    // diskSectors the disk is that large and reads zeros past the bytes.
    void Start(std::vector<uint8_t>& bytes, uint64_t diskSectors)
    {
        ShutdownVolumeLibrary();
        data = MemDiskData {};
        data.image.swap(bytes);
        data.diskSectors = diskSectors;
        std::memset(list, 0, sizeof list);
        list[0].type = DEVICE_DISK;
        list[0].flags = DEVF_PRIVATE_MUTEX;
        list[0].driver = &g_memDriver;
        list[0].driverData = &data;
        SetDeviceList(list);
    }
    // Stops the library and hands the bytes back.
    void Stop(std::vector<uint8_t>& bytes)
    {
        CloseAllVolumeFiles();
        ShutdownVolumeLibrary();
        SetDeviceList(nullptr);
        bytes.swap(data.image);
    }
};

inline MemoryDisk& TheDisk()
{
    static MemoryDisk disk;
    return disk;
}

inline void Quiet(const char*) {}

} // namespace dfsfuzz
