// Writer jobs of the image-sequence conversion: each writes one frame file
// on the conversion thread pool.
#pragma once

#include "tga.h"

#include <QRunnable>
#include <QString>

#include <cstdint>
#include <memory>

class TargaSequence;

// A decoded frame shared read-only by the writer jobs of that frame; its
// pixels are freed with the last job that uses them.
struct SharedFrame {
    TgaImage image;
    SharedFrame() = default;
    SharedFrame(const SharedFrame&) = delete;
    SharedFrame& operator=(const SharedFrame&) = delete;
    ~SharedFrame() { TgaFreeImage(&image); }
};

// Copies the picture region (x, y, w, h) of image into out, laid out as a
// w x h image with image's depth and orientation bits. The region must lie inside.
void CopyPictureRegion(const TgaImage* image, uint8_t* out, int x, int y, int w, int h);

// Uncompressed true-colour Targa file with the version 2 footer, in the row
// order of its pixels.
class TargaWriter : public QRunnable {
public:
    // Copies width * height * bitsPerPixel / 8 bytes of pixels, stored top row
    // first when topDown, else bottom row first.
    TargaWriter(QString fileName, const void* pixels, int width, int height, int bitsPerPixel,
                TargaSequence* owner, bool topDown);
    // Writes the picture region (x, y, width, height) of a frame that stays
    // unchanged while the job lives; frames run left to right.
    TargaWriter(QString fileName, std::shared_ptr<const SharedFrame> frame, int x, int y, int width, int height,
                TargaSequence* owner);
    ~TargaWriter() override;
    void run() override;

protected:
    bool wholeFrame() const;
    // Reports the file as unwritable, removes what was written of it and stops the conversion.
    void fail();

    std::shared_ptr<const SharedFrame> frame;
    QString fileName;
    int x = 0;
    int y = 0;
    int width;
    int height;
    int bitsPerPixel;
    TargaSequence* owner;
};

// The players' frame format: a 512-byte header "KRX_" followed by the picture
// top row first as blue, green, red, every 15 bytes followed by a zero byte.
class KRXWriter : public TargaWriter {
public:
    using TargaWriter::TargaWriter;
    void run() override;

    static constexpr int HeaderSize = 512;
    // Length of the packed pixel data for a picture of pixelBytes bytes.
    static uint64_t packedSize(uint64_t pixelBytes) { return pixelBytes / 15 * 16; }
};
