// Test inputs made by the ffmpeg program and checks of outputs with ffprobe
// and decoded pixels. Shared by the codec layer and the engine tests.
#pragma once

#include <QColor>
#include <QImage>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <unistd.h>

#include "testutil.h"

namespace media {

// Runs ffmpeg quietly; true on success (the error text goes to the test log).
inline bool ffmpeg(const QStringList& args)
{
    QStringList all{"-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
    all += args;
    testutil::RunResult r = testutil::run("ffmpeg", all, 120000);
    if (!r.ok())
        qWarning("ffmpeg %s failed: %s", qPrintable(args.join(' ')), r.err.constData());
    return r.ok();
}

struct Probe {
    QJsonObject format;
    QJsonArray streams;
    QJsonObject stream(const QString& type) const
    {
        for (const QJsonValue& s : streams)
            if (s.toObject().value("codec_type").toString() == type)
                return s.toObject();
        return QJsonObject();
    }
    int count(const QString& type) const
    {
        int n = 0;
        for (const QJsonValue& s : streams)
            n += s.toObject().value("codec_type").toString() == type;
        return n;
    }
};

inline Probe ffprobe(const QString& file)
{
    Probe p;
    testutil::RunResult r = testutil::run(
        "ffprobe", {"-v", "error", "-show_format", "-show_streams", "-of", "json", file}, 60000);
    QJsonObject root = QJsonDocument::fromJson(r.out).object();
    p.format = root.value("format").toObject();
    p.streams = root.value("streams").toArray();
    return p;
}

// Number of frames a decode of the whole video stream gives.
inline int decodedFrames(const QString& file)
{
    testutil::RunResult r = testutil::run("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                                      "-show_entries", "stream=nb_read_frames", "-of", "default=nw=1:nk=1", file});
    // Transport streams list the stream again under their program: take the first.
    return r.ok() ? r.out.trimmed().split('\n').value(0).trimmed().toInt() : -1;
}

// The colour of one pixel of frame `frame` (RGB), invalid when decoding fails.
inline QColor pixel(const QString& file, int x, int y, int frame = 1)
{
    testutil::RunResult r = testutil::run(
        "ffmpeg", {"-hide_banner", "-nostdin", "-loglevel", "error", "-i", file, "-vf",
                   QString("select=gte(n\\,%1),format=rgb24,crop=1:1:%2:%3").arg(frame).arg(x).arg(y), "-frames:v", "1",
                   "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (!r.ok() || r.out.size() != 3)
        return QColor();
    return QColor(uchar(r.out[0]), uchar(r.out[1]), uchar(r.out[2]));
}

// Frame `frame` of file decoded once as a picture, for reading several of its
// pixels (each as pixel() gives it); null when decoding fails.
inline QImage frame(const QString& file, int frame = 1)
{
    testutil::RunResult r = testutil::run(
        "ffmpeg", {"-hide_banner", "-nostdin", "-loglevel", "error", "-i", file, "-vf",
                   QString("select=gte(n\\,%1),format=rgb24").arg(frame), "-frames:v", "1", "-f", "image2pipe",
                   "-c:v", "ppm", "-"});
    return r.ok() ? QImage::fromData(r.out, "PPM") : QImage();
}

inline QColor pixel(const QImage& picture, int x, int y)
{
    return picture.valid(x, y) ? QColor(picture.pixel(x, y)) : QColor();
}

// Colours compare loosely: lossy coding moves each channel a little.
inline bool near(const QColor& a, const QColor& b, int tolerance = 40)
{
    return a.isValid() && b.isValid() && qAbs(a.red() - b.red()) <= tolerance
        && qAbs(a.green() - b.green()) <= tolerance && qAbs(a.blue() - b.blue()) <= tolerance;
}

inline QString describe(const QColor& c)
{
    return c.isValid() ? QString("rgb(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue()) : "none";
}

// Captures what a call writes on a C stream (stdout or stderr).
inline QByteArray capture(FILE* stream, const std::function<void()>& call)
{
    std::fflush(stream);
    int fd = fileno(stream);
    int saved = dup(fd);
    FILE* tmp = std::tmpfile();
    dup2(fileno(tmp), fd);
    call();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    std::rewind(tmp);
    QByteArray text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, int(n));
    std::fclose(tmp);
    return text;
}

} // namespace media
