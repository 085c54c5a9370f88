// File handles: positions and cluster cursors of open files.
#pragma once

#include "dfs_types.h"

int32_t MakeFileHandle(DfsFile* slot, uint32_t lowBit);
DfsFile* LookupFileHandle(int32_t handle);
void CheckSharing(DfsFile* slot);

uint64_t FileSize(const DfsFile* slot);
void AdvanceFilePosition(DfsFile* slot, uint64_t count);
void AddFilePositionHigh(DfsFile* slot, uint64_t position);
// Highest allowed high word of a position: 255 on FAT, 511 on exFAT and raw handles.
constexpr uint32_t kFatPositionHighLimit = 255;
constexpr uint32_t kExfatPositionHighLimit = 511;
uint32_t PositionHighLimit(const DfsFile* slot);

// Opens for reading the file of an exFAT volume ("X:") whose entry copy (in
// the layout ExfatEntryImage makes) was read from its folder at dirCluster,
// entry dirIndex: no name is looked up, so any name it has is fine.
// Returns a handle or a negative code.
int32_t OpenVolumeFileEntry(const char* volume, const uint8_t* entry, uint32_t dirCluster, uint32_t dirIndex);
