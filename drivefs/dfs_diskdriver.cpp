// Disk driver: sectors of a block device or disk image file read with pread.
#include "dfs_diskdriver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "drivefs.h"

namespace {
std::mutex s_diskTableMutex;
std::vector<std::string> s_diskTable;
const char kPhysicalDrivePrefix[] = "\\\\.\\PHYSICALDRIVE";
}

const DfsDriver g_diskDriver = {
    535, DiskDriverMount, DiskDriverUnmount, DiskDriverRead, DiskDriverWrite,
    DiskDriverMediaChanged, nullptr, DiskDriverGetDiskInfo, nullptr,
};

DiskDriverData g_diskDriverData[1] = {{nullptr, 0, 0, 0, -1, 0}};

int RegisterPhysicalDisk(const std::string& path)
{
    std::lock_guard<std::mutex> lock(s_diskTableMutex);
    for (size_t i = 0; i < s_diskTable.size(); ++i)
        if (s_diskTable[i] == path)
            return int(i);
    s_diskTable.push_back(path);
    return int(s_diskTable.size() - 1);
}

std::string PhysicalDiskPath(int number)
{
    std::lock_guard<std::mutex> lock(s_diskTableMutex);
    if (number < 0 || size_t(number) >= s_diskTable.size())
        return std::string();
    return s_diskTable[size_t(number)];
}

std::string ResolveDevicePath(const char* devicePath)
{
    const size_t prefix = sizeof kPhysicalDrivePrefix - 1;
    if (std::strncmp(devicePath, kPhysicalDrivePrefix, prefix) != 0)
        return std::string();
    const char* digits = devicePath + prefix;
    if (!*digits)
        return std::string();
    long n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000)
            return std::string();
        n = n * 10 + (*p - '0');
    }
    return PhysicalDiskPath(int(n));
}

int32_t DiskDriverMount(void* data, int32_t unit, int32_t type, uint32_t)
{
    auto* d = static_cast<DiskDriverData*>(data);
    char devicePath[40];
    if (type == DEVICE_DISK)
        std::snprintf(devicePath, sizeof devicePath, "%s%d", kPhysicalDrivePrefix, unit);
    else if (type == DEVICE_VOLUME)
        return DFS_E_DRIVE_NOT_FOUND;   // lettered volumes have no raw path on this platform
    else
        return DFS_E_UNSUPPORTED_DEVICE;
    std::string path = ResolveDevicePath(devicePath);
    if (path.empty())
        return DFS_E_DRIVE_NOT_FOUND;
    if (d->fd >= 0) {
        ::close(d->fd);
        d->fd = -1;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return DFS_E_DRIVE_NOT_FOUND;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return DFS_E_DRIVE_NOT_FOUND;
    }
    uint64_t bytes = 0;
    uint32_t sectorSize = 512;
    if (S_ISBLK(st.st_mode)) {
        int ss = 0;
        if (::ioctl(fd, BLKSSZGET, &ss) == 0 && ss > 0)
            sectorSize = uint32_t(ss);
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0)
            bytes = 0;
    } else if (S_ISREG(st.st_mode)) {
        bytes = uint64_t(st.st_size);
    } else {
        ::close(fd);
        return DFS_E_UNSUPPORTED_DEVICE;
    }
    if (d->sectorSize != 0)
        sectorSize = d->sectorSize;
    d->mountedSectorSize = sectorSize;
    d->sectorCount = bytes / sectorSize;
    d->fd = fd;
    return int32_t(sectorSize);
}

int32_t DiskDriverUnmount(void* data)
{
    auto* d = static_cast<DiskDriverData*>(data);
    if (d->fd >= 0)
        ::close(d->fd);
    d->fd = -1;
    return 0;
}

int32_t DiskDriverRead(void* data, uint64_t first, uint32_t count, void* buffer)
{
    auto* d = static_cast<DiskDriverData*>(data);
    if (d->fd < 0)
        return DFS_E_NOT_READY;
    if (first >= d->sectorCount || count > d->sectorCount - first)
        return DFS_E_SECTOR_NOT_FOUND;
    uint64_t want = uint64_t(count) * d->mountedSectorSize;
    uint64_t offset = first * d->mountedSectorSize;
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < want) {
        ssize_t got = ::pread(d->fd, out + done, size_t(want - done), off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return DFS_E_GENERAL_FAILURE;
        }
        if (got == 0)
            return DFS_E_SECTOR_NOT_FOUND;   // the disk ended early: never pass stale bytes on
        done += uint64_t(got);
    }
    return 0;
}

int32_t DiskDriverWrite(void*, uint64_t, uint32_t, const void*)
{
    return DFS_E_WRITE_PROTECTED;
}

int32_t DiskDriverMediaChanged(void*)
{
    return 0;
}

int32_t DiskDriverGetDiskInfo(void* data, uint8_t info[16], uint8_t* removable)
{
    auto* d = static_cast<DiskDriverData*>(data);
    std::memset(info, 0, 16);
    Put32(info + mbr::kSectorCount, d->sectorCount > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(d->sectorCount));
    *removable = 0;
    return 0;
}
