// FAT names: short 8.3 names as text and long names from their parts.
#include "dfs_fatnames.h"

#include <cstring>

#include "dfs_codepage.h"
#include "dfs_types.h"
#include "drivefs.h"

int32_t ShortNameToText(const uint8_t* e, char* dst, uint32_t size)
{
    if (e[direntry::kName] == 0 || e[direntry::kName] == ' ')
        return DFS_E_INVALID_NAME;
    const bool label = (e[direntry::kAttributes] & ~ATTR_ARCHIVE) == ATTR_VOLUME;
    const uint8_t caseFlags = e[direntry::kCaseFlags];
    char out[13];
    uint32_t n = 0;
    size_t nameEnd = direntry::kNameLength;
    while (nameEnd > 0 && e[direntry::kName + nameEnd - 1] == ' ')
        --nameEnd;
    size_t extEnd = direntry::kShortNameLength;
    while (extEnd > direntry::kExtension && e[extEnd - 1] == ' ')
        --extEnd;
    for (size_t i = 0; i < nameEnd; ++i) {
        uint8_t c = e[direntry::kName + i];
        if (i == 0 && c == direntry::kDeletedEscape)
            c = direntry::kDeleted;   // a leading 0xE5 is stored as 0x05
        if (!label && (caseFlags & direntry::kLowerCaseName))
            c = Cp437Lower(c);
        out[n++] = char(c);
    }
    if (extEnd > direntry::kExtension && !label)
        out[n++] = '.';
    for (size_t i = direntry::kExtension; i < extEnd; ++i) {
        uint8_t c = e[i];
        if (!label && (caseFlags & direntry::kLowerCaseExtension))
            c = Cp437Lower(c);
        out[n++] = char(c);
    }
    if (label)
        while (n > 0 && out[n - 1] == ' ')
            --n;
    if (n + 1 > size)
        return DFS_E_STRING_TOO_SMALL;
    std::memcpy(dst, out, n);
    dst[n] = 0;
    return int32_t(n);
}

uint32_t LongNameEntryLength(const uint8_t* e)
{
    uint32_t n = 0;
    for (size_t off : lfn::kCharOffsets) {
        const uint16_t c = Get16(e + off);
        if (c == 0 || c == lfn::kPadding)
            break;
        ++n;
    }
    return n;
}

int32_t PrependLongNamePart(const uint8_t* e, char* name, uint32_t size)
{
    const uint32_t k = LongNameEntryLength(e);
    const size_t have = std::strlen(name);
    if (have + k + 1 > size)
        return DFS_E_STRING_TOO_SMALL;
    std::memmove(name + k, name, have + 1);
    for (uint32_t i = 0; i < k; ++i)
        name[i] = OemFromUnicode(Get16(e + lfn::kCharOffsets[i]));
    return 0;
}

uint8_t FatLongNameChecksum(const uint8_t* e)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < direntry::kShortNameLength; ++i)
        sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + e[direntry::kName + i]);
    return sum;
}
