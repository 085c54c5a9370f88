// The walk of a path through FAT12/16/32 folders: each component matched
// against long names (their parts checked in order and against the short
// entry's checksum) and short names.
#include <cstring>

#include "dfs_chains.h"
#include "dfs_fatnames.h"
#include "dfs_paths.h"
#include "drivefs.h"

int32_t LookupFatPath(DfsFile* slot, const char* path)
{
    DfsDrive* vol = slot->drive;
    bool fromRoot = false;
    const char* p = StartPath(slot, path, &fromRoot);
    PathText text {slot->path, sizeof slot->path};
    DirEntryRecord cur = vol->rootEntry;
    for (;;) {
        while (IsSeparator(*p) || IsDotComponent(p))
            ++p;
        if (*p == 0) {
            std::memcpy(slot->entry, cur.entry, direntry::kSize);
            slot->dirCluster = cur.dirCluster;
            slot->dirIndex = cur.dirIndex;
            return 1;
        }
        text.AppendSeparator();
        if (!(cur.entry[direntry::kAttributes] & ATTR_DIRECTORY))
            RaiseError(DFS_E_PATH_NOT_FOUND);
        // A folder entry with cluster 0 is the root (a ".." entry below the root).
        uint32_t dirCluster = EntryFirstCluster(cur.entry);
        if (vol->fsId != FS_FAT32 && dirCluster == 0)
            dirCluster = kRootArea;
        if (vol->fsId == FS_FAT32 && dirCluster == 0)
            dirCluster = uint32_t(vol->rootDir);
        DirCursor cursor;
        const uint8_t* e = OpenDirCursor(vol, dirCluster, 0, &cursor);
        int missingParts = -1;   // long-name parts still expected; -1 none being gathered
        uint8_t checksum = 0;
        char longName[kMaxPath];
        longName[0] = 0;
        bool found = false;
        for (; e; e = NextDirEntry(vol, &cursor)) {
            const uint8_t first = e[direntry::kName];
            if (first == direntry::kEndOfDirectory)
                break;
            if (first == direntry::kDeleted) {
                missingParts = -1;
                continue;
            }
            if (e[direntry::kAttributes] == ATTR_LFN) {
                const int seq = e[lfn::kOrdinal] & lfn::kSequenceMask;
                if (e[lfn::kOrdinal] & lfn::kLastPart) {
                    checksum = e[lfn::kChecksum];
                    missingParts = seq;
                    longName[0] = 0;
                }
                if (missingParts > 0 && seq == missingParts && e[lfn::kChecksum] == checksum
                    && PrependLongNamePart(e, longName, sizeof longName) == 0)
                    --missingParts;
                else
                    missingParts = -1;
                continue;
            }
            if ((e[direntry::kAttributes] & ~ATTR_ARCHIVE) == ATTR_VOLUME) {
                missingParts = -1;
                continue;
            }
            bool match = false;
            if (missingParts == 0 && checksum == FatLongNameChecksum(e))
                match = NamesEqual(longName, p);
            if (!match) {
                char shortName[13];
                if (ShortNameToText(e, shortName, sizeof shortName) >= 0)
                    match = NamesEqual(shortName, p);
            }
            missingParts = -1;
            if (match) {
                std::memcpy(cur.entry, e, direntry::kSize);
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
