// FAT names: the 8.3 short name of an entry as text, and long names put
// together from their parts.
#pragma once

#include <cstdint>

// The short name as text ("NAME.EXT", lower-cased where the entry says so;
// a volume label as stored). Returns its length, -3 for no name, -17 when
// size is too small.
int32_t ShortNameToText(const uint8_t* entry, char* dst, uint32_t size);
// The characters of one long-name part, up to its terminator or padding.
uint32_t LongNameEntryLength(const uint8_t* entry);
// Puts a part's characters in front of name (parts come last part first).
int32_t PrependLongNamePart(const uint8_t* entry, char* name, uint32_t size);
// The checksum of a short name that its long-name parts carry.
uint8_t FatLongNameChecksum(const uint8_t* shortEntry);
