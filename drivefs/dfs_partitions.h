// Partition tables and drive letters: the scan at start-up that gives every
// volume found on a disk a drive slot, primary partitions first, then
// logical ones along the extended records.
#pragma once

#include "dfs_types.h"

void AssignDriveLetters();
DfsDrive* ClaimDriveSlot(char letter, DfsDevice* device);
// Gives the volume of a partition entry (mbr:: layout) a slot at letter or
// after; base is the sector its first sector counts from.
char AddPartitionVolume(char letter, DfsDevice* device, const uint8_t entry[mbr::kEntrySize], uint64_t base);
void ScanDevicePartitions(DfsDevice* device);
bool IsPartitionTableValid(const uint8_t* sector0);
// Advances letter past every volume it adds, also when it raises midway.
void ReadPartitionTable(char& letter, DfsDevice* device, uint32_t flags);
char PrepareDevice(char letter, DfsDevice* device, uint32_t flags);
// The slot index of a drive, and the letter that goes with it.
int DriveIndex(const DfsDrive* drive);
