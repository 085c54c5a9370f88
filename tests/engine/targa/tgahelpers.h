// Helpers shared by the Targa codec, sequence and conversion tests: frames
// made and decoded by the ffmpeg program, and our images as plain bytes.
#pragma once

#include "testutil.h"
#include "tga.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace tgatest {

// Source pictures: ffmpeg's moving test pattern; 32-bit ones get an alpha
// channel that varies across the picture so that alpha handling shows.
inline QString patternFilter(int width, int height, int bits, int rate = 25)
{
    QString f = QString("testsrc2=s=%1x%2:r=%3").arg(width).arg(height).arg(rate);
    if (bits == 32)
        f += ",format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='if(lt(X,W/3),255,40*mod(floor(Y/8),5))'";
    else
        f += ",format=bgr24";
    return f;
}

inline QString pixFmt(int bits)
{
    return bits == 32 ? "bgra" : bits == 8 ? "pal8" : "bgr24";
}

// Writes 'frames' Targa files with ffmpeg ("-c:v targa"); pattern is an
// ffmpeg output pattern such as ".../frame%04d.tga". Returns ffmpeg's error text or "".
inline QString ffmpegFrames(const QString& pattern, int width, int height, int bits, bool rle,
                            int frames = 1, int startNumber = 1, int skip = 0)
{
    QStringList args{"-v", "error", "-f", "lavfi", "-i", patternFilter(width, height, bits)};
    if (skip > 0)
        args << "-vf" << QString("trim=start_frame=%1,setpts=PTS-STARTPTS").arg(skip);
    args << "-frames:v" << QString::number(frames) << "-c:v" << "targa" << "-pix_fmt" << pixFmt(bits)
         << "-rle" << (rle ? "1" : "0");
    if (frames > 1 || pattern.contains('%'))
        args << "-start_number" << QString::number(startNumber) << "-f" << "image2";
    else
        args << "-update" << "1";
    args << "-y" << pattern;
    auto r = testutil::run("ffmpeg", args);
    return r.ok() ? QString() : QString::fromLocal8Bit(r.err);
}

// ffmpeg's decoding of a picture file as packed top-down rows ("bgr24", "bgra", ...).
inline QByteArray ffmpegDecode(const QString& path, const QString& pixelFormat,
                               const QString& filter = QString())
{
    QStringList args{"-v", "error", "-i", path};
    if (!filter.isEmpty())
        args << "-vf" << filter;
    args << "-frames:v" << "1" << "-f" << "rawvideo" << "-pix_fmt" << pixelFormat << "-";
    auto r = testutil::run("ffmpeg", args);
    return r.ok() ? r.out : QByteArray();
}

// Our image as packed top-down, left-to-right rows, read through the codec's
// own pixel addressing.
inline QByteArray pictureBytes(const TgaImage& image)
{
    const int bpp = image.pixelDepth / 8;
    QByteArray out;
    out.reserve(image.width * image.height * bpp);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            out.append(reinterpret_cast<const char*>(TgaPixelAddress(&image, x, y)), bpp);
    return out;
}

// Packed top-down BGR rows with every fourth (alpha) byte dropped.
inline QByteArray dropAlpha(const QByteArray& bgra)
{
    QByteArray out;
    out.reserve(bgra.size() / 4 * 3);
    for (int i = 0; i + 3 < bgra.size(); i += 4)
        out.append(bgra.constData() + i, 3);
    return out;
}

// The rectangle (x, y, w, h) of packed top-down rows of 'width' pixels.
inline QByteArray crop(const QByteArray& rows, int width, int bpp, int x, int y, int w, int h)
{
    QByteArray out;
    out.reserve(w * h * bpp);
    for (int r = y; r < y + h; ++r)
        out.append(rows.constData() + (qint64(r) * width + x) * bpp, w * bpp);
    return out;
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// The names of a folder's files, sorted.
inline QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

// Name (after prefix), size, modification time and digest of every file of a
// folder: equal snapshots mean nothing was written there.
inline QStringList folderSnapshot(const QString& dir, const QString& prefix = QString())
{
    QStringList out;
    for (const QString& f : filesIn(dir)) {
        const QFileInfo info(dir + "/" + f);
        out << prefix + f + " " + QString::number(info.size()) + " "
                + info.lastModified().toString(Qt::ISODateWithMs) + " "
                + QString::fromLatin1(QCryptographicHash::hash(readAll(info.filePath()), QCryptographicHash::Md5).toHex());
    }
    return out;
}

// Writes a picture given top row first as an uncompressed Targa file stored
// bottom row first with our codec (ffmpeg writes top-down only); 32-bit
// files get 8 alpha bits.
inline bool writeBottomUp(const QString& path, const QByteArray& topDownRows, int width, int height, int bits = 24)
{
    const int bpp = bits / 8;
    QByteArray stored;
    for (int r = height - 1; r >= 0; --r)
        stored += topDownRows.mid(r * width * bpp, width * bpp);
    TgaImage img;
    img.imageType = 2;
    img.width = uint16_t(width);
    img.height = uint16_t(height);
    img.pixelDepth = uint8_t(bits);
    img.descriptor = bits == 32 ? 8 : 0;
    img.pixels = reinterpret_cast<uint8_t*>(stored.data());
    return TgaWritePath(QFile::encodeName(path).constData(), &img) == TgaOk;
}

} // namespace tgatest
