// FAT chains and directory cursors: the cluster after a cluster, chain
// lengths, where a cluster lies, stepping through a folder's entries, and
// the size and first cluster a directory entry copy names.
#pragma once

#include "dfs_types.h"

// Cluster values as GetClusterValue hands them out, whatever the FAT type.
constexpr uint32_t kEndOfChain = 0xFFFFFFF8u;
constexpr uint32_t kBadCluster = 0xFFFFFFF7u;
// The cluster number that stands for the FAT12/16 root area.
constexpr uint32_t kRootArea = 0xFFFFFFFFu;

// The FAT entry of cluster; 0 for a free cluster. A link past the volume's
// clusters raises DFS_E_FAT_ALLOCATION.
uint32_t GetClusterValue(DfsDrive* volume, uint32_t cluster);
// The cluster after cluster in its chain, 0 at the end of the chain; a free
// cluster inside the chain raises DFS_E_FAT_ALLOCATION.
uint32_t NextChainCluster(DfsDrive* volume, uint32_t cluster);
uint32_t CountChainClusters(DfsDrive* volume, uint32_t first);
uint64_t ClusterToSector(const DfsDrive* volume, uint32_t cluster);
inline uint32_t ClusterCount(const DfsDrive* volume) { return volume->clusterLimit - 2; }
// The exFAT allocation bitmap's bit for cluster.
bool IsClusterAllocated(DfsDrive* volume, uint32_t cluster);

uint8_t* OpenDirCursor(DfsDrive* volume, uint32_t cluster, uint32_t index, DirCursor* cursor);
uint8_t* NextDirEntry(DfsDrive* volume, DirCursor* cursor);
uint8_t* DirEntryAtCursor(DfsDrive* volume, DirCursor* cursor);

// Large-file rule: the size of a file from its 32-byte entry copy.
uint64_t EntryFileSize(const uint8_t* entry);
uint32_t EntryFirstCluster(const uint8_t* entry);
// The last cluster of a contiguous (NoFatChain) extent of size bytes from
// first; false when it would run past the end of the cluster heap.
bool ContiguousLastCluster(const DfsDrive* volume, uint32_t first, uint64_t size, uint32_t* last);
