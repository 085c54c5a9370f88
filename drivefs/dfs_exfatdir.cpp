// exFAT entry sets: the walk of a path through exFAT folders, matching each
// component against the names of file entry sets whose hash and checksum hold.
#include "dfs_exfatdir.h"

#include <cstring>

#include "dfs_cache.h"
#include "dfs_chains.h"
#include "dfs_codepage.h"
#include "dfs_paths.h"
#include "drivefs.h"

namespace {
// Rotating sum of the entry sets and name hashes.
uint16_t RotateAdd(uint16_t sum, uint8_t byte)
{
    return uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
}

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
        const uint32_t perSector = vol->device->sectorSize / direntry::kSize;
        return GetSectorBuffer(vol->device, ClusterToSector(vol, cluster) + index / perSector, 0)
            + (index % perSector) * direntry::kSize;
    }
    const uint8_t* Next()
    {
        if (++index < vol->bytesPerCluster / direntry::kSize)
            return Entry();
        index = 0;
        if (++visited >= ClusterCount(vol))
            return nullptr;
        if (contiguous) {
            if (cluster >= lastCluster)
                return nullptr;
            ++cluster;
        } else {
            const uint32_t v = NextChainCluster(vol, cluster);
            if (v == 0 || v >= vol->clusterLimit)
                return nullptr;
            if (v == saved)
                RaiseError(DFS_E_FAT_ALLOCATION);
            cluster = v;
            ++steps;
            if ((steps & (steps - 1)) == 0)
                saved = v;
        }
        return Entry();
    }
};

} // namespace

void ExfatEntryImage(uint8_t* out, const uint8_t* file, uint8_t streamFlags, uint32_t firstCluster, uint64_t length)
{
    std::memset(out, 0, direntry::kSize);
    uint8_t attr = uint8_t(Get16(file + exfatdir::kFileAttributes) & exfatdir::kAttributeMask);
    if (streamFlags & exfatdir::kNoFatChain)
        attr |= ATTR_NOFATCHAIN;
    out[direntry::kAttributes] = attr;
    Put32(out + direntry::kCreateTime, Get32(file + exfatdir::kCreateTimestamp));
    Put32(out + direntry::kWriteTime, Get32(file + exfatdir::kModifyTimestamp));
    Put16(out + direntry::kAccessDate, uint16_t(Get32(file + exfatdir::kAccessTimestamp) >> 16));
    Put16(out + direntry::kFirstClusterHigh, uint16_t(firstCluster >> 16));
    Put16(out + direntry::kFirstClusterLow, uint16_t(firstCluster));
    Put32(out + direntry::kFileSize, uint32_t(length));
    Put32(out + direntry::kImageSizeHigh, uint32_t(length >> 32));
}

int32_t LookupExfatPath(DfsFile* slot, const char* path)
{
    DfsDrive* vol = slot->drive;
    bool fromRoot = false;
    const char* p = StartPath(slot, path, &fromRoot);
    PathText text {slot->path, sizeof slot->path};
    uint8_t cur[direntry::kSize];
    std::memcpy(cur, vol->rootEntry.entry, sizeof cur);
    for (;;) {
        while (IsSeparator(*p) || IsDotComponent(p))
            ++p;
        if (*p == 0) {
            std::memcpy(slot->entry, cur, sizeof cur);
            return 1;
        }
        text.AppendSeparator();
        if (!(cur[direntry::kAttributes] & ATTR_DIRECTORY))
            RaiseError(DFS_E_PATH_NOT_FOUND);
        const uint32_t first = EntryFirstCluster(cur);
        if (first == 1 || first >= vol->clusterLimit)
            RaiseError(DFS_E_BAD_DIR_ENTRY);
        if (first == 0)
            return Missing(text, p);
        ExfatDirWalk walk {vol, (cur[direntry::kAttributes] & ATTR_NOFATCHAIN) != 0, first, first, 0, 0, first, 0};
        // A folder claiming clusters past the heap would list other data as entries.
        if (walk.contiguous && !ContiguousLastCluster(vol, first, EntryFileSize(cur), &walk.lastCluster))
            RaiseError(DFS_E_BAD_DIR_ENTRY);
        const uint16_t hash = ExfatNameHash(vol, p);
        int32_t state = SCAN_SEEKING;
        uint8_t fileEntry[direntry::kSize] = {};
        uint16_t running = 0, stored = 0;
        uint8_t streamFlags = 0;
        uint32_t streamCluster = 0;
        uint64_t streamLength = 0;
        uint32_t nameLength = 0, nameHave = 0;
        char name[kMaxPath];
        bool found = false;
        uint32_t entryCluster = 0, entryIndex = 0;
        for (const uint8_t* e = walk.Entry(); e; e = walk.Next()) {
            const uint8_t type = e[0];
            if (type == exfatdir::kEndOfDirectory)
                break;
            if (type == exfatdir::kTypeFile) {
                std::memcpy(fileEntry, e, sizeof fileEntry);
                stored = Get16(e + exfatdir::kSetChecksum);
                running = ExfatEntrySetChecksum(e);
                entryCluster = walk.cluster;
                entryIndex = walk.index;
                state = SCAN_AFTER_FILE;
            } else if (type == exfatdir::kTypeStream && state == SCAN_AFTER_FILE
                       && (hash == 0 || Get16(e + exfatdir::kNameHash) == hash)) {
                streamFlags = e[exfatdir::kGeneralFlags];
                // AllocationPossible must be set and nothing above NoFatChain.
                if (!(streamFlags & exfatdir::kAllocationPossible)
                    || (streamFlags & ~(exfatdir::kAllocationPossible | exfatdir::kNoFatChain)))
                    RaiseError(DFS_E_BAD_DIR_ENTRY);
                streamCluster = Get32(e + exfatdir::kFirstCluster);
                streamLength = Get64(e + exfatdir::kDataLength);
                nameLength = e[exfatdir::kNameLength];
                nameHave = 0;
                name[0] = 0;
                running = ExfatChecksumEntry(e, running);
                state = SCAN_NAME;
            } else if (type == exfatdir::kTypeStream) {
                state = SCAN_SEEKING;
            } else if (type == exfatdir::kTypeName && state == SCAN_NAME) {
                const uint32_t left = nameLength - nameHave;
                const uint32_t take = left < exfatdir::kNameCharsPerEntry ? left : exfatdir::kNameCharsPerEntry;
                Utf16ToOem(name + nameHave, name + sizeof name, reinterpret_cast<const uint16_t*>(e + exfatdir::kFileName),
                           take);
                nameHave += take;
                running = ExfatChecksumEntry(e, running);
                if (nameHave >= nameLength) {
                    state = SCAN_SEEKING;
                    if (running != stored) {
                        DebugMessage("exFAT Dir entry checksum error");
                    } else if (NamesEqual(name, p)) {
                        found = true;
                        break;
                    }
                }
            } else {
                state = SCAN_SEEKING;
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
    // t[0] holds where the first run mark lies: below it the table maps directly.
    if (c < t[0] && c < n)
        return t[c];
    uint32_t counter = 1;
    for (uint32_t i = 1; i < n; ++i) {
        if (t[i] == exfatdir::kUpcaseRun) {
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
        hash = RotateAdd(hash, uint8_t(u & 0xFF));
        hash = RotateAdd(hash, uint8_t(u >> 8));
    }
    return hash;
}

uint16_t ExfatEntrySetChecksum(const uint8_t* e)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < direntry::kSize; ++i) {
        if (i == exfatdir::kSetChecksum || i == exfatdir::kSetChecksum + 1)
            continue;
        sum = RotateAdd(sum, e[i]);
    }
    return sum;
}

uint16_t ExfatChecksumEntry(const uint8_t* e, uint16_t sum)
{
    for (size_t i = 0; i < direntry::kSize; ++i)
        sum = RotateAdd(sum, e[i]);
    return sum;
}
