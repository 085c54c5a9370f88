// The codec layer on real files made by ffmpeg: registry, files, presets,
// decode pipes, transcodes checked with ffprobe, stop, deadlock and the log.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

#include "../engine/transcode/mediautil.h"
#include "mcplugcore.h"
#include "testutil.h"

namespace {

std::string s(const QString& q)
{
    return q.toStdString();
}

// A whole transcode through the layer's calls, on the calling thread.
struct Job {
    std::unique_ptr<McUserPresets> presets{new McUserPresets};
    std::unique_ptr<McDecodePipe> decode;
    std::unique_ptr<McEncodePipe> encode;
    McVFilterSetup filters;
    bool audio = true;

    // Prepares everything up to the start; false when a step fails.
    bool prepare(McTranscoder& t, const QString& in, const QString& out, const QString& preset)
    {
        if (presets->load(Any(s(preset)), 0, nullptr) != 0)
            return false;
        decode.reset(McDecFactory::decodePipe(Any(s(in)), Any::invalid(), nullptr, nullptr));
        if (!decode)
            return false;
        encode.reset(McEncodePipe::create());
        if (encode->applyPreset(presets->at(0), 0, 0) != 0)
            return false;
        t.setEncoder(encode.get());
        ProcessParams vp, ap;
        FiltersState state;
        filters.store(state, 0);
        vp.setFilters(state);
        if (decode->streamCount(MC_KIND_VIDEO) > 0) {
            encode->enableStream(MC_KIND_VIDEO, Any::invalid());
            decode->selectStream(MC_KIND_VIDEO, 0);
            t.link(decode.get(), MC_KIND_VIDEO, 0, 0, vp);
        }
        if (audio && decode->streamCount(MC_KIND_AUDIO) > 0) {
            encode->enableStream(MC_KIND_AUDIO, Any::invalid());
            decode->selectStream(MC_KIND_AUDIO, 0);
            t.link(decode.get(), MC_KIND_AUDIO, 0, 0, ap);
        }
        if (encode->open(255) == 0)
            return false;
        encode->setParam("filename", Any(s(out)));
        return true;
    }
};

// Blocks inside the progress callback until released: a stalled worker.
class StallingTranscoder : public McTranscoder {
public:
    StallingTranscoder() : McTranscoder(nullptr) {}
    ~StallingTranscoder() override { stop(); }
    int cbProgress(double) override
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_stalled = true;
        m_wake.notify_all();
        m_wake.wait(lock, [this] { return m_released; });
        return 0;
    }
    bool waitStalled(int ms)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stalled; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_released = true;
        m_wake.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stalled = false;
    bool m_released = false;
};

class ProgressRecorder : public McTranscoder {
public:
    ProgressRecorder() : McTranscoder(nullptr) {}
    ~ProgressRecorder() override { stop(); }
    int cbProgress(double v) override
    {
        if (v < last)
            backwards = true;
        last = v;
        ++calls;
        return 0;
    }
    std::atomic<double> last{0.0};
    std::atomic<int> calls{0};
    std::atomic<bool> backwards{false};
};

} // namespace

class TestCodec : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_log;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString preset(const QString& name) const { return QDir::currentPath() + "/Presets/" + name + ".mps"; }
    qint64 logSize() const { return QFileInfo(m_log).size(); }
    QString logSince(qint64 offset) const
    {
        QFile f(m_log);
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        f.seek(offset);
        return QString::fromUtf8(f.readAll());
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void registryRegistersOnlyExistingComponents();
    void isFileOnlyForRegularFiles();
    void allPresetsLoadWithTheirKeys();
    void presetSectionsAndMalformedFiles();
    void decodePipeDescribesInputs_data();
    void decodePipeDescribesInputs();
    void decodePipeRefusesNonMedia();
    void presetOutputsAreCleanStreams_data();
    void presetOutputsAreCleanStreams();
    void fieldOrderAndStreamChoice();
    void stopClosesTheOutput();
    void pauseHoldsTheWork();
    void stalledWorkerReadsDeadlockAndIsJoined();
    void failuresNameTheCall();
    void damagedInputsStillTranscode();
    void picturesAndSoundChangingMidStream();
    void logAndCountedStart();
};

void TestCodec::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    QVERIFY(m_dir.isValid());
    m_log = path("codec.log");
    AnyDict dict;
    dict.set("logfile", Any(s(m_log)));
    dict.set("disable_exceptions", Any(1));
    QCOMPARE(init_wrapper(&dict), 0);
    QCOMPARE(mc_registry()->scanFolder(Any(s(QDir::currentPath() + "/Plugins"))), 0);

    const QString tone = "sine=frequency=440:sample_rate=48000";
    // Small progressive source with audio.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30000/1001", "-f", "lavfi", "-i", tone,
                           "-t", "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-ac", "2",
                           path("small.mp4")}));
    // Audio in container stream 0, video in stream 1; no per-stream bitrate in Matroska.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                           "0.5", "-map", "1:a", "-map", "0:v", "-c:v", "libx264", "-preset", "ultrafast", "-c:a",
                           "ac3", path("audiofirst.mkv")}));
    // Interlaced, top field first, in a transport stream.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=60000/1001", "-t", "0.5", "-vf",
                           "tinterlace=interleave_top,fieldorder=tff", "-flags", "+ildct+ilme", "-c:v", "mpeg2video",
                           "-top", "1", "-f", "mpegts", path("tff.ts")}));
    // Interlaced, bottom field first, in an MPEG-2 program stream.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=50", "-f", "lavfi", "-i", tone, "-t",
                           "0.5", "-vf", "tinterlace=interleave_bottom,fieldorder=bff", "-flags", "+ildct+ilme",
                           "-c:v", "mpeg2video", "-top", "0", "-c:a", "mp2", "-f", "vob", path("bff.mpg")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-t", "0.5", "-c:v", "prores_ks",
                           path("prores.mov")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", tone, "-t", "0.5", "-ac", "2", path("tone.wav")}));
    // Ten seconds, for stopping.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                           "10", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", path("long.mp4")}));
    // Damaged copies: bytes overwritten in the middle, and a cut-off tail.
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t", "2",
                           "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "ac3", "-f", "mpegts", path("whole.ts")}));
    QFile whole(path("whole.ts"));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    QByteArray ts = whole.readAll();
    whole.close();
    QByteArray damaged = ts;
    for (int at = 4000; at + 600 < damaged.size(); at += damaged.size() / 9)
        for (int i = 0; i < 600; ++i)
            damaged[at + i] = char((i * 131 + at) & 0xFF);
    QFile d(path("damaged.ts"));
    QVERIFY(d.open(QIODevice::WriteOnly));
    d.write(damaged);
    d.close();
    QFile c(path("cut.ts"));
    QVERIFY(c.open(QIODevice::WriteOnly));
    c.write(ts.left(ts.size() / 3 + 77));
    c.close();
    QFile text(path("notes.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("This is not a video.\nJust some words in a file.\n");
    text.close();
    QFile junk(path("junk.bin"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    QByteArray bytes(65536, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7919) ^ (i >> 3));
    junk.write(bytes);
    junk.close();
}

void TestCodec::cleanupTestCase()
{
    cleanup_wrapper();
}

void TestCodec::registryRegistersOnlyExistingComponents()
{
    QTemporaryDir empty;
    QCOMPARE(mc_registry()->scanFolder(Any(s(empty.path()))) != 0, true);
    QCOMPARE(mc_registry()->scanFolder(Any(s(empty.filePath("missing")))) != 0, true);

    QFile bogus(empty.filePath("enc_bogus.mcp"));
    QVERIFY(bogus.open(QIODevice::WriteOnly));
    bogus.write("kind=encoder\ncodec=bogus\ncomponent=no_such_encoder_here\n");
    bogus.close();
    QFile partial(empty.filePath("partial.mcp"));
    QVERIFY(partial.open(QIODevice::WriteOnly));
    partial.write("kind=muxer\n");
    partial.close();
    QVERIFY(mc_registry()->scanFolder(Any(s(empty.path()))) != 0);
    QVERIFY(!mc_registry()->has("encoder:bogus"));

    QCOMPARE(mc_registry()->scanFolder(Any(s(QDir::currentPath() + "/Plugins"))), 0);
    for (const char* c : {"demuxer:*", "encoder:h264", "encoder:mpeg2video", "encoder:ac3", "encoder:mp2",
                          "muxer:mpegts", "muxer:mpeg"})
        QVERIFY2(mc_registry()->has(c), c);
}

void TestCodec::isFileOnlyForRegularFiles()
{
    QVERIFY(McFile::isFile(Any(s(path("small.mp4")))));
    QVERIFY(!McFile::isFile(Any(s(m_dir.path()))));
    QVERIFY(!McFile::isFile(Any(s(path("nothing.mp4")))));
    QVERIFY(!McFile::isFile(Any("")));
    QString fifo = path("pipe.ts");
    QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!McFile::isFile(Any(s(fifo))));
    // Nobody writes to the FIFO: opening it would block forever.
    QVERIFY(McDecFactory::decodePipe(Any(s(fifo)), Any::invalid(), nullptr, nullptr) == nullptr);
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(McFile::isDir(Any(s(m_dir.path()))));
    QVERIFY(!McFile::isDir(Any(s(path("small.mp4")))));
    QCOMPARE(QString::fromStdString(McFile::getPath(Any(s(path("a/b.mpg")))).toString()), path("a"));
    QCOMPARE(QString::fromStdString(McFile::getPath(Any("b.mpg")).toString()), QString("."));
}

void TestCodec::allPresetsLoadWithTheirKeys()
{
    QDir dir(QDir::currentPath() + "/Presets");
    const QStringList files = dir.entryList({"*.mps"}, QDir::Files);
    QCOMPARE(files.size(), 85);
    for (const QString& file : files) {
        McUserPresets presets;
        QVERIFY2(presets.load(Any(s(dir.filePath(file))), 0, nullptr) == 0, qPrintable(file));
        McPreset* p = presets.at(0);
        QVERIFY(p);
        const AnyDict& v = p->section("video");
        const AnyDict& a = p->section("audio");
        QString base = file.chopped(4);
        bool ps = base.contains("_ps_");
        // Resolution key: size, rate and scan.
        QString res = base.section('_', 0, 0);
        int height = res.left(res.size() - 1).toInt();
        bool interlaced = res.endsWith('i');
        int width = height == 720 ? 1280 : height == 1080 ? 1920 : 720;
        QCOMPARE(v.get("width").asInt32(), width);
        QCOMPARE(v.get("height").asInt32(), height);
        QCOMPARE(QString::fromStdString(v.get("scan").toString()), QString(interlaced ? "tff" : "progressive"));
        QString rate;
        if (base.contains("_23976_"))
            rate = "24000/1001";
        else if (base.contains("_5994_"))
            rate = "60000/1001";
        else if (base.contains("ntsc"))
            rate = height == 720 ? "60000/1001" : "30000/1001";
        else
            rate = height == 720 ? "50/1" : "25/1";
        QCOMPARE(QString::fromStdString(v.get("framerate").toString()), rate);
        // Quality key: codec and bitrate.
        bool h264 = base.contains("_h264_");
        QCOMPARE(p->codecs(MC_PRESET_VIDEO).size(), size_t(1));
        QCOMPARE(QString::fromStdString(p->codecs(MC_PRESET_VIDEO).at(0).toString()),
                 QString(h264 ? "h264" : "mpeg2video"));
        QString quality = base.section('_', -1);
        if (base.contains("_h264_high_old") || base.contains("_h264_medium_old"))
            quality = base.section('_', -2);
        int mbps = 0;
        if (h264 && base.contains("_5994_"))
            mbps = quality == "high" || quality == "high3" ? 35 : quality == "medium" || quality == "medium3" ? 30
                 : quality == "low" || quality == "high_old" ? 25 : 15;
        else if (h264)
            mbps = quality == "high" ? 25 : quality == "medium" ? 15 : 10;
        else if (ps)
            mbps = quality == "high" ? 14 : quality == "medium" ? 10 : 6;
        else
            mbps = quality == "high" ? 38 : quality == "medium" ? 30 : 18;
        QVERIFY2(v.get("bitrate").asInt64() == qint64(mbps) * 1000000, qPrintable(file));
        QVERIFY(v.get("maxrate").asInt64() >= v.get("bitrate").asInt64());
        QVERIFY(v.get("bufsize").asInt64() > 0);
        // Program-stream presets: MPEG audio in an MPEG-2 program stream; others AC-3 in a transport stream.
        QCOMPARE(QString::fromStdString(p->container()), QString(ps ? "mpeg" : "mpegts"));
        QCOMPARE(QString::fromStdString(p->codecs(MC_PRESET_AUDIO).at(0).toString()), QString(ps ? "mp2" : "ac3"));
        QCOMPARE(a.get("rate").asInt32(), 48000);
    }
}

void TestCodec::presetSectionsAndMalformedFiles()
{
    QTemporaryDir dir;
    auto write = [&](const QString& name, const QByteArray& text) {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return dir.filePath(name);
    };
    McUserPresets presets;
    QCOMPARE(presets.load(Any(s(write("video.mps", "[preset]\ncontainer=mpegts\n[video]\ncodec=h264\nwidth=1280\n"
                                                    "height=720\nframerate=50/1\nbitrate=8000000\n"))),
                          0, nullptr),
             0);
    QCOMPARE(presets.at(0)->codecs(MC_PRESET_VIDEO).size(), size_t(1));
    QCOMPARE(presets.at(0)->codecs(MC_PRESET_AUDIO).size(), size_t(0));
    QCOMPARE(presets.load(Any(s(write("audio.mps", "# only sound\n[preset]\ncontainer=mpeg\n[audio]\ncodec=mp2\n"
                                                    "rate=48000\nchannels=2\nbitrate=224000\n"))),
                          0, nullptr),
             0);
    QCOMPARE(presets.at(0)->codecs(MC_PRESET_VIDEO).size(), size_t(0));
    QCOMPARE(presets.at(0)->codecs(MC_PRESET_AUDIO).size(), size_t(1));

    QVERIFY(presets.load(Any(s(dir.filePath("missing.mps"))), 0, nullptr) != 0);
    QVERIFY(presets.load(Any(s(write("garbage.mps", "\x01\x02 not a preset\n"))), 0, nullptr) != 0);
    QVERIFY(presets.load(Any(s(write("nocontainer.mps", "[audio]\ncodec=mp2\nrate=48000\nchannels=2\nbitrate=1\n"))),
                         0, nullptr) != 0);
    QVERIFY(presets.load(Any(s(write("badsize.mps", "[preset]\ncontainer=mpegts\n[video]\ncodec=h264\nwidth=-5\n"
                                                     "height=720\nframerate=50/1\nbitrate=1\n"))),
                         0, nullptr) != 0);
    QVERIFY(presets.load(Any(s(write("badsection.mps", "[preset]\ncontainer=mpegts\n[subtitles]\nx=1\n"))), 0,
                         nullptr) != 0);

    // A preset whose codec has no plug-in cannot be applied.
    QCOMPARE(presets.load(Any(s(write("vp9.mps", "[preset]\ncontainer=mpegts\n[video]\ncodec=vp9\nwidth=64\n"
                                                  "height=64\nframerate=25/1\nbitrate=100000\n"))),
                          0, nullptr),
             0);
    std::unique_ptr<McEncodePipe> pipe(McEncodePipe::create());
    QVERIFY(pipe->applyPreset(presets.at(0), 0, 0) != 0);
    QVERIFY(QString(pipe->errorDesc()).contains("vp9"));
}

void TestCodec::decodePipeDescribesInputs_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("videos");
    QTest::addColumn<int>("audios");
    QTest::addColumn<QString>("videoCodec");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("interlaced");
    QTest::addColumn<int>("psFlag");
    QTest::addColumn<int>("pal");

    QTest::newRow("mp4") << "small.mp4" << 1 << 1 << "H.264" << 320 << 0 << 0 << 0;
    QTest::newRow("audio first") << "audiofirst.mkv" << 1 << 1 << "H.264" << 320 << 0 << 0 << 1;
    QTest::newRow("tff ts") << "tff.ts" << 1 << 0 << "MPEG-2" << 320 << 1 << 3 << 0;
    QTest::newRow("bff ps") << "bff.mpg" << 1 << 1 << "MPEG-2" << 720 << 2 << 2 << 1;
    QTest::newRow("prores") << "prores.mov" << 1 << 0 << "ProRes" << 320 << 0 << 0 << 1;
    QTest::newRow("wav") << "tone.wav" << 0 << 1 << "" << 0 << 0 << 0 << 0;
}

void TestCodec::decodePipeDescribesInputs()
{
    QFETCH(QString, file);
    QFETCH(int, videos);
    QFETCH(int, audios);
    QFETCH(QString, videoCodec);
    QFETCH(int, width);
    QFETCH(int, interlaced);
    QFETCH(int, psFlag);
    QFETCH(int, pal);

    std::unique_ptr<McDecodePipe> pipe(McDecFactory::decodePipe(Any(s(path(file))), Any::invalid(), nullptr, nullptr));
    QVERIFY(pipe);
    QCOMPARE(pipe->streamCount(MC_KIND_VIDEO), videos);
    QCOMPARE(pipe->streamCount(MC_KIND_AUDIO), audios);
    Any v;
    QCOMPARE(pipe->getPipeParam("program_stream_flag", v), 0);
    QCOMPARE(v.asInt32(), psFlag);
    media::Probe probe = media::ffprobe(path(file));
    if (videos) {
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "codec", v);
        QVERIFY2(QString(v.asString()).contains(videoCodec), v.asString());
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "width", v);
        QCOMPARE(v.asInt32(), width);
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "framerate", v);
        McFramerate rate = v;
        QCOMPARE(rate.interlaced(), interlaced);
        QVERIFY(rate.fps() > 20 && rate.fps() < 61);
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "pal", v);
        QCOMPARE(v.asInt32(), pal);
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "frames", v);
        QVERIFY2(v.asInt32() >= 10 && v.asInt32() <= 32, v.toString().c_str());
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "duration", v);
        QVERIFY(v.asDouble() > 0.3 && v.asDouble() < 0.8);
        // Falls back to the container's rate when the stream has none.
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "vBitrate", v);
        QCOMPARE(v.type(), Any::Double);
        QJsonObject vs = probe.stream("video");
        double expected = vs.value("bit_rate").toString().toDouble();
        if (expected <= 0)
            expected = probe.format.value("bit_rate").toString().toDouble();
        QVERIFY(expected > 0);
        QCOMPARE(v.asDouble(), expected);
        pipe->getStreamParam(MC_KIND_VIDEO, 0, "frameAspect", v);
        QCOMPARE(qRound(v.asDouble() * 1000), qRound(width == 720 ? 1250.0 : 1333.333));
    } else {
        QCOMPARE(pipe->getStreamParam(MC_KIND_VIDEO, 0, "codec", v) != 0, true);
        QVERIFY(!v.isValid());
        QCOMPARE(QString(v.asString()), QString());
    }
    if (audios) {
        QJsonObject as = probe.stream("audio");
        pipe->getStreamParam(MC_KIND_AUDIO, 0, "samplerate", v);
        QCOMPARE(v.asInt32(), as.value("sample_rate").toString().toInt());
        pipe->getStreamParam(MC_KIND_AUDIO, 0, "channels", v);
        QCOMPARE(v.asInt32(), as.value("channels").toInt());
        pipe->getStreamParam(MC_KIND_AUDIO, 0, "samples", v);
        QVERIFY(v.asInt32() > 48000 / 4);
        pipe->getStreamParam(MC_KIND_AUDIO, 0, "codec", v);
        QVERIFY(!QString(v.asString()).isEmpty());
    }
}

void TestCodec::decodePipeRefusesNonMedia()
{
    for (const QString& name : {QString("notes.txt"), QString("junk.bin"), QString("missing.mp4")})
        QVERIFY2(McDecFactory::decodePipe(Any(s(path(name))), Any::invalid(), nullptr, nullptr) == nullptr,
                 qPrintable(name));
    // No plug-in registered: nothing opens. A second start keeps the layer up.
    init_wrapper(nullptr);
    cleanup_wrapper();
    cleanup_wrapper();
    QVERIFY(McDecFactory::decodePipe(Any(s(path("small.mp4"))), Any::invalid(), nullptr, nullptr) == nullptr);
    AnyDict dict;
    dict.set("logfile", Any(s(m_log)));
    init_wrapper(&dict);
    QCOMPARE(mc_registry()->scanFolder(Any(s(QDir::currentPath() + "/Plugins"))), 0);
    std::unique_ptr<McDecodePipe> pipe(McDecFactory::decodePipe(Any(s(path("small.mp4"))), Any::invalid(), nullptr, nullptr));
    QVERIFY(pipe);
}

void TestCodec::presetOutputsAreCleanStreams_data()
{
    QTest::addColumn<QString>("preset");
    const char* res[] = {"1080p_ntsc", "1080p_23976", "1080i_ntsc", "720p_ntsc", "480p_ntsc", "480i_ntsc",
                         "1080p_pal", "1080i_pal", "720p_pal", "576p_pal", "576i_pal", "480p_ps_ntsc",
                         "480i_ps_ntsc", "576p_ps_pal", "576i_ps_pal", "1080p_5994"};
    int n = 0;
    for (const char* r : res) {
        QString key = r;
        // Each resolution once, the codecs taking turns; the 59.94 rate only has H.264.
        QString codec = key.contains("_ps_") ? "mpeg2" : key == "1080p_5994" ? "h264" : (n++ % 2 ? "mpeg2" : "h264");
        QString name = key + "_" + codec + "_low";
        QTest::newRow(qPrintable(name)) << name;
    }
    QTest::newRow("1080i_ntsc_h264_high") << "1080i_ntsc_h264_high";
    QTest::newRow("576i_pal_mpeg2_high") << "576i_pal_mpeg2_high";
    QTest::newRow("480p_ntsc_h264_high") << "480p_ntsc_h264_high";
    QTest::newRow("576i_pal_h264_high") << "576i_pal_h264_high";
}

void TestCodec::presetOutputsAreCleanStreams()
{
    QFETCH(QString, preset);
    McUserPresets presets;
    QCOMPARE(presets.load(Any(s(this->preset(preset))), 0, nullptr), 0);
    const AnyDict& v = presets.at(0)->section("video");
    McFramerate rate = v.get("framerate").asFramerate();
    QString scan = QString::fromStdString(v.get("scan").toString());

    QString out = path(preset + ".mpg");
    qint64 logStart = logSize();
    {
        McTranscoder t(nullptr);
        Job job;
        QVERIFY(job.prepare(t, path("small.mp4"), out, this->preset(preset)));
        QCOMPARE(t.transcode(true), 0);
        QVERIFY(!t.isTranscoding());
    }
    media::Probe p = media::ffprobe(out);
    bool ps = preset.contains("_ps_");
    QCOMPARE(p.format.value("format_name").toString(), QString(ps ? "mpeg" : "mpegts"));
    QCOMPARE(p.count("video"), 1);
    QCOMPARE(p.count("audio"), 1);
    QJsonObject vs = p.stream("video");
    QCOMPARE(vs.value("codec_name").toString(), QString(preset.contains("h264") ? "h264" : "mpeg2video"));
    QCOMPARE(vs.value("width").toInt(), v.get("width").asInt32());
    QCOMPARE(vs.value("height").toInt(), v.get("height").asInt32());
    QCOMPARE(vs.value("r_frame_rate").toString(), QString("%1/%2").arg(rate.num()).arg(rate.den()));
    QCOMPARE(vs.value("field_order").toString(), QString(scan == "tff" ? "tt" : "progressive"));
    QCOMPARE(p.stream("audio").value("codec_name").toString(), QString(ps ? "mp2" : "ac3"));
    QCOMPARE(p.stream("audio").value("sample_rate").toString(), QString("48000"));
    QVERIFY(media::decodedFrames(out) >= int(rate.fps() * 0.4));

    // The multiplexer must not have complained about the streams it was given.
    QString log = logSince(logStart);
    QRegularExpression muxWarning(R"(\[(warning|error)\] \[(mpegts|vob|mpeg) @)");
    QVERIFY2(!muxWarning.match(log).hasMatch(), qPrintable(log));
    // Nor the encoders (level limits, unsupported combinations).
    QVERIFY2(!log.contains("[error]") && !log.contains("[warning]"), qPrintable(log));
}

void TestCodec::fieldOrderAndStreamChoice()
{
    // Bottom-field-first pictures into a top-field-first preset.
    QString out = path("bff_to_tff.mpg");
    {
        McTranscoder t(nullptr);
        Job job;
        QVERIFY(job.prepare(t, path("bff.mpg"), out, preset("576i_pal_mpeg2_low")));
        QCOMPARE(t.transcode(true), 0);
    }
    media::Probe p = media::ffprobe(out);
    QCOMPARE(p.stream("video").value("field_order").toString(), QString("tt"));
    QCOMPARE(p.stream("video").value("width").toInt(), 720);

    // Video in container stream 1: the first stream of each kind is used.
    out = path("audiofirst.mpg");
    {
        McTranscoder t(nullptr);
        Job job;
        QVERIFY(job.prepare(t, path("audiofirst.mkv"), out, preset("576p_pal_h264_low")));
        QCOMPARE(t.transcode(true), 0);
    }
    p = media::ffprobe(out);
    QCOMPARE(p.count("video"), 1);
    QCOMPARE(p.count("audio"), 1);
    QCOMPARE(p.stream("video").value("codec_name").toString(), QString("h264"));
    QVERIFY(media::decodedFrames(out) >= 10);
}

void TestCodec::stopClosesTheOutput()
{
    QString out = path("stopped.mpg");
    ProgressRecorder t;
    Job job;
    QVERIFY(job.prepare(t, path("long.mp4"), out, preset("576p_pal_h264_low")));
    QCOMPARE(t.transcode(false), 0);
    QVERIFY(t.isTranscoding());
    QTRY_VERIFY_WITH_TIMEOUT(t.last > 0.02, 20000);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(t.stop(), 0);
    QVERIFY(!t.isTranscoding());
    QVERIFY(timer.elapsed() < 10000);
    Any result;
    t.getParam("result", result);
    QCOMPARE(result.asInt32(), 0);
    QVERIFY(t.last < 1.0);
    QVERIFY(!t.backwards);
    // Nothing of a stopped output stays, under its name or another.
    QVERIFY(!QFile::exists(out));
    QVERIFY(!QFile::exists(path(".stopped.mpg.part")));

    // A full run reports progress up to 1.0, never backwards.
    ProgressRecorder full;
    Job job2;
    QVERIFY(job2.prepare(full, path("small.mp4"), path("full.mpg"), preset("576p_pal_h264_low")));
    QCOMPARE(full.transcode(true), 0);
    QCOMPARE(double(full.last), 1.0);
    QVERIFY(full.calls > 3);
    QVERIFY(!full.backwards);
}

void TestCodec::pauseHoldsTheWork()
{
    ProgressRecorder t;
    Job job;
    QVERIFY(job.prepare(t, path("long.mp4"), path("paused.mpg"), preset("576p_pal_mpeg2_low")));
    QCOMPARE(t.setParam("deadLockTimeout", Any(200)), 0);
    QCOMPARE(t.transcode(false), 0);
    QTRY_VERIFY_WITH_TIMEOUT(t.last > 0.01, 20000);
    QCOMPARE(t.pause(), 0);
    // What was in flight at the pause lands; then the progress holds.
    double held = -1;
    QElapsedTimer still;
    QVERIFY(QTest::qWaitFor([&] {
        if (t.last != held) {
            held = t.last;
            still.restart();
        }
        return still.elapsed() >= 300;
    }, 10000));
    QVERIFY(testutil::neverWithin(500, [&] { return t.last != held; }));
    QCOMPARE(double(t.last), held);
    QVERIFY(t.isTranscoding());
    // A paused transcode is no deadlock.
    Any v;
    t.getParam("deadLock", v);
    QCOMPARE(v.asInt32(), 0);
    QCOMPARE(t.unpause(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!t.isTranscoding(), 30000);
    QCOMPARE(double(t.last), 1.0);
}

void TestCodec::stalledWorkerReadsDeadlockAndIsJoined()
{
    QString out = path("stalled.mpg");
    auto* t = new StallingTranscoder;
    Job job;
    QVERIFY(job.prepare(*t, path("long.mp4"), out, preset("576p_pal_h264_low")));
    QCOMPARE(t->setParam("deadLockTimeout", Any(300)), 0);
    Any v;
    t->getParam("deadLock", v);
    QCOMPARE(v.asInt32(), 0);
    QCOMPARE(t->transcode(false), 0);
    QVERIFY(t->waitStalled(20000));
    t->getParam("deadLock", v);
    QCOMPARE(v.asInt32(), 0); // not yet a long time
    QTRY_VERIFY_WITH_TIMEOUT((t->getParam("deadLock", v), v.asInt32() == 1), 5000);
    QVERIFY(t->isTranscoding());

    // Deleting it while the worker still runs stops and joins the worker.
    std::thread releaser([t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        t->release();
    });
    QElapsedTimer timer;
    timer.start();
    delete t;
    qint64 waited = timer.elapsed();
    releaser.join();
    QVERIFY2(waited >= 200, qPrintable(QString::number(waited)));
    QVERIFY(!QFile::exists(out));
    QVERIFY(!QFile::exists(path(".stalled.mpg.part")));
}

void TestCodec::failuresNameTheCall()
{
    // The output's name is taken by a folder: opening it fails in the worker.
    QDir(m_dir.path()).mkpath("taken.mpg");
    {
        McTranscoder t(nullptr);
        Job job;
        QVERIFY(job.prepare(t, path("small.mp4"), path("taken.mpg"), preset("576p_pal_h264_low")));
        QCOMPARE(t.transcode(false), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!t.isTranscoding(), 20000);
        Any result;
        t.getParam("result", result);
        QVERIFY(result.asInt32() != 0);
        QCOMPARE(QString(t.errorDesc()), "writing " + path("taken.mpg") + ": Is a directory");
    }
    // A crop rectangle outside the picture fails instead of cutting something else.
    {
        McTranscoder t(nullptr);
        Job job;
        job.filters.setCrop(1, 3840, 2160, McRect(1920, 1080, 3840, 2160), 0, 0, 0, 0);
        QVERIFY(job.prepare(t, path("small.mp4"), path("badcrop.mpg"), preset("1080p_pal_h264_low")));
        QVERIFY(t.transcode(true) != 0);
        QVERIFY2(QString(t.errorDesc()).contains("does not fit in the 320x240 picture"), t.errorDesc());
    }
    // Writing over the input is refused and leaves it whole.
    {
        QFile::copy(path("small.mp4"), path("self.mp4"));
        qint64 size = QFileInfo(path("self.mp4")).size();
        McTranscoder t(nullptr);
        Job job;
        QVERIFY(job.prepare(t, path("self.mp4"), path("self.mp4"), preset("576p_pal_h264_low")));
        QVERIFY(t.transcode(true) != 0);
        QCOMPARE(QString(t.errorDesc()), QString("the output file is the input file"));
        QCOMPARE(QFileInfo(path("self.mp4")).size(), size);
        QVERIFY(media::decodedFrames(path("self.mp4")) > 10);
    }
    // Nothing linked: the encode pipe has no output streams.
    {
        McUserPresets presets;
        QCOMPARE(presets.load(Any(s(preset("576p_pal_h264_low"))), 0, nullptr), 0);
        std::unique_ptr<McEncodePipe> pipe(McEncodePipe::create());
        QCOMPARE(pipe->applyPreset(presets.at(0), 0, 0), 0);
        pipe->enableStream(MC_KIND_VIDEO, Any::invalid());
        QCOMPARE(pipe->open(255), 0);
        McTranscoder t(nullptr);
        t.setEncoder(pipe.get());
        pipe->setParam("filename", Any(s(path("nothing.mpg"))));
        QVERIFY(t.transcode(true) != 0);
        QVERIFY(!QString(t.errorDesc()).isEmpty());
    }
}

void TestCodec::damagedInputsStillTranscode()
{
    for (const QString& name : {QString("damaged.ts"), QString("cut.ts")}) {
        QString out = path(name + ".mpg");
        McTranscoder t(nullptr);
        Job job;
        QVERIFY2(job.prepare(t, path(name), out, preset("576p_pal_h264_low")), qPrintable(name));
        QCOMPARE(t.transcode(true), 0);
        media::Probe p = media::ffprobe(out);
        QCOMPARE(p.count("video"), 1);
        QVERIFY2(media::decodedFrames(out) >= 10, qPrintable(name));
    }
}

void TestCodec::picturesAndSoundChangingMidStream()
{
    // Half a second of small red pictures with stereo sound, then larger blue
    // ones with mono sound at another rate, as one transport stream.
    const QString tone = "sine=frequency=440:sample_rate=";
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=red:size=320x240:rate=25", "-f", "lavfi", "-i", tone + "48000",
                           "-t", "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "ac3", "-ac", "2", "-f",
                           "mpegts", path("change1.ts")}));
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=blue:size=640x360:rate=25", "-f", "lavfi", "-i", tone + "44100",
                           "-t", "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "ac3", "-ac", "1",
                           "-output_ts_offset", "0.5", "-f", "mpegts", path("change2.ts")}));
    QFile joined(path("change.ts"));
    QVERIFY(joined.open(QIODevice::WriteOnly));
    for (const QString& part : {path("change1.ts"), path("change2.ts")}) {
        QFile f(part);
        QVERIFY(f.open(QIODevice::ReadOnly));
        joined.write(f.readAll());
    }
    joined.close();

    // Black columns each side: the pads must follow the new picture size.
    QString out = path("change.mpg");
    {
        McTranscoder t(nullptr);
        Job job;
        job.filters.setCrop(1, 320, 240, McRect(0, 0, 0, 0), 0, 0, 53, 53);
        QVERIFY(job.prepare(t, path("change.ts"), out, preset("576p_pal_h264_low")));
        QCOMPARE(t.transcode(true), 0);
    }
    // Frame 20 exists and is blue: the second half was not lost.
    QVERIFY(media::near(media::pixel(out, 360, 288, 3), QColor(255, 0, 0)));
    QVERIFY(media::near(media::pixel(out, 360, 288, 20), QColor(0, 0, 255)));
    for (int frame : {3, 20})
        QVERIFY(media::near(media::pixel(out, 10, 288, frame), QColor(0, 0, 0)));
    QVERIFY(media::near(media::pixel(out, 80, 288, 20), QColor(0, 0, 255)));
    QCOMPARE(media::ffprobe(out).count("audio"), 1);
    testutil::RunResult r = testutil::run("ffmpeg", {"-v", "error", "-i", out, "-f", "null", "-"});
    QVERIFY2(r.ok() && r.err.trimmed().isEmpty(), r.err.constData());
}

void TestCodec::logAndCountedStart()
{
    debug_trace("marker-one from debug_trace");
    mc_dbg()->info("marker-%s %d", "two", 2);
    QString log = logSince(0);
    QVERIFY(log.contains("marker-one from debug_trace"));
    QVERIFY(log.contains("marker-two 2"));
    // FFmpeg's own messages (the encoder's closing statistics).
    QVERIFY(log.contains(QRegularExpression(R"(\[info\] \[libx264 @ )")));

    // A second user keeps the log open after the first one ends.
    QCOMPARE(init_wrapper(nullptr), 0);
    cleanup_wrapper();
    debug_trace("marker-three still logged");
    QVERIFY(logSince(0).contains("marker-three still logged"));
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
