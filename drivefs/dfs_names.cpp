#include "dfs_names.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "dfs_cache.h"
#include "dfs_device.h"
#include "dfs_volume.h"
#include "drivefs.h"

const uint16_t kCp437ToUnicode[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

namespace {
// CP437 letters from 0x80 up whose capital CP437 also holds.
const uint8_t kUpperPairs[][2] = {
    {0x81, 0x9A}, {0x82, 0x90}, {0x84, 0x8E}, {0x86, 0x8F}, {0x87, 0x80},
    {0x91, 0x92}, {0x94, 0x99}, {0xA4, 0xA5}, {0xE5, 0xE4}, {0xED, 0xE8},
};

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool IsNameEnd(char c)
{
    return c == 0 || IsSeparator(c);
}

char OemFromUnicode(uint16_t u)
{
    if (u < 0x80)
        return char(u);
    for (int i = 0; i < 128; ++i)
        if (kCp437ToUnicode[i] == u)
            return char(0x80 + i);
    return '_';
}

uint16_t Load16(const uint8_t* p)
{
    return Get16(p);
}

// A file's path text: the drive name, then "\" and the components found.
struct PathText {
    char* text;
    uint32_t size;

    void AppendSeparator()
    {
        size_t n = std::strlen(text);
        if (n == 0 || text[n - 1] != '\\') {
            if (n + 1 >= 259)
                RaiseError(-3);
            text[n] = '\\';
            text[n + 1] = 0;
        }
    }
    void AppendComponent(const char* comp)
    {
        size_t n = std::strlen(text);
        size_t k = 0;
        while (!IsNameEnd(comp[k]))
            ++k;
        if (n + k >= 259)
            RaiseError(-3);
        std::memcpy(text + n, comp, k);
        text[n + k] = 0;
    }
    void AppendRest(const char* rest)
    {
        size_t n = std::strlen(text);
        size_t k = std::strlen(rest);
        if (n + k >= 259)
            RaiseError(-3);
        std::memcpy(text + n, rest, k + 1);
        for (size_t i = n; i < n + k; ++i)
            if (text[i] == '/')
                text[i] = '\\';
    }
    void DropComponent()
    {
        size_t n = std::strlen(text);
        while (n > 0 && text[n - 1] == '\\')
            --n;
        while (n > 0 && text[n - 1] != '\\' && text[n - 1] != ':')
            --n;
        text[n] = 0;
    }
};

// Skips blanks and a drive prefix; sets up the walk's start.
const char* StartPath(DfsFile* slot, const char* path, bool* fromRoot)
{
    DfsDrive* vol = slot->drive;
    const char* p = path ? path : "";
    while (*p == ' ')
        ++p;
    if (p[0] && p[1] == ':')
        p += 2;
    *fromRoot = IsSeparator(*p);
    if (*fromRoot)
        std::snprintf(slot->path, sizeof slot->path, "%c:\\", vol->letter);
    else
        std::snprintf(slot->path, sizeof slot->path, "%s", vol->curDir);
    return p;
}

bool IsDotComponent(const char* p)
{
    return p[0] == '.' && IsNameEnd(p[1]);
}

bool IsDotDotComponent(const char* p)
{
    return p[0] == '.' && p[1] == '.' && IsNameEnd(p[2]);
}

const char* SkipComponent(const char* p)
{
    while (!IsNameEnd(*p))
        ++p;
    return p;
}

bool MoreAfter(const char* p)
{
    p = SkipComponent(p);
    while (IsSeparator(*p))
        ++p;
    return *p != 0;
}

// The component is missing: more path after it is -19, else the name to create.
int32_t Missing(PathText& text, const char* comp)
{
    if (MoreAfter(comp))
        RaiseError(-19);
    text.AppendRest(comp);
    return 0;
}
}

uint8_t Cp437Upper(uint8_t c)
{
    if (c >= 'a' && c <= 'z')
        return uint8_t(c - 32);
    for (const auto& pair : kUpperPairs)
        if (pair[0] == c)
            return pair[1];
    return c;
}

uint8_t Cp437Lower(uint8_t c)
{
    if (c >= 'A' && c <= 'Z')
        return uint8_t(c + 32);
    if (c >= 0x80)
        for (int b = 0x80; b <= 0xFF; ++b)
            if (Cp437Upper(uint8_t(b)) == c)
                return uint8_t(b);
    return c;
}

int Utf16ToOem(char* dst, char* dstEnd, const uint16_t* src, uint32_t count)
{
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t u = Load16(s + 2 * i);
        if (u == 0)
            break;
        if (dstEnd - dst <= 2) {
            *dst = 0;
            return 0;
        }
        *dst++ = OemFromUnicode(u);
    }
    *dst = 0;
    return 1;
}

int32_t ShortNameToText(const uint8_t* e, char* dst, uint32_t size)
{
    if (e[0] == 0 || e[0] == ' ')
        return -3;
    const bool label = (e[11] & ~0x20) == ATTR_VOLUME;
    char out[13];
    uint32_t n = 0;
    int nameEnd = 8;
    while (nameEnd > 0 && e[nameEnd - 1] == ' ')
        --nameEnd;
    int extEnd = 11;
    while (extEnd > 8 && e[extEnd - 1] == ' ')
        --extEnd;
    for (int i = 0; i < nameEnd; ++i) {
        uint8_t c = e[i];
        if (i == 0 && c == 0x05)
            c = 0xE5;   // a leading 0xE5 is stored as 0x05
        if (!label && (e[12] & 0x08))
            c = Cp437Lower(c);
        out[n++] = char(c);
    }
    if (extEnd > 8 && !label)
        out[n++] = '.';
    for (int i = 8; i < extEnd; ++i) {
        uint8_t c = e[i];
        if (!label && (e[12] & 0x10))
            c = Cp437Lower(c);
        out[n++] = char(c);
    }
    if (label)
        while (n > 0 && out[n - 1] == ' ')
            --n;
    if (n + 1 > size)
        return -17;
    std::memcpy(dst, out, n);
    dst[n] = 0;
    return int32_t(n);
}

uint32_t LongNameEntryLength(const uint8_t* e)
{
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    uint32_t n = 0;
    for (int off : offsets) {
        const uint16_t c = Load16(e + off);
        if (c == 0 || c == 0xFFFF)
            break;
        ++n;
    }
    return n;
}

int32_t PrependLongNamePart(const uint8_t* e, char* name, uint32_t size)
{
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const uint32_t k = LongNameEntryLength(e);
    const size_t have = std::strlen(name);
    if (have + k + 1 > size)
        return -17;
    std::memmove(name + k, name, have + 1);
    for (uint32_t i = 0; i < k; ++i)
        name[i] = OemFromUnicode(Load16(e + offsets[i]));
    return 0;
}

uint8_t FatLongNameChecksum(const uint8_t* e)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + e[i]);
    return sum;
}

bool NamesEqual(const char* a, const char* b)
{
    for (;;) {
        const bool endA = IsNameEnd(*a), endB = IsNameEnd(*b);
        if (endA || endB)
            return endA && endB;
        uint8_t x = uint8_t(*a++), y = uint8_t(*b++);
        if (x != y && Cp437Upper(x) != Cp437Upper(y))
            return false;
    }
}

int32_t LookupPath(DfsFile* slot, const char* path)
{
    DfsDrive* vol = slot->drive;
    if (vol->fsId == FS_EXFAT)
        return LookupExfatPathDots(slot, path);
    bool fromRoot = false;
    const char* p = StartPath(slot, path, &fromRoot);
    PathText text {slot->path, sizeof slot->path};
    DirEntryRecord cur = vol->rootEntry;
    for (;;) {
        while (IsSeparator(*p) || IsDotComponent(p))
            p += IsSeparator(*p) ? 1 : 1;
        if (*p == 0) {
            std::memcpy(slot->entry, cur.entry, 32);
            slot->dirCluster = cur.dirCluster;
            slot->dirIndex = cur.dirIndex;
            return 1;
        }
        text.AppendSeparator();
        if (!(cur.entry[11] & ATTR_DIRECTORY))
            RaiseError(-19);
        uint32_t dirCluster = EntryFirstCluster(cur.entry);
        if (vol->fsId != FS_FAT32 && dirCluster == 0)
            dirCluster = kRootArea;
        if (vol->fsId == FS_FAT32 && dirCluster == 0)
            dirCluster = uint32_t(vol->rootDir);
        DirCursor cursor;
        const uint8_t* e = OpenDirCursor(vol, dirCluster, 0, &cursor);
        int n = -1;
        uint8_t checksum = 0;
        char longName[260];
        longName[0] = 0;
        bool found = false;
        for (; e; e = NextDirEntry(vol, &cursor)) {
            if (e[0] == 0)
                break;
            if (e[0] == 0xE5) {
                n = -1;
                continue;
            }
            if (e[11] == ATTR_LFN) {
                const int seq = e[0] & 0x3F;
                if (e[0] & 0x40) {
                    checksum = e[13];
                    n = seq;
                    longName[0] = 0;
                }
                if (n > 0 && seq == n && e[13] == checksum && PrependLongNamePart(e, longName, sizeof longName) == 0)
                    --n;
                else
                    n = -1;
                continue;
            }
            if ((e[11] & ~0x20) == ATTR_VOLUME) {
                n = -1;
                continue;
            }
            bool match = false;
            if (n == 0 && checksum == FatLongNameChecksum(e))
                match = NamesEqual(longName, p);
            if (!match) {
                char shortName[13];
                if (ShortNameToText(e, shortName, sizeof shortName) >= 0)
                    match = NamesEqual(shortName, p);
            }
            n = -1;
            if (match) {
                std::memcpy(cur.entry, e, 32);
                cur.dirCluster = cursor.cluster;
                cur.dirIndex = cursor.index;
                found = true;
                break;
            }
        }
        if (!found)
            return Missing(text, p);
        if (IsDotDotComponent(p)) {
            if (EntryFirstCluster(cur.entry) == 0)
                cur = vol->rootEntry;
            text.DropComponent();
        } else {
            text.AppendComponent(p);
        }
        p = SkipComponent(p);
    }
}

void NormalizePath(char* dst, uint32_t size, const char* driveName, const char* path, const char* curDir)
{
    char out[260];
    std::snprintf(out, sizeof out, "%s", driveName);
    const char* p = path;
    while (*p == ' ')
        ++p;
    if (p[0] && p[1] == ':')
        p += 2;
    if (!IsSeparator(*p)) {
        const char* c = curDir;
        if (c[0] && c[1] == ':')
            c += 2;
        std::snprintf(out + std::strlen(out), sizeof out - std::strlen(out), "%s", c);
    }
    size_t base = std::strlen(driveName);
    PathText text {out, sizeof out};
    for (;;) {
        while (IsSeparator(*p))
            ++p;
        if (!*p)
            break;
        if (IsDotComponent(p)) {
        } else if (IsDotDotComponent(p)) {
            size_t n = std::strlen(out);
            while (n > base && out[n - 1] == '\\')
                --n;
            if (n <= base)
                RaiseError(-19);
            out[n] = 0;
            text.DropComponent();
        } else {
            text.AppendSeparator();
            text.AppendComponent(p);
        }
        p = SkipComponent(p);
    }
    if (std::strlen(out) == base)
        std::snprintf(out + base, sizeof out - base, "\\");
    if (std::strlen(out) + 1 > size)
        RaiseError(-3);
    std::memcpy(dst, out, std::strlen(out) + 1);
}

int32_t LookupExfatPathDots(DfsFile* slot, const char* path)
{
    const char* p = path ? path : "";
    if (!std::strstr(p, ".."))
        return LookupExfatPath(slot, p);
    DfsFile* temp = nullptr;
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount && !temp; ++i)
        if (TestAndSetByte(&g_driveFsData.files[i].inUse) == 0)
            temp = &g_driveFsData.files[i];
    if (!temp)
        RaiseError(-5);
    int32_t result = 0;
    ProtectedFinally(
        [&] {
            DfsDrive* vol = slot->drive;
            char driveName[3] = {vol->letter, ':', 0};
            NormalizePath(temp->path, sizeof temp->path, driveName, p, vol->curDir);
            result = LookupExfatPath(slot, temp->path);
        },
        [&] { ReleaseFileSlot(temp); });
    return result;
}

namespace {
// Clusters of an exFAT directory: contiguous when its entry says NoFatChain,
// else the FAT chain; never more clusters than the volume holds.
struct ExfatDirWalk {
    DfsDrive* vol;
    bool contiguous;
    uint32_t cluster;
    uint32_t lastCluster;
    uint32_t index;
    uint32_t visited;
    uint32_t saved;
    uint32_t steps;

    const uint8_t* Entry()
    {
        if (cluster < 2 || cluster >= vol->clusterLimit)
            return nullptr;
        const uint32_t perSector = vol->device->sectorSize / 32;
        return GetSectorBuffer(vol->device, ClusterToSector(vol, cluster) + index / perSector, 0)
            + (index % perSector) * 32;
    }
    const uint8_t* Next()
    {
        if (++index < vol->bytesPerCluster / 32)
            return Entry();
        index = 0;
        if (++visited >= ClusterCount(vol))
            return nullptr;
        if (contiguous) {
            if (cluster >= lastCluster)
                return nullptr;
            ++cluster;
        } else {
            const uint32_t v = GetClusterValue(vol, cluster);
            if (v < 2 || v >= vol->clusterLimit)
                return nullptr;
            if (v == saved)
                RaiseError(-20);
            cluster = v;
            ++steps;
            if ((steps & (steps - 1)) == 0)
                saved = v;
        }
        return Entry();
    }
};

void ExfatEntryImage(uint8_t* out, const uint8_t* file, uint8_t streamFlags, uint32_t firstCluster, uint64_t length)
{
    std::memset(out, 0, 32);
    uint8_t attr = uint8_t(Get16(file + 4) & 0x3F);
    if (streamFlags & 2)
        attr |= ATTR_NOFATCHAIN;
    out[11] = attr;
    Put32(out + 14, Get32(file + 8));    // created
    Put32(out + 22, Get32(file + 12));   // modified
    Put16(out + 18, uint16_t(Get32(file + 16) >> 16));   // accessed (date)
    Put16(out + 20, uint16_t(firstCluster >> 16));
    Put16(out + 26, uint16_t(firstCluster));
    Put32(out + 28, uint32_t(length));
    Put32(out + 2, uint32_t(length >> 32));
}
}

int32_t LookupExfatPath(DfsFile* slot, const char* path)
{
    DfsDrive* vol = slot->drive;
    bool fromRoot = false;
    const char* p = StartPath(slot, path, &fromRoot);
    PathText text {slot->path, sizeof slot->path};
    uint8_t cur[32];
    std::memcpy(cur, vol->rootEntry.entry, 32);
    for (;;) {
        while (IsSeparator(*p) || IsDotComponent(p))
            ++p;
        if (*p == 0) {
            std::memcpy(slot->entry, cur, 32);
            return 1;
        }
        text.AppendSeparator();
        if (!(cur[11] & ATTR_DIRECTORY))
            RaiseError(-19);
        const uint32_t first = EntryFirstCluster(cur);
        if (first == 1 || first >= vol->clusterLimit)
            RaiseError(-39);
        if (first == 0)
            return Missing(text, p);
        ExfatDirWalk walk {vol, (cur[11] & ATTR_NOFATCHAIN) != 0, first, first, 0, 0, first, 0};
        // A folder claiming clusters past the heap would list other data as entries.
        if (walk.contiguous && !ContiguousLastCluster(vol, first, EntryFileSize(cur), &walk.lastCluster))
            RaiseError(DFS_E_BAD_DIR_ENTRY);
        const uint16_t hash = ExfatNameHash(vol, p);
        int state = 0;
        uint8_t fileEntry[32] = {};
        uint16_t running = 0, stored = 0;
        uint8_t streamFlags = 0;
        uint32_t streamCluster = 0;
        uint64_t streamLength = 0;
        uint32_t nameLength = 0, nameHave = 0;
        char name[260];
        bool found = false;
        uint32_t entryCluster = 0, entryIndex = 0;
        for (const uint8_t* e = walk.Entry(); e; e = walk.Next()) {
            const uint8_t type = e[0];
            if (type == 0x00)
                break;
            if (type == 0x85) {
                std::memcpy(fileEntry, e, 32);
                stored = Get16(e + 2);
                running = ExfatEntrySetChecksum(e);
                entryCluster = walk.cluster;
                entryIndex = walk.index;
                state = 1;
            } else if (type == 0xC0 && state == 1 && (hash == 0 || Get16(e + 4) == hash)) {
                streamFlags = e[1];
                // AllocationPossible must be set and nothing above NoFatChain.
                if (!(streamFlags & 1) || (streamFlags & ~3))
                    RaiseError(-39);
                streamCluster = Get32(e + 20);
                streamLength = Get64(e + 24);
                nameLength = e[3];
                nameHave = 0;
                name[0] = 0;
                running = ExfatChecksumEntry(e, running);
                state = 2;
            } else if (type == 0xC0) {
                state = 0;
            } else if (type == 0xC1 && state == 2) {
                const uint32_t take = nameLength - nameHave < 15 ? nameLength - nameHave : 15;
                Utf16ToOem(name + nameHave, name + sizeof name, reinterpret_cast<const uint16_t*>(e + 2), take);
                nameHave += take;
                running = ExfatChecksumEntry(e, running);
                if (nameHave >= nameLength) {
                    state = 0;
                    if (running != stored) {
                        DebugMessage("exFAT Dir entry checksum error");
                    } else if (NamesEqual(name, p)) {
                        found = true;
                        break;
                    }
                }
            } else {
                state = 0;
            }
        }
        if (!found)
            return Missing(text, p);
        ExfatEntryImage(cur, fileEntry, streamFlags, streamCluster, streamLength);
        slot->dirCluster = entryCluster;
        slot->dirIndex = entryIndex;
        text.AppendComponent(p);
        p = SkipComponent(p);
    }
}

uint16_t ExfatUpcase(const DfsDrive* vol, uint16_t c)
{
    const uint16_t* t = vol->upcase;
    const uint32_t n = vol->upcaseLength;
    if (!t || c == 0)
        return c;
    if (c < t[0] && c < n)
        return t[c];
    uint32_t counter = 1;
    for (uint32_t i = 1; i < n; ++i) {
        if (t[i] == 0xFFFF) {
            if (i + 1 >= n)
                break;
            counter += t[++i];
            if (c < counter)
                return c;
        } else {
            if (counter == c)
                return t[i];
            ++counter;
        }
        if (counter > 0xFFFF)
            break;
    }
    return c;
}

uint16_t ExfatNameHash(const DfsDrive* vol, const char* name)
{
    if (!vol->upcase)
        return 0;
    uint16_t hash = 0;
    for (const char* p = name; !IsNameEnd(*p); ++p) {
        const uint8_t b = uint8_t(*p);
        const uint16_t u = ExfatUpcase(vol, b < 0x80 ? b : kCp437ToUnicode[b - 0x80]);
        hash = uint16_t(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (u & 0xFF));
        hash = uint16_t(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (u >> 8));
    }
    return hash;
}

uint16_t ExfatEntrySetChecksum(const uint8_t* e)
{
    uint16_t sum = 0;
    for (int i = 0; i < 32; ++i) {
        if (i == 2 || i == 3)
            continue;
        sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + e[i]);
    }
    return sum;
}

uint16_t ExfatChecksumEntry(const uint8_t* e, uint16_t sum)
{
    for (int i = 0; i < 32; ++i)
        sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + e[i]);
    return sum;
}

bool IsClusterAllocated(DfsDrive* vol, uint32_t cluster)
{
    DfsDevice* dev = vol->device;
    const uint32_t bit = cluster - 2;
    const uint64_t sector = vol->bitmapSector + (bit >> (dev->sectorShift + 3));
    const uint8_t* s = GetSectorBuffer(dev, sector, 0);
    return (s[(bit / 8) % dev->sectorSize] >> (bit % 8)) & 1;
}

void LocateExfatMetadata(DfsDrive* vol, uint32_t activeFat)
{
    DfsDevice* dev = vol->device;
    const uint64_t heapEnd = ClusterToSector(vol, vol->clusterLimit);
    // The run of sectors holding length bytes from a cluster, inside the heap.
    auto runInside = [&](uint32_t cluster, uint64_t length, uint64_t* sector, uint64_t* count) {
        if (cluster < 2 || cluster >= vol->clusterLimit || length == 0)
            return false;
        *sector = ClusterToSector(vol, cluster);
        *count = (length + dev->sectorSize - 1) >> dev->sectorShift;
        return *count <= heapEnd - *sector;
    };
    bool haveBitmap = false, haveUpcase = false;
    uint32_t bitmapsSeen = 0;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    DirCursor cursor;
    for (const uint8_t* e = OpenDirCursor(vol, uint32_t(vol->rootDir), 0, &cursor); e && !(haveBitmap && haveUpcase);
         e = NextDirEntry(vol, &cursor)) {
        if (e[0] == 0x00)
            break;
        if (e[0] == 0x81 && !haveBitmap) {
            if (bitmapsSeen++ != activeFat)
                continue;
            uint64_t sector = 0, count = 0;
            const uint64_t length = Get64(e + 24);
            if (length < (uint64_t(ClusterCount(vol)) + 7) / 8 || !runInside(Get32(e + 20), length, &sector, &count))
                break;
            vol->bitmapSector = sector;
            vol->bitmapSectors = count;
            haveBitmap = true;
        } else if (e[0] == 0x82 && !haveUpcase) {
            upcaseCluster = Get32(e + 20);
            upcaseLength = Get64(e + 24);
            haveUpcase = true;
        }
    }
    uint64_t sector = 0, count = 0;
    // The full table of 65536 values is 128 KiB; anything longer is not one.
    if (!haveBitmap || !haveUpcase || upcaseLength < 2 || upcaseLength > 131072
        || !runInside(upcaseCluster, upcaseLength, &sector, &count)) {
        DebugMessage("Failed to locate bitmap or upper case table on exFAT volume");
        vol->bitmapSector = 0;
        vol->exfatUsable = 0;
        return;
    }
    const size_t values = size_t(count << dev->sectorShift) / 2;
    uint16_t* table = new (std::nothrow) uint16_t[values];
    if (!table) {
        DebugMessage("failed to alloc upper case table for exFAT drive");
        vol->exfatUsable = 0;
        return;
    }
    int32_t r = Protected([&] { ReadDeviceSectors(dev, table, sector, uint32_t(count), 0); },
                          [&](ExceptionFrame&) { delete[] table; },
                          [] {});
    if (r < 0)
        RaiseError(r);
    const uint32_t n = uint32_t(upcaseLength / 2);
    uint32_t firstRun = n;
    for (uint32_t i = 0; i < n; ++i) {
        if (table[i] == 0xFFFF) {
            firstRun = i;
            break;
        }
    }
    table[0] = uint16_t(firstRun > 0xFFFF ? 0xFFFF : firstRun);
    vol->upcase = table;
    vol->upcaseLength = n;
    vol->exfatUsable = 1;
}

void MountExfatVolume(DfsDrive* vol, const uint8_t* bs)
{
    DfsDevice* dev = vol->device;
    const uint32_t bpsShift = bs[108];
    const uint32_t spcShift = bs[109];
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift)
        RaiseError(-8);
    if ((1u << bpsShift) != dev->sectorSize)
        RaiseError(-34);
    const uint64_t volumeLength = Get64(bs + 72);
    const uint32_t fatOffset = Get32(bs + 80);
    const uint32_t fatLength = Get32(bs + 84);
    const uint32_t heapOffset = Get32(bs + 88);
    const uint32_t clusterCount = Get32(bs + 92);
    const uint32_t rootCluster = Get32(bs + 96);
    const uint32_t flags = Get16(bs + 106);
    const uint32_t fatCount = bs[110];
    const uint32_t percent = bs[112];
    const uint32_t partitionCount = Get32(vol->partition + 12);
    const uint64_t devSectors = Get32(dev->diskInfo + 12);
    if (fatCount < 1 || fatCount > 2 || ((flags & 1) && fatCount < 2) || fatOffset < 24 || fatLength == 0
        || clusterCount == 0 || clusterCount > 0xFFFFFFF5u)
        RaiseError(-8);
    if (uint64_t(heapOffset) < uint64_t(fatOffset) + uint64_t(fatLength) * fatCount)
        RaiseError(-8);
    if (uint64_t(heapOffset) + (uint64_t(clusterCount) << spcShift) > volumeLength)
        RaiseError(-8);
    if (partitionCount != 0 && volumeLength > partitionCount)
        RaiseError(-8);
    if (devSectors != 0 && (vol->bootSector >= devSectors || volumeLength > devSectors - vol->bootSector))
        RaiseError(-8);
    if ((uint64_t(fatLength) << bpsShift) / 4 < uint64_t(clusterCount) + 2)
        RaiseError(-8);
    if (rootCluster < 2 || uint64_t(rootCluster) >= uint64_t(clusterCount) + 2)
        RaiseError(-8);

    vol->sectorsPerCluster = 1u << spcShift;
    vol->spcShift = spcShift;
    vol->clusterShift = spcShift + bpsShift;
    vol->bytesPerCluster = 1u << vol->clusterShift;
    vol->firstFatSector = vol->bootSector + fatOffset + ((flags & 1) ? fatLength : 0);
    vol->fatCount = 1;
    vol->fatSize = fatLength;
    vol->clusterLimit = clusterCount + 2;
    vol->firstDataSector = vol->bootSector + heapOffset;
    vol->rootDir = rootCluster;
    vol->rootEntryCount = 0;
    vol->fsInfoSector = 0;
    vol->serial = Get32(bs + 100);
    vol->volumeSectors = volumeLength;
    vol->fsId = FS_EXFAT;
    vol->letter = char('A' + (vol - g_driveFsData.drives));
    std::snprintf(vol->curDir, sizeof vol->curDir, "%c:\\", vol->letter);
    MakeRootDirEntry(vol, &vol->rootEntry);
    vol->state = 4;
    vol->freeCount = percent <= 100 ? int32_t((100 - percent) * uint64_t(vol->clusterLimit) / 100) : -1;
    vol->nextFree = 2;
    // A read failing here fails the mount: the volume must not pass as
    // mounted without its bitmap and up-case table.
    int32_t r = Protected([&] { LocateExfatMetadata(vol, flags & 1); },
                          [&](ExceptionFrame&) {
                              vol->state = 3;
                              vol->bitmapSector = 0;
                              vol->exfatUsable = 0;
                          },
                          [] {});
    if (r < 0)
        RaiseError(r);
    if (!vol->exfatUsable) {
        vol->state = 3;
        RaiseError(-8);
    }
}
