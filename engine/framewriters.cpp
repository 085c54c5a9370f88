#include "framewriters.h"

#include "exclusivefile.h"
#include "frameplacement.h"
#include "targasequence.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Each pool thread keeps its working buffer between jobs: fresh multi-megabyte
// allocations per file cost page faults that show in the throughput.
std::vector<uint8_t>& threadBuffer(size_t bytes)
{
    thread_local std::vector<uint8_t> buffer;
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return buffer;
}

// Starts writing the file's data to its disk without waiting for it, so the
// disk writes while later frames are read instead of all at the end (and the
// drive index, which reads the disk itself, finds the data there sooner).
void startWriteback(const exclusivefile::TemporaryFile& file)
{
    ::sync_file_range(file.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

// File system types (statfs f_type) whose allocators need the reservation below.
constexpr __fsword_t kMsdosMagic = 0x4d44;        // vfat
constexpr __fsword_t kExfatMagic = 0x2011BAB0;    // the kernel's exfat
constexpr __fsword_t kFuseMagic = 0x65735546;     // exfat-fuse

// Takes the frame's whole size on the disk in one step, before any byte of
// it is written: frames written side by side would otherwise take their
// clusters in turns, and a player reads each frame as one run of sectors.
bool reserveFrameSpace(const exclusivefile::TemporaryFile& file, uint64_t size)
{
    const int fd = file.fd();
    // Only the FAT family hands clusters out in the order of the writes;
    // ext4 and the like place each file whole by themselves (delayed allocation).
    struct statfs fs;
    if (size == 0 || ::fstatfs(fd, &fs) != 0
        || (fs.f_type != kMsdosMagic && fs.f_type != kExfatMagic && fs.f_type != kFuseMagic))
        return true;
    // One at a time, so that the file system hands each file its clusters in a row.
    static QMutex reserving;
    QMutexLocker lock(&reserving);
    // Taking the first free clusters, a frame would straddle a hole left by a
    // deleted file smaller than it.
    frameplacement::makeRoom(fd, file.path(), size);
    bool ok = ::fallocate(fd, 0, 0, off_t(size)) == 0;
    // exfat-fuse has no fallocate: growing the file allocates all its clusters in one request.
    if (!ok && (errno == EOPNOTSUPP || errno == ENOSYS))
        ok = ::ftruncate(fd, off_t(size)) == 0;
    if (ok)
        frameplacement::taken(size);
    return ok;
}

// The frame file under a temporary name of our own in its clip folder, made
// exclusively and without following links, renamed to the frame's name when whole.
exclusivefile::TemporaryFile* frameFile(const QString& fileName)
{
    return new exclusivefile::TemporaryFile(QFile::encodeName(fileName).toStdString());
}

} // namespace

void CopyPictureRegion(const TgaImage* image, uint8_t* out, int x, int y, int w, int h)
{
    const int bpp = image->pixelDepth / 8;
    const bool topDown = TgaIsTopDown(image);
    const bool rightToLeft = image->descriptor & TgaDescriptorRightToLeft;
    for (int r = 0; r < h; ++r) {
        // Memory row r of the region, in the image's own row order.
        const int pictureRow = topDown ? y + r : y + h - 1 - r;
        const uint8_t* src = TgaPixelAddress(image, rightToLeft ? x + w - 1 : x, pictureRow);
        memcpy(out + size_t(r) * w * bpp, src, size_t(w) * bpp);
    }
}

TargaWriter::TargaWriter(QString fileName, const void* pixels, int width, int height, int bitsPerPixel,
                         TargaSequence* owner, bool topDown)
    : fileName(std::move(fileName))
    , width(width)
    , height(height)
    , bitsPerPixel(bitsPerPixel)
    , owner(owner)
{
    auto copy = std::make_shared<SharedFrame>();
    copy->image.imageType = 2;
    copy->image.width = uint16_t(std::clamp(width, 0, 0xFFFF));
    copy->image.height = uint16_t(std::clamp(height, 0, 0xFFFF));
    copy->image.pixelDepth = uint8_t(bitsPerPixel);
    copy->image.descriptor = topDown ? TgaDescriptorTopDown : 0;
    const size_t bytes = size_t(std::max(width, 0)) * std::max(height, 0) * std::max(bitsPerPixel / 8, 0);
    // Without pixels there is nothing to write: run() reports the file unwritable.
    copy->image.pixels = pixels ? static_cast<uint8_t*>(malloc(bytes ? bytes : 1)) : nullptr;
    if (copy->image.pixels)
        memcpy(copy->image.pixels, pixels, bytes);
    frame = std::move(copy);
    if (owner)
        owner->jobCreated();
}

TargaWriter::TargaWriter(QString fileName, std::shared_ptr<const SharedFrame> frame, int x, int y, int width,
                         int height, TargaSequence* owner)
    : frame(std::move(frame))
    , fileName(std::move(fileName))
    , x(x)
    , y(y)
    , width(width)
    , height(height)
    , bitsPerPixel(this->frame ? this->frame->image.pixelDepth : 0)
    , owner(owner)
{
    if (owner)
        owner->jobCreated();
}

TargaWriter::~TargaWriter()
{
    frame.reset();
    if (owner)
        owner->jobDone();
}

bool TargaWriter::wholeFrame() const
{
    return x == 0 && y == 0 && width == frame->image.width && height == frame->image.height;
}

void TargaWriter::fail()
{
    // The unfinished file goes with its temporary file: nothing incomplete
    // ever had the frame's name.
    if (owner)
        owner->writerFailed(fileName);
}

void TargaWriter::run()
{
    const TgaImage* src = frame ? &frame->image : nullptr;
    if (!src || !src->pixels || width <= 0 || height <= 0 || x < 0 || y < 0 || x + width > src->width
        || y + height > src->height) {
        fail();
        return;
    }
    TgaImage image;
    image.imageType = 2;
    image.width = uint16_t(width);
    image.height = uint16_t(height);
    image.pixelDepth = src->pixelDepth;
    image.descriptor = src->descriptor & (TgaDescriptorTopDown | TgaDescriptorRightToLeft);
    if (wholeFrame()) {
        image.pixels = src->pixels;
    } else {
        std::vector<uint8_t>& region = threadBuffer(size_t(width) * height * (src->pixelDepth / 8));
        CopyPictureRegion(src, region.data(), x, y, width, height);
        image.pixels = region.data();
    }
    // Written under another name and renamed when whole: a process killed
    // mid-file leaves no cut-off frame for the drive index to list.
    const std::unique_ptr<exclusivefile::TemporaryFile> file(frameFile(fileName));
    TgaResult rc = TgaOpenFailed;
    if (file->fd() >= 0 && reserveFrameSpace(*file, TgaStoredSize(&image))) {
        const int fd = ::dup(file->fd());
        FILE* stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (!stream && fd >= 0)
            ::close(fd);
        if (stream)
            rc = TgaWriteAndClose(stream, &image);
    }
    image.pixels = nullptr;
    if (rc != TgaOk) {
        fail();
        return;
    }
    startWriteback(*file);
    if (!file->publish())
        fail();
}

void KRXWriter::run()
{
    const TgaImage* src = frame ? &frame->image : nullptr;
    if (!src || !src->pixels || width <= 0 || height <= 0 || x < 0 || y < 0 || x + width > src->width
        || y + height > src->height) {
        fail();
        return;
    }
    const uint64_t rowBytes = uint64_t(src->pixelDepth / 8) * width;
    const uint64_t a = rowBytes * height;
    const uint64_t e = packedSize(a);

    const uint32_t header[11] = {0, 1, uint32_t(e + HeaderSize), uint32_t(width), uint32_t(height), 0, 0, 0, 2, 0,
                                 uint32_t(e)};
    uchar head[44];
    memcpy(head, "KRX_", 4);
    for (int i = 1; i < 11; ++i)
        qToLittleEndian<quint32>(header[i], head + 4 * i);
    const std::unique_ptr<exclusivefile::TemporaryFile> output(frameFile(fileName));
    QFile file;
    bool ok = output->fd() >= 0
        && file.open(output->fd(), QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    ok = ok && reserveFrameSpace(*output, HeaderSize + e);
    ok = ok && file.write(reinterpret_cast<const char*>(head), sizeof(head)) == qint64(sizeof(head));
    // Bytes 44 to 511 stay zero.
    ok = ok && file.seek(HeaderSize);

    // The picture's rows from the top, whatever the stored order, cut into
    // groups of 15 bytes each followed by a zero byte; only whole groups are
    // written. Packed a few rows at a time into the thread's buffer.
    const size_t rowPacked = size_t(rowBytes / 15 + 2) * 16;
    const size_t capacity = std::max<size_t>(size_t(1) << 20, 2 * rowPacked);
    std::vector<uint8_t>& packed = threadBuffer(capacity);
    uint8_t* out = packed.data();
    uint64_t written = 0;
    unsigned groupFill = 0;
    auto flushChunk = [&](bool last) {
        uint64_t n = uint64_t(out - packed.data());
        if (last)
            n = std::min<uint64_t>(n, e - written);   // drop an incomplete last group
        else
            n -= n % 16;
        if (ok && n > 0)
            ok = file.write(reinterpret_cast<const char*>(packed.data()), qint64(n)) == qint64(n);
        written += n;
        const size_t rest = size_t(out - packed.data()) - size_t(n);
        memmove(packed.data(), packed.data() + n, rest);
        out = packed.data() + rest;
    };
    for (int r = 0; ok && r < height; ++r) {
        if (size_t(out - packed.data()) + rowPacked > capacity)
            flushChunk(false);
        const uint8_t* s = TgaPixelAddress(src, x, y + r);
        uint64_t left = rowBytes;
        if (groupFill > 0) {
            // Finish the group that the previous row began.
            const unsigned take = unsigned(std::min<uint64_t>(left, 15 - groupFill));
            memcpy(out, s, take);
            out += take;
            s += take;
            left -= take;
            groupFill += take;
            if (groupFill == 15) {
                *out++ = 0;
                groupFill = 0;
            }
        }
        // Whole groups: a 16-byte copy whose last byte becomes the zero, while a
        // byte past the group is still inside the row.
        while (left > 15) {
            memcpy(out, s, 16);
            out[15] = 0;
            out += 16;
            s += 15;
            left -= 15;
        }
        if (left == 15) {
            memcpy(out, s, 15);
            out[15] = 0;
            out += 16;
            left = 0;
        } else if (left > 0) {
            memcpy(out, s, size_t(left));
            out += left;
            groupFill = unsigned(left);
        }
    }
    flushChunk(true);
    ok = ok && written == e;
    if (ok)
        startWriteback(*output);
    file.close();
    ok = ok && file.error() == QFileDevice::NoError;
    if (!ok || !output->publish())
        fail();
}
