#include "dfs_memdriver.h"

#include <cstring>

#include "drivefs.h"

namespace {
int32_t MemMount(void* data, int32_t, int32_t, uint32_t)
{
    auto* d = static_cast<MemDiskData*>(data);
    d->mounted = true;
    return d->overrideMount ? d->mountResult : int32_t(d->sectorSize);
}

int32_t MemUnmount(void* data)
{
    static_cast<MemDiskData*>(data)->mounted = false;
    return 0;
}

// Bytes from the image; what lies past its end reads as zeros.
void CopyOut(const MemDiskData& d, uint64_t first, uint64_t bytes, void* buffer)
{
    const uint64_t offset = first * d.sectorSize;
    const uint64_t have = offset < d.image.size() ? d.image.size() - offset : 0;
    const uint64_t n = bytes < have ? bytes : have;
    if (n)
        std::memcpy(buffer, d.image.data() + offset, size_t(n));
    std::memset(static_cast<uint8_t*>(buffer) + n, 0, size_t(bytes - n));
}

bool Touches(uint64_t first, uint32_t count, uint64_t sector)
{
    return sector >= first && sector - first < count;
}

int32_t MemRead(void* data, uint64_t first, uint32_t count, void* buffer)
{
    auto* d = static_cast<MemDiskData*>(data);
    d->reads.emplace_back(first, count);
    if (d->failCode && d->failCount != 0 && Touches(first, count, d->failSector)) {
        if (d->failCount > 0)
            --d->failCount;
        return d->failCode;
    }
    const uint64_t total = d->sectorCount();
    if (first >= total || count > total - first)
        return DFS_E_SECTOR_NOT_FOUND;
    uint64_t bytes = uint64_t(count) * d->sectorSize;
    if (d->shortRead && Touches(first, count, d->shortSector)) {
        // Deliver what lies before the short sector plus half of it, like a
        // pread that stopped early; the transfer as a whole failed.
        uint64_t partial = (d->shortSector - first) * d->sectorSize + d->sectorSize / 2;
        CopyOut(*d, first, partial, buffer);
        return DFS_E_SECTOR_NOT_FOUND;
    }
    CopyOut(*d, first, bytes, buffer);
    return 0;
}

int32_t MemWrite(void*, uint64_t, uint32_t, const void*)
{
    return DFS_E_WRITE_PROTECTED;
}

int32_t MemMediaChanged(void* data)
{
    return static_cast<MemDiskData*>(data)->mediaChangedAnswer;
}

int32_t MemDiskInfo(void* data, uint8_t info[16], uint8_t* removable)
{
    auto* d = static_cast<MemDiskData*>(data);
    std::memset(info, 0, 16);
    uint64_t n = d->sectorCount();
    Put32(info + mbr::kSectorCount, n > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(n));
    *removable = 0;
    return 0;
}
}

const DfsDriver g_memDriver = {
    535, MemMount, MemUnmount, MemRead, MemWrite, MemMediaChanged, nullptr, MemDiskInfo, nullptr,
};
