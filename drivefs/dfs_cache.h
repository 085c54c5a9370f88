// Sector buffer cache: one LRU ring of sector buffers shared by all devices,
// a current (and alternate) buffer per device, a sequential hint and a
// read-ahead area filled by one multi-sector transfer. The library only
// reads, so no buffer is ever written back.
#pragma once

#include "dfs_types.h"

enum : uint32_t { GSB_NO_READ = 4, GSB_ALTERNATE = 8, GSB_NO_READAHEAD = 16 };

extern DfsBuffer* g_bufferHead;     // most recently used
extern DfsBuffer* g_sequentialHint;
extern DfsDevice* g_l2Owner;

void InitBuffers();
DfsBuffer* BuildBufferRing(uint32_t count, uint32_t bufferSize, DfsBuffer* headers, uint8_t* data);
void BufferMoveToFront(DfsBuffer* buffer);
void BufferMoveToTail(DfsBuffer* buffer);
uint8_t* GetSectorBuffer(DfsDevice* device, uint64_t sector, uint32_t flags);
void LoadBuffer(DfsBuffer* buffer);
int32_t ReadAheadIntoL2(DfsDevice* device, uint64_t first);
void ReleaseCurrentBuffer(DfsDevice* device);
void DiscardCurrentBuffer(DfsDevice* device);
void DiscardAltBuffer(DfsDevice* device);
// Forgets the cached copies of count sectors from first (a transfer past the
// cache reads them next).
void DropCachedSectors(DfsDevice* device, uint64_t first, uint64_t count);
void InvalidateDeviceBuffers(DfsDevice* device);
