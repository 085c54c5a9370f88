// Test inputs made by the ffmpeg program and checks of outputs with ffprobe
// and with pixels decoded by FFmpeg's libraries. Shared by the codec layer and the engine tests.
#pragma once

#include <QColor>
#include <QImage>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>
#include <unistd.h>

#include "testutil.h"

#include <QScopeGuard>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace media {

// Runs several ffmpeg commands at once (a busy machine gives more processes
// more of its time); true when all succeeded.
inline bool ffmpegAll(const QList<QStringList>& commands)
{
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const QStringList& args : commands) {
        runs.push_back(std::make_unique<QProcess>());
        runs.back()->setProcessChannelMode(QProcess::SeparateChannels);
        runs.back()->setStandardOutputFile(QProcess::nullDevice());
        runs.back()->start("ffmpeg", QStringList{"-hide_banner", "-nostdin", "-loglevel", "error", "-y"} + args);
    }
    bool ok = true;
    for (size_t i = 0; i < runs.size(); ++i) {
        QProcess& run = *runs[i];
        const bool done = run.waitForStarted(10000) && run.waitForFinished(120000)
            && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0;
        if (!done) {
            qWarning("ffmpeg %s failed: %s", qPrintable(commands[int(i)].join(' ')),
                     run.readAllStandardError().constData());
            run.kill();
            run.waitForFinished();
        }
        ok = ok && done;
    }
    return ok;
}

// Runs ffmpeg quietly; true on success (the error text goes to the test log).
inline bool ffmpeg(const QStringList& args)
{
    return ffmpegAll({args});
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

// Frame `frame` (counted from 0) of file's first video stream as RGB, decoded
// by the FFmpeg libraries in this process as the ffmpeg program decodes it: a
// process per picture costs more than the decode on a busy machine. Null
// when decoding fails.
inline QImage frame(const QString& file, int frame = 1)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, QFile::encodeName(file).constData(), nullptr, nullptr) < 0)
        return QImage();
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    SwsContext* convert = nullptr;
    const auto release = qScopeGuard([&] {
        sws_freeContext(convert);
        av_frame_free(&picture);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
    });
    const AVCodec* codec = nullptr;
    const int stream = avformat_find_stream_info(format, nullptr) < 0
        ? -1
        : av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || !codec || !packet || !picture || !(decoder = avcodec_alloc_context3(codec))
        || avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar) < 0
        || avcodec_open2(decoder, codec, nullptr) < 0)
        return QImage();

    QImage image;
    int seen = 0;
    // Takes what the decoder has ready; true once the frame asked for came.
    auto take = [&] {
        while (avcodec_receive_frame(decoder, picture) == 0) {
            if (seen++ < frame) {
                av_frame_unref(picture);
                continue;
            }
            convert = sws_getContext(picture->width, picture->height, AVPixelFormat(picture->format),
                                     picture->width, picture->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr,
                                     nullptr, nullptr);
            if (!convert)
                return true;
            // The colour matrix and range the frame gives, as the ffmpeg program takes them.
            sws_setColorspaceDetails(convert, sws_getCoefficients(picture->colorspace),
                                     picture->color_range == AVCOL_RANGE_JPEG, sws_getCoefficients(SWS_CS_DEFAULT),
                                     1, 0, 1 << 16, 1 << 16);
            image = QImage(picture->width, picture->height, QImage::Format_RGB888);
            uint8_t* rows[4] = {image.bits(), nullptr, nullptr, nullptr};
            const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
            if (sws_scale(convert, picture->data, picture->linesize, 0, picture->height, rows, strides)
                != picture->height)
                image = QImage();
            return true;
        }
        return false;
    };
    bool done = false;
    while (!done && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream && avcodec_send_packet(decoder, packet) >= 0)
            done = take();
        av_packet_unref(packet);
    }
    if (!done && avcodec_send_packet(decoder, nullptr) >= 0)
        take();
    return image;
}

inline QColor pixel(const QImage& picture, int x, int y)
{
    return picture.valid(x, y) ? QColor(picture.pixel(x, y)) : QColor();
}

// The colour of one pixel of frame `frame` (RGB), invalid when decoding fails.
inline QColor pixel(const QString& file, int x, int y, int frame = 1)
{
    return pixel(media::frame(file, frame), x, y);
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
