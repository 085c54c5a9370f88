#include "dfs_volume.h"

#include <cstdio>
#include <cstring>

#include "dfs_cache.h"
#include "dfs_device.h"
#include "dfs_names.h"

namespace {
constexpr int kMaxExtendedRecords = 256;

DfsDrive* Drives() { return g_driveFsData.drives; }
uint32_t DriveCount() { return g_driveFsData.driveSlotCount; }
int DriveIndex(const DfsDrive* d) { return int(d - Drives()); }

bool IgnoredPartitionType(uint8_t type)
{
    return type == 0 || type > 15 || type == 2 || type == 3 || type == 8 || type == 9 || type == 10 || type == 13;
}

bool IsExtendedType(uint8_t type)
{
    return type == 5 || type == 15;
}

bool IsWholeDiskBootSector(const uint8_t* s)
{
    return (s[0] == 0xE9 || (s[0] == 0xEB && s[2] == 0x90)) && Get16(s + 11) == 512 && s[16] >= 1 && s[16] <= 4;
}

uint32_t Log2Ceil(uint64_t v, uint32_t from)
{
    uint32_t g = from;
    while ((uint64_t(1) << g) < v)
        ++g;
    return g;
}

uint64_t DeviceSectorCount(const DfsDevice* dev)
{
    return Get32(dev->diskInfo + 12);
}

void FreeUpcase(DfsDrive* d)
{
    delete[] d->upcase;
    d->upcase = nullptr;
    d->upcaseLength = 0;
}

void MountFat(DfsDrive* drive, const uint8_t* bs)
{
    DfsDevice* dev = drive->device;
    drive->state = 3;
    if (dev->mountState < 3)
        dev->mountState = 3;
    const uint32_t bps = Get16(bs + 11);
    if (bps != dev->sectorSize)
        RaiseError(-34);
    uint32_t spc = bs[13];
    if (spc != 0 && (spc & (spc - 1)) == 0) {
    } else if ((spc & 0x80) && (spc & 0x7F) >= 8 && (spc & 0x7F) <= 15) {
        spc = 1u << (spc & 0x7F);
    } else {
        RaiseError(-8);
    }
    const uint32_t clusterShift = Log2Ceil(uint64_t(bps) * spc, 1);
    const uint32_t spcShift = Log2Ceil(spc, 0);
    uint64_t total = Get16(bs + 19);
    if (total == 0)
        total = Get32(bs + 32);
    const uint32_t reserved = Get16(bs + 14);
    uint32_t fatCount = bs[16];
    const uint32_t rootEntries = Get16(bs + 17);
    const uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bps - 1) / bps;
    uint32_t fatSize = Get16(bs + 22);
    if (fatSize == 0)
        fatSize = Get32(bs + 36);
    // Checked before any arithmetic depends on them.
    const uint32_t partitionCount = Get32(drive->partition + 12);
    if (reserved == 0 || fatCount == 0 || fatCount > 2 || fatSize == 0 || total == 0)
        RaiseError(-8);
    if (partitionCount != 0 && partitionCount < total)
        RaiseError(-8);
    const uint64_t devSectors = DeviceSectorCount(dev);
    if (devSectors != 0 && (drive->bootSector >= devSectors || total > devSectors - drive->bootSector))
        RaiseError(-8);
    const uint64_t overhead = uint64_t(reserved) + uint64_t(fatCount) * fatSize + rootSectors;
    if (overhead >= total)
        RaiseError(-8);
    const uint64_t clusters = (total - overhead) >> spcShift;
    if (clusters == 0 || clusters > 0x0FFFFFF4u)
        RaiseError(-8);
    int32_t fsId = clusters <= 4084 ? FS_FAT12 : clusters <= 65524 ? FS_FAT16 : FS_FAT32;
    const uint64_t fatBytesNeeded = fsId == FS_FAT12 ? ((clusters + 2) * 3 + 1) / 2 : (clusters + 2) * (fsId == FS_FAT16 ? 2 : 4);
    if (uint64_t(fatSize) * bps < fatBytesNeeded)
        RaiseError(-8);

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
        if (Get16(bs + 42) != 0)
            RaiseError(-8);
        drive->firstDataSector = drive->firstFatSector + uint64_t(fatCount) * fatSize;
        drive->rootDir = Get32(bs + 44);
        if (drive->rootDir < 2 || drive->rootDir >= drive->clusterLimit)
            RaiseError(-8);
        drive->rootEntryCount = 0;
        drive->serial = Get32(bs + 67);
        const uint32_t fsInfo = Get16(bs + 48);
        // FSInfo lies in the reserved area or is not used.
        if (fsInfo != 0xFFFF && fsInfo != 0 && fsInfo < reserved)
            drive->fsInfoSector = drive->bootSector + fsInfo;
        if (bs[40] & 0x80) {
            const uint32_t active = bs[40] & 0x0F;
            if (active >= fatCount)
                RaiseError(-8);
            drive->fatCount = 1;
            drive->firstFatSector = drive->bootSector + reserved + uint64_t(active) * fatSize;
        }
    } else {
        drive->rootDir = drive->firstFatSector + uint64_t(fatCount) * fatSize;
        drive->firstDataSector = drive->rootDir + rootSectors;
        drive->rootEntryCount = rootEntries;
        drive->serial = Get32(bs + 39);
    }
    if (drive->letter == 0)
        drive->letter = char('A' + DriveIndex(drive));
    std::snprintf(drive->curDir, sizeof drive->curDir, "%c:\\", drive->letter);
    MakeRootDirEntry(drive, &drive->rootEntry);
    drive->state = 4;
    drive->freeCount = -1;
    drive->nextFree = 2;
    if (drive->fsInfoSector) {
        drive->nextFree = 3;
        const uint8_t* fi = GetSectorBuffer(dev, drive->fsInfoSector, GSB_NO_READAHEAD);
        if (std::memcmp(fi, "RRaA", 4) == 0 && std::memcmp(fi + 484, "rrAa", 4) == 0 && Get32(fi + 508) == 0xAA550000u) {
            const uint32_t hint = Get32(fi + 492);
            const uint32_t freeCount = Get32(fi + 488);
            if (hint != 0xFFFFFFFFu && hint > 2)
                drive->nextFree = hint;
            if (freeCount != 0xFFFFFFFFu && freeCount <= clusters)
                drive->freeCount = int32_t(freeCount);
        }
    }
}
}

uint64_t ClusterToSector(const DfsDrive* volume, uint32_t cluster)
{
    return volume->firstDataSector + (uint64_t(cluster - 2) << volume->spcShift);
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
        } else if (!(d->flags & DEVF_REMOVABLE) && d->mountState >= 2) {
            letter = PrepareDevice(letter, d, 1);
        }
    }
    for (uint32_t pass : {2u, 4u}) {
        for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
            if (d->type != DEVICE_VOLUME && d->mountState >= 2 && !(d->flags & (DEVF_SCAN_LAST | DEVF_REMOVABLE)))
                letter = PrepareDevice(letter, d, pass);
    }
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        if (d->type != DEVICE_VOLUME && d->mountState >= 2 && (d->flags & DEVF_SCAN_LAST) && !(d->flags & DEVF_REMOVABLE))
            letter = PrepareDevice(letter, d, 7);
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
            if (s->state != 0)
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
        s->state = 0;
        return s;
    }
    return nullptr;
}

char AddPartitionVolume(char letter, DfsDevice* device, const uint8_t entry[16], uint64_t base)
{
    DfsDrive* s = ClaimDriveSlot(letter, device);
    if (!s)
        return letter;
    s->state = 2;
    std::memcpy(s->partition, entry, 16);
    s->bootSector = base + Get32(entry + 8);
    // An entry larger than the disk is cut to what the disk holds, so the raw
    // volume never reports sectors that are not there.
    const uint64_t disk = DeviceSectorCount(device);
    if (disk != 0 && disk != 0xFFFFFFFFu) {   // the largest count stands for "at least"
        const uint64_t room = s->bootSector < disk ? disk - s->bootSector : 0;
        if (Get32(s->partition + 12) > room)
            Put32(s->partition + 12, uint32_t(room));
    }
    return char('A' + DriveIndex(s) + 1);
}

void ScanDevicePartitions(DfsDevice* device)
{
    if (device->type == DEVICE_VOLUME) {
        DfsDrive* s = device->firstDrive;
        if (!s)
            return;
        s->state = 2;
        std::memcpy(s->partition, device->diskInfo, 16);
        s->partition[4] = 1;
        s->bootSector = Get32(device->diskInfo + 8);
    } else if (device->type == DEVICE_DISK) {
        if (device->sectorSize <= g_driveFsData.bufferSize
            || (g_driveFsData.largeSectorOption && device->sectorSize <= g_driveFsData.largeSectorSize)) {
            char letter = 'C';
            ReadPartitionTable(letter, device, 7);
        }
    } else {
        FatalError("Invalid device type in device list", 1);
    }
}

bool IsPartitionTableValid(const uint8_t* s)
{
    const uint8_t* e = s + 446;
    for (int i = 0; i < 4; ++i) {
        const uint8_t flag = e[16 * i];
        if (flag != 0 && (flag < 0x80 || flag > 0x83))
            return false;
    }
    for (int i = 0; i < 4; ++i) {
        const uint64_t a0 = Get32(e + 16 * i + 8), an = Get32(e + 16 * i + 12);
        if (an == 0)
            continue;
        for (int j = 0; j < 4; ++j) {
            if (j == i)
                continue;
            const uint64_t b0 = Get32(e + 16 * j + 8), bn = Get32(e + 16 * j + 12);
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
        RaiseError(-34);
    uint8_t s0[512];
    std::memcpy(s0, GetSectorBuffer(device, 0, GSB_NO_READAHEAD), 512);
    if (device->mountState < 3)
        device->mountState = 3;
    if (Get16(s0 + 510) != 0xAA55)
        RaiseError(-13);
    const bool valid = IsPartitionTableValid(s0);
    bool haveExtended = false;
    uint64_t extendedBase = 0;
    int primaries = 0;
    if (valid) {
        device->mountState = 4;
        for (int i = 0; i < 4; ++i) {
            const uint8_t* e = s0 + 446 + 16 * i;
            const uint8_t type = e[4];
            if (IgnoredPartitionType(type))
                continue;
            if (IsExtendedType(type)) {
                haveExtended = true;
                extendedBase = Get32(e + 8);
                continue;
            }
            if (primaries == 0 ? (flags & 1) : (flags & 4))
                letter = AddPartitionVolume(letter, device, e, 0);
            ++primaries;
        }
    }
    if ((flags & 1) && (!valid || (primaries == 0 && !haveExtended))) {
        if (IsWholeDiskBootSector(s0)) {
            uint8_t entry[16];
            std::memcpy(entry, device->diskInfo, 16);
            entry[4] = 1;
            letter = AddPartitionVolume(letter, device, entry, 0);
        } else if (!valid) {
            RaiseError(-13);
        }
    }
    if (!(flags & 2) || !haveExtended)
        return;
    uint64_t offset = 0;
    for (int records = 0; records < kMaxExtendedRecords; ++records) {
        uint8_t ebr[512];
        std::memcpy(ebr, GetSectorBuffer(device, extendedBase + offset, GSB_NO_READAHEAD), 512);
        if (Get16(ebr + 510) != 0xAA55)
            return;
        bool link = false;
        uint64_t next = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t* e = ebr + 446 + 16 * i;
            const uint8_t type = e[4];
            if (IgnoredPartitionType(type))
                continue;
            if (IsExtendedType(type)) {
                next = Get32(e + 8);
                if (next <= offset)
                    RaiseError(-13);
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
            if (device->sectorSize <= g_driveFsData.bufferSize
                || (g_driveFsData.largeSectorOption && device->sectorSize <= g_driveFsData.largeSectorSize))
                ReadPartitionTable(letter, device, flags);
        },
        [](ExceptionFrame& f) { HandleException(&f); },
        [&] { UnlockDevice(device); });
    return letter;
}

void MountVolume(DfsDrive* drive, int32_t wantedState)
{
    DfsDevice* dev = drive->device;
    Protected(
        [&] {
            if (!dev)
                RaiseError(-4);
            if (dev->mountState < 2) {
                int32_t r = MountDevice(dev, 0);
                if (dev->mountState < 2)
                    RaiseError(r < 0 ? r : -4);
            }
            if (wantedState <= 1)
                return;
            if (drive->state < 2) {
                ScanDevicePartitions(dev);
                if (drive->state < 2)
                    RaiseError(-4);
            }
            if (dev->sectorSize < 512)
                RaiseError(-34);
            uint8_t bs[512];
            std::memcpy(bs, GetSectorBuffer(dev, drive->bootSector, GSB_NO_READAHEAD), 512);
            if (std::memcmp(bs + 3, "NTFS    ", 8) == 0) {
                drive->state = 3;
                drive->fsId = FS_NTFS;
                return;
            }
            FreeUpcase(drive);
            drive->bitmapSector = 0;
            drive->bitmapSectors = 0;
            drive->exfatUsable = 0;
            if (Get16(bs + 11) == 0 && std::memcmp(bs + 3, "EXFAT   ", 8) == 0 && Get32(bs + 76) == 0)
                MountExfatVolume(drive, bs);
            else
                MountFat(drive, bs);
        },
        [&](ExceptionFrame& f) {
            if ((dev && dev->mountState >= 2 && wantedState <= 1) || drive->state >= wantedState)
                HandleException(&f);
        },
        [] {});
}

void MakeRootDirEntry(DfsDrive* drive, DirEntryRecord* out)
{
    std::memset(out, 0, sizeof *out);
    uint8_t* e = out->entry;
    e[0] = '\\';
    std::memset(e + 1, ' ', 10);
    e[11] = ATTR_DIRECTORY;
    Put16(e + 16, 0x3421);
    Put16(e + 24, 0x3421);
    uint32_t root = (drive->fsId == FS_FAT32 || drive->fsId == FS_EXFAT) ? uint32_t(drive->rootDir) : kRootArea;
    Put16(e + 20, uint16_t(root >> 16));
    Put16(e + 26, uint16_t(root));
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
        d->state = 0;
        FreeUpcase(d);
    }
    InvalidateDeviceBuffers(device);
    device->mountState = 0;
}

DfsDrive* DriveFromLetter(char letter)
{
    uint8_t c = uint8_t(letter);
    if (c >= 0x80)
        c = Cp437Upper(c);
    else if (c >= 'a' && c <= 'z')
        c = uint8_t(c - 32);
    if (c < 'A' || c >= 'A' + DriveCount())
        RaiseError(-4);
    DfsDrive* s = &Drives()[c - 'A'];
    if (s->letter == 0)
        s->letter = char(c);
    if (uint8_t(s->letter) != c) {
        for (uint32_t i = 0; i < DriveCount(); ++i)
            if (uint8_t(Drives()[i].letter) == c)
                return &Drives()[i];
        RaiseError(-4);
    }
    return s;
}

DfsDrive* EnsureVolumeMounted(DfsDrive* drive, int32_t wantedState)
{
    if (!drive->device) {
        EnterGlobal();
        LeaveGlobal();
        if (!drive->device)
            RaiseError(-4);
    }
    DfsDevice* dev = drive->device;
    LockDevice(dev);
    if (dev->mountState >= 2 && (dev->flags & DEVF_REMOVABLE)) {
        bool open = false;
        for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i) {
            DfsFile* f = &g_driveFsData.files[i];
            if (SlotInUse(f) && f->device == dev)
                open = true;
        }
        if (!open && CheckMediaChanged(dev) < 0)
            ForgetDevice(dev, false);
    }
    if (drive->state >= wantedState)
        return drive;
    Protected([&] { MountVolume(drive, wantedState); },
              [&](ExceptionFrame&) { UnlockDevice(dev); },
              [] {});
    return drive;
}

DfsDrive* FindDefaultVolume()
{
    DfsDrive* drive = nullptr;
    Protected([&] { drive = EnsureVolumeMounted(&Drives()[2], 4); },
              [&](ExceptionFrame& f) {
                  drive = nullptr;
                  HandleException(&f);
              },
              [] {});
    if (!drive)
        drive = EnsureVolumeMounted(&Drives()[0], 4);
    return drive;
}

namespace {
bool ParsePhysicalDrive(const char* p, int* number)
{
    static const char prefix[] = "\\\\.\\PHYSICALDRIVE";
    const size_t n = sizeof prefix - 1;
    if (std::strncmp(p, prefix, n) != 0)
        return false;
    p += n;
    if (*p < '0' || *p > '9')
        return false;
    long v = 0;
    while (*p >= '0' && *p <= '9' && v < 1000000)
        v = v * 10 + (*p++ - '0');
    *number = int(v);
    return true;
}
}

DfsFile* ResolvePathTarget(const char* path)
{
    DfsFile* slot = ClaimFileSlot();
    DfsDevice* locked = nullptr;
    Protected(
        [&] {
            const char* p = path ? path : "";
            while (*p == ' ')
                ++p;
            const size_t len = std::strlen(p);
            int number = 0;
            if (len == 6 && std::strncmp(p, "\\\\.\\", 4) == 0 && p[5] == ':') {
                std::snprintf(slot->path, sizeof slot->path, "%s", p);
                DfsDrive* drive = DriveFromLetter(p[4]);
                EnsureVolumeMounted(drive, 1);
                locked = drive->device;
                slot->path[4] = drive->letter;
                slot->drive = drive;
                slot->device = drive->device;
                slot->rawMode = drive->device->type == DEVICE_DISK ? RAW_VOLUME : RAW_DEVICE;
            } else if (len >= 18 && ParsePhysicalDrive(p, &number)) {
                EnterGlobal();
                LeaveGlobal();
                std::snprintf(slot->path, sizeof slot->path, "%s", p);
                DfsDevice* dev = nullptr;
                for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
                    if (d->physicalDiskNumber == number)
                        dev = d;
                if (!dev)
                    RaiseError(-4);
                LockDevice(dev);
                locked = dev;
                slot->device = dev;
                slot->rawMode = RAW_DEVICE;
            } else {
                DfsDrive* drive;
                if (p[0] && p[1] == ':') {
                    drive = DriveFromLetter(p[0]);
                } else if (g_defaultDrive.load()) {
                    drive = g_defaultDrive.load();
                } else {
                    drive = FindDefaultVolume();
                    // FindDefaultVolume hands the drive over locked; it is locked again below.
                    UnlockDevice(drive->device);
                    g_defaultDrive = drive;
                }
                EnsureVolumeMounted(drive, 4);
                locked = drive->device;
                slot->drive = drive;
                slot->device = drive->device;
                slot->rawMode = RAW_NONE;
                if (drive->fsId == FS_NTFS || drive->state < 4)
                    RaiseError(-8);
            }
        },
        [&](ExceptionFrame&) {
            if (locked)
                UnlockDevice(locked);
            ReleaseFileSlot(slot);
        },
        [] {});
    return slot;
}

uint32_t GetClusterValue(DfsDrive* volume, uint32_t cluster)
{
    if (cluster < 2 || cluster >= volume->clusterLimit)
        RaiseError(-20);
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
    uint32_t v;
    switch (volume->fsId) {
    case FS_FAT12: {
        const uint64_t offset = uint64_t(cluster) + cluster / 2;
        const uint32_t lo = byteAt(offset);
        const uint32_t hi = byteAt(offset + 1);
        const uint32_t w = lo | (hi << 8);
        v = (cluster & 1) ? (w >> 4) : (w & 0xFFF);
        if (v >= 0xFF7)
            v |= 0xFFFFF000u;
        break;
    }
    case FS_FAT16: {
        const uint64_t offset = uint64_t(cluster) * 2;
        const uint8_t* s = GetSectorBuffer(dev, volume->firstFatSector + (offset >> shift), 0);
        v = Get16(s + (offset & mask));
        if (v >= 0xFFF7)
            v |= 0xFFFF0000u;
        break;
    }
    case FS_FAT32:
        v = word32At(uint64_t(cluster) * 4) & 0x0FFFFFFFu;
        if (v >= 0x0FFFFFF7u)
            v |= 0xF0000000u;
        break;
    case FS_EXFAT:
        if (volume->bitmapSector && !IsClusterAllocated(volume, cluster))
            return 0;
        v = word32At(uint64_t(cluster) * 4);
        if (v == 0)
            v = kEndOfChain;
        break;
    default:
        FatalError("Invalid file system ID in GetClusterValue", 1);
    }
    if (v < kBadCluster && v >= volume->clusterLimit)
        v = kEndOfChain;
    if (v == 1)
        RaiseError(-20);
    return v;
}

uint32_t CountChainClusters(DfsDrive* volume, uint32_t first)
{
    uint32_t count = 1;
    uint32_t cur = first;
    uint32_t saved = first;
    uint32_t steps = 0;
    for (;;) {
        const uint32_t v = GetClusterValue(volume, cur);
        if (v < 2 || v >= kEndOfChain)
            return count;
        cur = v;
        ++steps;
        ++count;
        if (cur == saved || count > ClusterCount(volume))
            RaiseError(-20);
        if ((steps & (steps - 1)) == 0)
            saved = cur;
    }
}

uint8_t* DirEntryAtCursor(DfsDrive* volume, DirCursor* c)
{
    if (c->cluster == 0)
        return nullptr;
    DfsDevice* dev = volume->device;
    const uint32_t perSector = dev->sectorSize / 32;
    uint64_t sector;
    if (c->cluster == kRootArea) {
        if (c->index >= volume->rootEntryCount)
            return nullptr;
        sector = volume->rootDir + c->index / perSector;
    } else {
        if (c->cluster < 2 || c->cluster >= volume->clusterLimit || c->index >= volume->bytesPerCluster / 32)
            return nullptr;
        sector = ClusterToSector(volume, c->cluster) + c->index / perSector;
    }
    return GetSectorBuffer(dev, sector, 0) + (c->index % perSector) * 32;
}

uint8_t* OpenDirCursor(DfsDrive* volume, uint32_t cluster, uint32_t index, DirCursor* c)
{
    if (cluster == 1 || (cluster != kRootArea && cluster >= volume->clusterLimit))
        RaiseError(-39);
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
    } else if (c->index >= volume->bytesPerCluster / 32) {
        const uint32_t v = GetClusterValue(volume, c->cluster);
        c->index = 0;
        // A chain longer than the volume has clusters can only be a loop.
        if (v < 2 || v >= volume->clusterLimit || v == c->loopCluster || ++c->visited >= ClusterCount(volume)) {
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
    const uint64_t low = Get32(e + 28);
    uint64_t high;
    if (e[0] == 0) {
        high = Get32(e + 2);
    } else if ((Get32(e + 14) & 0x1F) == 0x1E) {
        high = e[13];
    } else {
        high = e[13] >= 200 ? uint64_t(e[13] - 199) : 0;
    }
    return (high << 32) | low;
}

uint32_t EntryFirstCluster(const uint8_t* e)
{
    return uint32_t(Get16(e + 20)) << 16 | Get16(e + 26);
}

bool ContiguousLastCluster(const DfsDrive* vol, uint32_t first, uint64_t size, uint32_t* last)
{
    const uint64_t clusters = (size + vol->bytesPerCluster - 1) >> vol->clusterShift;
    if (first >= vol->clusterLimit || clusters > uint64_t(vol->clusterLimit - first))
        return false;
    *last = clusters ? uint32_t(first + clusters - 1) : first;
    return true;
}
