// libFuzzer target: the input picks a file of a real image, damages its FAT
// chain and drives seeks and reads; a read that succeeds with bytes other
// than the file's, or a failure inside the undamaged part, aborts.
// The images come from the folder in DFS_DIFF_IMAGES (default: the seeds).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>

#include "dfs_differential.h"

namespace {
std::vector<dfsdiff::Image> g_images;

bool LoadImage(const std::string& path, dfsdiff::Image* image)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        image->bytes.insert(image->bytes.end(), block, block + n);
    std::fclose(f);
    return !image->bytes.empty();
}
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* env = std::getenv("DFS_DIFF_IMAGES");
    const std::string dir = env ? env : DFS_DIFF_DEFAULT_IMAGES;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        std::fprintf(stderr, "no image folder %s\n", dir.c_str());
        std::exit(1);
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        dfsdiff::Image image;
        image.name = name;
        if (!LoadImage(dir + "/" + name, &image))
            continue;
        // Cut images read zeros past their end, up to 64 MiB.
        image.diskSectors = std::max<uint64_t>(image.bytes.size() / 512, 131072);
        if (dfsdiff::Prepare(image, dfsdiff::CandidatePaths()) && !image.targets.empty()) {
            std::fprintf(stderr, "%s: %zu files\n", name.c_str(), image.targets.size());
            g_images.push_back(std::move(image));
        }
    }
    if (g_images.empty()) {
        std::fprintf(stderr, "no usable image in %s\n", dir.c_str());
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string error = dfsdiff::RunInput(g_images, data, size);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    return 0;
}
