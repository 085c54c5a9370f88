// Names and directories: CP437, FAT short and long names, exFAT names and
// entry sets, the allocation bitmap, the up-case table and path walks.
#pragma once

#include "dfs_types.h"

extern const uint16_t kCp437ToUnicode[128];
uint8_t Cp437Upper(uint8_t c);
uint8_t Cp437Lower(uint8_t c);

// Converts up to count UTF-16 characters (stopping at 0) to CP437 text,
// "_" for characters outside CP437; always terminates. Returns 0 when the
// destination ran out (at most two bytes left before a character), else 1.
int Utf16ToOem(char* dst, char* dstEnd, const uint16_t* src, uint32_t count);
int32_t ShortNameToText(const uint8_t* entry, char* dst, uint32_t size);
uint32_t LongNameEntryLength(const uint8_t* entry);
int32_t PrependLongNamePart(const uint8_t* entry, char* name, uint32_t size);
uint8_t FatLongNameChecksum(const uint8_t* shortEntry);
bool NamesEqual(const char* a, const char* b);

int32_t LookupPath(DfsFile* slot, const char* path);
int32_t LookupExfatPathDots(DfsFile* slot, const char* path);
int32_t LookupExfatPath(DfsFile* slot, const char* path);
void NormalizePath(char* dst, uint32_t size, const char* driveName, const char* path, const char* curDir);

uint16_t ExfatUpcase(const DfsDrive* volume, uint16_t c);
uint16_t ExfatNameHash(const DfsDrive* volume, const char* name);
uint16_t ExfatEntrySetChecksum(const uint8_t* fileEntry);
uint16_t ExfatChecksumEntry(const uint8_t* entry, uint16_t checksum);
void LocateExfatMetadata(DfsDrive* volume, uint32_t activeFat);
bool IsClusterAllocated(DfsDrive* volume, uint32_t cluster);
void MountExfatVolume(DfsDrive* volume, const uint8_t* bootSector);
