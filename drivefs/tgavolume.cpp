// Targa images read through volume library handles, with read-ahead.
#include "tgavolume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "drivefs.h"

namespace {

// Reads through a volume-library handle with a small read-ahead buffer, so
// that RLE packets do not cost one library call each.
class VolumeSource : public TgaSource {
public:
    explicit VolumeSource(int32_t handle) : handle(handle) {}

    bool read(void* buffer, uint64_t count) override
    {
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t done = 0;
        while (done < count) {
            if (bufferPos < bufferFill) {
                size_t take = size_t(std::min<uint64_t>(count - done, bufferFill - bufferPos));
                std::memcpy(out + done, ahead + bufferPos, take);
                bufferPos += take;
                done += take;
                continue;
            }
            if (failed)
                break;
            uint64_t want = count - done;
            if (want >= sizeof(ahead)) {
                // Large pieces go straight into the caller's buffer.
                uint32_t chunk = uint32_t(std::min<uint64_t>(want, 1u << 30));
                uint32_t got = 0;
                int32_t rc = ReadVolumeFile(handle, out + done, chunk, &got);
                done += std::min(got, chunk);
                if (rc < 0 || got < chunk) {
                    failed = true;
                    break;
                }
            } else {
                uint32_t got = 0;
                int32_t rc = ReadVolumeFile(handle, ahead, sizeof(ahead), &got);
                bufferPos = 0;
                bufferFill = std::min<uint32_t>(got, sizeof(ahead));
                // A short fill is the end of the file: serve what came, then fail.
                if (rc < 0 || bufferFill < sizeof(ahead))
                    failed = true;
                if (rc < 0 && bufferFill == 0)
                    break;
            }
        }
        return finish(out, done, count);
    }

    int64_t remaining() override
    {
        VolumeFileInfo info{};
        if (GetVolumeFileInfo(handle, &info) < 0 || info.position > info.size)
            return -1;
        uint64_t left = info.size - info.position + (bufferFill - bufferPos);
        if (left > uint64_t(std::numeric_limits<int64_t>::max()))
            return -1;
        return int64_t(left);
    }

private:
    int32_t handle;
    uint8_t ahead[65536];
    uint32_t bufferPos = 0;
    uint32_t bufferFill = 0;
    bool failed = false;
};

} // namespace

TgaResult TgaReadVolumeFile(TgaImage* image, int32_t handle)
{
    auto source = std::make_unique<VolumeSource>(handle);
    return TgaReadSource(image, *source);
}

TgaResult TgaReadRleVolumeFile(TgaImage* image, int32_t handle)
{
    auto source = std::make_unique<VolumeSource>(handle);
    return TgaReadRleSource(image, *source);
}
