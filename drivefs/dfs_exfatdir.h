// exFAT entry sets: the up-case table, name hashes and set checksums that a
// lookup through exFAT folders checks (the walk itself: LookupExfatPath).
#pragma once

#include <cstdint>

#include "dfs_types.h"

uint16_t ExfatUpcase(const DfsDrive* volume, uint16_t c);
uint16_t ExfatNameHash(const DfsDrive* volume, const char* name);
// The set checksum over a file entry (its own checksum field left out), then
// each secondary entry in turn.
uint16_t ExfatEntrySetChecksum(const uint8_t* fileEntry);
uint16_t ExfatChecksumEntry(const uint8_t* entry, uint16_t checksum);
// The file of an entry set (its file entry and its stream extension's flags,
// first cluster and length) in the 32-byte FAT layout the rest of the library reads.
void ExfatEntryImage(uint8_t* out, const uint8_t* file, uint8_t streamFlags, uint32_t firstCluster, uint64_t length);
