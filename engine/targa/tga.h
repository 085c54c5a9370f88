// Targa (TGA) image codec: whole-image reading from a path, a C stream or any
// byte source, writing with the version 2 footer, RLE packets, depth
// conversion, colour maps and pixel addressing. It stands on nothing of ours:
// the volume library reads first frames with it.
//
// Every operation returns a TgaResult code (0 = success). Reading never leaves
// a half-read image behind: on any failure the image is freed.
#pragma once

#include <cstdint>
#include <cstdio>

// The image record. The first twelve fields are the 18-byte file header, in
// file order. The three buffers are owned (malloc'd) and released by TgaFreeImage.
struct TgaImage {
    uint8_t idLength = 0;
    uint8_t colorMapType = 0;       // 0 none, 1 present
    uint8_t imageType = 0;          // 1 mapped, 2 true colour, 3 grey; 9..11 the same RLE
    uint16_t colorMapFirstEntry = 0;
    uint16_t colorMapLength = 0;
    uint8_t colorMapEntrySize = 0;  // bits per map entry
    uint16_t xOrigin = 0;
    uint16_t yOrigin = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t pixelDepth = 0;         // 8, 16, 24 or 32
    uint8_t descriptor = 0;         // bit 5 top-down, bit 4 right-to-left, low 4 alpha bits

    uint8_t* id = nullptr;          // idLength bytes
    uint8_t* colorMap = nullptr;    // (first + length) entries; stored ones from 'first'
    uint8_t* pixels = nullptr;      // width * height * depth / 8, in the file's row order
};

enum TgaResult {
    TgaOk = 0,
    TgaOpenFailed = 1,
    TgaReadFailed = 2,          // short or failed read, truncated file
    TgaWriteFailed = 3,
    TgaBadColorMapType = 4,
    TgaUnsupportedImageType = 5,
    TgaNoImageData = 6,
    TgaMissingColorMap = 7,
    TgaUnexpectedColorMap = 8,
    TgaEmptyColorMap = 9,
    TgaBadColorMapEntrySize = 10,
    TgaZeroSize = 11,
    TgaBadPixelDepth = 12,
    TgaOutOfMemory = 13,
    TgaNotColorMapped = 14,
    TgaRleOverrun = 15,
    TgaBadColorIndex = 16,
};

// Bits of the image descriptor.
enum : uint8_t {
    TgaDescriptorRightToLeft = 0x10,
    TgaDescriptorTopDown = 0x20,
};

int TgaIsTopDown(const TgaImage* image);
int TgaIsColorMapped(const TgaImage* image);
int TgaIsRle(const TgaImage* image);

// Where a reader takes its bytes from. A read that cannot deliver every byte
// asked for zero-fills the rest and reports failure, so nothing the caller
// sees is ever left uninitialised. The volume library supplies one that reads
// through its file handles (TgaReadVolumeFile).
class TgaSource {
public:
    virtual ~TgaSource() = default;
    virtual bool read(void* buffer, uint64_t count) = 0;
    // Bytes between the current position and the end of the file; -1 when unknown.
    virtual int64_t remaining() = 0;

protected:
    // Ends a read that delivered done of count bytes.
    static bool finish(uint8_t* out, uint64_t done, uint64_t count);
};

TgaResult TgaReadPath(TgaImage* image, const char* path);
// As TgaReadPath, reading into image's own pixel buffer when it is large
// enough: a fresh multi-megabyte buffer per frame costs a page fault per page.
TgaResult TgaReadPathReusing(TgaImage* image, const char* path);
TgaResult TgaReadStream(TgaImage* image, FILE* stream);
TgaResult TgaReadSource(TgaImage* image, TgaSource& source);
// RLE decoding into image->pixels (already allocated, width * height pixels).
TgaResult TgaReadRleStream(TgaImage* image, FILE* stream);
TgaResult TgaReadRleSource(TgaImage* image, TgaSource& source);

TgaResult TgaWritePath(const char* path, const TgaImage* image);
// The length of the file TgaWriteStream writes for an uncompressed image; 0
// for a run-length encoded one, whose length shows only when it is written.
uint64_t TgaStoredSize(const TgaImage* image);
TgaResult TgaWriteStream(FILE* stream, const TgaImage* image);
// TgaWriteStream, then closes stream; a failed flush or close fails the write.
TgaResult TgaWriteAndClose(FILE* stream, const TgaImage* image);
TgaResult TgaWriteRleRow(FILE* stream, const TgaImage* image, int row);

// RLE encoder decisions for the pixel at 'position' of one row.
int TgaRlePacketIsRun(const uint8_t* row, int position, int width, int bytesPerPixel);
int TgaRlePacketLength(const uint8_t* row, int position, int width, int bytesPerPixel, int isRun);

TgaResult TgaExpandColorMap(TgaImage* image);
TgaResult TgaConvertDepth(TgaImage* image, int depth);

// Address of picture pixel (x, y), (0, 0) being the top-left of the picture
// whatever the stored order; null outside the image.
uint8_t* TgaPixelAddress(const TgaImage* image, int x, int y);

TgaResult TgaUnpackPixel(const uint8_t* pixel, int depth, uint8_t* blue, uint8_t* green, uint8_t* red,
                         uint8_t* alpha);
TgaResult TgaPackPixel(uint8_t* pixel, int depth, uint8_t blue, uint8_t green, uint8_t red, uint8_t alpha);

void TgaFreeImage(TgaImage* image);
