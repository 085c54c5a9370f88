// libFuzzer target: mounts and walks a mutated disk image held in memory.
#include "dfs_fuzzwalk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    dfsfuzz::Walk(data, size);
    return 0;
}
