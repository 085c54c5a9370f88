// Paths: the path text a walk builds, comparing names, resolving "..", and
// handing a lookup to the walk of its file system.
#include "dfs_paths.h"

#include <cstdio>

#include "dfs_codepage.h"
#include "dfs_device.h"
#include "drivefs.h"

namespace {
bool MoreAfter(const char* p)
{
    p = SkipComponent(p);
    while (IsSeparator(*p))
        ++p;
    return *p != 0;
}
} // namespace

void PathText::AppendSeparator()
{
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\\') {
        if (n + 1 >= kMaxPath - 1)
            RaiseError(DFS_E_INVALID_NAME);
        text[n] = '\\';
        text[n + 1] = 0;
    }
}

void PathText::AppendComponent(const char* component)
{
    size_t n = std::strlen(text);
    size_t k = 0;
    while (!IsNameEnd(component[k]))
        ++k;
    if (n + k >= kMaxPath - 1)
        RaiseError(DFS_E_INVALID_NAME);
    std::memcpy(text + n, component, k);
    text[n + k] = 0;
}

void PathText::AppendRest(const char* rest)
{
    size_t n = std::strlen(text);
    size_t k = std::strlen(rest);
    if (n + k >= kMaxPath - 1)
        RaiseError(DFS_E_INVALID_NAME);
    std::memcpy(text + n, rest, k + 1);
    for (size_t i = n; i < n + k; ++i)
        if (text[i] == '/')
            text[i] = '\\';
}

void PathText::DropComponent()
{
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '\\')
        --n;
    while (n > 0 && text[n - 1] != '\\' && text[n - 1] != ':')
        --n;
    text[n] = 0;
}

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

int32_t Missing(PathText& text, const char* component)
{
    if (MoreAfter(component))
        RaiseError(DFS_E_PATH_NOT_FOUND);
    text.AppendRest(component);
    return 0;
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
    if (slot->drive->fsId == FS_EXFAT)
        return LookupExfatPathDots(slot, path);
    return LookupFatPath(slot, path);
}

void NormalizePath(char* dst, uint32_t size, const char* driveName, const char* path, const char* curDir)
{
    char out[kMaxPath];
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
                RaiseError(DFS_E_PATH_NOT_FOUND);
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
        RaiseError(DFS_E_INVALID_NAME);
    std::memcpy(dst, out, std::strlen(out) + 1);
}

int32_t LookupExfatPathDots(DfsFile* slot, const char* path)
{
    const char* p = path ? path : "";
    if (!std::strstr(p, ".."))
        return LookupExfatPath(slot, p);
    // The normalised text needs a path buffer: a free slot lends its own.
    DfsFile* temp = nullptr;
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount && !temp; ++i)
        if (TestAndSetByte(&g_driveFsData.files[i].inUse) == 0)
            temp = &g_driveFsData.files[i];
    if (!temp)
        RaiseError(DFS_E_TOO_MANY_FILES);
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
