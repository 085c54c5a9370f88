// File handles: opening a path, reading and seeking with a cluster cursor
// that follows the file's chain, and closing.
#include "dfs_files.h"

#include <cstring>

#include "dfs_cache.h"
#include "dfs_chains.h"
#include "dfs_device.h"
#include "dfs_drives.h"
#include "dfs_mount.h"
#include "dfs_paths.h"
#include "drivefs.h"

namespace {
DfsFile* Slots() { return g_driveFsData.files; }

bool IsContiguous(const DfsFile* f)
{
    return (f->entry[direntry::kAttributes] & ATTR_NOFATCHAIN) != 0;
}

void Park(DfsFile* f)
{
    f->prevCluster = f->curCluster;
    f->curCluster = 0;
    f->clusterOffset = 0;
}

// Puts the cursor on the file's first cluster at position 0.
void ResetCursor(DfsFile* f)
{
    f->position = 0;
    f->clusterOffset = 0;
    f->prevCluster = 0;
    const uint32_t first = EntryFirstCluster(f->entry);
    DfsDrive* vol = f->drive;
    // Only a folder can stand for the FAT12/16 root area; a file claiming it
    // would read past the area up to its size.
    if (first == kRootArea && vol->fsId != FS_FAT32 && vol->fsId != FS_EXFAT && (f->entry[direntry::kAttributes] & ATTR_DIRECTORY))
        f->curCluster = kRootArea;
    else if (first >= 2 && first < vol->clusterLimit)
        f->curCluster = first;
    else
        f->curCluster = 0;
    f->lastCluster = 0;
    if (IsContiguous(f) && f->curCluster && !ContiguousLastCluster(vol, first, FileSize(f), &f->lastCluster))
        f->curCluster = 0;   // refused at open; never read past the heap
}

// The next cluster of a FAT chain; 0 where the chain ends.
uint32_t ChainNext(DfsDrive* vol, uint32_t cluster)
{
    const uint32_t v = NextChainCluster(vol, cluster);
    return v >= vol->clusterLimit ? 0 : v;
}

// Finds where the file's chain first comes back to a cluster it already
// holds (Brent's cycle search, no memory per cluster): past that point a read
// would return an earlier part of the file as the bytes at its position.
// Sets chainLimit to the index of that cluster, or kNoChainLimit when the file's
// clusters hold no repeat. A FAT entry that cannot be read stops the search:
// the clusters before it are distinct (a chain that repeats never reaches a
// new entry), and the search runs again when a walk has to go further.
// Returns the code that stopped it, else 0.
int32_t CheckChain(DfsFile* f)
{
    DfsDrive* vol = f->drive;
    const uint32_t first = EntryFirstCluster(f->entry);
    const uint64_t need = (FileSize(f) + vol->bytesPerCluster - 1) >> vol->clusterShift;
    // A repeat within the first need clusters shows within three times as many steps.
    const uint64_t bound = 3 * need + 3;
    uint64_t hareIndex = 0;
    bool cycleFound = false;
    uint32_t limit = kNoChainLimit;
    int32_t code = 0;
    Protected(
        [&] {
            uint32_t tortoise = first;
            uint32_t hare = ChainNext(vol, first);
            hareIndex = 1;
            uint64_t power = 1, length = 1;
            while (hare && hare != tortoise && hareIndex < bound) {
                if (power == length) {
                    tortoise = hare;
                    power *= 2;
                    length = 0;
                }
                hare = ChainNext(vol, hare);
                ++length;
                ++hareIndex;
            }
            if (!hare || hare != tortoise)
                return;
            cycleFound = true;
            // The cycle is length clusters long: its start is where two walks
            // that far apart meet, and the first repeat lies length after it.
            uint32_t behind = first, ahead = first;
            for (uint64_t i = 0; i < length; ++i)
                ahead = ChainNext(vol, ahead);
            uint64_t start = 0;
            while (behind != ahead && start < bound) {
                behind = ChainNext(vol, behind);
                ahead = ChainNext(vol, ahead);
                ++start;
            }
            if (start + length < need)
                limit = uint32_t(start + length);
        },
        [&](ExceptionFrame& frame) {
            code = frame.code;
            HandleException(&frame);
        },
        [] {});
    if (code < 0) {
        // Up to the cluster whose entry failed; a failure while measuring a
        // cycle already seen leaves nothing known beyond the first cluster.
        f->chainLimit = cycleFound || hareIndex + 1 >= kNoChainLimit ? 1 : uint32_t(hareIndex + 1);
        f->chainChecked = CHAIN_PARTLY_CHECKED;
    } else {
        f->chainLimit = limit;
        f->chainChecked = CHAIN_CHECKED;
    }
    return code;
}

// The cluster at index of the file, which follows cur; 0 past its clusters.
// A chain coming back to a cluster it holds raises there, or with
// raiseAtRepeat false (looking ahead) ends there.
uint32_t NextFileCluster(DfsFile* f, uint32_t cur, uint64_t index, bool raiseAtRepeat = true)
{
    if (IsContiguous(f))
        return cur >= f->lastCluster ? 0 : cur + 1;
    if (cur < 2 || cur >= kEndOfChain)
        RaiseError(DFS_E_FAT_ALLOCATION);
    const uint32_t next = ChainNext(f->drive, cur);
    if (!next)
        return 0;
    if (index >= f->chainLimit && f->chainChecked != CHAIN_CHECKED) {
        const int32_t code = CheckChain(f);
        if (index >= f->chainLimit && code < 0)
            RaiseError(code);
    }
    if (index >= f->chainLimit) {
        if (raiseAtRepeat)
            RaiseError(DFS_E_FAT_ALLOCATION);
        return 0;
    }
    return next;
}

// Moves the cursor to position by walking from the file's first cluster.
// When the walk raises, the cursor is parked at position (the next read
// walks again) rather than left on a cluster short of it.
void RebuildCursor(DfsFile* f, uint64_t position)
{
    Protected(
        [&] {
            ResetCursor(f);
            AddFilePositionHigh(f, position);
        },
        [&](ExceptionFrame&) {
            f->position = position;
            if (f->curCluster != kRootArea)
                Park(f);
        },
        [] {});
}

// The sector holding the byte at the cursor.
uint64_t CursorSector(const DfsFile* f)
{
    DfsDrive* vol = f->drive;
    const uint32_t shift = vol->device->sectorShift;
    if (f->curCluster == kRootArea)
        return vol->rootDir + (f->position >> shift);
    return ClusterToSector(vol, f->curCluster) + (f->clusterOffset >> shift);
}

// Data must be read at the cursor: a parked cursor inside the file means
// the chain is shorter than the size says.
void RequireCursor(DfsFile* f)
{
    if (f->curCluster == 0)
        RebuildCursor(f, f->position);
    if (f->curCluster == 0)
        RaiseError(DFS_E_FAT_ALLOCATION);
}

// Bytes from the position that lie in clusters following each other on disk.
uint64_t ContiguousBytes(DfsFile* f, uint64_t max)
{
    DfsDrive* vol = f->drive;
    if (f->curCluster == kRootArea)
        return max;
    uint64_t bytes = vol->bytesPerCluster - f->clusterOffset;
    uint32_t cur = f->curCluster;
    uint64_t index = f->position >> vol->clusterShift;
    while (bytes < max) {
        const uint32_t next = NextFileCluster(f, cur, ++index, false);
        if (next != cur + 1)
            break;
        cur = next;
        bytes += vol->bytesPerCluster;
    }
    return bytes < max ? bytes : max;
}

void MountRawIfNeeded(DfsFile* f, int32_t volumeState)
{
    if (f->rawMode == RAW_DEVICE) {
        if (f->device->mountState < MOUNT_MOUNTED)
            MountDevice(f->device, 0);
    } else if (f->rawMode == RAW_VOLUME) {
        if (f->drive->state < volumeState)
            MountVolume(f->drive, volumeState);
        if (f->drive->state < DRIVE_PARTITION)
            RaiseError(DFS_E_DRIVE_NOT_FOUND);
    }
}
}

uint32_t PositionHighLimit(const DfsFile* f)
{
    if (f->rawMode != RAW_NONE || (f->drive && f->drive->fsId == FS_EXFAT))
        return kExfatPositionHighLimit;
    return kFatPositionHighLimit;
}

uint64_t FileSize(const DfsFile* f)
{
    return EntryFileSize(f->entry);
}

int32_t MakeFileHandle(DfsFile* slot, uint32_t lowBit)
{
    uint32_t serial = g_lastHandleSerial;
    do {
        serial = (serial + 1) % 0x8000;
        if (serial == 0)
            serial = 1;
    } while ((serial & 1) != lowBit);
    g_lastHandleSerial = serial;
    slot->serial = serial;
    return int32_t(serial << 16 | uint32_t(slot - Slots()));
}

DfsFile* LookupFileHandle(int32_t handle)
{
    const uint32_t index = uint32_t(handle) & 0xFFFF;
    const uint32_t serial = uint32_t(handle) >> 16;
    if (handle <= 0 || index >= g_driveFsData.fileSlotCount)
        RaiseError(DFS_E_INVALID_HANDLE);
    DfsFile* f = &Slots()[index];
    DfsDevice* dev = f->device;
    if (!SlotInUse(f) || f->serial != serial || !dev)
        RaiseError(DFS_E_INVALID_HANDLE);
    LockDevice(dev);
    // Another thread may have closed the slot meanwhile.
    if (!SlotInUse(f) || f->serial != serial || f->device != dev) {
        UnlockDevice(dev);
        RaiseError(DFS_E_INVALID_HANDLE);
    }
    return f;
}

void CheckSharing(DfsFile* slot)
{
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i) {
        DfsFile* o = &Slots()[i];
        if (o == slot || !SlotInUse(o) || o->device != slot->device || !o->serial)
            continue;
        if ((o->mode & slot->mode) & MODE_SHARE_MASK)
            continue;
        if (o->rawMode == RAW_DEVICE || slot->rawMode == RAW_DEVICE)
            RaiseError(DFS_E_ACCESS_DENIED);
        if (o->drive == slot->drive
            && (o->rawMode == RAW_VOLUME || slot->rawMode == RAW_VOLUME
                || (o->dirCluster == slot->dirCluster && o->dirIndex == slot->dirIndex)))
            RaiseError(DFS_E_ACCESS_DENIED);
    }
}

void AdvanceFilePosition(DfsFile* f, uint64_t n)
{
    const uint64_t newPos = f->position + n;
    if (newPos < f->position || (newPos >> 32) > PositionHighLimit(f))
        RaiseError(DFS_E_FILE_TOO_LARGE);
    if (f->rawMode != RAW_NONE || f->curCluster == kRootArea || f->curCluster == 0) {
        f->position = newPos;
        return;
    }
    DfsDrive* vol = f->drive;
    const uint64_t total = uint64_t(f->clusterOffset) + n;
    uint64_t crossings = total >> vol->clusterShift;
    uint64_t index = f->position >> vol->clusterShift;
    uint32_t prev = f->prevCluster;
    uint32_t cur = f->curCluster;
    bool ended = false;
    while (crossings--) {
        const uint32_t next = NextFileCluster(f, cur, ++index);
        if (!next) {
            ended = true;
            break;
        }
        prev = cur;
        cur = next;
    }
    // Nothing moves until the walk has succeeded: a raise leaves the cursor
    // and the position as they were, in step.
    f->position = newPos;
    f->prevCluster = prev;
    f->curCluster = cur;
    f->clusterOffset = uint32_t(total & (vol->bytesPerCluster - 1));
    if (ended)
        Park(f);
}

void AddFilePositionHigh(DfsFile* f, uint64_t position)
{
    if ((position >> 32) > PositionHighLimit(f))
        RaiseError(DFS_E_FILE_TOO_LARGE);
    AdvanceFilePosition(f, position);
}

namespace {

// Opens a file of path's volume for reading; locate fills the claimed slot's
// entry copy (and its folder position), or raises.
template <typename Locate>
int32_t OpenFileSlot(const char* path, Locate locate)
{
    int32_t handle = 0;
    DfsFile* slot = nullptr;
    bool opened = false;
    int32_t r = ProtectedFinally(
        [&] {
            slot = ResolvePathTarget(path);
            slot->mode = MODE_READ;
            if (slot->rawMode != RAW_NONE) {
                handle = MakeFileHandle(slot, 1);
                opened = true;
                return;
            }
            locate(slot);
            CheckSharing(slot);
            DfsDrive* vol = slot->drive;
            // A FAT folder's entry has no size: its chain gives one.
            if ((slot->entry[direntry::kAttributes] & ATTR_DIRECTORY) && vol->fsId != FS_EXFAT) {
                const uint32_t first = EntryFirstCluster(slot->entry);
                uint64_t size = 0;
                if (first == kRootArea && vol->fsId != FS_FAT32)
                    size = uint64_t(vol->rootEntryCount) * direntry::kSize;
                else if (first >= 2)
                    size = uint64_t(CountChainClusters(vol, first)) * vol->bytesPerCluster;
                Put32(slot->entry + direntry::kFileSize, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size));
                slot->entry[direntry::kCreateTenths] = 0;
            }
            // A contiguous file claiming clusters past the end of the heap
            // would read other files' data as its own.
            uint32_t last = 0;
            const uint32_t first = EntryFirstCluster(slot->entry);
            if (IsContiguous(slot) && first >= 2 && first < vol->clusterLimit
                && !ContiguousLastCluster(vol, first, FileSize(slot), &last))
                RaiseError(DFS_E_BAD_DIR_ENTRY);
            slot->chainLimit = 0;
            slot->chainChecked = CHAIN_UNCHECKED;
            ResetCursor(slot);
            handle = MakeFileHandle(slot, 1);
            opened = true;
        },
        [&] {
            if (!slot)
                return;
            DfsDevice* dev = slot->device;
            if (!opened)
                ReleaseFileSlot(slot);
            UnlockDevice(dev);
        });
    return r < 0 ? r : handle;
}

} // namespace

int32_t OpenVolumeFile(const char* path)
{
    return OpenFileSlot(path, [path](DfsFile* slot) {
        if (LookupPath(slot, path) != 1)
            RaiseError(DFS_E_FILE_NOT_FOUND);
    });
}

int32_t OpenVolumeFileEntry(const char* volume, const uint8_t* entry, uint32_t dirCluster, uint32_t dirIndex)
{
    return OpenFileSlot(volume, [&](DfsFile* slot) {
        if (slot->drive->fsId != FS_EXFAT)
            RaiseError(DFS_E_INVALID_FS);
        std::memcpy(slot->entry, entry, direntry::kSize);
        slot->dirCluster = dirCluster;
        slot->dirIndex = dirIndex;
    });
}

int32_t ReadVolumeFile(int32_t handle, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    uint32_t localCount = 0;
    uint32_t* delivered = bytesRead ? bytesRead : &localCount;
    *delivered = 0;
    DfsFile* f = nullptr;
    uint64_t start = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t r = Protected(
        [&] {
            f = LookupFileHandle(handle);
            start = f->position;
            if (count == 0)
                return;
            DfsDevice* dev = f->device;
            const uint32_t ss = dev->sectorSize;
            if (f->rawMode != RAW_NONE) {
                MountRawIfNeeded(f, DRIVE_PARTITION);
                if (count % dev->sectorSize)
                    RaiseError(DFS_E_PARAMETER);
                uint64_t first = f->position >> dev->sectorShift;
                if (f->rawMode == RAW_VOLUME)
                    first += f->drive->bootSector;
                const uint32_t sectors = count >> dev->sectorShift;
                DropCachedSectors(dev, first, sectors);
                ReadDeviceSectors(dev, out, first, sectors, 0);
                AdvanceFilePosition(f, count);
                *delivered = count;
                return;
            }
            const uint64_t size = FileSize(f);
            if (f->position >= size)
                return;
            const uint64_t left = size - f->position;
            const uint32_t n = left < count ? uint32_t(left) : count;
            const uint32_t mask = ss - 1;
            RequireCursor(f);
            const uint32_t inSector = uint32_t(f->position & mask);
            if (inSector + n <= ss) {
                const uint8_t* data = GetSectorBuffer(dev, CursorSector(f), 0);
                std::memcpy(out, data + inSector, n);
                *delivered = n;
                AdvanceFilePosition(f, n);
                return;
            }
            const uint32_t head = inSector ? ss - inSector : 0;
            const uint32_t middle = (n - head) & ~mask;
            const uint32_t tail = n - head - middle;
            if (head) {
                const uint8_t* data = GetSectorBuffer(dev, CursorSector(f), middle ? uint32_t(GSB_NO_READAHEAD) : 0u);
                std::memcpy(out, data + inSector, head);
                DiscardCurrentBuffer(dev);
                *delivered += head;
                AdvanceFilePosition(f, head);
            }
            uint32_t middleLeft = middle;
            while (middleLeft) {
                RequireCursor(f);
                const uint32_t run = uint32_t(ContiguousBytes(f, middleLeft));
                const uint64_t sector = CursorSector(f);
                DropCachedSectors(dev, sector, run >> dev->sectorShift);
                ReadDeviceSectors(dev, out + *delivered, sector, run >> dev->sectorShift, 0);
                *delivered += run;
                middleLeft -= run;
                AdvanceFilePosition(f, run);
            }
            if (tail) {
                RequireCursor(f);
                const uint8_t* data = GetSectorBuffer(dev, CursorSector(f), middle ? uint32_t(GSB_NO_READAHEAD) : 0u);
                std::memcpy(out + *delivered, data, tail);
                *delivered += tail;
                AdvanceFilePosition(f, tail);
            }
        },
        [&](ExceptionFrame& frame) {
            // The position follows what was delivered. The cursor may stand
            // anywhere short of it: parked, the next read walks to the position.
            if (f && frame.code != DFS_E_FILE_TOO_LARGE) {
                f->position = start + *delivered;
                if (f->rawMode == RAW_NONE && f->curCluster != kRootArea)
                    Park(f);
            }
        },
        [&] {
            if (f)
                UnlockDevice(f->device);
        });
    return r;
}

int32_t SeekVolumeFile(int32_t handle, int64_t* position, int origin)
{
    DfsFile* f = nullptr;
    uint64_t oldPosition = 0;
    bool moving = false;
    return Protected(
        [&] {
            f = LookupFileHandle(handle);
            oldPosition = f->position;
            if (!position)
                RaiseError(DFS_E_PARAMETER);
            MountRawIfNeeded(f, DRIVE_PARTITION);
            int64_t base;
            if (origin == 0)
                base = 0;
            else if (origin == 1)
                base = int64_t(f->position);
            else if (origin == 2)
                base = f->rawMode == RAW_NONE ? int64_t(FileSize(f)) : 0;
            else
                RaiseError(DFS_E_PARAMETER);
            int64_t wanted = 0;
            if (__builtin_add_overflow(base, *position, &wanted))
                RaiseError(DFS_E_FILE_TOO_LARGE);
            if (wanted < 0)
                RaiseError(DFS_E_INVALID_POSITION);
            const uint64_t newPos = uint64_t(wanted);
            if ((newPos >> 32) > PositionHighLimit(f))
                RaiseError(DFS_E_FILE_TOO_LARGE);
            if (f->rawMode != RAW_NONE) {
                if (newPos & (f->device->sectorSize - 1))
                    RaiseError(DFS_E_INVALID_POSITION);
                f->position = newPos;
                *position = int64_t(newPos);
                return;
            }
            if (newPos > FileSize(f))
                RaiseError(DFS_E_INVALID_POSITION);
            moving = true;
            if (f->curCluster == 0 && newPos != f->position) {
                // Parked after a failure: walk from the start, so that a
                // position the chain cannot reach fails here.
                RebuildCursor(f, newPos);
            } else if (newPos > f->position) {
                AdvanceFilePosition(f, newPos - f->position);
            } else if (newPos < f->position) {
                const uint64_t back = f->position - newPos;
                if (f->curCluster == kRootArea) {
                    f->position = newPos;
                } else if (f->curCluster != 0 && (newPos >> 32) == (f->position >> 32) && back <= f->clusterOffset) {
                    f->clusterOffset -= uint32_t(back);
                    f->position = newPos;
                } else {
                    RebuildCursor(f, newPos);
                }
            }
            *position = int64_t(newPos);
        },
        [&](ExceptionFrame&) {
            // A walk that failed midway leaves the cursor between the old and
            // the new position: the handle stays where it was, its cursor is
            // rebuilt by the next read.
            if (moving) {
                f->position = oldPosition;
                if (f->curCluster != kRootArea) {
                    f->prevCluster = 0;
                    f->curCluster = 0;
                    f->clusterOffset = 0;
                }
            }
        },
        [&] {
            if (f)
                UnlockDevice(f->device);
        });
}

int32_t GetVolumeFileInfo(int32_t handle, VolumeFileInfo* info)
{
    DfsFile* f = nullptr;
    return ProtectedFinally(
        [&] {
            f = LookupFileHandle(handle);
            if (!info)
                RaiseError(DFS_E_PARAMETER);
            std::memset(info, 0, sizeof *info);
            info->position = f->position;
            info->path = f->path;
            DfsDevice* dev = f->device;
            if (f->rawMode == RAW_VOLUME) {
                MountRawIfNeeded(f, DRIVE_BOOT_READ);
                info->volumeSerial = f->drive->serial;
                info->size = uint64_t(Get32(f->drive->partition + mbr::kSectorCount)) << dev->sectorShift;
                info->allocatedSize = info->size;
            } else if (f->rawMode == RAW_DEVICE) {
                MountRawIfNeeded(f, DRIVE_PARTITION);
                info->size = DeviceSectorCount(dev) << dev->sectorShift;
                info->allocatedSize = info->size;
            } else {
                DfsDrive* vol = f->drive;
                info->volumeSerial = vol->serial;
                info->entry = f->entry;
                info->size = FileSize(f);
                if (IsContiguous(f)) {
                    if ((info->size >> 32) > kExfatPositionHighLimit)
                        RaiseError(DFS_E_FILE_TOO_LARGE);
                    const uint64_t alloc = (info->size + vol->bytesPerCluster - 1) & ~uint64_t(vol->bytesPerCluster - 1);
                    if ((alloc >> 32) > kExfatPositionHighLimit)
                        RaiseError(DFS_E_FILE_TOO_LARGE);
                    info->allocatedSize = alloc;
                    info->fragments = 1;
                }
            }
        },
        [&] {
            if (f)
                UnlockDevice(f->device);
        });
}

int32_t CloseVolumeFile(int32_t handle)
{
    DfsFile* f = nullptr;
    DfsDevice* dev = nullptr;
    return ProtectedFinally(
        [&] {
            f = LookupFileHandle(handle);
            dev = f->device;
        },
        [&] {
            if (f) {
                ReleaseFileSlot(f);
                UnlockDevice(dev);
            }
        });
}

int32_t CloseAllVolumeFiles()
{
    int32_t closed = 0;
    int32_t lastError = 0;
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i) {
        DfsFile* f = &Slots()[i];
        if (!SlotInUse(f) || !f->device || !f->serial)
            continue;
        const int32_t r = CloseVolumeFile(int32_t(f->serial << 16 | i));
        if (r < 0)
            lastError = r;
        else
            ++closed;
    }
    return lastError < 0 ? lastError : closed;
}

void ShutdownVolumeLibrary()
{
    if (!g_globalMutex.load())
        return;
    CloseAllVolumeFiles();
    EnterGlobal();
    EnterGlobal();
    DfsDevice* last = g_deviceList;
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d) {
        if (d->mountState >= MOUNT_MOUNTED)
            ForgetDevice(d, true);
        last = d + 1;
    }
    while (last != g_deviceList) {
        --last;
        UnmountDevice(last);
        last->mountState = MOUNT_NONE;
    }
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d) {
        if ((d->flags & DEVF_PRIVATE_MUTEX) && d->mutex) {
            delete d->mutex;
            d->mutex = nullptr;
        }
    }
    DfsMutex* global = g_globalMutex.load();
    g_libraryStarted.store(false);
    LeaveGlobal();
    LeaveGlobal();
    g_globalMutex.store(nullptr);
    delete global;
    g_defaultDrive.store(nullptr);
}
