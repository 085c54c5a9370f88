// Targa codec against files written and decoded by the ffmpeg program, and
// against truncated and hostile files.
#include "targa/tgahelpers.h"

#include "../drivefs/dfstest.h"
#include "drivefs.h"
#include "tgavolume.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace tgatest;

namespace {

QByteArray header18(int idLength, int cmType, int type, int cmFirst, int cmLength, int cmSize, int width,
                    int height, int depth, int descriptor)
{
    QByteArray h(18, 0);
    h[0] = char(idLength);
    h[1] = char(cmType);
    h[2] = char(type);
    h[3] = char(cmFirst & 0xFF);
    h[4] = char(cmFirst >> 8);
    h[5] = char(cmLength & 0xFF);
    h[6] = char(cmLength >> 8);
    h[7] = char(cmSize);
    h[12] = char(width & 0xFF);
    h[13] = char(width >> 8);
    h[14] = char(height & 0xFF);
    h[15] = char(height >> 8);
    h[16] = char(depth);
    h[17] = char(descriptor);
    return h;
}

// Splits an RLE pixel stream into its rows, counting pixels packet by packet
// (ffmpeg's packets never cross rows).
QList<QByteArray> rleRows(const QByteArray& data, int width, int height, int bpp)
{
    QList<QByteArray> rows;
    int pos = 0;
    for (int r = 0; r < height; ++r) {
        int start = pos, done = 0;
        while (done < width && pos < data.size()) {
            const uint8_t h = uint8_t(data[pos]);
            const int count = (h & 0x7F) + 1;
            pos += 1 + ((h & 0x80) ? bpp : count * bpp);
            done += count;
        }
        if (done != width)
            return {};
        rows << data.mid(start, pos - start);
    }
    return rows;
}

// Turns an ffmpeg (top-down) file into the same picture stored bottom row first.
QByteArray toBottomUp(const QByteArray& file)
{
    const int width = uint8_t(file[12]) | (uint8_t(file[13]) << 8);
    const int height = uint8_t(file[14]) | (uint8_t(file[15]) << 8);
    const int bpp = uint8_t(file[16]) / 8;
    const int start = 18 + uint8_t(file[0]);
    const QByteArray footer = file.right(26);
    const QByteArray data = file.mid(start, file.size() - start - 26);
    QList<QByteArray> rows;
    if (file[2] == 10) {
        rows = rleRows(data, width, height, bpp);
    } else {
        for (int r = 0; r < height; ++r)
            rows << data.mid(r * width * bpp, width * bpp);
    }
    if (rows.size() != height)
        return {};
    QByteArray out = file.left(start);
    out[17] = char(out[17] & ~0x20);
    for (int r = height - 1; r >= 0; --r)
        out += rows[r];
    return out + footer;
}

struct ImageHolder {
    TgaImage image;
    ~ImageHolder() { TgaFreeImage(&image); }
};

} // namespace

class TestTga : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readsFfmpegFiles_data();
    void readsFfmpegFiles();
    void ffmpegDecodesOurFiles_data();
    void ffmpegDecodesOurFiles();
    void fileLengthAndFooter();
    void rlePackets();
    void rleOverrun();
    void hostileHeaders_data();
    void hostileHeaders();
    void truncatedFiles_data();
    void truncatedFiles();
    void colourMaps();
    void depthConversion();
    void pixelAddressing();
    void writeFailures();
    void volumeFiles();
    void mutatedFiles();

private:
    QTemporaryDir dir;
};

void TestTga::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(dir.isValid());
}

void TestTga::readsFfmpegFiles_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("rle");
    QTest::addColumn<bool>("bottomUp");
    for (int bits : {24, 32})
        for (bool rle : {false, true})
            for (bool bottomUp : {false, true})
                QTest::addRow("%d-bit %s %s", bits, rle ? "rle" : "raw", bottomUp ? "bottom-up" : "top-down")
                    << bits << rle << bottomUp;
}

void TestTga::readsFfmpegFiles()
{
    QFETCH(int, bits);
    QFETCH(bool, rle);
    QFETCH(bool, bottomUp);
    const int w = 317, h = 179;
    const QString path = dir.filePath(QString("in_%1_%2_%3.tga").arg(bits).arg(rle).arg(bottomUp));
    QCOMPARE(ffmpegFrames(path, w, h, bits, rle), QString());
    if (bottomUp) {
        QByteArray flipped = toBottomUp(readAll(path));
        QVERIFY(!flipped.isEmpty());
        QVERIFY(writeAll(path, flipped));
    }
    const QByteArray expected = ffmpegDecode(path, pixFmt(bits));
    QCOMPARE(expected.size(), w * h * bits / 8);

    ImageHolder img;
    QCOMPARE(TgaReadPath(&img.image, QFile::encodeName(path).constData()), int(TgaOk));
    QCOMPARE(int(img.image.width), w);
    QCOMPARE(int(img.image.height), h);
    QCOMPARE(int(img.image.pixelDepth), bits);
    QCOMPARE(TgaIsRle(&img.image), rle ? 1 : 0);
    QCOMPARE(TgaIsTopDown(&img.image), bottomUp ? 0 : 1);
    QVERIFY(pictureBytes(img.image) == expected);
}

void TestTga::ffmpegDecodesOurFiles_data()
{
    readsFfmpegFiles_data();
}

void TestTga::ffmpegDecodesOurFiles()
{
    QFETCH(int, bits);
    QFETCH(bool, rle);
    QFETCH(bool, bottomUp);
    const int w = 250, h = 141;
    const int bpp = bits / 8;
    const QString src = dir.filePath(QString("src_%1.tga").arg(bits));
    QCOMPARE(ffmpegFrames(src, w, h, bits, false), QString());
    const QByteArray picture = ffmpegDecode(src, pixFmt(bits));
    QCOMPARE(picture.size(), w * h * bpp);

    // Large flat areas make runs, the pattern's detail raw packets.
    QByteArray stored;
    for (int r = 0; r < h; ++r)
        stored += picture.mid((bottomUp ? h - 1 - r : r) * w * bpp, w * bpp);
    TgaImage img;
    img.imageType = rle ? 10 : 2;
    img.width = uint16_t(w);
    img.height = uint16_t(h);
    img.pixelDepth = uint8_t(bits);
    img.descriptor = uint8_t((bottomUp ? 0 : TgaDescriptorTopDown) | (bits == 32 ? 8 : 0));
    img.pixels = reinterpret_cast<uint8_t*>(stored.data());

    const QString out = dir.filePath(QString("out_%1_%2_%3.tga").arg(bits).arg(rle).arg(bottomUp));
    QCOMPARE(TgaWritePath(QFile::encodeName(out).constData(), &img), int(TgaOk));
    QVERIFY(ffmpegDecode(out, pixFmt(bits)) == picture);

    const QByteArray file = readAll(out);
    QVERIFY(file.endsWith(QByteArray("\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0", 26)));
    if (!rle)
        QCOMPARE(file.size(), 18 + w * h * bpp + 26);
    else
        QVERIFY(file.size() < 18 + w * h * bpp + 26);

    ImageHolder back;
    QCOMPARE(TgaReadPath(&back.image, QFile::encodeName(out).constData()), int(TgaOk));
    QVERIFY(pictureBytes(back.image) == picture);
}

void TestTga::fileLengthAndFooter()
{
    QByteArray pixels(1920 * 1080 * 3, '\x5a');
    TgaImage img;
    img.imageType = 2;
    img.width = 1920;
    img.height = 1080;
    img.pixelDepth = 24;
    img.pixels = reinterpret_cast<uint8_t*>(pixels.data());
    const QString path = dir.filePath("hd.tga");
    QCOMPARE(TgaWritePath(QFile::encodeName(path).constData(), &img), int(TgaOk));
    const QByteArray file = readAll(path);
    QCOMPARE(file.size(), 18 + 6220800 + 26);
    QCOMPARE(file.left(18), header18(0, 0, 2, 0, 0, 0, 1920, 1080, 24, 0));
    QCOMPARE(file.right(26), QByteArray("\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0", 26));
    QVERIFY(file.mid(18, 6220800) == pixels);
}

void TestTga::rlePackets()
{
    QTemporaryDir d;
    auto writeRow = [&](const QByteArray& row, int depth) {
        TgaImage img;
        img.imageType = depth == 8 ? 11 : 10;
        img.width = uint16_t(row.size() / (depth / 8));
        img.height = 1;
        img.pixelDepth = uint8_t(depth);
        QByteArray copy = row;
        img.pixels = reinterpret_cast<uint8_t*>(copy.data());
        const QString p = d.filePath("row.tga");
        if (TgaWritePath(QFile::encodeName(p).constData(), &img) != TgaOk)
            return QByteArray("failed");
        const QByteArray f = readAll(p);
        return f.mid(18, f.size() - 18 - 26);
    };

    // 200 equal 24-bit pixels: runs of 128 and 72.
    QByteArray row;
    for (int i = 0; i < 200; ++i)
        row += QByteArray("\x01\x02\x03", 3);
    QCOMPARE(writeRow(row, 24), QByteArray("\xFF\x01\x02\x03\xC7\x01\x02\x03", 8));

    // 8-bit: two equal pixels before a different one stay raw; three start a run.
    QCOMPARE(writeRow(QByteArray("\x07\x07\x09", 3), 8), QByteArray("\x02\x07\x07\x09", 4));
    QCOMPARE(writeRow(QByteArray("\x07\x07\x07\x09", 4), 8), QByteArray("\x82\x07\x00\x09", 4));
    // A raw stretch ends where a run begins.
    QCOMPARE(writeRow(QByteArray("\x01\x00\x02\x00\x03\x00\x03\x00", 8), 16),
             QByteArray("\x01\x01\x00\x02\x00\x81\x03\x00", 8));

    // Long raw rows are cut at 128 pixels; packets never cross rows.
    QByteArray ramp;
    for (int i = 0; i < 300; ++i)
        ramp += char(i & 0xFF) + QByteArray("\x10\x20", 2);
    const QByteArray enc = writeRow(ramp, 24);
    QCOMPARE(uint8_t(enc[0]), uint8_t(0x7F));
    QCOMPARE(uint8_t(enc[1 + 128 * 3]), uint8_t(0x7F));
    QCOMPARE(uint8_t(enc[2 + 256 * 3]), uint8_t(43));
    QCOMPARE(enc.size(), 3 + 300 * 3);

    const uint8_t px[] = {5, 5, 6};
    QCOMPARE(TgaRlePacketIsRun(px, 0, 3, 1), 0);
    QCOMPARE(TgaRlePacketIsRun(px, 2, 3, 1), 0);
    QCOMPARE(TgaRlePacketLength(px, 2, 3, 1, 0), 1);
    QCOMPARE(TgaRlePacketLength(px, 1, 3, 1, 0), 2);
}

void TestTga::rleOverrun()
{
    // 2 x 2 pixels, then a run packet claiming 5.
    QByteArray file = header18(0, 0, 10, 0, 0, 0, 2, 2, 24, 0x20) + QByteArray("\x84\x01\x02\x03", 4);
    const QString path = dir.filePath("overrun.tga");
    QVERIFY(writeAll(path, file));
    TgaImage img;
    QCOMPARE(TgaReadPath(&img, QFile::encodeName(path).constData()), int(TgaRleOverrun));
    QVERIFY(!img.pixels);

    // A raw packet after 3 pixels claiming 2 more.
    file = header18(0, 0, 10, 0, 0, 0, 2, 2, 24, 0x20) + QByteArray("\x82\x01\x02\x03\x01", 5)
        + QByteArray(6, 'x');
    QVERIFY(writeAll(path, file));
    QCOMPARE(TgaReadPath(&img, QFile::encodeName(path).constData()), int(TgaRleOverrun));
    QVERIFY(!img.pixels);
}

void TestTga::hostileHeaders_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("code");
    const QByteArray px(64 * 3, '\x11');
    const QByteArray map(8 * 3, '\x22');
    QTest::newRow("colour-map type 2") << header18(0, 2, 2, 0, 0, 0, 8, 8, 24, 0) + px << 4;
    QTest::newRow("image type 0") << header18(0, 0, 0, 0, 0, 0, 8, 8, 24, 0) + px << 6;
    QTest::newRow("image type 4") << header18(0, 0, 4, 0, 0, 0, 8, 8, 24, 0) + px << 5;
    QTest::newRow("image type 200") << header18(0, 0, 200, 0, 0, 0, 8, 8, 24, 0) + px << 5;
    QTest::newRow("mapped without map") << header18(0, 0, 1, 0, 0, 0, 8, 8, 8, 0) + px << 7;
    QTest::newRow("true colour with map") << header18(0, 1, 2, 0, 8, 24, 8, 8, 24, 0) + map + px << 8;
    QTest::newRow("map of length 0") << header18(0, 1, 1, 0, 0, 24, 8, 8, 8, 0) + px << 9;
    QTest::newRow("map entry size 15") << header18(0, 1, 1, 0, 8, 15, 8, 8, 8, 0) + map + px << 10;
    QTest::newRow("width 0") << header18(0, 0, 2, 0, 0, 0, 0, 8, 24, 0) + px << 11;
    QTest::newRow("height 0") << header18(0, 0, 2, 0, 0, 0, 8, 0, 24, 0) + px << 11;
    QTest::newRow("depth 12") << header18(0, 0, 2, 0, 0, 0, 8, 8, 12, 0) + px << 12;
    QTest::newRow("mapped depth 16") << header18(0, 1, 1, 0, 8, 24, 8, 8, 16, 0) + map + px << 12;
    // Sizes the file cannot hold are refused before anything is allocated.
    QTest::newRow("65535 x 65535 raw") << header18(0, 0, 2, 0, 0, 0, 65535, 65535, 32, 0) + px << 2;
    QTest::newRow("65535 x 65535 rle") << header18(0, 0, 10, 0, 0, 0, 65535, 65535, 32, 0) + px << 2;
    QTest::newRow("map past the end") << header18(0, 1, 1, 65535, 65535, 32, 8, 8, 8, 0) + px << 2;
    QTest::newRow("id past the end") << header18(255, 0, 2, 0, 0, 0, 2, 2, 24, 0) + QByteArray(20, 'i') << 2;
    QTest::newRow("header only") << header18(0, 0, 2, 0, 0, 0, 8, 8, 24, 0) << 2;
    QTest::newRow("17 bytes") << header18(0, 0, 2, 0, 0, 0, 8, 8, 24, 0).left(17) << 2;
    QTest::newRow("empty") << QByteArray() << 2;
    QTest::newRow("rle stream ends") << header18(0, 0, 10, 0, 0, 0, 8, 8, 24, 0) + QByteArray("\x81\x01\x02\x03\x05", 5)
        << 2;
    QTest::newRow("valid mapped")
        << header18(3, 1, 1, 2, 8, 24, 8, 8, 8, 0) + "abc" + map + QByteArray(64, '\x05') << 0;
}

void TestTga::hostileHeaders()
{
    QFETCH(QByteArray, file);
    QFETCH(int, code);
    const QString path = dir.filePath("hostile.tga");
    QVERIFY(writeAll(path, file));
    TgaImage img;
    QCOMPARE(TgaReadPath(&img, QFile::encodeName(path).constData()), code);
    if (code != 0) {
        QVERIFY(!img.pixels);
        QVERIFY(!img.colorMap);
        QVERIFY(!img.id);
    } else {
        QCOMPARE(QByteArray(reinterpret_cast<char*>(img.id), 3), QByteArray("abc"));
        // Entries below the first stored one read as zero.
        QCOMPARE(img.colorMap[0], uint8_t(0));
        QCOMPARE(img.colorMap[2 * 3], uint8_t(0x22));
        TgaFreeImage(&img);
        QVERIFY(!img.pixels);
    }
}

void TestTga::truncatedFiles_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("rle");
    for (int bits : {24, 32})
        for (bool rle : {false, true})
            QTest::addRow("%d-bit %s", bits, rle ? "rle" : "raw") << bits << rle;
}

void TestTga::truncatedFiles()
{
    QFETCH(int, bits);
    QFETCH(bool, rle);
    const QString full = dir.filePath("trunc_src.tga");
    QCOMPARE(ffmpegFrames(full, 23, 11, bits, rle), QString());
    const QByteArray file = readAll(full);
    const QByteArray withoutFooter = file.left(file.size() - 26);
    const QString path = dir.filePath("trunc.tga");

    // Without its footer the picture is still whole.
    QVERIFY(writeAll(path, withoutFooter));
    ImageHolder whole;
    QCOMPARE(TgaReadPath(&whole.image, QFile::encodeName(path).constData()), int(TgaOk));

    // Every shorter prefix is refused with a code and leaves no pixels behind.
    for (int len = 0; len < withoutFooter.size(); ++len) {
        QVERIFY(writeAll(path, withoutFooter.left(len)));
        TgaImage img;
        img.pixels = reinterpret_cast<uint8_t*>(0x1); // must be replaced, never freed
        const int rc = TgaReadPath(&img, QFile::encodeName(path).constData());
        QVERIFY2(rc == TgaReadFailed, qPrintable(QString("length %1 gave %2").arg(len).arg(rc)));
        QVERIFY(!img.pixels && !img.id && !img.colorMap);
    }

    // The same through a stream that cannot seek (no size known in advance).
    auto r = testutil::sh(QString("head -c %1 '%2' > '%3'").arg(withoutFooter.size() - 5).arg(full, path));
    QVERIFY(r.ok());
    FILE* pipe = popen(qPrintable(QString("cat '%1'").arg(path)), "r");
    QVERIFY(pipe);
    TgaImage img;
    QCOMPARE(TgaReadStream(&img, pipe), int(TgaReadFailed));
    pclose(pipe);
    QVERIFY(!img.pixels);
}

void TestTga::colourMaps()
{
    // ffmpeg writes palette pictures as colour-mapped Targa files.
    const QString path = dir.filePath("pal.tga");
    QCOMPARE(ffmpegFrames(path, 64, 36, 8, false), QString());
    const QByteArray expected = ffmpegDecode(path, "bgr24");
    ImageHolder img;
    QCOMPARE(TgaReadPath(&img.image, QFile::encodeName(path).constData()), int(TgaOk));
    QCOMPARE(TgaIsColorMapped(&img.image), 1);
    QCOMPARE(TgaConvertDepth(&img.image, 24), int(TgaOk));
    QCOMPARE(TgaIsColorMapped(&img.image), 0);
    QCOMPARE(int(img.image.imageType), 2);
    QCOMPARE(int(img.image.colorMapType), 0);
    QVERIFY(!img.image.colorMap);
    QVERIFY(pictureBytes(img.image) == expected);

    // An index outside the map is refused and the image stays as it was.
    QByteArray map("\x01\x02\x03\x04\x05\x06", 6);
    QByteArray idx("\x00\x01\x02\x01", 4);
    TgaImage m;
    m.imageType = 1;
    m.colorMapType = 1;
    m.colorMapLength = 2;
    m.colorMapEntrySize = 24;
    m.width = 2;
    m.height = 2;
    m.pixelDepth = 8;
    m.colorMap = static_cast<uint8_t*>(malloc(6));
    memcpy(m.colorMap, map.constData(), 6);
    m.pixels = static_cast<uint8_t*>(malloc(4));
    memcpy(m.pixels, idx.constData(), 4);
    QCOMPARE(TgaExpandColorMap(&m), int(TgaBadColorIndex));
    QCOMPARE(int(m.imageType), 1);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(m.pixels), 4), idx);
    m.pixels[2] = 0;
    QCOMPARE(TgaExpandColorMap(&m), int(TgaOk));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(m.pixels), 12),
             QByteArray("\x01\x02\x03\x04\x05\x06\x01\x02\x03\x04\x05\x06", 12));
    QCOMPARE(int(m.pixelDepth), 24);
    QCOMPARE(TgaExpandColorMap(&m), int(TgaNotColorMapped));
    TgaFreeImage(&m);
}

void TestTga::depthConversion()
{
    TgaImage img;
    img.imageType = 2;
    img.width = 2;
    img.height = 1;
    img.pixelDepth = 32;
    img.pixels = static_cast<uint8_t*>(malloc(8));
    memcpy(img.pixels, "\x10\x20\x30\x40\x50\x60\x70\x80", 8);
    QCOMPARE(TgaConvertDepth(&img, 24), int(TgaOk));
    QCOMPARE(int(img.pixelDepth), 24);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(img.pixels), 6), QByteArray("\x10\x20\x30\x50\x60\x70", 6));
    QCOMPARE(TgaConvertDepth(&img, 32), int(TgaOk));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(img.pixels), 8),
             QByteArray("\x10\x20\x30\x00\x50\x60\x70\x00", 8));
    QCOMPARE(TgaConvertDepth(&img, 16), int(TgaOk));
    // 0x10>>3 = 2, 0x20>>3 = 4, 0x30>>3 = 6: 2 | 4 << 5 | 6 << 10
    QCOMPARE(int(img.pixels[0] | (img.pixels[1] << 8)), 2 | (4 << 5) | (6 << 10));
    QCOMPARE(TgaConvertDepth(&img, 8), int(TgaBadPixelDepth));
    QCOMPARE(TgaConvertDepth(&img, 16), int(TgaOk));
    TgaFreeImage(&img);

    uint8_t b = 1, g = 1, r = 1, a = 0;
    const uint8_t black16[2] = {0x00, 0x80};
    QCOMPARE(TgaUnpackPixel(black16, 16, &b, &g, &r, &a), int(TgaOk));
    QVERIFY(b == 0 && g == 0 && r == 0 && a == 0xFF);
    QCOMPARE(TgaUnpackPixel(black16, 16, nullptr, nullptr, nullptr, nullptr), int(TgaOk));
    const uint8_t grey = 0x77;
    QCOMPARE(TgaUnpackPixel(&grey, 8, &b, &g, &r, &a), int(TgaOk));
    QVERIFY(b == 0x77 && g == 0x77 && r == 0x77 && a == 0);
    uint8_t out[4];
    QCOMPARE(TgaPackPixel(out, 8, 1, 2, 3, 4), int(TgaBadPixelDepth));
    QCOMPARE(TgaPackPixel(out, 16, 0, 0, 0, 0x80), int(TgaOk));
    QVERIFY(out[0] == 0 && out[1] == 0x80);

    // Grey 8-bit pictures widen to 24 bits.
    TgaImage gr;
    gr.imageType = 3;
    gr.width = 3;
    gr.height = 1;
    gr.pixelDepth = 8;
    gr.pixels = static_cast<uint8_t*>(malloc(3));
    memcpy(gr.pixels, "\x01\x02\x03", 3);
    QCOMPARE(TgaConvertDepth(&gr, 24), int(TgaOk));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(gr.pixels), 9), QByteArray("\x01\x01\x01\x02\x02\x02\x03\x03\x03", 9));
    TgaFreeImage(&gr);
}

void TestTga::pixelAddressing()
{
    uint8_t px[3 * 2 * 3];
    TgaImage img;
    img.width = 3;
    img.height = 2;
    img.pixelDepth = 24;
    img.pixels = px;
    QCOMPARE(TgaPixelAddress(&img, 0, 0), px + 3 * 3);      // bottom-up: last stored row
    QCOMPARE(TgaPixelAddress(&img, 2, 1), px + 2 * 3);
    img.descriptor = TgaDescriptorTopDown;
    QCOMPARE(TgaPixelAddress(&img, 0, 0), px);
    img.descriptor = TgaDescriptorTopDown | TgaDescriptorRightToLeft;
    QCOMPARE(TgaPixelAddress(&img, 0, 0), px + 2 * 3);
    QCOMPARE(TgaPixelAddress(&img, 3, 0), nullptr);
    QCOMPARE(TgaPixelAddress(&img, 0, 2), nullptr);
    QCOMPARE(TgaPixelAddress(&img, -1, 0), nullptr);
}

void TestTga::writeFailures()
{
    uint8_t px[4 * 3] = {};
    TgaImage img;
    img.imageType = 2;
    img.width = 2;
    img.height = 2;
    img.pixelDepth = 24;
    img.pixels = px;
    QCOMPARE(TgaWritePath(QFile::encodeName(dir.filePath("no/such/folder/x.tga")).constData(), &img),
             int(TgaOpenFailed));
    TgaImage none;
    QCOMPARE(TgaReadPath(&none, QFile::encodeName(dir.filePath("missing.tga")).constData()),
             int(TgaOpenFailed));
    // A full disk is reported, also when it shows only as the buffers are flushed.
    if (QFile::exists("/dev/full"))
        QCOMPARE(TgaWritePath("/dev/full", &img), int(TgaWriteFailed));

    struct Case { const char* name; void (*edit)(TgaImage&); int code; };
    const Case cases[] = {
        {"map type 3", [](TgaImage& i) { i.colorMapType = 3; }, 4},
        {"type 0", [](TgaImage& i) { i.imageType = 0; }, 6},
        {"type 7", [](TgaImage& i) { i.imageType = 7; }, 5},
        {"mapped without map", [](TgaImage& i) { i.imageType = 1; i.pixelDepth = 8; }, 7},
        {"true colour with map", [](TgaImage& i) { i.colorMapType = 1; i.colorMapLength = 1; i.colorMapEntrySize = 24; }, 8},
        {"width 0", [](TgaImage& i) { i.width = 0; }, 11},
        {"depth 20", [](TgaImage& i) { i.pixelDepth = 20; }, 12},
    };
    for (const Case& c : cases) {
        TgaImage bad = img;
        c.edit(bad);
        const QString p = dir.filePath("bad.tga");
        QVERIFY2(TgaWritePath(QFile::encodeName(p).constData(), &bad) == c.code, c.name);
    }
}

void TestTga::volumeFiles()
{
    for (const char* tool : {"mkfs.vfat", "mcopy", "sfdisk"})
        REQUIRE_TOOL(tool);
    // A partitioned FAT16 disk image holding ffmpeg's files, a truncated and a hostile one.
    const QString img = dir.filePath("vol.img");
    auto r = testutil::sh(QString("dd if=/dev/zero of='%1' bs=1M count=25 status=none && "
                                  "printf 'start=2048, type=0e\\n' | sfdisk -q '%1' && "
                                  "mkfs.vfat --offset 2048 -F 16 '%1' 24576 >/dev/null").arg(img));
    QVERIFY2(r.ok(), r.err.constData());
    struct Entry { QString name; int bits; bool rle; };
    const QList<Entry> entries{{"RAW24.TGA", 24, false}, {"RLE24.TGA", 24, true}, {"RAW32.TGA", 32, false},
                               {"RLE32.TGA", 32, true}};
    for (const Entry& e : entries) {
        const QString local = dir.filePath("vol_" + e.name);
        QCOMPARE(ffmpegFrames(local, 320, 180, e.bits, e.rle), QString());
    }
    QVERIFY(writeAll(dir.filePath("vol_TRUNC.TGA"), readAll(dir.filePath("vol_RAW24.TGA")).left(18 + 5000)));
    QVERIFY(writeAll(dir.filePath("vol_TRUNCR.TGA"), readAll(dir.filePath("vol_RLE32.TGA")).left(400)));
    QVERIFY(writeAll(dir.filePath("vol_HUGE.TGA"), header18(0, 0, 2, 0, 0, 0, 65535, 65535, 32, 0) + QByteArray(64, 'x')));
    QVERIFY(writeAll(dir.filePath("vol_SHORT.TGA"), header18(0, 0, 2, 0, 0, 0, 8, 8, 24, 0).left(9)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    for (const char* n : {"RAW24.TGA", "RLE24.TGA", "RAW32.TGA", "RLE32.TGA", "TRUNC.TGA", "TRUNCR.TGA", "HUGE.TGA", "SHORT.TGA"}) {
        r = testutil::run("mcopy", {"-i", img + "@@1M", dir.filePath(QString("vol_") + n), QString("::/") + n}, 60000, {}, env);
        QVERIFY2(r.ok(), r.err.constData());
    }

    dfstest::UseDiskImage(img);
    struct Close { ~Close() { ShutdownVolumeLibrary(); } } close;
    for (const Entry& e : entries) {
        const int32_t h = OpenVolumeFile(qPrintable("\\" + e.name));
        QVERIFY2(h > 0, qPrintable(QString("%1: %2").arg(e.name).arg(h)));
        ImageHolder fromVolume;
        QCOMPARE(TgaReadVolumeFile(&fromVolume.image, h), int(TgaOk));
        CloseVolumeFile(h);
        QCOMPARE(TgaIsRle(&fromVolume.image), e.rle ? 1 : 0);
        QCOMPARE(int(fromVolume.image.pixelDepth), e.bits);
        QVERIFY2(pictureBytes(fromVolume.image) == ffmpegDecode(dir.filePath("vol_" + e.name), pixFmt(e.bits)),
                 qPrintable(e.name));
    }
    // Files that end early or claim more than they hold give a code through a handle too.
    for (const char* n : {"TRUNC.TGA", "TRUNCR.TGA", "HUGE.TGA", "SHORT.TGA"}) {
        const int32_t h = OpenVolumeFile(qPrintable(QString("\\") + n));
        QVERIFY(h > 0);
        TgaImage t;
        QVERIFY2(TgaReadVolumeFile(&t, h) == TgaReadFailed, n);
        CloseVolumeFile(h);
        QVERIFY(!t.pixels && !t.id && !t.colorMap);
    }
    // Fields that a file ending early never reached read as zero.
    const int32_t h = OpenVolumeFile("\\SHORT.TGA");
    TgaImage t;
    t.width = 77;
    t.height = 88;
    TgaReadVolumeFile(&t, h);
    CloseVolumeFile(h);
    QCOMPARE(int(t.width), 0);
    QCOMPARE(int(t.height), 0);
    QCOMPARE(int(t.colorMapEntrySize), 0);
    // A stale handle is a failed read.
    QCOMPARE(TgaReadVolumeFile(&t, h), int(TgaReadFailed));
}

void TestTga::mutatedFiles()
{
    // Damaged copies of real files, read from memory: every one gives a code
    // of the table, and an image that reads is whole and usable.
    QList<QByteArray> seeds;
    struct Seed { int bits; bool rle; };
    for (const Seed& sd : {Seed{24, false}, Seed{32, true}, Seed{8, false}, Seed{24, true}}) {
        const QString p = dir.filePath(QString("seed_%1_%2.tga").arg(sd.bits).arg(sd.rle));
        QCOMPARE(ffmpegFrames(p, 24, 10, sd.bits, sd.rle), QString());
        seeds << readAll(p);
    }
    quint32 state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 8) & 0xFFFFFF;
    };
    int read = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        QByteArray data = seeds[int(next() % seeds.size())];
        const int mutations = 1 + int(next() % 4);
        for (int m = 0; m < mutations; ++m) {
            switch (next() % 4) {
            case 0: // a header byte
                data[int(next() % 18)] = char(next());
                break;
            case 1: // any byte
                data[int(next() % data.size())] = char(next());
                break;
            case 2: // cut short
                data.truncate(int(next() % (data.size() + 1)));
                break;
            default: // a size field pushed high
                if (data.size() >= 16)
                    data[12 + int(next() % 4)] = char(0xF0 | next());
                break;
            }
            if (data.isEmpty())
                break;
        }
        FILE* f = fmemopen(data.data(), size_t(qMax(1, data.size())), "rb");
        QVERIFY(f);
        if (data.isEmpty())
            fgetc(f);   // an empty buffer: start at its end
        TgaImage img;
        const int rc = TgaReadStream(&img, f);
        fclose(f);
        QVERIFY2(rc >= 0 && rc <= 16, qPrintable(QString("iteration %1: code %2").arg(iteration).arg(rc)));
        if (rc != TgaOk) {
            QVERIFY(!img.pixels && !img.id && !img.colorMap);
            continue;
        }
        ++read;
        QVERIFY(img.pixels);
        const size_t bytes = size_t(img.width) * img.height * (img.pixelDepth / 8);
        unsigned sum = 0;
        for (size_t i = 0; i < bytes; ++i)
            sum += img.pixels[i];
        Q_UNUSED(sum);
        QVERIFY(TgaPixelAddress(&img, img.width - 1, img.height - 1));
        const int crc = TgaConvertDepth(&img, 24);
        QVERIFY(crc == TgaOk || crc == TgaBadColorIndex || crc == TgaBadColorMapEntrySize);
        TgaFreeImage(&img);
    }
    QVERIFY(read > 100);   // the damage is not all fatal: images that still read were used
}

QTEST_GUILESS_MAIN(TestTga)
#include "tst_tga.moc"
