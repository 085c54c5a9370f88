// Device list and start-up, the device and global locks, file slots, and
// the device layer every sector transfer passes (with critical-error retries).
#include "dfs_device.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "dfs_cache.h"
#include "dfs_diskdriver.h"
#include "dfs_mount.h"
#include "dfs_partitions.h"

namespace {
DfsDrive s_drives[8];
DfsFile s_files[8];
DfsBuffer s_bufferHeaders[512];
uint8_t s_bufferData[512 * 512];
uint8_t s_l2Area[65536];

DfsDevice s_devices[2] = {
    {DEVICE_DISK, 0, DEVF_PRIVATE_MUTEX, &g_diskDriver, &g_diskDriverData[0], nullptr, nullptr,
     0, 0, 0, {}, 0, nullptr, nullptr, 0, -1, {}, 0},
    {},
};

std::mutex s_startMutex;
// A persistent media failure on a medium that still verifies would retry forever.
constexpr int kMaxCriticalRetries = 3;
}

DriveFsData g_driveFsData = {
    kDriveFsVersion, 8, 8, 512, 512, s_drives, s_files, s_bufferHeaders, s_bufferData,
    0, 2048, sizeof s_l2Area, s_l2Area,
};

std::atomic<DfsMutex*> g_globalMutex{nullptr};
uint32_t g_lastHandleSerial = 0;
std::atomic<DfsDrive*> g_defaultDrive{nullptr};
std::atomic<bool> g_libraryStarted{false};
DfsDevice* g_deviceList = s_devices;
int32_t (*g_criticalErrorHandler)(char, uint32_t, int32_t) = DefaultCriticalErrorHandler;

DfsDevice* DriveFsDiskDevice()
{
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        if (d->type == DEVICE_DISK)
            return d;
    return nullptr;
}

void SetDeviceList(DfsDevice* list)
{
    g_deviceList = list ? list : s_devices;
}

int32_t DefaultCriticalErrorHandler(char, uint32_t, int32_t)
{
    return 1;
}

void EnterGlobal()
{
    g_globalMutex.load()->Enter();
}

void LeaveGlobal()
{
    DfsMutex* m = g_globalMutex.load();
    if (!m)
        FatalError("Attempt to free not owned mutex", 1);
    m->Leave();
}

void AssertGlobalOwned()
{
    DfsMutex* m = g_globalMutex.load();
    if (!m || !m->OwnedByCaller())
        FatalError("Attempt to free not owned mutex", 1);
}

void InitVolumeLibrary()
{
    // Threads arriving during a start-up wait here until it is complete.
    std::lock_guard<std::mutex> start(s_startMutex);
    if (g_libraryStarted.load())
        return;
    DfsMutex* global = new (std::nothrow) DfsMutex("DriveFs");
    if (!global)
        FatalError("Unable to allocate Win32 Heap memory", 12);
    g_globalMutex.store(global);
    EnterGlobal();
    InitBuffers();
    InitDeviceList();
    LeaveGlobal();
    // Device, then global, as every other path takes them: holding the
    // global mutex while a device is locked would invert the order.
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        d->mutex->Enter();
    EnterGlobal();
    AssignDriveLetters();
    LeaveGlobal();
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d)
        d->mutex->Leave();
    g_libraryStarted.store(true);
}

DfsMutex* GetDriverMutex(DfsDevice* entry, const DfsDriver* driver, const char* name)
{
    for (DfsDevice* d = entry; d != g_deviceList;) {
        --d;
        if (d->driver == driver && d->mutex && !(d->flags & DEVF_PRIVATE_MUTEX))
            return d->mutex;
    }
    DfsMutex* m = new (std::nothrow) DfsMutex(name);
    if (!m)
        FatalError("Unable to allocate Win32 Heap memory", 12);
    return m;
}

void InitDeviceList()
{
    for (DfsDevice* d = g_deviceList; d->type != DEVICE_END; ++d) {
        if (!d->driver || d->driver->version < 200 || d->driver->version > int32_t(kDriveFsVersion))
            FatalError("Device driver version mismatch", 1);
        for (DfsDevice* e = g_deviceList; e != d; ++e)
            if (d->driverData && e->driverData == d->driverData)
                FatalError("Two device list entries use the same device data", 1);
        if (d->type == DEVICE_VOLUME)
            d->flags |= DEVF_REMOVABLE;
        d->physicalDiskNumber = -1;
        d->usable = (d->flags & DEVF_DISABLED) ? 0 : 1;
        int index = int(d - g_deviceList);
        std::snprintf(d->name, sizeof d->name, "Disk %d", index % 10);
        if (!d->mutex) {
            if (d->flags & DEVF_PRIVATE_MUTEX) {
                d->mutex = new (std::nothrow) DfsMutex(d->name);
                if (!d->mutex)
                    FatalError("Unable to allocate Win32 Heap memory", 12);
            } else {
                d->mutex = GetDriverMutex(d, d->driver, d->name);
            }
        }
    }
}

void LockDevice(DfsDevice* device)
{
    if (!device)
        FatalError("can't lock null device", 1);
    device->mutex->Enter();
    EnterGlobal();
}

void UnlockDevice(DfsDevice* device)
{
    if (!device)
        FatalError("can't lock null device", 1);
    ReleaseCurrentBuffer(device);
    if (device->pendingError < 0)
        ForgetDevice(device, true);
    LeaveGlobal();
    device->mutex->Leave();
}

DfsFile* ClaimFileSlot()
{
    if (!g_libraryStarted.load())
        InitVolumeLibrary();
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i)
        if (TestAndSetByte(&g_driveFsData.files[i].inUse) == 0)
            return &g_driveFsData.files[i];
    RaiseError(DFS_E_TOO_MANY_FILES);
}

void ReleaseFileSlot(DfsFile* slot)
{
    volatile uint8_t* inUse = &slot->inUse;
    std::memset(static_cast<void*>(slot), 0, offsetof(DfsFile, inUse));
    __atomic_store_n(inUse, uint8_t(0), __ATOMIC_SEQ_CST);
}

namespace {
// Runs a driver call with only the device mutex held: the global mutex is
// left around the transfer and entered again in the final part.
template <typename Call>
int32_t CallDriver(Call&& call)
{
    AssertGlobalOwned();
    LeaveGlobal();
    int32_t result = 0;
    int32_t r = ProtectedFinally([&] { result = call(); }, [&] { EnterGlobal(); });
    if (r < 0)
        RaiseError(r);
    return result;
}
}

int32_t MountDevice(DfsDevice* device, uint32_t flags)
{
    int32_t result = 0;
    int32_t r = Protected(
        [&] {
            if (device->flags & DEVF_DISABLED)
                RaiseError(DFS_E_MEDIA_CHANGED);
            device->pendingError = 0;
            device->removableMedia = 0;
            std::memset(device->diskInfo, 0, sizeof device->diskInfo);
            device->mountState = MOUNT_MOUNTING;
            uint32_t mountFlags = device->flags;
            if (g_driveFsData.bufferSize <= 2047 && !g_driveFsData.largeSectorOption)
                mountFlags |= 0x8000;
            int32_t size = CallDriver([&] {
                return device->driver->Mount(device->driverData, device->unit, device->type, mountFlags);
            });
            if (size < 0)
                RaiseError(size);
            if (size & 1) {
                device->flags |= DEVF_REMOVABLE;
                size &= ~1;
            }
            // Sectors smaller than 512 bytes cannot hold a boot sector.
            if (size < 512 || (size & (size - 1)) != 0)
                RaiseError(DFS_E_INVALID_SECTOR_SIZE);
            device->sectorSize = uint32_t(size);
            uint32_t shift = 0;
            while ((1u << shift) < uint32_t(size))
                ++shift;
            device->sectorShift = shift;
            result = size;
        },
        [&](ExceptionFrame& f) {
            // A drive without its medium is removable: not ready, or not found.
            if (f.code == DFS_E_NO_MEDIA) {
                f.code = DFS_E_NOT_READY;
                device->flags |= DEVF_REMOVABLE;
            } else if (f.code == DFS_E_NO_DRIVE) {
                f.code = DFS_E_DRIVE_NOT_FOUND;
                device->flags |= DEVF_REMOVABLE;
            }
            if (flags & DEV_RETURN_ERRORS) {
                result = f.code;
                HandleException(&f);
            }
        },
        [] {});
    if (r < 0)
        RaiseError(r);
    if (result < 0)
        return result;
    // The driver is open from here on, also when it has no disk-info operation.
    device->mountState = MOUNT_MOUNTED;
    GetDeviceDiskInfo(device, device->diskInfo, &device->removableMedia);
    return result;
}

int32_t UnmountDevice(DfsDevice* device)
{
    if (device->flags & DEVF_DISABLED)
        return DFS_E_MEDIA_CHANGED;
    return CallDriver([&] { return device->driver->Unmount(device->driverData); });
}

int32_t ReadDeviceSectors(DfsDevice* device, void* buffer, uint64_t first, uint32_t count, uint32_t flags)
{
    int32_t result = 0;
    int retries = 0;
    int32_t r = Protected(
        [&] {
            if (device->flags & DEVF_DISABLED)
                RaiseError(DFS_E_MEDIA_CHANGED);
            if (device->pendingError < 0)
                RaiseError(device->pendingError);
            if (device->mountState < MOUNT_MOUNTED)
                RaiseError(DFS_E_NOT_READY);
            int32_t rc = CallDriver([&] { return device->driver->ReadSectors(device->driverData, first, count, buffer); });
            if (rc < 0)
                RaiseError(rc);
            if (device->mountState < MOUNT_SECTOR_READ)
                device->mountState = MOUNT_SECTOR_READ;
        },
        [&](ExceptionFrame& f) {
            int32_t code = f.code;
            if (!(flags & DEV_NO_CRITICAL)) {
                if (retries >= kMaxCriticalRetries) {
                    // Given up as if the handler had answered fail.
                    if (IsMediaCode(code))
                        device->pendingError = code;
                } else if (HandleCriticalError(device, code) == 0) {
                    ++retries;
                    XReExecute();
                }
            }
            if (flags & DEV_RETURN_ERRORS) {
                HandleException(&f);
                device->pendingError = 0;
                result = code;
            }
        },
        [] {});
    if (r < 0)
        RaiseError(r);
    return result;
}

int32_t CheckMediaChanged(DfsDevice* device)
{
    if (device->flags & DEVF_DISABLED)
        return DFS_E_MEDIA_CHANGED;
    if (device->mountState < MOUNT_MOUNTED)
        return DFS_E_NOT_READY;
    return CallDriver([&] { return device->driver->MediaChanged(device->driverData); });
}

int32_t GetDeviceDiskInfo(DfsDevice* device, uint8_t info[16], uint8_t* removable)
{
    if (!device->driver->GetDiskInfo)
        return DFS_E_UNSUPPORTED_FUNCTION;
    if (device->mountState < MOUNT_MOUNTED)
        return DFS_E_NOT_READY;
    return CallDriver([&] { return device->driver->GetDiskInfo(device->driverData, info, removable); });
}

int32_t VerifySameMedia(DfsDrive* drive, int32_t code)
{
    DfsDevice* device = drive->device;
    int32_t result = 0;
    EnterGlobal();
    Protected(
        [&] {
            CheckMediaChanged(device);
            uint64_t boot = drive->bootSector;
            DfsBuffer* cur = device->currentBuffer;
            if (cur && (cur->flags & BUF_VALID) && cur->sector == boot)
                RaiseError(code);
            uint8_t* data = GetSectorBuffer(device, boot, GSB_NO_READ | GSB_ALTERNATE);
            ReadDeviceSectors(device, data, boot, 1, DEV_NO_CRITICAL);
            uint32_t serial = drive->serial;
            if (drive->fsId == FS_FAT12 || drive->fsId == FS_FAT16)
                serial = Get32(data + bpb::kVolumeId16);
            else if (drive->fsId == FS_FAT32)
                serial = Get32(data + bpb::kVolumeId32);
            result = serial == drive->serial ? 0 : DFS_E_WRONG_MEDIA;
        },
        [&](ExceptionFrame& f) {
            result = f.code;
            HandleException(&f);
        },
        [&] {
            DiscardAltBuffer(device);
            LeaveGlobal();
        });
    return result;
}

int32_t HandleCriticalError(DfsDevice* device, int32_t code)
{
    DfsDrive* drive = device->firstDrive && device->firstDrive->state >= DRIVE_MOUNTED ? device->firstDrive : nullptr;
    const bool media = IsMediaCode(code);
    if (media && drive) {
        int32_t v = VerifySameMedia(drive, code);
        if (v == 0)
            return 0;
        code = v;
    }
    for (;;) {
        char letter = drive ? char('A' + (drive - g_driveFsData.drives)) : device->name[5];
        uint32_t serial = drive ? drive->serial : 0;
        int32_t answer = g_criticalErrorHandler(letter, serial, code);
        if (answer != 0 && answer != 1)
            FatalError("Invalid return value from critical error handler", 1);
        if (answer == 1) {
            if (media)
                device->pendingError = code;
            return 1;
        }
        if (media && drive) {
            int32_t v = VerifySameMedia(drive, code);
            if (v != 0) {
                code = v;
                continue;
            }
        }
        return 0;
    }
}
