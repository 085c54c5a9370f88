// Drives by letter: from a letter or a path to a ready volume, raw volume or
// raw disk, its device locked.
#include "dfs_drives.h"

#include <cstdio>
#include <cstring>

#include "dfs_codepage.h"
#include "dfs_device.h"
#include "dfs_mount.h"
#include "drivefs.h"

namespace {
constexpr char kRawVolumePrefix[] = "\\\\.\\";          // "\\.\X:"
constexpr char kRawDiskPrefix[] = "\\\\.\\PHYSICALDRIVE";

DfsDrive* Drives() { return g_driveFsData.drives; }
uint32_t DriveCount() { return g_driveFsData.driveSlotCount; }

bool ParsePhysicalDrive(const char* p, int* number)
{
    const size_t n = sizeof kRawDiskPrefix - 1;
    if (std::strncmp(p, kRawDiskPrefix, n) != 0)
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
} // namespace

DfsDrive* DriveFromLetter(char letter)
{
    uint8_t c = uint8_t(letter);
    if (c >= 0x80)
        c = Cp437Upper(c);
    else if (c >= 'a' && c <= 'z')
        c = uint8_t(c - 'a' + 'A');
    if (c < 'A' || c >= 'A' + DriveCount())
        RaiseError(DFS_E_DRIVE_NOT_FOUND);
    DfsDrive* s = &Drives()[c - 'A'];
    if (s->letter == 0)
        s->letter = char(c);
    if (uint8_t(s->letter) != c) {
        for (uint32_t i = 0; i < DriveCount(); ++i)
            if (uint8_t(Drives()[i].letter) == c)
                return &Drives()[i];
        RaiseError(DFS_E_DRIVE_NOT_FOUND);
    }
    return s;
}

DfsDrive* EnsureVolumeMounted(DfsDrive* drive, int32_t wantedState)
{
    if (!drive->device) {
        EnterGlobal();
        LeaveGlobal();
        if (!drive->device)
            RaiseError(DFS_E_DRIVE_NOT_FOUND);
    }
    DfsDevice* dev = drive->device;
    LockDevice(dev);
    if (dev->mountState >= MOUNT_MOUNTED && (dev->flags & DEVF_REMOVABLE)) {
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
    Protected([&] { drive = EnsureVolumeMounted(&Drives()['C' - 'A'], DRIVE_MOUNTED); },
              [&](ExceptionFrame& f) {
                  drive = nullptr;
                  HandleException(&f);
              },
              [] {});
    if (!drive)
        drive = EnsureVolumeMounted(&Drives()[0], DRIVE_MOUNTED);
    return drive;
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
            const size_t prefix = sizeof kRawVolumePrefix - 1;
            int number = 0;
            if (len == prefix + 2 && std::strncmp(p, kRawVolumePrefix, prefix) == 0 && p[prefix + 1] == ':') {
                std::snprintf(slot->path, sizeof slot->path, "%s", p);
                DfsDrive* drive = DriveFromLetter(p[prefix]);
                EnsureVolumeMounted(drive, DRIVE_DEVICE);
                locked = drive->device;
                slot->path[prefix] = drive->letter;
                slot->drive = drive;
                slot->device = drive->device;
                slot->rawMode = drive->device->type == DEVICE_DISK ? RAW_VOLUME : RAW_DEVICE;
            } else if (len >= sizeof kRawDiskPrefix && ParsePhysicalDrive(p, &number)) {
                EnterGlobal();
                LeaveGlobal();
                std::snprintf(slot->path, sizeof slot->path, "%s", p);
                DfsDevice* dev = nullptr;
                for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
                    if (d->physicalDiskNumber == number)
                        dev = d;
                if (!dev)
                    RaiseError(DFS_E_DRIVE_NOT_FOUND);
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
                EnsureVolumeMounted(drive, DRIVE_MOUNTED);
                locked = drive->device;
                slot->drive = drive;
                slot->device = drive->device;
                slot->rawMode = RAW_NONE;
                if (drive->fsId == FS_NTFS || drive->state < DRIVE_MOUNTED)
                    RaiseError(DFS_E_INVALID_FS);
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
