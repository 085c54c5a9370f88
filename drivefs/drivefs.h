// DriveFs: read-only FAT12/FAT16/FAT32/exFAT volume library used to index
// player drives. Every public call returns a volume library error code
// (0 success, negative failure) or a handle/count in its place.
#pragma once

#include <cstdint>
#include <string>

// Volume library error codes; texts through GetErrorText().
enum DriveFsError : int32_t {
    DFS_OK = 0,
    DFS_E_UNKNOWN = -1,
    DFS_E_PARAMETER = -2,
    DFS_E_INVALID_NAME = -3,
    DFS_E_DRIVE_NOT_FOUND = -4,
    DFS_E_TOO_MANY_FILES = -5,
    DFS_E_NO_MORE_FILES = -6,
    DFS_E_WRONG_MEDIA = -7,
    DFS_E_INVALID_FS = -8,
    DFS_E_FILE_NOT_FOUND = -9,
    DFS_E_INVALID_HANDLE = -10,
    DFS_E_UNSUPPORTED_DEVICE = -11,
    DFS_E_UNSUPPORTED_FUNCTION = -12,
    DFS_E_CORRUPT_PARTITION_TABLE = -13,
    DFS_E_TOO_MANY_DEVICES = -14,
    DFS_E_INVALID_POSITION = -15,
    DFS_E_ACCESS_DENIED = -16,
    DFS_E_STRING_TOO_SMALL = -17,
    DFS_E_GENERAL_FAILURE = -18,
    DFS_E_PATH_NOT_FOUND = -19,
    DFS_E_FAT_ALLOCATION = -20,
    DFS_E_ROOT_FULL = -21,
    DFS_E_DISK_FULL = -22,
    DFS_E_TIMEOUT = -23,
    DFS_E_BAD_SECTOR = -24,
    DFS_E_DATA = -25,
    DFS_E_MEDIA_CHANGED = -26,
    DFS_E_SECTOR_NOT_FOUND = -27,
    DFS_E_ADDRESS_MARK = -28,
    DFS_E_NOT_READY = -29,
    DFS_E_WRITE_PROTECTED = -30,
    DFS_E_DMA_OVERRUN = -31,
    DFS_E_CRC = -32,
    DFS_E_DRIVER_RESOURCE = -33,
    DFS_E_INVALID_SECTOR_SIZE = -34,
    DFS_E_OUT_OF_BUFFERS = -35,
    DFS_E_FILE_EXISTS = -36,
    DFS_E_LONG_POSITION = -37,
    DFS_E_FILE_TOO_LARGE = -38,
    DFS_E_BAD_DIR_ENTRY = -39,
    DFS_E_ABORTED = -40,
    DFS_E_NO_DRIVE = -41,
    DFS_E_NO_MEDIA = -42,
};

// What GetVolumeFileInfo() reports about an open handle.
struct VolumeFileInfo {
    const uint8_t* entry;      // the file's 32-byte directory entry copy; null for raw handles
    uint32_t fragments;        // 1 for a contiguous exFAT file, else 0
    uint64_t size;             // file size, or the volume/disk size in bytes for raw handles
    uint64_t position;
    uint64_t allocatedSize;    // contiguous exFAT files and raw handles only, else 0
    uint32_t volumeSerial;     // 0 for raw disks
    const char* path;          // the raw path a raw handle was opened with
};

// Opens a file (read-only), a raw volume "\\.\X:" or a raw disk
// "\\.\PHYSICALDRIVE<n>". Returns a positive handle or a negative code.
int32_t OpenVolumeFile(const char* path);
// Reads up to count bytes; *bytesRead (may be null) counts what was delivered,
// also on failure. Reading at the end of a file returns 0 with 0 bytes.
int32_t ReadVolumeFile(int32_t handle, void* buffer, uint32_t count, uint32_t* bytesRead);
// origin 0 start, 1 current, 2 end; the new position is written back.
int32_t SeekVolumeFile(int32_t handle, int64_t* position, int origin);
int32_t GetVolumeFileInfo(int32_t handle, VolumeFileInfo* info);
int32_t CloseVolumeFile(int32_t handle);
// Returns the number of handles closed, or the last negative code met.
int32_t CloseAllVolumeFiles();
// Stops the library; the next open starts it afresh.
void ShutdownVolumeLibrary();
const char* GetErrorText(int32_t code);

// Physical disks: "\\.\PHYSICALDRIVE<n>" resolves to the block device or
// disk image file registered under number n.
int RegisterPhysicalDisk(const std::string& path);
std::string PhysicalDiskPath(int number);
