// Code page 437, the 8-bit text the library's names are in: its upper half
// in Unicode, case mapping, and UTF-16 names turned into it.
#pragma once

#include <cstdint>

extern const uint16_t kCp437ToUnicode[128];
uint8_t Cp437Upper(uint8_t c);
uint8_t Cp437Lower(uint8_t c);
// The CP437 character of a Unicode one; "_" for characters CP437 lacks.
char OemFromUnicode(uint16_t u);
// Converts up to count UTF-16 characters (stopping at 0) to CP437 text,
// "_" for characters outside CP437; always terminates. Returns 0 when the
// destination ran out (at most two bytes left before a character), else 1.
int Utf16ToOem(char* dst, char* dstEnd, const uint16_t* src, uint32_t count);
