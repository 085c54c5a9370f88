// The transcoding engine on real files made by ffmpeg, for what its outputs
// hold: probe maps, outputs checked with ffprobe and by decoded pixels
// (deinterlacing, 4K quadrants and parts, pillarbox, rotation), sound
// choices, bitrates, the kept ProRes pipe and the failure texts.
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include "encodingthread.h"
#include "fileitemkeys.h"
#include "testutil.h"
#include "transcode/transcodefixture.h"

using namespace transcodetest;

class TestTranscode : public Fixture {
    Q_OBJECT

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
    void rotatedAndPortraitSourcesStandUpright();
    void audioChoices();
    void bitrateOverride();
    void failureTexts();
    void proresKeepsItsDecodePipe();
};

void TestTranscode::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    QVERIFY(prepare({"p1080.mp4", "i1080.ts", "q3840.mp4", "q4096.mp4", "q3840x1600.mp4", "tall.mp4", "white.mp4",
                     "tone.ac3", "prores.mov", "ps.mpg", "notes.txt"}));
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
    QCOMPARE(outFrame.size(), QSize(1920, 1080));
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

QTEST_GUILESS_MAIN(TestTranscode)
#include "tst_transcode.moc"
