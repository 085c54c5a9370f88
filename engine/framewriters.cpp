#include "framewriters.h"

#include "targasequence.h"
#include "tga.h"

#include <QFile>
#include <QtEndian>

#include <cstdlib>
#include <cstring>
#include <vector>

TargaWriter::TargaWriter(QString fileName, const void* pixels, int width, int height, int bitsPerPixel,
                         TargaSequence* owner, bool topDown)
    : fileName(std::move(fileName))
    , width(width)
    , height(height)
    , bitsPerPixel(bitsPerPixel)
    , owner(owner)
    , topDown(topDown)
{
    const size_t bytes = size_t(width) * height * (bitsPerPixel / 8);
    this->pixels = static_cast<uint8_t*>(malloc(bytes ? bytes : 1));
    if (this->pixels && pixels)
        memcpy(this->pixels, pixels, bytes);
    if (owner)
        owner->jobCreated();
}

TargaWriter::~TargaWriter()
{
    free(pixels);
    if (owner)
        owner->jobDone();
}

void TargaWriter::fail()
{
    // A half-written frame would be indexed and played as if it were whole.
    QFile::remove(fileName);
    if (owner)
        owner->writerFailed(fileName);
}

void TargaWriter::run()
{
    TgaImage image;
    image.imageType = 2;
    image.width = uint16_t(width);
    image.height = uint16_t(height);
    image.pixelDepth = uint8_t(bitsPerPixel);
    image.descriptor = topDown ? TgaDescriptorTopDown : 0;
    image.pixels = pixels;
    const bool sizeOk = pixels && width > 0 && height > 0 && width <= 0xFFFF && height <= 0xFFFF;
    if (!sizeOk || TgaWritePath(QFile::encodeName(fileName).constData(), &image) != TgaOk)
        fail();
}

void KRXWriter::run()
{
    const uint64_t rowBytes = uint64_t(bitsPerPixel / 8) * width;
    const uint64_t a = rowBytes * height;
    const uint64_t e = packedSize(a);
    std::vector<uint8_t> packed;
    if (!pixels || width <= 0 || height <= 0) {
        fail();
        return;
    }
    packed.resize(size_t(e));

    // Rows go top first; every 15 bytes of that stream are followed by a zero byte.
    const uint8_t* src = pixels;
    std::vector<uint8_t> flipped;
    if (!topDown) {
        flipped.resize(size_t(a));
        for (int r = 0; r < height; ++r)
            memcpy(flipped.data() + size_t(r) * rowBytes, pixels + size_t(height - 1 - r) * rowBytes, rowBytes);
        src = flipped.data();
    }
    uint8_t* out = packed.data();
    for (uint64_t g = 0; g < a / 15; ++g) {
        memcpy(out, src + g * 15, 15);
        out[15] = 0;
        out += 16;
    }
    flipped = std::vector<uint8_t>();
    free(pixels);
    pixels = nullptr;

    const uint32_t header[11] = {0, 1, uint32_t(e + HeaderSize), uint32_t(width), uint32_t(height), 0, 0, 0, 2, 0,
                                 uint32_t(e)};
    QFile file(fileName);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    ok = ok && file.write("KRX_", 4) == 4;
    for (int i = 1; ok && i < 11; ++i) {
        uchar le[4];
        qToLittleEndian<quint32>(header[i], le);
        ok = file.write(reinterpret_cast<const char*>(le), 4) == 4;
    }
    ok = ok && file.seek(HeaderSize);
    ok = ok && file.write(reinterpret_cast<const char*>(packed.data()), qint64(e)) == qint64(e);
    ok = ok && file.flush();
    file.close();
    if (!ok || file.error() != QFileDevice::NoError)
        fail();
}
