// Mounting a drive's volume: recognising the file system in its boot sector,
// the FAT12/16/32 and exFAT mounts, and forgetting what a device held.
#pragma once

#include "dfs_types.h"

// Brings the drive at least to wantedState (a DRIVE_* state); raises when it
// cannot get there.
void MountVolume(DfsDrive* drive, int32_t wantedState);
// The signature of an exFAT boot sector: zeros where FAT keeps its BPB, the
// name "EXFAT   " and a volume length that fits in 32 bits.
bool IsExfatBootSector(const uint8_t* bootSector);
// The geometry of a FAT12/16/32 volume from its boot sector (dfs_fatmount.cpp).
void MountFatVolume(DfsDrive* drive, const uint8_t* bootSector);
// The geometry of an exFAT volume from its boot sector, then its allocation
// bitmap and up-case table (dfs_exfatmount.cpp).
void MountExfatVolume(DfsDrive* volume, const uint8_t* bootSector);
void LocateExfatMetadata(DfsDrive* volume, uint32_t activeFat);
// The made-up directory entry that stands for the root folder.
void MakeRootDirEntry(DfsDrive* drive, DirEntryRecord* out);
// Drops the device's volumes and cached sectors (and with clearFiles its open files).
void ForgetDevice(DfsDevice* device, bool clearFiles);
void FreeUpcase(DfsDrive* drive);
