// Drives by letter: the slot a letter names, making a drive ready for a
// path, and the target a path names (a file's volume, a raw volume or a raw
// disk).
#pragma once

#include "dfs_types.h"

DfsDrive* DriveFromLetter(char letter);
// Locks the drive's device and brings the drive to wantedState; on a raise
// the device is unlocked again.
DfsDrive* EnsureVolumeMounted(DfsDrive* drive, int32_t wantedState);
// C:, else A:, mounted; handed over with its device locked.
DfsDrive* FindDefaultVolume();
// Claims a file slot for path and locks the device behind it; raises (with
// the slot released and nothing locked) when the target cannot be reached.
DfsFile* ResolvePathTarget(const char* path);
