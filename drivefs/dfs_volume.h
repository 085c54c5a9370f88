// Partition tables, drive letters, volume mount, FAT chains and directory
// cursors.
#pragma once

#include "dfs_types.h"

constexpr uint32_t kEndOfChain = 0xFFFFFFF8u;
constexpr uint32_t kBadCluster = 0xFFFFFFF7u;
constexpr uint32_t kRootArea = 0xFFFFFFFFu;

void AssignDriveLetters();
DfsDrive* ClaimDriveSlot(char letter, DfsDevice* device);
char AddPartitionVolume(char letter, DfsDevice* device, const uint8_t entry[16], uint64_t base);
void ScanDevicePartitions(DfsDevice* device);
bool IsPartitionTableValid(const uint8_t* sector0);
// Advances letter past every volume it adds, also when it raises midway.
void ReadPartitionTable(char& letter, DfsDevice* device, uint32_t flags);
char PrepareDevice(char letter, DfsDevice* device, uint32_t flags);
void MountVolume(DfsDrive* drive, int32_t wantedState);
void MakeRootDirEntry(DfsDrive* drive, DirEntryRecord* out);
void ForgetDevice(DfsDevice* device, bool clearFiles);
DfsDrive* DriveFromLetter(char letter);
DfsDrive* EnsureVolumeMounted(DfsDrive* drive, int32_t wantedState);
DfsDrive* FindDefaultVolume();
DfsFile* ResolvePathTarget(const char* path);

uint32_t GetClusterValue(DfsDrive* volume, uint32_t cluster);
uint32_t CountChainClusters(DfsDrive* volume, uint32_t first);
uint64_t ClusterToSector(const DfsDrive* volume, uint32_t cluster);
inline uint32_t ClusterCount(const DfsDrive* volume) { return volume->clusterLimit - 2; }

uint8_t* OpenDirCursor(DfsDrive* volume, uint32_t cluster, uint32_t index, DirCursor* cursor);
uint8_t* NextDirEntry(DfsDrive* volume, DirCursor* cursor);
uint8_t* DirEntryAtCursor(DfsDrive* volume, DirCursor* cursor);

// Large-file rule: the size of a file from its 32-byte entry copy.
uint64_t EntryFileSize(const uint8_t* entry);
uint32_t EntryFirstCluster(const uint8_t* entry);
// The last cluster of a contiguous (NoFatChain) extent of size bytes from
// first; false when it would run past the end of the cluster heap.
bool ContiguousLastCluster(const DfsDrive* volume, uint32_t first, uint64_t size, uint32_t* last);
