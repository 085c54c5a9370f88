// Records shared by the layers of the volume library.
#pragma once

#include <cstdint>

#include "dfs_layout.h"
#include "dfs_runtime.h"

struct DfsDevice;
struct DfsDrive;
struct DfsBuffer;
struct DfsFile;

// Operations of a sector driver; data is the device's driver data record.
struct DfsDriver {
    int32_t version;
    int32_t (*Mount)(void* data, int32_t unit, int32_t type, uint32_t flags);
    int32_t (*Unmount)(void* data);
    int32_t (*ReadSectors)(void* data, uint64_t first, uint32_t count, void* buffer);
    int32_t (*WriteSectors)(void* data, uint64_t first, uint32_t count, const void* buffer);
    int32_t (*MediaChanged)(void* data);
    int32_t (*Discard)(void* data, uint64_t first, uint32_t count);                 // optional
    int32_t (*GetDiskInfo)(void* data, uint8_t info[16], uint8_t* removable);     // optional
    void* reserved;                                                               // never called
};

enum : int32_t { DEVICE_END = 0, DEVICE_VOLUME = 1, DEVICE_DISK = 2 };
enum : uint32_t {
    DEVF_SCAN_LAST = 4,
    DEVF_REMOVABLE = 8,
    DEVF_DISABLED = 0x10,
    DEVF_PRIVATE_MUTEX = 0x20,
};

// How far a device has come (DfsDevice::mountState); later states include
// the earlier ones.
enum : uint8_t {
    MOUNT_NONE = 0,
    MOUNT_MOUNTING = 1,
    MOUNT_MOUNTED = 2,
    MOUNT_SECTOR_READ = 3,
    MOUNT_PARTITIONS_READ = 4,
};

// One entry of the device list (ended by an entry of type 0).
struct DfsDevice {
    int32_t type;
    int32_t unit;
    uint32_t flags;
    const DfsDriver* driver;
    void* driverData;
    DfsMutex* mutex;
    DfsDrive* firstDrive;
    uint8_t usable;
    uint8_t mountState;     // MOUNT_*
    uint32_t sectorSize;
    uint8_t diskInfo[mbr::kEntrySize];  // partition-entry layout (mbr::kFirstSector, kSectorCount)
    uint32_t sectorShift;
    DfsBuffer* currentBuffer;
    DfsBuffer* altBuffer;
    int32_t pendingError;
    int32_t physicalDiskNumber;
    char name[8];
    uint8_t removableMedia;
};

// The library only reads: a buffer is valid (holds its sector) and in use
// (handed out as a device's current or alternate buffer), never dirty.
enum : uint32_t { BUF_VALID = 1, BUF_INUSE = 4 };

struct DfsBuffer {
    DfsBuffer* next;        // towards less recently used
    DfsBuffer* previous;    // towards more recently used
    DfsDevice* device;
    uint8_t* data;
    uint64_t sector;
    uint32_t flags;
};

enum : int32_t { FS_NTFS = 7, FS_FAT12 = 12, FS_FAT16 = 16, FS_FAT32 = 32, FS_EXFAT = 33 };

// Where a scan of an exFAT folder is in an entry set: looking for a file
// entry, after one (its stream entry comes next), or gathering its name.
enum : int32_t { SCAN_SEEKING = 0, SCAN_AFTER_FILE = 1, SCAN_NAME = 2 };

// A directory entry as the name layer keeps it: the 32-byte FAT layout plus
// where it lies.
struct DirEntryRecord {
    uint8_t entry[direntry::kSize];
    uint32_t dirCluster;
    uint32_t dirIndex;
};

// How far a drive has come (DfsDrive::state), and the states a caller asks
// MountVolume for. No drive is ever in DRIVE_DEVICE: asking for it asks only
// for the device to be mounted. DRIVE_BOOT_READ: the boot sector was read but
// holds no volume the library can use (NTFS, a damaged FAT or exFAT).
enum : int32_t {
    DRIVE_EMPTY = 0,
    DRIVE_DEVICE = 1,
    DRIVE_PARTITION = 2,
    DRIVE_BOOT_READ = 3,
    DRIVE_MOUNTED = 4,
};

// Drive slot: one lettered volume.
struct DfsDrive {
    DfsDevice* device;
    DfsDrive* nextOfDevice;
    int32_t state;          // DRIVE_*
    uint8_t partition[mbr::kEntrySize]; // partition-entry layout (mbr::)
    uint32_t clusterLimit;  // cluster count + 2
    uint32_t sectorsPerCluster;
    uint32_t bytesPerCluster;
    uint32_t clusterShift;
    uint32_t spcShift;
    int32_t fsId;
    uint32_t fatCount;
    uint32_t fatSize;
    uint32_t nextFree;
    int32_t freeCount;
    uint64_t fsInfoSector;
    uint32_t serial;
    uint64_t bootSector;
    uint64_t firstFatSector;
    uint64_t rootDir;       // FAT12/16: first sector of the root area; FAT32/exFAT: root cluster
    uint64_t firstDataSector;
    uint32_t rootEntryCount;
    uint64_t volumeSectors; // sectors the volume may use, from its partition or boot sector
    // exFAT
    uint64_t bitmapSector;
    uint64_t bitmapSectors;
    uint16_t* upcase;
    uint32_t upcaseLength;  // values held in upcase
    uint8_t exfatUsable;
    DirEntryRecord rootEntry;
    char letter;
    char curDir[260];
};

enum : int32_t { RAW_NONE = 0, RAW_VOLUME = 1, RAW_DEVICE = 2 };
enum : uint32_t { MODE_READ = 0x100, MODE_SHARE_MASK = 0x300 };

// File slot: one open file, raw volume or raw disk.
struct DfsFile {
    DfsDrive* drive;
    DfsDevice* device;
    int32_t rawMode;
    uint32_t serial;
    uint32_t dirCluster;
    uint32_t dirIndex;
    uint8_t entry[direntry::kSize];
    uint64_t position;
    uint32_t prevCluster;
    uint32_t curCluster;    // 0 parked past the end; 0xFFFFFFFF the FAT12/16 root area
    uint32_t clusterOffset;
    uint32_t lastCluster;   // contiguous files
    // Chained files: the first cluster index the chain may not reach (where it
    // comes back to a cluster it already holds), as far as it was checked.
    uint32_t chainLimit;
    uint8_t chainChecked;   // CHAIN_UNCHECKED, CHAIN_PARTLY_CHECKED or CHAIN_CHECKED
    uint32_t mode;
    char path[260];
    volatile uint8_t inUse;
};

enum : uint8_t { CHAIN_UNCHECKED = 0, CHAIN_PARTLY_CHECKED = 1, CHAIN_CHECKED = 2 };
constexpr uint32_t kNoChainLimit = 0xFFFFFFFFu;

struct DirCursor {
    uint32_t cluster;       // 0xFFFFFFFF the FAT12/16 root area, 0 none
    uint32_t index;
    uint32_t loopCluster;
    uint16_t steps;
    uint32_t visited;       // clusters stepped through, bounded by the cluster count
};

// The library's configuration record.
struct DriveFsData {
    uint32_t version;
    uint32_t driveSlotCount;
    uint32_t fileSlotCount;
    uint32_t bufferCount;
    uint32_t bufferSize;
    DfsDrive* drives;
    DfsFile* files;
    DfsBuffer* bufferHeaders;
    uint8_t* bufferData;
    uint32_t largeSectorOption;
    uint32_t largeSectorSize;
    uint32_t l2Size;
    uint8_t* l2Area;
};

extern DriveFsData g_driveFsData;

inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
inline uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | (uint64_t(Get32(p + 4)) << 32); }
inline void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void Put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
