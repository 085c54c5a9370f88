// Paths: their components, the path text a walk builds, name comparison,
// ".." resolution, and the walks of a path through FAT or exFAT folders.
#pragma once

#include <cstdint>
#include <cstring>

#include "dfs_types.h"

constexpr size_t kMaxPath = 260;   // with the terminator

inline bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

inline bool IsNameEnd(char c)
{
    return c == 0 || IsSeparator(c);
}

inline bool IsDotComponent(const char* p)
{
    return p[0] == '.' && IsNameEnd(p[1]);
}

inline bool IsDotDotComponent(const char* p)
{
    return p[0] == '.' && p[1] == '.' && IsNameEnd(p[2]);
}

inline const char* SkipComponent(const char* p)
{
    while (!IsNameEnd(*p))
        ++p;
    return p;
}

// A file's path text: the drive name, then "\" and the components found.
// Growing past kMaxPath raises "invalid file name".
struct PathText {
    char* text;
    uint32_t size;

    void AppendSeparator();
    void AppendComponent(const char* component);
    void AppendRest(const char* rest);
    void DropComponent();
};

// Skips blanks and a drive prefix; starts the slot's path text at the root
// or at the drive's current folder.
const char* StartPath(DfsFile* slot, const char* path, bool* fromRoot);
// The component is missing: with more path after it the path is not found,
// else the path text takes the rest and the walk ends with 0.
int32_t Missing(PathText& text, const char* component);
// Compares two components (up to a separator) without regard to case.
bool NamesEqual(const char* a, const char* b);

// Finds path on the slot's volume: 1 with the entry in the slot, 0 when only
// the last component is missing; raises when a folder on the way is missing.
int32_t LookupPath(DfsFile* slot, const char* path);
// The FAT12/16/32 walk (dfs_fatdir.cpp).
int32_t LookupFatPath(DfsFile* slot, const char* path);
// The exFAT walk (dfs_exfatdir.cpp), after ".." has been resolved in the text.
int32_t LookupExfatPathDots(DfsFile* slot, const char* path);
int32_t LookupExfatPath(DfsFile* slot, const char* path);
// The full path of path on driveName, "." and ".." resolved.
void NormalizePath(char* dst, uint32_t size, const char* driveName, const char* path, const char* curDir);
