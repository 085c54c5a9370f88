// Partition tables and drive letters: which volumes a disk holds and the
// slots they get at start-up.
#include "dfs_partitions.h"

#include <cstring>

#include "dfs_cache.h"
#include "dfs_device.h"
#include "dfs_mount.h"
#include "drivefs.h"

namespace {
constexpr int kMaxExtendedRecords = 256;

// ReadPartitionTable passes: which partitions of a disk take letters.
enum : uint32_t { PASS_FIRST_PRIMARY = 1, PASS_LOGICAL = 2, PASS_OTHER_PRIMARIES = 4 };

DfsDrive* Drives() { return g_driveFsData.drives; }
uint32_t DriveCount() { return g_driveFsData.driveSlotCount; }

bool IgnoredPartitionType(uint8_t type)
{
    switch (type) {
    case mbr::kTypeFat12:
    case mbr::kTypeFat16Small:
    case mbr::kTypeExtended:
    case mbr::kTypeFat16:
    case mbr::kTypeNtfsExfat:
    case mbr::kTypeFat32:
    case mbr::kTypeFat32Lba:
    case mbr::kTypeFat16Lba:
    case mbr::kTypeExtendedLba:
        return false;
    default:
        return true;
    }
}

bool IsExtendedType(uint8_t type)
{
    return type == mbr::kTypeExtended || type == mbr::kTypeExtendedLba;
}

// A FAT boot sector at sector 0: a disk formatted without a partition table.
bool IsWholeDiskBootSector(const uint8_t* s)
{
    return (s[bpb::kJump] == bpb::kJumpNear || (s[bpb::kJump] == bpb::kJumpShort && s[bpb::kJump + 2] == bpb::kNop))
        && Get16(s + bpb::kBytesPerSector) == 512 && s[bpb::kFatCount] >= 1 && s[bpb::kFatCount] <= 4;
}

const uint8_t* PartitionEntry(const uint8_t* record, int i)
{
    return record + mbr::kPartitionTable + mbr::kEntrySize * i;
}

bool CanReadSectors(const DfsDevice* device)
{
    return device->sectorSize <= g_driveFsData.bufferSize
        || (g_driveFsData.largeSectorOption && device->sectorSize <= g_driveFsData.largeSectorSize);
}
} // namespace

int DriveIndex(const DfsDrive* d)
{
    return int(d - Drives());
}

void AssignDriveLetters()
{
    for (uint32_t i = 0; i < DriveCount(); ++i) {
        FreeUpcase(&Drives()[i]);
        Drives()[i] = DfsDrive {};
    }
    int number = 0;
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d) {
        d->physicalDiskNumber = d->type == DEVICE_DISK ? number++ : -1;
        d->firstDrive = nullptr;
    }
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        if (d->type != DEVICE_VOLUME)
            MountDevice(d, DEV_RETURN_ERRORS);
    char letter = 'A';
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d) {
        if (d->flags & DEVF_SCAN_LAST)
            continue;
        if (d->type == DEVICE_VOLUME) {
            if (DfsDrive* s = ClaimDriveSlot(letter, d))
                letter = char('A' + DriveIndex(s) + 1);
        } else if (!(d->flags & DEVF_REMOVABLE) && d->mountState >= MOUNT_MOUNTED) {
            letter = PrepareDevice(letter, d, PASS_FIRST_PRIMARY);
        }
    }
    for (uint32_t pass : {PASS_LOGICAL, PASS_OTHER_PRIMARIES}) {
        for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
            if (d->type != DEVICE_VOLUME && d->mountState >= MOUNT_MOUNTED && !(d->flags & (DEVF_SCAN_LAST | DEVF_REMOVABLE)))
                letter = PrepareDevice(letter, d, pass);
    }
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        if (d->type != DEVICE_VOLUME && d->mountState >= MOUNT_MOUNTED && (d->flags & DEVF_SCAN_LAST) && !(d->flags & DEVF_REMOVABLE))
            letter = PrepareDevice(letter, d, PASS_FIRST_PRIMARY | PASS_LOGICAL | PASS_OTHER_PRIMARIES);
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        if (d->type != DEVICE_VOLUME && (d->flags & DEVF_REMOVABLE))
            if (DfsDrive* s = ClaimDriveSlot(letter, d))
                letter = char('A' + DriveIndex(s) + 1);
}

DfsDrive* ClaimDriveSlot(char letter, DfsDevice* device)
{
    if (device->type == DEVICE_DISK && letter < 'C')
        letter = 'C';
    for (uint32_t i = uint32_t(letter - 'A'); i < DriveCount(); ++i) {
        DfsDrive* s = &Drives()[i];
        if (s->device == device) {
            // Only a slot reserved for a volume not yet found is taken again.
            if (s->state != DRIVE_EMPTY)
                continue;
        } else if (s->device) {
            continue;
        } else {
            s->device = device;
            s->nextOfDevice = nullptr;
            DfsDrive** link = &device->firstDrive;
            while (*link)
                link = &(*link)->nextOfDevice;
            *link = s;
        }
        s->state = DRIVE_EMPTY;
        return s;
    }
    return nullptr;
}

char AddPartitionVolume(char letter, DfsDevice* device, const uint8_t entry[mbr::kEntrySize], uint64_t base)
{
    DfsDrive* s = ClaimDriveSlot(letter, device);
    if (!s)
        return letter;
    s->state = DRIVE_PARTITION;
    std::memcpy(s->partition, entry, mbr::kEntrySize);
    s->bootSector = base + Get32(entry + mbr::kFirstSector);
    // An entry larger than the disk is cut to what the disk holds, so the raw
    // volume never reports sectors that are not there.
    const uint64_t disk = DeviceSectorCount(device);
    if (disk != 0 && disk != 0xFFFFFFFFu) {   // the largest count stands for "at least"
        const uint64_t room = s->bootSector < disk ? disk - s->bootSector : 0;
        if (Get32(s->partition + mbr::kSectorCount) > room)
            Put32(s->partition + mbr::kSectorCount, uint32_t(room));
    }
    return char('A' + DriveIndex(s) + 1);
}

void ScanDevicePartitions(DfsDevice* device)
{
    if (device->type == DEVICE_VOLUME) {
        DfsDrive* s = device->firstDrive;
        if (!s)
            return;
        s->state = DRIVE_PARTITION;
        std::memcpy(s->partition, device->diskInfo, mbr::kEntrySize);
        s->partition[mbr::kType] = mbr::kTypeWholeDisk;
        s->bootSector = Get32(device->diskInfo + mbr::kFirstSector);
    } else if (device->type == DEVICE_DISK) {
        if (CanReadSectors(device)) {
            char letter = 'C';
            ReadPartitionTable(letter, device, PASS_FIRST_PRIMARY | PASS_LOGICAL | PASS_OTHER_PRIMARIES);
        }
    } else {
        FatalError("Invalid device type in device list", 1);
    }
}

bool IsPartitionTableValid(const uint8_t* s)
{
    for (int i = 0; i < mbr::kEntryCount; ++i) {
        const uint8_t flag = PartitionEntry(s, i)[mbr::kBootFlag];
        if (flag != 0 && (flag < mbr::kBootFlagFirst || flag > mbr::kBootFlagLast))
            return false;
    }
    // No two entries overlap, nor does an empty entry start inside another.
    for (int i = 0; i < mbr::kEntryCount; ++i) {
        const uint64_t a0 = Get32(PartitionEntry(s, i) + mbr::kFirstSector);
        const uint64_t an = Get32(PartitionEntry(s, i) + mbr::kSectorCount);
        if (an == 0)
            continue;
        for (int j = 0; j < mbr::kEntryCount; ++j) {
            if (j == i)
                continue;
            const uint64_t b0 = Get32(PartitionEntry(s, j) + mbr::kFirstSector);
            const uint64_t bn = Get32(PartitionEntry(s, j) + mbr::kSectorCount);
            if (bn == 0) {
                if (b0 >= a0 && b0 < a0 + an)
                    return false;
                continue;
            }
            if (a0 < b0 + bn && b0 < a0 + an)
                return false;
        }
    }
    return true;
}

void ReadPartitionTable(char& letter, DfsDevice* device, uint32_t flags)
{
    if (device->sectorSize < 512)
        RaiseError(DFS_E_INVALID_SECTOR_SIZE);
    uint8_t s0[512];
    std::memcpy(s0, GetSectorBuffer(device, 0, GSB_NO_READAHEAD), sizeof s0);
    if (device->mountState < MOUNT_SECTOR_READ)
        device->mountState = MOUNT_SECTOR_READ;
    if (Get16(s0 + mbr::kSignature) != mbr::kBootSignature)
        RaiseError(DFS_E_CORRUPT_PARTITION_TABLE);
    // A disk formatted whole as exFAT (mkfs.exfat on the device, the usual way
    // on Linux): its boot code where a table would be is no table.
    if (IsExfatBootSector(s0)) {
        if (flags & PASS_FIRST_PRIMARY) {
            uint8_t entry[mbr::kEntrySize];
            std::memcpy(entry, device->diskInfo, sizeof entry);
            entry[mbr::kType] = mbr::kTypeWholeDisk;
            letter = AddPartitionVolume(letter, device, entry, 0);
        }
        return;
    }
    const bool valid = IsPartitionTableValid(s0);
    bool haveExtended = false;
    uint64_t extendedBase = 0;
    int primaries = 0;
    if (valid) {
        device->mountState = MOUNT_PARTITIONS_READ;
        for (int i = 0; i < mbr::kEntryCount; ++i) {
            const uint8_t* e = PartitionEntry(s0, i);
            const uint8_t type = e[mbr::kType];
            if (IgnoredPartitionType(type))
                continue;
            if (IsExtendedType(type)) {
                haveExtended = true;
                extendedBase = Get32(e + mbr::kFirstSector);
                continue;
            }
            if (primaries == 0 ? (flags & PASS_FIRST_PRIMARY) : (flags & PASS_OTHER_PRIMARIES))
                letter = AddPartitionVolume(letter, device, e, 0);
            ++primaries;
        }
    }
    if ((flags & PASS_FIRST_PRIMARY) && (!valid || (primaries == 0 && !haveExtended))) {
        if (IsWholeDiskBootSector(s0)) {
            uint8_t entry[mbr::kEntrySize];
            std::memcpy(entry, device->diskInfo, sizeof entry);
            entry[mbr::kType] = mbr::kTypeWholeDisk;
            letter = AddPartitionVolume(letter, device, entry, 0);
        } else if (!valid) {
            RaiseError(DFS_E_CORRUPT_PARTITION_TABLE);
        }
    }
    if (!(flags & PASS_LOGICAL) || !haveExtended)
        return;
    uint64_t offset = 0;
    for (int records = 0; records < kMaxExtendedRecords; ++records) {
        uint8_t ebr[512];
        std::memcpy(ebr, GetSectorBuffer(device, extendedBase + offset, GSB_NO_READAHEAD), sizeof ebr);
        if (Get16(ebr + mbr::kSignature) != mbr::kBootSignature)
            return;
        bool link = false;
        uint64_t next = 0;
        for (int i = 0; i < mbr::kEntryCount; ++i) {
            const uint8_t* e = PartitionEntry(ebr, i);
            const uint8_t type = e[mbr::kType];
            if (IgnoredPartitionType(type))
                continue;
            if (IsExtendedType(type)) {
                next = Get32(e + mbr::kFirstSector);
                // Links only lead further into the extended partition: a loop ends here.
                if (next <= offset)
                    RaiseError(DFS_E_CORRUPT_PARTITION_TABLE);
                link = true;
            } else {
                letter = AddPartitionVolume(letter, device, e, extendedBase + offset);
            }
        }
        if (!link)
            return;
        offset = next;
    }
}

char PrepareDevice(char letter, DfsDevice* device, uint32_t flags)
{
    LockDevice(device);
    Protected(
        [&] {
            if (CanReadSectors(device))
                ReadPartitionTable(letter, device, flags);
        },
        [](ExceptionFrame& f) { HandleException(&f); },
        [&] { UnlockDevice(device); });
    return letter;
}
