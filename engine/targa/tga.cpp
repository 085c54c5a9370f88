// Targa codec: reading, writing, RLE, colour maps and depth conversion.
#include "tga.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

class StreamSource : public TgaSource {
public:
    explicit StreamSource(FILE* stream) : stream(stream) {}

    bool read(void* buffer, uint64_t count) override
    {
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t done = 0;
        while (done < count) {
            size_t chunk = size_t(std::min<uint64_t>(count - done, 1u << 30));
            size_t got = fread(out + done, 1, chunk, stream);
            done += got;
            if (got < chunk)
                break;
        }
        return finish(out, done, count);
    }

    int64_t remaining() override
    {
        off_t here = ftello(stream);
        if (here < 0 || fseeko(stream, 0, SEEK_END) != 0)
            return -1;
        off_t end = ftello(stream);
        if (fseeko(stream, here, SEEK_SET) != 0 || end < here)
            return -1;
        return int64_t(end - here);
    }

private:
    FILE* stream;
};

bool readU8(TgaSource& src, uint8_t* value)
{
    return src.read(value, 1);
}

bool readU16(TgaSource& src, uint16_t* value)
{
    uint8_t b[2];
    bool ok = src.read(b, 2);
    *value = uint16_t(b[0] | (b[1] << 8));
    return ok;
}

bool isValidDepth(int depth)
{
    return depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

bool isMappedType(int type)
{
    return type == 1 || type == 9;
}

bool isUnsupportedType(int type)
{
    return (type >= 4 && type <= 8) || type >= 12;
}

// The colour map fields of a header that says it has a map.
TgaResult checkColorMapSpec(const TgaImage* image)
{
    if (image->colorMapLength == 0)
        return TgaEmptyColorMap;
    const int es = image->colorMapEntrySize;
    if (es != 16 && es != 24 && es != 32)
        return TgaBadColorMapEntrySize;
    return TgaOk;
}

uint64_t pixelBytes(const TgaImage* image)
{
    return uint64_t(image->width) * image->height * (image->pixelDepth / 8);
}

// Checks a size against the address space before it is allocated.
bool fitsInMemory(uint64_t bytes)
{
    return bytes <= uint64_t(std::numeric_limits<size_t>::max())
        && bytes <= uint64_t(std::numeric_limits<int64_t>::max());
}

TgaResult decodeRle(TgaImage* image, TgaSource& src)
{
    if (!isValidDepth(image->pixelDepth))
        return TgaBadPixelDepth;
    const uint64_t total = uint64_t(image->width) * image->height;
    if (total == 0)
        return TgaOk;
    if (!image->pixels)
        return TgaNoImageData;
    const unsigned bpp = image->pixelDepth / 8;
    uint64_t done = 0;
    while (done < total) {
        uint8_t header;
        if (!readU8(src, &header))
            return TgaReadFailed;
        const unsigned count = (header & 0x7F) + 1u;
        if (count > total - done)
            return TgaRleOverrun;
        uint8_t* dst = image->pixels + done * bpp;
        if (header & 0x80) {
            if (!src.read(dst, bpp))
                return TgaReadFailed;
            for (unsigned i = 1; i < count; ++i)
                memcpy(dst + i * bpp, dst, bpp);
        } else if (!src.read(dst, uint64_t(count) * bpp)) {
            return TgaReadFailed;
        }
        done += count;
    }
    return TgaOk;
}

// spare (spareBytes long, malloc'd, may be null) takes the pixels when it is
// large enough; *spare is cleared when it was taken.
TgaResult readHeaderAndData(TgaImage* image, TgaSource& src, uint8_t** spare = nullptr, uint64_t spareBytes = 0)
{
    // The record is read afresh: a file that ends early leaves zeros, not
    // what an earlier image left, in the fields it never reached.
    *image = TgaImage();

    if (!readU8(src, &image->idLength) || !readU8(src, &image->colorMapType))
        return TgaReadFailed;
    if (image->colorMapType > 1)
        return TgaBadColorMapType;

    if (!readU8(src, &image->imageType))
        return TgaReadFailed;
    if (image->imageType == 0)
        return TgaNoImageData;
    if (isMappedType(image->imageType) && image->colorMapType == 0)
        return TgaMissingColorMap;
    if (!isMappedType(image->imageType) && image->colorMapType == 1)
        return TgaUnexpectedColorMap;
    if (isUnsupportedType(image->imageType))
        return TgaUnsupportedImageType;

    if (!readU16(src, &image->colorMapFirstEntry) || !readU16(src, &image->colorMapLength)
        || !readU8(src, &image->colorMapEntrySize))
        return TgaReadFailed;
    if (image->colorMapType == 1) {
        const TgaResult rc = checkColorMapSpec(image);
        if (rc != TgaOk)
            return rc;
    }

    if (!readU16(src, &image->xOrigin) || !readU16(src, &image->yOrigin)
        || !readU16(src, &image->width) || !readU16(src, &image->height))
        return TgaReadFailed;
    if (image->width == 0 || image->height == 0)
        return TgaZeroSize;
    if (!readU8(src, &image->pixelDepth))
        return TgaReadFailed;
    if (isMappedType(image->imageType) && image->pixelDepth != 8)
        return TgaBadPixelDepth;
    if (!isValidDepth(image->pixelDepth))
        return TgaBadPixelDepth;
    if (!readU8(src, &image->descriptor))
        return TgaReadFailed;

    // Sizes the header claims are checked against what the file still holds
    // before anything is allocated for them.
    int64_t left = src.remaining();
    auto exceedsFile = [&](uint64_t bytes) {
        if (left < 0)
            return false;
        if (bytes > uint64_t(left))
            return true;
        left -= int64_t(bytes);
        return false;
    };

    if (image->idLength > 0) {
        if (exceedsFile(image->idLength))
            return TgaReadFailed;
        image->id = static_cast<uint8_t*>(malloc(image->idLength));
        if (!image->id)
            return TgaOutOfMemory;
        if (!src.read(image->id, image->idLength))
            return TgaReadFailed;
    }

    if (image->colorMapType == 1) {
        const unsigned entryBytes = image->colorMapEntrySize / 8u;
        const uint64_t stored = uint64_t(image->colorMapLength) * entryBytes;
        const uint64_t offset = uint64_t(image->colorMapFirstEntry) * entryBytes;
        if (exceedsFile(stored))
            return TgaReadFailed;
        // Entries below the first stored one are zero.
        image->colorMap = static_cast<uint8_t*>(calloc(size_t(offset + stored), 1));
        if (!image->colorMap)
            return TgaOutOfMemory;
        if (!src.read(image->colorMap + offset, stored))
            return TgaReadFailed;
    }

    const uint64_t bytes = pixelBytes(image);
    if (!fitsInMemory(bytes))
        return TgaOutOfMemory;
    if (TgaIsRle(image)) {
        // The densest encoding is one 128-pixel run per header byte and pixel.
        const uint64_t pixels = uint64_t(image->width) * image->height;
        const uint64_t minimum = (pixels + 127) / 128 * (1 + image->pixelDepth / 8);
        if (left >= 0 && minimum > uint64_t(left))
            return TgaReadFailed;
    } else if (exceedsFile(bytes)) {
        return TgaReadFailed;
    }
    if (spare && *spare && spareBytes >= bytes) {
        image->pixels = *spare;
        *spare = nullptr;
    } else {
        image->pixels = static_cast<uint8_t*>(malloc(size_t(bytes)));
    }
    if (!image->pixels)
        return TgaOutOfMemory;
    if (TgaIsRle(image))
        return decodeRle(image, src);
    return src.read(image->pixels, bytes) ? TgaOk : TgaReadFailed;
}

TgaResult readImage(TgaImage* image, TgaSource& src, uint8_t** spare = nullptr, uint64_t spareBytes = 0)
{
    if (!image)
        return TgaReadFailed;
    TgaResult rc = readHeaderAndData(image, src, spare, spareBytes);
    if (rc != TgaOk)
        TgaFreeImage(image);
    return rc;
}

bool writeBytes(FILE* stream, const void* data, uint64_t count)
{
    const auto* in = static_cast<const uint8_t*>(data);
    while (count > 0) {
        size_t chunk = size_t(std::min<uint64_t>(count, 1u << 20));
        if (fwrite(in, 1, chunk, stream) != chunk)
            return false;
        in += chunk;
        count -= chunk;
    }
    return true;
}

bool writeU8(FILE* stream, uint8_t value)
{
    return fputc(value, stream) != EOF;
}

bool writeU16(FILE* stream, uint16_t value)
{
    uint8_t b[2] = {uint8_t(value & 0xFF), uint8_t(value >> 8)};
    return fwrite(b, 1, 2, stream) == 2;
}

// The header checks of writing, in the order the fields come.
TgaResult checkForWriting(const TgaImage* image)
{
    if (image->colorMapType > 1)
        return TgaBadColorMapType;
    if (image->imageType == 0)
        return TgaNoImageData;
    if (isUnsupportedType(image->imageType))
        return TgaUnsupportedImageType;
    if (isMappedType(image->imageType) && image->colorMapType == 0)
        return TgaMissingColorMap;
    if (image->colorMapType == 1) {
        const TgaResult rc = checkColorMapSpec(image);
        if (rc != TgaOk)
            return rc;
        if (!isMappedType(image->imageType))
            return TgaUnexpectedColorMap;
        if (!image->colorMap)
            return TgaMissingColorMap;
    }
    if (image->width == 0 || image->height == 0)
        return TgaZeroSize;
    if (!isValidDepth(image->pixelDepth))
        return TgaBadPixelDepth;
    if (isMappedType(image->imageType) && image->pixelDepth != 8)
        return TgaBadPixelDepth;
    if (!image->pixels)
        return TgaNoImageData;
    return TgaOk;
}

const uint8_t kFooter[26] = {0, 0, 0, 0, 0, 0, 0, 0, 'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                             'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

} // namespace

bool TgaSource::finish(uint8_t* out, uint64_t done, uint64_t count)
{
    if (done < count) {
        memset(out + done, 0, size_t(count - done));
        return false;
    }
    return true;
}

int TgaIsTopDown(const TgaImage* image)
{
    return (image->descriptor & TgaDescriptorTopDown) ? 1 : 0;
}

int TgaIsColorMapped(const TgaImage* image)
{
    return isMappedType(image->imageType) ? 1 : 0;
}

int TgaIsRle(const TgaImage* image)
{
    return (image->imageType >= 9 && image->imageType <= 11) ? 1 : 0;
}

TgaResult TgaReadPath(TgaImage* image, const char* path)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        if (image)
            image->id = image->colorMap = image->pixels = nullptr;
        return TgaOpenFailed;
    }
    TgaResult rc = TgaReadStream(image, f);
    fclose(f);
    return rc;
}

TgaResult TgaReadPathReusing(TgaImage* image, const char* path)
{
    if (!image)
        return TgaReadFailed;
    uint8_t* spare = image->pixels;
    const uint64_t spareBytes = spare ? pixelBytes(image) : 0;
    image->pixels = nullptr;
    TgaFreeImage(image);
    TgaResult rc = TgaOpenFailed;
    if (FILE* f = fopen(path, "rb")) {
        StreamSource src(f);
        rc = readImage(image, src, &spare, spareBytes);
        fclose(f);
    }
    free(spare);
    return rc;
}

TgaResult TgaReadStream(TgaImage* image, FILE* stream)
{
    StreamSource src(stream);
    return readImage(image, src);
}

TgaResult TgaReadSource(TgaImage* image, TgaSource& source)
{
    return readImage(image, source);
}

TgaResult TgaReadRleStream(TgaImage* image, FILE* stream)
{
    StreamSource src(stream);
    return decodeRle(image, src);
}

TgaResult TgaReadRleSource(TgaImage* image, TgaSource& source)
{
    return decodeRle(image, source);
}

TgaResult TgaWritePath(const char* path, const TgaImage* image)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return TgaOpenFailed;
    return TgaWriteAndClose(f, image);
}

TgaResult TgaWriteAndClose(FILE* stream, const TgaImage* image)
{
    TgaResult rc = TgaWriteStream(stream, image);
    // A full disk often shows only when the buffers are flushed.
    if (fflush(stream) != 0 && rc == TgaOk)
        rc = TgaWriteFailed;
    if (fclose(stream) != 0 && rc == TgaOk)
        rc = TgaWriteFailed;
    return rc;
}

uint64_t TgaStoredSize(const TgaImage* image)
{
    if (TgaIsRle(image))
        return 0;
    const uint64_t colorMap = image->colorMapType == 1
        ? uint64_t(image->colorMapLength) * (image->colorMapEntrySize / 8u)
        : 0;
    return 18 + image->idLength + colorMap + pixelBytes(image) + sizeof(kFooter);
}

TgaResult TgaWriteStream(FILE* stream, const TgaImage* image)
{
    TgaResult rc = checkForWriting(image);
    if (rc != TgaOk)
        return rc;

    bool ok = writeU8(stream, image->idLength) && writeU8(stream, image->colorMapType)
        && writeU8(stream, image->imageType) && writeU16(stream, image->colorMapFirstEntry)
        && writeU16(stream, image->colorMapLength) && writeU8(stream, image->colorMapEntrySize)
        && writeU16(stream, image->xOrigin) && writeU16(stream, image->yOrigin)
        && writeU16(stream, image->width) && writeU16(stream, image->height)
        && writeU8(stream, image->pixelDepth) && writeU8(stream, image->descriptor);
    if (!ok)
        return TgaWriteFailed;

    if (image->idLength > 0) {
        if (image->id) {
            ok = writeBytes(stream, image->id, image->idLength);
        } else {
            static const uint8_t zeros[255] = {};
            ok = writeBytes(stream, zeros, image->idLength);
        }
        if (!ok)
            return TgaWriteFailed;
    }

    if (image->colorMapType == 1) {
        const unsigned entryBytes = image->colorMapEntrySize / 8u;
        const uint64_t offset = uint64_t(image->colorMapFirstEntry) * entryBytes;
        if (!writeBytes(stream, image->colorMap + offset, uint64_t(image->colorMapLength) * entryBytes))
            return TgaWriteFailed;
    }

    if (TgaIsRle(image)) {
        for (int row = 0; row < image->height; ++row) {
            rc = TgaWriteRleRow(stream, image, row);
            if (rc != TgaOk)
                return rc;
        }
    } else if (!writeBytes(stream, image->pixels, pixelBytes(image))) {
        return TgaWriteFailed;
    }

    return writeBytes(stream, kFooter, sizeof(kFooter)) ? TgaOk : TgaWriteFailed;
}

TgaResult TgaWriteRleRow(FILE* stream, const TgaImage* image, int row)
{
    if (!isValidDepth(image->pixelDepth))
        return TgaBadPixelDepth;
    if (!image->pixels)
        return TgaNoImageData;
    if (row < 0 || row >= image->height)
        return TgaWriteFailed;
    const int n = image->pixelDepth / 8;
    const int width = image->width;
    const uint8_t* pixels = image->pixels + uint64_t(row) * width * n;
    int p = 0;
    while (p < width) {
        const int isRun = TgaRlePacketIsRun(pixels, p, width, n);
        const int length = TgaRlePacketLength(pixels, p, width, n, isRun);
        const uint8_t header = uint8_t((length - 1) | (isRun ? 0x80 : 0));
        if (!writeU8(stream, header))
            return TgaWriteFailed;
        if (!writeBytes(stream, pixels + size_t(p) * n, size_t(isRun ? 1 : length) * n))
            return TgaWriteFailed;
        p += length;
    }
    return TgaOk;
}

int TgaRlePacketIsRun(const uint8_t* row, int position, int width, int bytesPerPixel)
{
    const int p = position, n = bytesPerPixel;
    if (p + 1 >= width)
        return 0;
    if (memcmp(row + size_t(p) * n, row + size_t(p + 1) * n, size_t(n)) != 0)
        return 0;
    if (n > 1)
        return 1;
    // Single-byte pixels: a run of two costs as much as a raw pair.
    return (p + 2 < width && row[p + 2] == row[p + 1]) ? 1 : 0;
}

int TgaRlePacketLength(const uint8_t* row, int position, int width, int bytesPerPixel, int isRun)
{
    const int p = position, n = bytesPerPixel;
    if (p >= width - 1)
        return 1;
    if (p + 1 == width - 1)
        return 2;
    int length = 2;
    if (isRun) {
        while (length < 128 && p + length < width
               && memcmp(row + size_t(p + length) * n, row + size_t(p) * n, size_t(n)) == 0)
            ++length;
    } else {
        while (length < 128 && p + length < width
               && !TgaRlePacketIsRun(row, p + length, width, n))
            ++length;
    }
    return length;
}

TgaResult TgaExpandColorMap(TgaImage* image)
{
    if (!TgaIsColorMapped(image))
        return TgaNotColorMapped;
    if (image->pixelDepth != 8)
        return TgaBadPixelDepth;
    const int es = image->colorMapEntrySize;
    if (es != 8 && es != 16 && es != 24 && es != 32)
        return TgaBadColorMapEntrySize;
    if (!image->colorMap)
        return TgaMissingColorMap;
    if (!image->pixels)
        return TgaNoImageData;

    const uint64_t count = uint64_t(image->width) * image->height;
    const unsigned limit = unsigned(image->colorMapFirstEntry) + image->colorMapLength;
    // Every index is checked before the buffer changes, so a bad one leaves the image intact.
    for (uint64_t i = 0; i < count; ++i)
        if (image->pixels[i] >= limit)
            return TgaBadColorIndex;

    const unsigned entryBytes = unsigned(es) / 8;
    const uint64_t newBytes = count * entryBytes;
    if (!fitsInMemory(newBytes))
        return TgaOutOfMemory;
    auto* grown = static_cast<uint8_t*>(realloc(image->pixels, size_t(newBytes)));
    if (!grown)
        return TgaOutOfMemory;
    image->pixels = grown;
    for (uint64_t i = count; i-- > 0;) {
        const uint8_t index = grown[i];
        memmove(grown + i * entryBytes, image->colorMap + size_t(index) * entryBytes, entryBytes);
    }

    image->imageType = 2;
    image->pixelDepth = uint8_t(es);
    free(image->colorMap);
    image->colorMap = nullptr;
    image->colorMapType = 0;
    image->colorMapFirstEntry = 0;
    image->colorMapLength = 0;
    image->colorMapEntrySize = 0;
    return TgaOk;
}

TgaResult TgaConvertDepth(TgaImage* image, int depth)
{
    if (depth != 16 && depth != 24 && depth != 32)
        return TgaBadPixelDepth;
    if (!isValidDepth(image->pixelDepth))
        return TgaBadPixelDepth;
    if (TgaIsColorMapped(image)) {
        TgaResult rc = TgaExpandColorMap(image);
        if (rc != TgaOk)
            return rc;
    }
    const int from = image->pixelDepth;
    if (from == depth)
        return TgaOk;
    if (!image->pixels)
        return TgaNoImageData;

    const uint64_t count = uint64_t(image->width) * image->height;
    const unsigned inBytes = unsigned(from) / 8, outBytes = unsigned(depth) / 8;
    const uint64_t newBytes = count * outBytes;
    if (!fitsInMemory(newBytes))
        return TgaOutOfMemory;
    uint8_t b, g, r, a;
    if (outBytes < inBytes) {
        uint8_t* px = image->pixels;
        for (uint64_t i = 0; i < count; ++i) {
            TgaUnpackPixel(px + i * inBytes, from, &b, &g, &r, &a);
            TgaPackPixel(px + i * outBytes, depth, b, g, r, a);
        }
        // A failed shrink keeps the larger buffer, which is still valid.
        if (auto* shrunk = static_cast<uint8_t*>(realloc(px, size_t(newBytes))))
            image->pixels = shrunk;
    } else {
        auto* px = static_cast<uint8_t*>(realloc(image->pixels, size_t(newBytes)));
        if (!px)
            return TgaOutOfMemory;
        image->pixels = px;
        for (uint64_t i = count; i-- > 0;) {
            TgaUnpackPixel(px + i * inBytes, from, &b, &g, &r, &a);
            TgaPackPixel(px + i * outBytes, depth, b, g, r, a);
        }
    }
    image->pixelDepth = uint8_t(depth);
    return TgaOk;
}

uint8_t* TgaPixelAddress(const TgaImage* image, int x, int y)
{
    if (!image || !image->pixels || x < 0 || y < 0 || x >= image->width || y >= image->height)
        return nullptr;
    const uint64_t column = (image->descriptor & TgaDescriptorRightToLeft) ? image->width - 1 - x : x;
    const uint64_t row = (image->descriptor & TgaDescriptorTopDown) ? y : image->height - 1 - y;
    return image->pixels + (column + uint64_t(image->width) * row) * (image->pixelDepth / 8);
}

TgaResult TgaUnpackPixel(const uint8_t* pixel, int depth, uint8_t* blue, uint8_t* green, uint8_t* red,
                   uint8_t* alpha)
{
    uint8_t b, g, r, a;
    switch (depth) {
    case 8:
        b = g = r = pixel[0];
        a = 0;
        break;
    case 16: {
        const unsigned v = unsigned(pixel[0]) | (unsigned(pixel[1]) << 8);
        b = uint8_t((v & 0x1F) << 3);
        g = uint8_t(((v >> 5) & 0x1F) << 3);
        r = uint8_t(((v >> 10) & 0x1F) << 3);
        a = (v & 0x8000) ? 0xFF : 0;
        break;
    }
    case 24:
        b = pixel[0];
        g = pixel[1];
        r = pixel[2];
        a = 0;
        break;
    case 32:
        b = pixel[0];
        g = pixel[1];
        r = pixel[2];
        a = pixel[3];
        break;
    default:
        return TgaBadPixelDepth;
    }
    if (blue)
        *blue = b;
    if (green)
        *green = g;
    if (red)
        *red = r;
    if (alpha)
        *alpha = a;
    return TgaOk;
}

TgaResult TgaPackPixel(uint8_t* pixel, int depth, uint8_t blue, uint8_t green, uint8_t red, uint8_t alpha)
{
    switch (depth) {
    case 16: {
        const unsigned v = unsigned(blue >> 3) | (unsigned(green >> 3) << 5)
            | (unsigned(red >> 3) << 10) | (alpha >= 0x80 ? 0x8000u : 0u);
        pixel[0] = uint8_t(v & 0xFF);
        pixel[1] = uint8_t(v >> 8);
        return TgaOk;
    }
    case 24:
        pixel[0] = blue;
        pixel[1] = green;
        pixel[2] = red;
        return TgaOk;
    case 32:
        pixel[0] = blue;
        pixel[1] = green;
        pixel[2] = red;
        pixel[3] = alpha;
        return TgaOk;
    default:
        return TgaBadPixelDepth;
    }
}

void TgaFreeImage(TgaImage* image)
{
    if (!image)
        return;
    free(image->id);
    free(image->colorMap);
    free(image->pixels);
    image->id = nullptr;
    image->colorMap = nullptr;
    image->pixels = nullptr;
}
