// Error texts of the volume library codes.
#include "drivefs.h"

namespace {
const char* const kErrorTexts[] = {
    "no error",
    "unknown error",
    "parameter error",
    "invalid file name",
    "drive not found",
    "too many open files",
    "no more files",
    "wrong media",
    "invalid file system",
    "file not found",
    "invalid file handle",
    "unsupported device",
    "unsupported driver function",
    "corrupted partition table",
    "too many devices",
    "invalid file position",
    "access denied",
    "string buffer too small",
    "general failure",
    "path not found",
    "FAT allocation error",
    "root directory full",
    "disk full",
    "device timeout",
    "bad sector",
    "data error",
    "media changed",
    "sector not found",
    "address mark not found",
    "drive not ready",
    "disk is write protected",
    "DMA overrun",
    "CRC error",
    "device driver resource error",
    "invalid sector size",
    "out of buffers",
    "file already exists",
    "long file position",
    "file too large",
    "bad directory entry",
    "aborted",
    "no drive",
    "no media",
};
constexpr int32_t kLastCode = DFS_E_NO_MEDIA;
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 1 - kLastCode, "one text per code");
}

const char* GetErrorText(int32_t code)
{
    if (code > 0)
        code = 0;
    if (code < kLastCode)
        code = DFS_E_UNKNOWN;
    return kErrorTexts[-code];
}
