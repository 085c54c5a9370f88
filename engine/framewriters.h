// Writer jobs of the image-sequence conversion: each writes one frame file
// from a private copy of its pixels on the conversion thread pool.
#pragma once

#include <QRunnable>
#include <QString>

#include <cstdint>

class TargaSequence;

// Uncompressed 24/32-bit Targa file with the version 2 footer.
class TargaWriter : public QRunnable {
public:
    // Copies width * height * bitsPerPixel / 8 bytes of pixels, stored top row
    // first when topDown, else bottom row first.
    TargaWriter(QString fileName, const void* pixels, int width, int height, int bitsPerPixel,
                TargaSequence* owner, bool topDown);
    ~TargaWriter() override;
    void run() override;

protected:
    // Reports the file as unwritable, removes what was written of it and stops the conversion.
    void fail();

    uint8_t* pixels = nullptr;
    QString fileName;
    int width;
    int height;
    int bitsPerPixel;
    TargaSequence* owner;
    bool topDown;
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
