// The transcoding engine and the encoding thread on real files made by ffmpeg:
// probe maps, outputs checked with ffprobe and by decoded pixels, stop,
// progress, the kept ProRes pipe and the failure texts.
#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <csignal>
#include <random>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "encodingthread.h"
#include "fileitemkeys.h"
#include "testutil.h"
#include "transcode/mediautil.h"
#include "transcodeengine.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

const QColor kRed(255, 0, 0), kGreen(0, 255, 0), kBlue(0, 0, 255), kWhite(255, 255, 255), kBlack(0, 0, 0);

std::string s(const QString& q)
{
    return q.toStdString();
}

} // namespace

class TestTranscode : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_home;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString preset(const QString& name) const { return QDir::currentPath() + "/Presets/" + name + ".mps"; }
    QString plugins() const { return QDir::currentPath() + "/Plugins"; }
    QString logText() const
    {
        QFile f(m_home.filePath("Documents/Ostrand Kelvane Inc/Quorvel/QuorvelLog.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    // One transcode on a fresh engine; what it printed goes to *out / *err.
    int transcode(const QString& in, const QString& out, const QString& presetName, bool noDeint = false,
                  int quadrant = 0, int tallPart = 0, bool pillarbox = false, bool noAudio = false, int kbps = 0,
                  QByteArray* printed = nullptr, QByteArray* errors = nullptr)
    {
        TranscodeEngine engine(plugins().toUtf8().constData());
        int result = -100;
        QByteArray err;
        QByteArray printedText = media::capture(stdout, [&] {
            err = media::capture(stderr, [&] {
                result = engine.transcode(in.toUtf8().constData(), out.toUtf8().constData(),
                                          presetName.toUtf8().constData(), noDeint, quadrant, tallPart, pillarbox,
                                          noAudio, kbps);
            });
        });
        if (printed)
            *printed = printedText;
        if (errors)
            *errors = err;
        if (engine.progress() != 0.0)
            return -200; // progress must read 0.0 after every transcode
        return result;
    }

private slots:
    void initTestCase();
    void probeMapsKeyByKey();
    void failedProbesGiveTwoKeys();
    void numberTexts();
    void progressiveTranscode();
    void interlacedSourceIsBobbedOrKept();
    void quadrantsShowTheirColour_data();
    void quadrantsShowTheirColour();
    void tallPartsAndTheirPad_data();
    void tallPartsAndTheirPad();
    void pillarboxMargins();
    void cropOutsideThePictureFails();
    void audioChoices();
    void bitrateOverride();
    void failureTexts();
    void stopThroughTheEncodingThread();
    void deletingARunningThreadStopsIt();
    void stallOrStopEndsAWaitingWriter_data();
    void stallOrStopEndsAWaitingWriter();
    void proresKeepsItsDecodePipe();
    void logAndTwoEnginesAtOnce();
    void stoppedOutputLeavesTheOldFile();
    void fullDiskLeavesTheOldFile();
    void killedProcessLeavesTheOldFile();
    void oneOutputOneWriter();
    void cutInputIsAFailure();
    void matroskaStreamsOfTheirOwnLength();
    void noPictureIsNoVideo();
    void linksInASharedFolderAreNotFollowed();
    void leftoversOfStoppedWritersAreRemoved();
    void rotatedAndPortraitSourcesStandUpright();
    void soundThatDecodesToNothingFails();
    void firstPictureAfterAudioPreroll();
    void othersFifoAtTheOutputName();

public:
    // Child process: one transcode, until it is killed.
    static int transcodeChild(const QString& in, const QString& out, const QString& presetFile, const QString& plugins);

private:
    // Files of folder other than the given names (temporary or lock files left behind).
    static QStringList leftovers(const QString& folder, const QStringList& expected)
    {
        QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& e : expected)
            names.removeAll(e);
        return names;
    }
    static bool writeOld(const QString& file, const QByteArray& data)
    {
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }
    // The format FFmpeg's probe takes bytes for, read as ffprobe reads a file
    // named name: ever longer beginnings until one is sure enough.
    static QByteArray probedFormat(const QByteArray& bytes, const char* name)
    {
        QByteArray padded = bytes + QByteArray(AVPROBE_PADDING_SIZE, '\0');
        for (int size = 2048;; size = qMin(size * 2, int(bytes.size()))) {
            AVProbeData data{};
            data.filename = name;
            data.buf = reinterpret_cast<unsigned char*>(padded.data());
            data.buf_size = qMin(size, int(bytes.size()));
            int score = data.buf_size < bytes.size() ? AVPROBE_SCORE_RETRY : 0;
            if (const AVInputFormat* format = av_probe_input_format2(&data, 1, &score))
                return format->name;
            if (data.buf_size == bytes.size())
                return QByteArray();
        }
    }
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

void TestTranscode::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    QVERIFY(m_dir.isValid() && m_home.isValid());
    // The log lives in the documents folder: keep it inside the test.
    qputenv("HOME", m_home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DOCUMENTS_DIR");
    QCoreApplication::setOrganizationName("Ostrand Kelvane Inc");
    QCoreApplication::setApplicationName("Quorvel");

    const QString tone = "sine=frequency=440:sample_rate=48000";
    // Sources are short, and few frames, so that a loaded machine gets through them.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30000/1001", "-f", "lavfi", "-i", tone,
                           "-t", "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-ac", "2",
                           path("p1080.mp4")}));
    // Fields of alternating brightness: frame 2k is dark, 2k+1 bright, then
    // woven top field first.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i",
                           "color=black:size=64x36:rate=60000/1001,geq=lum='if(mod(N\\,2)\\,235\\,16)':cb=128:cr=128,"
                           "scale=1920:1080:flags=neighbor",
                           "-f", "lavfi", "-i", tone, "-t", "0.5", "-vf", "tinterlace=interleave_top,fieldorder=tff",
                           "-flags", "+ildct+ilme", "-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "tff=1",
                           "-c:a", "ac3", "-ac", "2", "-f", "mpegts", path("i1080.ts")}));
    auto quads = [&](int w, int h, const QString& name) {
        QString size = QString("%1x%2").arg(w / 2).arg(h / 2);
        return media::ffmpeg({"-f", "lavfi", "-i", "color=0xFF0000:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                              "color=0x00FF00:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                              "color=0x0000FF:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                              "color=0xFFFFFF:size=" + size + ":rate=25", "-filter_complex",
                              "[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack,format=yuv420p", "-frames:v", "2",
                              "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", path(name)});
    };
    QVERIFY(quads(3840, 2160, "q3840.mp4"));
    QVERIFY(quads(4096, 2160, "q4096.mp4"));
    QVERIFY(quads(3840, 1600, "q3840x1600.mp4"));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=0xFF0000:size=1920x1080:rate=25", "-f", "lavfi", "-i",
                           "color=0x00FF00:size=1920x1080:rate=25", "-f", "lavfi", "-i",
                           "color=0x0000FF:size=1920x294:rate=25", "-filter_complex",
                           "[0][1][2]vstack=inputs=3,format=yuv420p", "-frames:v", "2", "-c:v", "libx264", "-preset",
                           "ultrafast", "-qp", "0", path("tall.mp4")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=white:size=1920x1080:rate=25", "-frames:v", "2", "-c:v",
                           "libx264", "-preset", "ultrafast", path("white.mp4")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", tone, "-t", "1", "-ac", "2", "-c:a", "ac3", path("tone.ac3")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                           "0.5", "-c:v", "prores_ks", "-c:a", "pcm_s16le", path("prores.mov")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25", "-f", "lavfi", "-i", tone, "-t",
                           "0.5", "-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob", path("ps.mpg")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                           "20", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", path("long.mp4")}));
    QFile text(path("notes.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("Show running order\n1. Opening\n2. Finale\n");
    text.close();
}

void TestTranscode::probeMapsKeyByKey()
{
    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> m = engine.probeFile(s(path("p1080.mp4")).c_str());
    QStringList keys;
    for (const auto& kv : m)
        keys << QString::fromStdString(kv.first);
    QCOMPARE(keys, QStringList({"aBitrate", "audioCodec", "bytesPerSample", "channels", "duration", "frameAspect",
                                "frames", "height", "numAudioStreams", "numVideoStreams", "pal", "pixelAspect",
                                "samplerate", "samples", "transportStream", "vBitrate", "valid", "vbr", "videoCodec",
                                "width"}));
    media::Probe p = media::ffprobe(path("p1080.mp4"));
    QJsonObject v = p.stream("video"), a = p.stream("audio");
    QCOMPARE(m[fileitem::kValidKey], std::string("true"));
    QVERIFY(QString::fromStdString(m[fileitem::kVideoCodecKey]).contains("H.264"));
    QCOMPARE(m[fileitem::kWidthKey], std::string("1920"));
    QCOMPARE(m[fileitem::kHeightKey], std::string("1080"));
    QCOMPARE(m[fileitem::kVBitrateKey], TranscodeEngine::doubleToString(v.value("bit_rate").toString().toDouble() / 1000000.0));
    QCOMPARE(m["vbr"], std::string("1"));
    QCOMPARE(m["pal"], std::string("0"));
    QCOMPARE(m[fileitem::kFramesKey], std::string("15"));
    QCOMPARE(m[fileitem::kDurationKey], TranscodeEngine::doubleToString(v.value("duration").toString().toDouble()));
    QCOMPARE(m["frameAspect"], std::string("1.77778"));
    QCOMPARE(m["pixelAspect"], std::string("1"));
    QVERIFY(QString::fromStdString(m[fileitem::kAudioCodecKey]).contains("AAC"));
    QCOMPARE(m[fileitem::kSamplerateKey], std::string("48000"));
    QCOMPARE(m["channels"], std::string("2"));
    QCOMPARE(m[fileitem::kABitrateKey], a.value("bit_rate").toString().toStdString());
    QVERIFY(qAbs(std::stoi(m["samples"]) - 24000) < 2048);
    QCOMPARE(m[fileitem::kNumAudioStreamsKey], std::string("1"));
    QCOMPARE(m[fileitem::kNumVideoStreamsKey], std::string("1"));
    QCOMPARE(m["transportStream"], std::string("-1"));

    std::map<std::string, std::string> ts = engine.probeFile(s(path("i1080.ts")).c_str());
    QCOMPARE(ts["transportStream"], std::string("1"));
    QCOMPARE(ts[fileitem::kValidKey], std::string("true"));
    std::map<std::string, std::string> ps = engine.probeFile(s(path("ps.mpg")).c_str());
    QCOMPARE(ps["transportStream"], std::string("0"));
    QCOMPARE(ps["pal"], std::string("1"));
    QCOMPARE(ps[fileitem::kWidthKey], std::string("720"));
    QVERIFY(QString::fromStdString(ps[fileitem::kVideoCodecKey]).contains("MPEG-2"));

    // No video: the duration comes from the audio stream.
    std::map<std::string, std::string> audio = engine.probeFile(s(path("tone.ac3")).c_str());
    QCOMPARE(audio.size(), size_t(20));
    QCOMPARE(audio[fileitem::kNumVideoStreamsKey], std::string("0"));
    QCOMPARE(audio[fileitem::kNumAudioStreamsKey], std::string("1"));
    QCOMPARE(audio[fileitem::kVideoCodecKey], std::string(""));
    QCOMPARE(audio[fileitem::kWidthKey], std::string("0"));
    QCOMPARE(audio[fileitem::kDurationKey], TranscodeEngine::doubleToString(
                                    media::ffprobe(path("tone.ac3")).stream("audio").value("duration").toString().toDouble()));
    QVERIFY(std::stod(audio[fileitem::kDurationKey]) > 0.9);
    QCOMPARE(audio[fileitem::kABitrateKey], std::string("192000"));

    // Maps handed out earlier are the caller's own.
    QCOMPARE(m[fileitem::kWidthKey], std::string("1920"));
    QVERIFY(QString::fromStdString(m[fileitem::kVideoCodecKey]).contains("H.264"));
}

void TestTranscode::failedProbesGiveTwoKeys()
{
    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> good = engine.probeFile(s(path("p1080.mp4")).c_str());
    QCOMPARE(good.size(), size_t(20));
    std::map<std::string, std::string> missing;
    QString missingPath = path("absent.mov");
    QByteArray err = media::capture(stderr, [&] { missing = engine.probeFile(s(missingPath).c_str()); });
    QCOMPARE(missing, (std::map<std::string, std::string>{{fileitem::kValidKey, "false"}, {fileitem::kVideoCodecKey, "File Not Found"}}));
    QCOMPARE(QString(err), QString("*** Input file %1 not found.\n").arg(missingPath));

    std::map<std::string, std::string> text;
    err = media::capture(stderr, [&] { text = engine.probeFile(s(path("notes.txt")).c_str()); });
    QCOMPARE(text, (std::map<std::string, std::string>{{fileitem::kValidKey, "false"}, {fileitem::kVideoCodecKey, "Invalid File Type"}}));
    QCOMPARE(QString(err), QString("*** Can not open input file '%1'.\n").arg(path("notes.txt")));

    // A folder is no input either.
    QCOMPARE(engine.probeFile(s(m_dir.path()).c_str())[fileitem::kVideoCodecKey], std::string("File Not Found"));
    // And a good probe after the failures has all its keys again.
    QCOMPARE(engine.probeFile(s(path("p1080.mp4")).c_str()).size(), size_t(20));
    QCOMPARE(good.size(), size_t(20));
}

void TestTranscode::numberTexts()
{
    QCOMPARE(TranscodeEngine::intToString(-3), std::string("-3"));
    QCOMPARE(TranscodeEngine::doubleToString(25000000 / 1000000.0), std::string("25"));
    QCOMPARE(TranscodeEngine::doubleToString(2500000 / 1000000.0), std::string("2.5"));
    QCOMPARE(TranscodeEngine::doubleToString(16.0 / 9.0), std::string("1.77778"));
    QCOMPARE(TranscodeEngine::doubleToString(1234567.0), std::string("1.23457e+06"));
    QCOMPARE(TranscodeEngine::doubleToString(0.00001), std::string("1e-05"));
}

void TestTranscode::progressiveTranscode()
{
    QString out = path("progressive.mpg");
    QCOMPARE(transcode(path("p1080.mp4"), out, preset("1080p_ntsc_h264_low")), 0);
    media::Probe p = media::ffprobe(out);
    QCOMPARE(p.format.value("format_name").toString(), QString("mpegts"));
    QJsonObject v = p.stream("video");
    QCOMPARE(v.value("codec_name").toString(), QString("h264"));
    QCOMPARE(v.value("width").toInt(), 1920);
    QCOMPARE(v.value("height").toInt(), 1080);
    QCOMPARE(v.value("r_frame_rate").toString(), QString("30000/1001"));
    QCOMPARE(v.value("field_order").toString(), QString("progressive"));
    QCOMPARE(p.stream("audio").value("codec_name").toString(), QString("ac3"));
    QCOMPARE(p.stream("audio").value("channels").toInt(), 2);
    QVERIFY(qAbs(media::decodedFrames(out) - 15) <= 1);
}

void TestTranscode::interlacedSourceIsBobbedOrKept()
{
    int bobLines = logText().count("Applying Bob Deinterlace filter");
    // Progressive output at the field rate: one frame per field, dark and bright in turn.
    QString bobbed = path("bobbed.mpg");
    QCOMPARE(transcode(path("i1080.ts"), bobbed, preset("720p_ntsc_h264_low"), false), 0);
    QCOMPARE(logText().count("Applying Bob Deinterlace filter"), bobLines + 1);
    media::Probe p = media::ffprobe(bobbed);
    QCOMPARE(p.stream("video").value("field_order").toString(), QString("progressive"));
    QCOMPARE(p.stream("video").value("r_frame_rate").toString(), QString("60000/1001"));
    QVERIFY(media::decodedFrames(bobbed) >= 27);
    QColor f10 = media::pixel(bobbed, 640, 360, 10), f11 = media::pixel(bobbed, 640, 360, 11);
    QVERIFY2(qAbs(f10.red() - f11.red()) > 150, qPrintable(media::describe(f10) + " " + media::describe(f11)));

    // Interlaced output: the fields are kept, top field first.
    QString kept = path("kept.mpg");
    QCOMPARE(transcode(path("i1080.ts"), kept, preset("1080i_ntsc_mpeg2_low"), true), 0);
    QCOMPARE(logText().count("Applying Bob Deinterlace filter"), bobLines + 1);
    p = media::ffprobe(kept);
    QCOMPARE(p.stream("video").value("codec_name").toString(), QString("mpeg2video"));
    QCOMPARE(p.stream("video").value("field_order").toString(), QString("tt"));
    QCOMPARE(p.stream("video").value("r_frame_rate").toString(), QString("30000/1001"));
    QVERIFY(qAbs(media::decodedFrames(kept) - 15) <= 1);

    // A progressive source into an interlaced preset is marked top field first.
    QString marked = path("marked.mpg");
    QCOMPARE(transcode(path("p1080.mp4"), marked, preset("1080i_pal_h264_low"), true), 0);
    QCOMPARE(media::ffprobe(marked).stream("video").value("field_order").toString(), QString("tt"));
}

void TestTranscode::quadrantsShowTheirColour_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("quadrant");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("padTop");
    QTest::addColumn<int>("padBottom");
    const QColor colours[] = {kRed, kGreen, kBlue, kWhite};
    for (int q = 1; q <= 4; ++q) {
        QTest::newRow(qPrintable(QString("3840 q%1").arg(q))) << "q3840.mp4" << q << colours[q - 1] << 0 << 0;
        // 67 black rows of 1147 above (upper quadrants) or below (lower ones): about 63 of 1080.
        QTest::newRow(qPrintable(QString("4096 q%1").arg(q)))
            << "q4096.mp4" << q << colours[q - 1] << (q <= 2 ? 63 : 0) << (q >= 3 ? 63 : 0);
    }
}

void TestTranscode::quadrantsShowTheirColour()
{
    QFETCH(QString, source);
    QFETCH(int, quadrant);
    QFETCH(QColor, colour);
    QFETCH(int, padTop);
    QFETCH(int, padBottom);
    QString out = path(QString("%1_q%2.mpg").arg(source.left(5)).arg(quadrant));
    QCOMPARE(transcode(path(source), out, preset("1080p_pal_h264_low"), false, quadrant), 0);
    const QImage outFrame = media::frame(out);
    media::Probe p = media::ffprobe(out);
    QCOMPARE(p.stream("video").value("width").toInt(), 1920);
    QCOMPARE(p.stream("video").value("height").toInt(), 1080);
    for (QPoint at : {QPoint(960, 540), QPoint(100, 540), QPoint(1820, 540)}) {
        QColor c = media::pixel(outFrame, at.x(), at.y());
        QVERIFY2(media::near(c, colour), qPrintable(media::describe(c)));
    }
    auto check = [&](int y, const QColor& expected) {
        QColor c = media::pixel(outFrame, 960, y);
        QVERIFY2(media::near(c, expected), qPrintable(QString("row %1: %2").arg(y).arg(media::describe(c))));
    };
    check(padTop ? padTop / 2 : 4, padTop ? kBlack : colour);
    check(padTop ? padTop + 12 : 4, colour);
    check(padBottom ? 1079 - padBottom / 2 : 1075, padBottom ? kBlack : colour);
    check(padBottom ? 1079 - padBottom - 12 : 1075, colour);
}

void TestTranscode::tallPartsAndTheirPad_data()
{
    QTest::addColumn<int>("part");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("tall 1") << 1 << kRed;
    QTest::newRow("tall 2") << 2 << kGreen;
    QTest::newRow("tall 3") << 3 << kBlue;
}

void TestTranscode::tallPartsAndTheirPad()
{
    QFETCH(int, part);
    QFETCH(QColor, colour);
    QString out = path(QString("tall_%1.mpg").arg(part));
    QCOMPARE(transcode(path("tall.mp4"), out, preset("1080p_pal_h264_low"), false, 0, part), 0);
    const QImage outFrame = media::frame(out);
    QVERIFY(media::near(media::pixel(outFrame, 960, 20), colour));
    QVERIFY(media::near(media::pixel(outFrame, 960, 270), colour));
    if (part == 3) {
        // 294 picture rows, then 786 black ones.
        QVERIFY(media::near(media::pixel(outFrame, 960, 320), kBlack));
        QVERIFY(media::near(media::pixel(outFrame, 960, 1060), kBlack));
    } else {
        QVERIFY(media::near(media::pixel(outFrame, 960, 1060), colour));
    }
}

void TestTranscode::pillarboxMargins()
{
    // 320 columns of black each side of 1920, scaled from 2560 back to 1920: 240.
    QString out = path("pillarbox.mpg");
    QCOMPARE(transcode(path("white.mp4"), out, preset("1080p_pal_h264_low"), false, 0, 0, true), 0);
    const QImage outFrame = media::frame(out);
    for (int x : {10, 200, 1720, 1910})
        QVERIFY2(media::near(media::pixel(outFrame, x, 540), kBlack), qPrintable(QString::number(x)));
    for (int x : {280, 960, 1640})
        QVERIFY2(media::near(media::pixel(outFrame, x, 540), kWhite), qPrintable(QString::number(x)));

    // Without it the picture fills the frame.
    QString plain = path("nopillarbox.mpg");
    QCOMPARE(transcode(path("white.mp4"), plain, preset("1080p_pal_h264_low")), 0);
    const QImage plainFrame = media::frame(plain);
    QVERIFY(media::near(media::pixel(plainFrame, 10, 540), kWhite));
}

void TestTranscode::cropOutsideThePictureFails()
{
    QByteArray printed;
    QString out = path("badcrop.mpg");
    int result = transcode(path("q3840x1600.mp4"), out, preset("1080p_pal_h264_low"), false, 3, 0, false, false, 0,
                           &printed);
    QVERIFY(result != 0);
    QVERIFY(result != -200);
    QCOMPARE(QString(printed),
             QString("Failed: crop: the rectangle 0,1080 to 1920,2160 does not fit in the 3840x1600 picture"));
    // Quadrant 1 of the same source fits and works.
    QCOMPARE(transcode(path("q3840x1600.mp4"), path("q1600_1.mpg"), preset("1080p_pal_h264_low"), false, 1), 0);
    // Out-of-range quadrant and part values cut nothing: the four colours stay.
    QString whole = path("q3840_none.mpg");
    QCOMPARE(transcode(path("q3840.mp4"), whole, preset("1080p_pal_h264_low"), false, 5, 4), 0);
    const QImage wholeFrame = media::frame(whole);
    QVERIFY(media::near(media::pixel(wholeFrame, 480, 270), kRed));
    QVERIFY(media::near(media::pixel(wholeFrame, 1440, 810), kWhite));
    // A part crop needs a 1920-wide source.
    QString notTall = path("q3840_part.mpg");
    QCOMPARE(transcode(path("q3840.mp4"), notTall, preset("1080p_pal_h264_low"), false, 0, 2), 0);
    const QImage notTallFrame = media::frame(notTall);
    QVERIFY(media::near(media::pixel(notTallFrame, 480, 270), kRed));
}

void TestTranscode::audioChoices()
{
    QString silent = path("noaudio.mpg");
    QCOMPARE(transcode(path("p1080.mp4"), silent, preset("1080p_ntsc_mpeg2_low"), false, 0, 0, false, true), 0);
    media::Probe p = media::ffprobe(silent);
    QCOMPARE(p.count("video"), 1);
    QCOMPARE(p.count("audio"), 0);

    QString sound = path("soundonly.mpg");
    QCOMPARE(transcode(path("tone.ac3"), sound, preset("480p_ps_ntsc_mpeg2_low")), 0);
    p = media::ffprobe(sound);
    QCOMPARE(p.format.value("format_name").toString(), QString("mpeg"));
    QCOMPARE(p.count("video"), 0);
    QCOMPARE(p.count("audio"), 1);
    QCOMPARE(p.stream("audio").value("codec_name").toString(), QString("mp2"));

    QByteArray printed;
    QString nothing = path("nothing.mpg");
    QCOMPARE(transcode(path("tone.ac3"), nothing, preset("480p_ps_ntsc_mpeg2_low"), false, 0, 0, false, true, 0,
                       &printed),
             -1);
    QCOMPARE(QString(printed), QString("Error - no output streams"));
    QVERIFY(!QFile::exists(nothing));
}

void TestTranscode::bitrateOverride()
{
    auto maxBitrate = [](const QString& file) {
        testutil::RunResult r = testutil::run("ffprobe", {"-v", "error", "-select_streams", "v", "-show_streams", file});
        QRegularExpressionMatch m = QRegularExpression("max_bitrate=(\\d+)").match(QString(r.out));
        return m.hasMatch() ? m.captured(1).toLongLong() : -1;
    };
    QCOMPARE(transcode(path("p1080.mp4"), path("rate5000.mpg"), preset("1080p_ntsc_mpeg2_low"), false, 0, 0, false,
                       false, 5000),
             0);
    QCOMPARE(maxBitrate(path("rate5000.mpg")), 5000000LL);
    QCOMPARE(transcode(path("p1080.mp4"), path("rate0.mpg"), preset("1080p_ntsc_mpeg2_low")), 0);
    QCOMPARE(maxBitrate(path("rate0.mpg")), 18000000LL);
    QCOMPARE(transcode(path("p1080.mp4"), path("rateneg.mpg"), preset("1080p_ntsc_mpeg2_low"), false, 0, 0, false,
                       false, -7),
             0);
    QCOMPARE(maxBitrate(path("rateneg.mpg")), 18000000LL);
    // 2,200,000 kbit/s does not fit 32 bits as bits per second; the encoder
    // must still see a positive rate (it clamps it to its own maximum).
    QString log = logText();
    QCOMPARE(transcode(path("white.mp4"), path("rate_huge.mpg"), preset("1080p_pal_h264_low"), false, 0, 0, false,
                       false, 2200000),
             0);
    QRegularExpressionMatch m = QRegularExpression(R"(VBV bitrate \((\d+)\))").match(logText().mid(log.size()));
    QVERIFY2(m.hasMatch() && m.captured(1).toLongLong() >= 2000000, qPrintable(logText().mid(log.size())));
}

void TestTranscode::failureTexts()
{
    QByteArray out, err;
    QString input = path("p1080.mp4"), output = path("f.mpg"), good = preset("576p_pal_h264_low");

    QString absent = path("absent.mp4");
    QCOMPARE(transcode(absent, output, good, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(err), QString("*** Input file %1 not found.\n").arg(absent));

    QString noFolder = path("no/such/folder");
    QCOMPARE(transcode(input, noFolder + "/f.mpg", good, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(err), QString("*** Output path '%1' not found.\n").arg(noFolder));

    QString noPreset = preset("999p_none_h264_high");
    QCOMPARE(transcode(input, output, noPreset, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(err), QString("*** Preset file %1 not found.\n").arg(noPreset));

    QString broken = path("broken.mps");
    QFile f(broken);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[video]\nthis is not a preset\n");
    f.close();
    QCOMPARE(transcode(input, output, broken, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(err), QString("*** Cannot load preset file '%1'").arg(broken));

    QCOMPARE(transcode(path("notes.txt"), output, good, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(err), QString("*** Can not open input file '%1'.\n").arg(path("notes.txt")));

    QString vp9 = path("vp9.mps");
    QFile g(vp9);
    QVERIFY(g.open(QIODevice::WriteOnly));
    g.write("[preset]\ncontainer=mpegts\n[video]\ncodec=vp9\nwidth=640\nheight=360\nframerate=25/1\nbitrate=1000000\n");
    g.close();
    QCOMPARE(transcode(input, output, vp9, false, 0, 0, false, false, 0, &out, &err), -1);
    QCOMPARE(QString(out), QString("*** No plug-in for the video codec 'vp9'\n"));

    // A failure met by the worker after the start is the result, not 0.
    QDir(m_dir.path()).mkpath("folder.mpg");
    int result = transcode(input, path("folder.mpg"), good, false, 0, 0, false, false, 0, &out, &err);
    QVERIFY(result != 0 && result != -1 && result != -200);
    QCOMPARE(QString(out), QString("Failed: writing %1: Is a directory").arg(path("folder.mpg")));
    // The reason, for the window, without its lead.
    {
        TranscodeEngine engine(plugins().toUtf8().constData());
        media::capture(stderr, [&] {
            QCOMPARE(engine.transcode(s(absent).c_str(), s(output).c_str(), s(good).c_str(), false, 0, 0, false, false,
                                      0),
                     -1);
        });
        QCOMPARE(QString::fromStdString(engine.lastFailure()), QString("Input file %1 not found.").arg(absent));
        media::capture(stdout, [&] {
            engine.transcode(s(input).c_str(), s(path("folder.mpg")).c_str(), s(good).c_str(), false, 0, 0, false,
                             false, 0);
        });
        QCOMPARE(QString::fromStdString(engine.lastFailure()),
                 QString("writing %1: Is a directory").arg(path("folder.mpg")));
        QCOMPARE(engine.transcode(s(path("white.mp4")).c_str(), s(path("lastok.mpg")).c_str(),
                                  s(preset("720p_pal_mpeg2_low")).c_str(), false, 0, 0, false, false, 0),
                 0);
        QVERIFY(engine.lastFailure().empty());
    }
    QVERIFY(logText().contains("*** Input file not found.\n"));
    QVERIFY(logText().contains("Error appyling Preset"));
}

void TestTranscode::stopThroughTheEncodingThread()
{
    QString out = path("stopped.mpg");
    EncodingThread thread(nullptr, path("long.mp4"), out, preset("576p_pal_h264_low"), plugins(), false, 0, 0, false,
                          false, 0);
    QSignalSpy finished(&thread, SIGNAL(transcodeFinished(int)));
    QSignalSpy kept(&thread, SIGNAL(undeletedDP(bool)));
    TranscodeEngine* engine = thread.getTranscoder();
    QCOMPARE(engine->progress(), 0.0);
    // A stop asked before the start is cleared by it.
    engine->stopRequest = true;
    thread.start();
    double seen = 0.0;
    QTRY_VERIFY_WITH_TIMEOUT((seen = engine->progress()) > 0.05, 30000);
    QVERIFY(seen < 1.0);
    double later = engine->progress();
    QVERIFY(later >= seen);
    engine->stopRequest = true;
    QVERIFY(finished.wait(15000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QCOMPARE(kept.count(), 0);
    QVERIFY(thread.wait(5000));
    QCOMPARE(engine->progress(), 0.0);
    // A stopped transcode leaves nothing a player could be given.
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(m_dir.path(), QDir(m_dir.path()).entryList(QDir::Files)), QStringList());
}

void TestTranscode::deletingARunningThreadStopsIt()
{
    QString out = path("deleted.mpg");
    auto* thread = new EncodingThread(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false,
                                      0, 0, false, false, 0);
    thread->start();
    QTRY_VERIFY_WITH_TIMEOUT(thread->getTranscoder()->progress() > 0.02, 30000);
    QElapsedTimer timer;
    timer.start();
    delete thread;
    QVERIFY(timer.elapsed() < 15000);
    QVERIFY(!QFile::exists(out));

    // Also right after the start, before the transcode has cleared old requests.
    QString early = path("deleted_early.mpg");
    thread = new EncodingThread(nullptr, path("long.mp4"), early, preset("576p_pal_mpeg2_low"), plugins(), false, 0,
                                0, false, false, 0);
    thread->start();
    timer.restart();
    delete thread;
    QVERIFY(timer.elapsed() < 15000);
    // Stopped, not run to its end.
    QVERIFY(!QFile::exists(early));
}

void TestTranscode::stallOrStopEndsAWaitingWriter_data()
{
    QTest::addColumn<bool>("reader");
    QTest::addColumn<bool>("stall");
    // Nobody opens the FIFO: opening the output waits. A reader that never
    // reads: writing waits once the pipe is full.
    QTest::newRow("open, stall limit") << false << true;
    QTest::newRow("open, stop") << false << false;
    QTest::newRow("write, stall limit") << true << true;
    QTest::newRow("write, stop") << true << false;
}

void TestTranscode::stallOrStopEndsAWaitingWriter()
{
    QFETCH(bool, reader);
    QFETCH(bool, stall);
    QTemporaryDir folder;
    const QString fifo = folder.filePath("VID00001.mpg");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int readEnd = reader ? ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    QVERIFY(!reader || readEnd >= 0);
    // Long enough, with a reader, for the work to fill the pipe before it.
    if (stall)
        qputenv("MCPLUGCORE_DEADLOCK_TIMEOUT_MS", reader ? "3000" : "400");
    EncodingThread thread(nullptr, path("long.mp4"), fifo, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                          false, 0);
    QSignalSpy finished(&thread, SIGNAL(transcodeFinished(int)));
    // Whatever fails, the writer is let go before the thread goes.
    const auto release = qScopeGuard([&] {
        qunsetenv("MCPLUGCORE_DEADLOCK_TIMEOUT_MS");
        std::thread drain([&] {
            const int fd = readEnd >= 0 ? readEnd : ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            char buf[65536];
            while (fd >= 0 && !thread.isFinished())
                if (::read(fd, buf, sizeof buf) <= 0)
                    QThread::yieldCurrentThread();
            if (fd >= 0)
                ::close(fd);
        });
        thread.wait();
        drain.join();
    });
    bool full = !reader;
    bool begun = false;
    QByteArray err = media::capture(stderr, [&] {
        thread.start();
        // Its lock is made after the transcode cleared earlier stop requests.
        begun = QTest::qWaitFor([&] { return QFile::exists(folder.filePath(".VID00001.mpg.lock")); }, 30000);
        if (reader) {
            // Stopped or stalled only once the pipe has no room left, as a
            // write end of our own sees.
            const int room = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            full = room >= 0 && QTest::qWaitFor([&] {
                pollfd p{room, POLLOUT, 0};
                return ::poll(&p, 1, 0) == 0;
            }, 60000);
            if (room >= 0)
                ::close(room);
        }
        if (!stall)
            thread.getTranscoder()->stopRequest = true;
        finished.wait(20000);
    });
    QVERIFY(begun && full);
    QCOMPARE(finished.count(), 1);
    if (stall) {
        QCOMPARE(finished.at(0).at(0).toInt(), -1);
        QVERIFY2(err.contains("\n\n*** Error: processing deadlock detected... abort.\n"), err.constData());
    } else {
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
    }
    QCOMPARE(thread.getTranscoder()->progress(), 0.0);
    QVERIFY(thread.wait(5000));
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscode::proresKeepsItsDecodePipe()
{
    QStringList order;
    EncodingThread thread(nullptr, path("prores.mov"), path("prores.mpg"), preset("576p_pal_mpeg2_low"), plugins(),
                          false, 0, 0, false, false, 0);
    connect(&thread, &EncodingThread::undeletedDP, this, [&](bool v) { order << QString("undeletedDP(%1)").arg(v); },
            Qt::DirectConnection);
    connect(&thread, &EncodingThread::transcodeFinished, this,
            [&](int r) { order << QString("transcodeFinished(%1)").arg(r); }, Qt::DirectConnection);
    thread.start();
    QVERIFY(thread.wait(60000));
    QCOMPARE(order, QStringList({"undeletedDP(1)", "transcodeFinished(0)"}));
    QVERIFY(thread.getTranscoder()->decodePipeKept());
    QCOMPARE(media::ffprobe(path("prores.mpg")).stream("video").value("width").toInt(), 720);

    // Other inputs release their pipe and send no such signal.
    QStringList plain;
    EncodingThread other(nullptr, path("ps.mpg"), path("ps_out.mpg"), preset("576p_pal_mpeg2_low"), plugins(), false,
                         0, 0, false, false, 0);
    connect(&other, &EncodingThread::undeletedDP, this, [&](bool) { plain << "undeletedDP"; }, Qt::DirectConnection);
    connect(&other, &EncodingThread::transcodeFinished, this, [&](int r) { plain << QString::number(r); },
            Qt::DirectConnection);
    other.start();
    QVERIFY(other.wait(60000));
    QCOMPARE(plain, QStringList({"0"}));
    QVERIFY(!other.getTranscoder()->decodePipeKept());
}

void TestTranscode::logAndTwoEnginesAtOnce()
{
    auto probeEngine = std::make_unique<TranscodeEngine>(plugins().toUtf8().constData());
    QString expected = QDir::toNativeSeparators(m_home.filePath("Documents/Ostrand Kelvane Inc/Quorvel/QuorvelLog.log"));
    QCOMPARE(QString::fromStdString(probeEngine->logFilePath()), expected);
    QVERIFY(QFileInfo(expected).dir().exists());
    {
        EncodingThread thread(nullptr, path("white.mp4"), path("twoengines.mpg"), preset("720p_pal_mpeg2_low"),
                              plugins(), false, 0, 0, false, false, 0);
        thread.start();
        QVERIFY(thread.wait(60000));
    }
    // The encoding engine has ended; the probe engine still works and logs.
    QCOMPARE(probeEngine->probeFile(s(path("white.mp4")).c_str())[fileitem::kValidKey], std::string("true"));
    media::capture(stderr, [&] { probeEngine->probeFile(s(path("gone-after-encode.mp4")).c_str()); });
    QString log = logText();
    QVERIFY(log.endsWith("*** Input file not found.\n"));
    QVERIFY(log.contains(QRegularExpression(R"(\[info\] \[mpeg2video @ )")) || log.contains("[info] [libx264 @ "));
    probeEngine.reset();

    // An engine without plug-ins says so and opens nothing.
    QTemporaryDir empty;
    std::unique_ptr<TranscodeEngine> bare;
    QByteArray err = media::capture(stderr, [&] { bare.reset(new TranscodeEngine(empty.path().toUtf8().constData())); });
    QCOMPARE(QString(err), QString("No Plugins Found!"));
    QCOMPARE(bare->probeFile(s(path("p1080.mp4")).c_str())[fileitem::kVideoCodecKey], std::string("Invalid File Type"));
    QVERIFY(logText().contains("No Plugins Found!"));
}

void TestTranscode::stoppedOutputLeavesTheOldFile()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    EncodingThread thread(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                          false, 0);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.getTranscoder()->progress() > 0.1, 30000);
    // Meanwhile the earlier file is still whole under its name.
    QCOMPARE(read(out), old);
    thread.getTranscoder()->stopRequest = true;
    QVERIFY(thread.wait(15000));
    QCOMPARE(read(out), old);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());

    // Run to its end, the new output takes the name.
    EncodingThread whole(nullptr, path("white.mp4"), out, preset("720p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                         false, 0);
    QSignalSpy finished(&whole, SIGNAL(transcodeFinished(int)));
    whole.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscode::fullDiskLeavesTheOldFile()
{
    // The output folder fills up: writes past 300 KB fail as on a full disk.
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    struct rlimit before;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 300 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    TranscodeEngine engine(plugins().toUtf8().constData());
    int result = 0;
    const QByteArray printed = media::capture(stdout, [&] {
        result = engine.transcode(s(path("long.mp4")).c_str(), s(out).c_str(), s(preset("576p_pal_mpeg2_low")).c_str(),
                                  false, 0, 0, false, false, 0);
    });
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(result != 0);
    QCOMPARE(QString::fromStdString(engine.lastFailure()), QString("writing %1: File too large").arg(out));
    QCOMPARE(QString(printed), "Failed: " + QString::fromStdString(engine.lastFailure()));
    QCOMPARE(read(out), old);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

int TestTranscode::transcodeChild(const QString& in, const QString& out, const QString& presetFile,
                                  const QString& plugins)
{
    TranscodeEngine engine(plugins.toUtf8().constData());
    return engine.transcode(s(in).c_str(), s(out).c_str(), s(presetFile).c_str(), false, 0, 0, false, false, 0);
}

void TestTranscode::killedProcessLeavesTheOldFile()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--transcode-child", path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins()});
    QVERIFY(child.waitForStarted(10000));
    // Killed once it has written a good part of its output.
    auto written = [&] {
        qint64 most = 0;
        for (const QFileInfo& f : QDir(folder.path()).entryInfoList(QDir::Files | QDir::Hidden))
            most = qMax(most, f.size());
        return most;
    };
    QTRY_VERIFY_WITH_TIMEOUT(written() > 1024 * 1024 || child.state() == QProcess::NotRunning, 30000);
    QCOMPARE(child.state(), QProcess::Running);
    ::kill(pid_t(child.processId()), SIGKILL);
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QCOMPARE(read(out), old);

    // The next transcode of the name is not hindered by what the killed one left.
    QCOMPARE(transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low")), 0);
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscode::oneOutputOneWriter()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    EncodingThread first(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                         false, 0);
    QSignalSpy firstDone(&first, SIGNAL(transcodeFinished(int)));
    first.start();
    QTRY_VERIFY_WITH_TIMEOUT(first.getTranscoder()->progress() > 0.05, 30000);

    // A second encoder of the same name fails at once and writes nothing.
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    TranscodeEngine second(plugins().toUtf8().constData());
    int result = 0;
    err = media::capture(stderr, [&] {
        result = second.transcode(s(path("white.mp4")).c_str(), s(out).c_str(),
                                  s(preset("720p_pal_mpeg2_low")).c_str(), false, 0, 0, false, false, 0);
    });
    QCOMPARE(result, -1);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(QString(err), QString("*** %1 is being written by another Quorvel.\n").arg(out));
    QCOMPARE(QString::fromStdString(second.lastFailure()), QString("%1 is being written by another Quorvel.").arg(out));
    QCOMPARE(first.getTranscoder()->progress() > 0.0, true);

    // The first one ends whole and lets go of the name.
    QVERIFY(firstDone.wait(120000));
    QCOMPARE(firstDone.at(0).at(0).toInt(), 0);
    const testutil::RunResult r = testutil::run("ffmpeg", {"-v", "error", "-i", out, "-f", "null", "-"});
    QVERIFY2(r.ok() && r.err.trimmed().isEmpty(), r.err.constData());
    const double seconds = media::ffprobe(out).format.value("duration").toString().toDouble();
    QVERIFY2(qAbs(seconds - 20.0) < 0.5, qPrintable(QString::number(seconds)));
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
    QCOMPARE(second.transcode(s(path("white.mp4")).c_str(), s(out).c_str(), s(preset("720p_pal_mpeg2_low")).c_str(),
                              false, 0, 0, false, false, 0),
             0);
}

void TestTranscode::cutInputIsAFailure()
{
    // Ten seconds with its index first, cut to 40% of its bytes: it still
    // probes as ten seconds.
    const QString tone = "sine=frequency=440:sample_rate=48000";
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t", "10",
                           "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags", "+faststart",
                           path("ten.mp4")}));
    const QByteArray whole = read(path("ten.mp4"));
    QVERIFY(writeOld(path("cut40.mp4"), whole.left(whole.size() * 4 / 10)));
    TranscodeEngine probe(plugins().toUtf8().constData());
    QCOMPARE(QString::fromStdString(probe.probeFile(s(path("cut40.mp4")).c_str())[fileitem::kDurationKey]), QString("10"));

    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    QByteArray printed;
    const int result = transcode(path("cut40.mp4"), out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0,
                                 &printed);
    QVERIFY(result != 0 && result != -200);
    const QRegularExpression reason(R"(^Failed: input ends at (\d+\.\d) s of 10\.0 s: the file is damaged or incomplete$)");
    const QRegularExpressionMatch m = reason.match(QString(printed));
    QVERIFY2(m.hasMatch(), printed.constData());
    QVERIFY2(m.captured(1).toDouble() > 2.0 && m.captured(1).toDouble() < 6.0, printed.constData());
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(folder.path(), {}), QStringList());

    // The same input whole, and with a few damaged packets, stays a success.
    QCOMPARE(transcode(path("ten.mp4"), out, preset("576p_pal_mpeg2_low")), 0);
    QByteArray damaged = read(path("long.mp4"));
    for (int at = damaged.size() / 3; at < damaged.size() * 2 / 3; at += damaged.size() / 7)
        for (int i = 0; i < 200; ++i)
            damaged[at + i] = char(i * 37);
    QVERIFY(writeOld(path("hurt.mp4"), damaged));
    QCOMPARE(transcode(path("hurt.mp4"), folder.filePath("hurt.mpg"), preset("576p_pal_mpeg2_low")), 0);
    const double seconds = media::ffprobe(folder.filePath("hurt.mpg")).format.value("duration").toString().toDouble();
    QVERIFY2(seconds > 19.0, qPrintable(QString::number(seconds)));
}

void TestTranscode::matroskaStreamsOfTheirOwnLength()
{
    // Matroska gives its streams no duration of their own: a sound shorter
    // than the picture (or the other way round) is no damage.
    const QString tone = "sine=frequency=440:sample_rate=48000";
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=10", "-f", "lavfi", "-i",
                           tone + ":duration=4", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                           path("longpicture.mkv")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi", "-i",
                           tone + ":duration=10", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                           path("longsound.mkv")}));
    QTemporaryDir folder;
    for (const char* name : {"longpicture.mkv", "longsound.mkv"}) {
        QByteArray printed;
        const QString out = folder.filePath(QString(name) + ".mpg");
        QCOMPARE(transcode(path(name), out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0, &printed), 0);
        QCOMPARE(QString(printed), QString());
        const double seconds = media::ffprobe(out).format.value("duration").toString().toDouble();
        QVERIFY2(qAbs(seconds - 10.0) < 0.5, qPrintable(QString(name) + ": " + QString::number(seconds)));
    }

    // Both streams cut short of the file's length still fail.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=10", "-f", "lavfi", "-i",
                           tone + ":duration=10", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                           path("both.mkv")}));
    const QByteArray whole = read(path("both.mkv"));
    QVERIFY(writeOld(path("cut.mkv"), whole.left(whole.size() / 2)));
    QByteArray printed;
    const int result = transcode(path("cut.mkv"), folder.filePath("cut.mpg"), preset("576p_pal_mpeg2_low"), false, 0,
                                 0, false, false, 0, &printed);
    QVERIFY(result != 0 && result != -200);
    QVERIFY2(printed.contains("the file is damaged or incomplete"), printed.constData());
    QVERIFY(!QFile::exists(folder.filePath("cut.mpg")));
}

void TestTranscode::noPictureIsNoVideo()
{
    // Random bytes that FFmpeg's probe takes for a raw H.263 stream without
    // a picture size (about one 200 KB file in thirty).
    QString noise;
    std::mt19937 random(33);
    for (int attempt = 0; attempt < 2000 && noise.isEmpty(); ++attempt) {
        QByteArray bytes(200000, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random() & 0xFF);
        // FFmpeg's probe of the bytes in memory picks the few worth an ffprobe run.
        if (probedFormat(bytes, "noise") != "h263")
            continue;
        const QString file = path("noise");
        QVERIFY(writeOld(file, bytes));
        const media::Probe p = media::ffprobe(file);
        if (p.stream("video").value("codec_name").toString() == "h263" && p.stream("video").value("width").toInt() == 0)
            noise = file;
    }
    if (noise.isEmpty())
        QSKIP("this FFmpeg takes none of 2000 random files for a sizeless H.263 stream");

    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> probed;
    media::capture(stderr, [&] { probed = engine.probeFile(s(noise).c_str()); });
    const std::map<std::string, std::string> invalid{{fileitem::kValidKey, "false"},
                                                     {fileitem::kVideoCodecKey, "Invalid File Type"}};
    QVERIFY(probed == invalid);

    // Given to a transcode all the same, it writes no empty output.
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    QByteArray printed;
    const int result = transcode(noise, out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0, &printed);
    QVERIFY(result != 0 && result != -200);
    QVERIFY2(printed.startsWith("Failed: ") || printed.startsWith("*** "), printed.constData());
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(folder.path(), {}), QStringList());
}

void TestTranscode::linksInASharedFolderAreNotFollowed()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user places the links");
    if (!testutil::haveTool("setpriv"))
        QSKIP("missing tool: setpriv");
    // An output folder everybody may write, inside a folder everybody may enter.
    QTemporaryDir top;
    QVERIFY(QFile::setPermissions(top.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                   | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                   | QFileDevice::ExeOther));
    const QString shared = top.filePath("shared");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    // A file of the operator's that the other user may not write.
    const QString victim = top.filePath("victim.txt");
    const QByteArray kept = "the operator's own notes";
    QVERIFY(writeOld(victim, kept));
    auto asNobody = [](const QString& command) {
        return testutil::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
    };
    QVERIFY(!asNobody("echo x >> '" + victim + "'").ok());
    for (const char* name : {".VID00001.mpg.part", ".VID00001.mpg.lock"})
        QVERIFY(asNobody("ln -s '" + victim + "' '" + shared + "/" + name + "'").ok());

    const QString out = shared + "/VID00001.mpg";
    QCOMPARE(transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low")), 0);
    QCOMPARE(read(victim), kept);
    const QFileInfo written(out);
    QVERIFY(!written.isSymLink());
    QVERIFY(written.isFile());
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(QFileInfo(victim).size(), qint64(kept.size()));
}

void TestTranscode::leftoversOfStoppedWritersAreRemoved()
{
    QTemporaryDir folder;
    auto plant = [&](const QString& name) { return writeOld(folder.filePath(name), "left behind"); };
    // What writers that were killed or switched off left, in the program's
    // own patterns (also the older fixed temporary name), and what is no
    // temporary file of ours.
    QVERIFY(plant(".VID00007.mpg.k3Q9xZ.part"));
    QVERIFY(plant(".VID00007.mpg.lock"));
    QVERIFY(plant(".VID00008.mpg.part"));
    QVERIFY(plant(".hidden-notes"));
    QVERIFY(plant("VID00009.mpg.part"));

    // A writer that runs keeps its temporary file and its lock.
    EncodingThread running(nullptr, path("long.mp4"), folder.filePath("VID00002.mpg"), preset("576p_pal_mpeg2_low"),
                           plugins(), false, 0, 0, false, false, 0);
    QSignalSpy runningDone(&running, SIGNAL(transcodeFinished(int)));
    running.start();
    QTRY_VERIFY_WITH_TIMEOUT(running.getTranscoder()->progress() > 0.05, 30000);
    const QStringList ofRunning = leftovers(folder.path(), {".VID00007.mpg.k3Q9xZ.part", ".VID00007.mpg.lock",
                                                            ".VID00008.mpg.part", ".hidden-notes", "VID00009.mpg.part"});
    QCOMPARE(ofRunning.size(), 2);

    QCOMPARE(transcode(path("white.mp4"), folder.filePath("VID00001.mpg"), preset("720p_pal_mpeg2_low")), 0);
    QStringList expected = ofRunning + QStringList{"VID00001.mpg", ".hidden-notes", "VID00009.mpg.part"};
    QStringList now = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    expected.sort();
    now.sort();
    QCOMPARE(now, expected);
    QVERIFY(runningDone.wait(120000));
    QCOMPARE(runningDone.at(0).at(0).toInt(), 0);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg", "VID00002.mpg", ".hidden-notes", "VID00009.mpg.part"}),
             QStringList());
}

void TestTranscode::rotatedAndPortraitSourcesStandUpright()
{
    // Left half blue, right half red, stored on its side with a rotation flag.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i",
                           "color=red:size=320x240:rate=25,drawbox=x=0:y=0:w=160:h=240:color=blue:t=fill", "-frames:v",
                           "5", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", path("side.mp4")}));
    QVERIFY(media::ffmpeg({"-i", path("side.mp4"), "-c", "copy", "-metadata:s:v:0", "rotate=90", path("rotated.mp4")}));
    // How the ffmpeg program shows it, as every player does: upright.
    QVERIFY(media::ffmpeg({"-i", path("rotated.mp4"), "-frames:v", "1", path("upright.png")}));
    const QImage upright = media::frame(path("upright.png"), 0);
    const QColor top = media::pixel(upright, 120, 40);
    const QColor bottom = media::pixel(upright, 120, 280);
    QVERIFY2(media::near(top, kBlue) || media::near(top, kRed), qPrintable(media::describe(top)));
    QVERIFY(!media::near(top, bottom));

    QTemporaryDir folder;
    const QString out = folder.filePath("rotated.mpg");
    QCOMPARE(transcode(path("rotated.mp4"), out, preset("720p_pal_mpeg2_low")), 0);
    const QImage outFrame = media::frame(out);
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    // Upright 240 x 320 fitted into 1280 x 720: 540 x 720 in the middle, black at the sides.
    QVERIFY2(media::near(media::pixel(outFrame, 640, 100), top), qPrintable(media::describe(media::pixel(outFrame, 640, 100))));
    QVERIFY2(media::near(media::pixel(outFrame, 640, 620), bottom), qPrintable(media::describe(media::pixel(outFrame, 640, 620))));
    for (int x : {40, 340, 940, 1240})
        QVERIFY2(media::near(media::pixel(outFrame, x, 360), kBlack, 24), qPrintable(QString::number(x)));

    // A portrait clip: red above, green below, fitted with black bars, not stretched.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=red:size=1080x960:rate=25", "-f", "lavfi", "-i",
                           "color=0x00FF00:size=1080x960:rate=25", "-filter_complex", "[0][1]vstack,format=yuv420p",
                           "-frames:v", "3", "-c:v", "libx264", "-preset", "ultrafast", path("portrait.mp4")}));
    const QString tall = folder.filePath("portrait.mpg");
    QCOMPARE(transcode(path("portrait.mp4"), tall, preset("720p_pal_mpeg2_low")), 0);
    const QImage tallFrame = media::frame(tall);
    // 1080 x 1920 in 720 rows is 405 columns wide: 438 to 842.
    QVERIFY(media::near(media::pixel(tallFrame, 640, 100), kRed));
    QVERIFY(media::near(media::pixel(tallFrame, 640, 620), kGreen));
    QVERIFY(media::near(media::pixel(tallFrame, 460, 100), kRed));
    QVERIFY(media::near(media::pixel(tallFrame, 820, 620), kGreen));
    for (int x : {20, 410, 870, 1260})
        QVERIFY2(media::near(media::pixel(tallFrame, x, 360), kBlack, 24), qPrintable(QString::number(x)));

    // Wider than tall stays as it was: filling the frame.
    const QString wide = folder.filePath("wide.mpg");
    QCOMPARE(transcode(path("side.mp4"), wide, preset("720p_pal_mpeg2_low")), 0);
    const QImage wideFrame = media::frame(wide);
    QVERIFY(media::near(media::pixel(wideFrame, 20, 360), kBlue));
    QVERIFY(media::near(media::pixel(wideFrame, 1260, 360), kRed));
}

int main(int argc, char* argv[])
{
    if (argc == 6 && qstrcmp(argv[1], "--transcode-child") == 0) {
        QCoreApplication app(argc, argv);
        return TestTranscode::transcodeChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                                             QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5]));
    }
    QCoreApplication app(argc, argv);
    TestTranscode test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_transcode.moc"

void TestTranscode::soundThatDecodesToNothingFails()
{
    // Seeded junk kept in the tree (seed N in the name: Python's
    // random.Random(N), four 768-byte blocks, each opening with the first five
    // bytes of a real AC-3 frame): probed as AC-3 sound, yet no frame decodes.
    const QString junk = qEnvironmentVariable("QUORVEL_SOURCE_DIR") + "/tests/engine/transcode/junk";
    const QStringList inputs = QDir(junk).entryList({"*.ac3"}, QDir::Files, QDir::Name);
    QVERIFY2(inputs.size() >= 6, qPrintable(junk));
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    for (const QString& name : inputs) {
        QByteArray printed;
        const int result = transcode(junk + "/" + name, out, preset("576p_pal_mpeg2_low"), false, 0, 0, false,
                                     false, 0, &printed);
        QVERIFY2(result != 0 && result != -200, qPrintable(name));
        QVERIFY2(printed.startsWith("Failed: "), printed.constData());
        QVERIFY2(!QFile::exists(out), qPrintable(name));
        QCOMPARE(leftovers(folder.path(), {}), QStringList());
    }
}

void TestTranscode::firstPictureAfterAudioPreroll()
{
    // 680 tiny sound packets before the first picture.
    const QString preroll = path("preroll.mkv");
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=1.6,asetnsamples=n=16", "-itsoffset",
                           "1.4", "-f", "lavfi", "-i", "color=red:size=64x36:rate=25:duration=0.2", "-c:a",
                           "pcm_s16le", "-c:v", "mpeg2video", preroll}));
    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> probed;
    media::capture(stderr, [&] { probed = engine.probeFile(s(preroll).c_str()); });
    QCOMPARE(QString::fromStdString(probed[fileitem::kValidKey]), QString("true"));
    QCOMPARE(QString::fromStdString(probed[fileitem::kWidthKey]), QString("64"));
    // Probed again, the same: the pipe's reading position did not move.
    media::capture(stderr, [&] { probed = engine.probeFile(s(preroll).c_str()); });
    QCOMPARE(QString::fromStdString(probed[fileitem::kValidKey]), QString("true"));
}

void TestTranscode::othersFifoAtTheOutputName()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user places the FIFO");
    if (!testutil::haveTool("setpriv"))
        QSKIP("missing tool: setpriv");
    // A drop folder everybody may write, inside a folder everybody may enter.
    QTemporaryDir top;
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    const QString shared = top.filePath("shared");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const QString out = shared + "/VID00001.mpg";
    for (int round = 1; round <= 2; ++round) {
        QVERIFY(testutil::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                                          "rm -f '" + out + "' && mkfifo -m 0666 '" + out + "'"})
                    .ok());
        // Whatever a writer sends through the other user's FIFO is counted.
        std::atomic<bool> done{false};
        std::atomic<qint64> received{0};
        std::thread reader([&] {
            const int fd = ::open(QFile::encodeName(out).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            char buf[65536];
            while (fd >= 0 && !done) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    received += n > 0 ? n : 0;
                }
            }
            if (fd >= 0)
                ::close(fd);
        });
        const int result = transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low"));
        done = true;
        reader.join();
        QCOMPARE(result, 0);
        QCOMPARE(received.load(), qint64(0));
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(out).constData(), &st), 0);
        QVERIFY2(S_ISREG(st.st_mode), qPrintable(QString("round %1").arg(round)));
        QCOMPARE(st.st_uid, ::geteuid());
        QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
        QCOMPARE(leftovers(shared, {"VID00001.mpg"}), QStringList());
    }
}
