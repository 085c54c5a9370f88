// Device list, library start-up, locks and the device layer through which
// every sector transfer passes.
#pragma once

#include <atomic>

#include "dfs_types.h"
#include "drivefs.h"

constexpr uint32_t kDriveFsVersion = 535;

extern std::atomic<DfsMutex*> g_globalMutex;   // null while the library is stopped
extern uint32_t g_lastHandleSerial;
extern std::atomic<DfsDrive*> g_defaultDrive;
extern std::atomic<bool> g_libraryStarted;   // set once start-up has finished

// The device list in use (ended by an entry of type 0). The shipped list has
// one physical disk whose unit the drive indexer sets before a run.
extern DfsDevice* g_deviceList;
DfsDevice* DriveFsDiskDevice();
// Replaces the device list; only while the library is stopped (tests).
void SetDeviceList(DfsDevice* list);

// Critical-error handler: answers 0 retry or 1 fail.
extern int32_t (*g_criticalErrorHandler)(char driveLetter, uint32_t serial, int32_t code);
int32_t DefaultCriticalErrorHandler(char driveLetter, uint32_t serial, int32_t code);

void InitVolumeLibrary();
void InitDeviceList();
DfsMutex* GetDriverMutex(DfsDevice* entry, const DfsDriver* driver, const char* name);
void LockDevice(DfsDevice* device);
void UnlockDevice(DfsDevice* device);
void EnterGlobal();
void LeaveGlobal();
void AssertGlobalOwned();
DfsFile* ClaimFileSlot();
void ReleaseFileSlot(DfsFile* slot);
inline bool SlotInUse(const DfsFile* slot)
{
    return __atomic_load_n(&slot->inUse, __ATOMIC_SEQ_CST) != 0;
}

enum : uint32_t { DEV_RETURN_ERRORS = 1, DEV_NO_CRITICAL = 2 };

int32_t MountDevice(DfsDevice* device, uint32_t flags);
int32_t UnmountDevice(DfsDevice* device);
int32_t ReadDeviceSectors(DfsDevice* device, void* buffer, uint64_t first, uint32_t count, uint32_t flags);
int32_t CheckMediaChanged(DfsDevice* device);
int32_t GetDeviceDiskInfo(DfsDevice* device, uint8_t info[16], uint8_t* removable);
int32_t VerifySameMedia(DfsDrive* drive, int32_t code);
int32_t HandleCriticalError(DfsDevice* device, int32_t code);
// The sectors the device's disk information counts (0 when not known).
inline uint64_t DeviceSectorCount(const DfsDevice* device)
{
    return Get32(device->diskInfo + mbr::kSectorCount);
}

// Codes that say the medium went away or changed, rather than that a sector failed.
inline bool IsMediaCode(int32_t code)
{
    return code == DFS_E_NOT_READY || code == DFS_E_MEDIA_CHANGED || code == DFS_E_WRONG_MEDIA
        || code == DFS_E_DRIVE_NOT_FOUND;
}
