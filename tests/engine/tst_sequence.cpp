// Targa sequences: the scan of real frame folders, frame names, frame reading
// with depth conversion and row-order flip, rates and slot groups.
#include "targa/tgahelpers.h"
#include "targasequence.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tgatest;

namespace {

QStringList messages(const QSignalSpy& spy)
{
    QStringList out;
    for (const auto& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class TestSequence : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void scanFfmpegSequence_data();
    void scanFfmpegSequence();
    void scanNames();
    void scanFailures_data();
    void scanFailures();
    void frameNames();
    void readFrameConvertsAndFlips();
    void readFrameUsesEachFramesOwnSizeAndOrder();
    void ratesAndSlotGroups();
    void destinationsForSlot();
    void notLoaded();

private:
    QString makeDir(const QString& name);

    QTemporaryDir tmp;
    QString hdFrame;    // one valid 1280 x 720 frame to copy under other names
};

QString TestSequence::makeDir(const QString& name)
{
    const QString path = tmp.filePath(name);
    QDir().mkpath(path);
    return path;
}

void TestSequence::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(tmp.isValid());
    hdFrame = tmp.filePath("hd.tga");
    QCOMPARE(ffmpegFrames(hdFrame, 1280, 720, 24, true), QString());
}

void TestSequence::scanFfmpegSequence_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("rle");
    QTest::newRow("1280x720 24-bit raw") << 1280 << 720 << 24 << false;
    QTest::newRow("1920x1080 32-bit rle") << 1920 << 1080 << 32 << true;
    QTest::newRow("2048x1080 24-bit rle") << 2048 << 1080 << 24 << true;
}

void TestSequence::scanFfmpegSequence()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bits);
    QFETCH(bool, rle);
    const QString dir = makeDir(QString("seq_%1_%2").arg(width).arg(bits));
    QCOMPARE(ffmpegFrames(dir + "/shot_%04d.tga", width, height, bits, rle, 3, 7), QString());

    TargaSequence seq;
    QSignalSpy logs(&seq, SIGNAL(log(QString)));
    QSignalSpy msgs(&seq, SIGNAL(message(QString, int)));
    QVERIFY(seq.scan(dir));
    QCOMPARE(msgs.count(), 0);
    QCOMPARE(logs.count(), 2);
    QCOMPARE(logs.at(0).at(0).toString(), QString("Starting scan for Image Sequence..."));
    QCOMPARE(logs.at(1).at(0).toString(), QString("Scan Complete."));
    QCOMPARE(seq.prefix(), QString("shot_"));
    QCOMPARE(seq.digitCount(), 4);
    QCOMPARE(seq.firstFrame(), 7);
    QCOMPARE(seq.framesFound(), 3);
    QCOMPARE(seq.frameCount(), 3);
    QCOMPARE(seq.width(), width);
    QCOMPARE(seq.height(), height);
    QCOMPARE(seq.bitsPerPixel(), bits);
    QCOMPARE(seq.directory(), QDir(dir).absolutePath());
    QVERIFY(!seq.isSplit());
    QVERIFY(!seq.isRunning());
    QCOMPARE(seq.setFrameCount(2), 2);
    QCOMPARE(seq.frameCount(), 2);
    QCOMPARE(seq.framesFound(), 3);

    // A later scan starts afresh.
    QVERIFY(!seq.scan(makeDir("empty_after")));
    QCOMPARE(seq.frameCount(), -1);
}

void TestSequence::scanNames()
{
    {   // Files without a number are passed over.
        const QString dir = makeDir("names_skip");
        QVERIFY(QFile::copy(hdFrame, dir + "/a.tga"));
        QVERIFY(QFile::copy(hdFrame, dir + "/b.tga"));
        QVERIFY(QFile::copy(hdFrame, dir + "/frame0001.tga"));
        TargaSequence seq;
        QVERIFY(seq.scan(dir));
        QCOMPARE(seq.prefix(), QString("frame"));
        QCOMPARE(seq.digitCount(), 4);
        QCOMPARE(seq.framesFound(), 1);
    }
    {   // Gaps are not looked for.
        const QString dir = makeDir("names_gap");
        for (const char* n : {"frame0001.tga", "frame0002.tga", "frame0010.tga", "frame001.tga", "frameX0003.tga"})
            QVERIFY(QFile::copy(hdFrame, dir + "/" + n));
        TargaSequence seq;
        QVERIFY(seq.scan(dir));
        // Only names of exactly the deciding file's prefix and digit count count,
        // whichever file the listing gave first.
        const QString key = QString("%1/%2").arg(seq.prefix()).arg(seq.digitCount());
        if (key == "frame/4") {
            QCOMPARE(seq.framesFound(), 3);
            QCOMPARE(seq.firstFrame(), 1);
        } else if (key == "frame/3") {
            QCOMPARE(seq.framesFound(), 1);
            QCOMPARE(seq.firstFrame(), 1);
        } else {
            QCOMPARE(key, QString("frameX/4"));
            QCOMPARE(seq.framesFound(), 1);
            QCOMPARE(seq.firstFrame(), 3);
        }
    }
    {   // Upper-case names are found and opened by the name listed.
        const QString dir = makeDir("names_upper");
        QVERIFY(QFile::copy(hdFrame, dir + "/FRAME0001.TGA"));
        QVERIFY(QFile::copy(hdFrame, dir + "/FRAME0002.TGA"));
        TargaSequence seq;
        QVERIFY(seq.scan(dir));
        QCOMPARE(seq.prefix(), QString("FRAME"));
        QCOMPARE(seq.framesFound(), 2);
        TgaImage img;
        QVERIFY(seq.readFrame(2, nullptr, nullptr, false, true, &img));
        TgaFreeImage(&img);
    }
    {   // Decimal digits of other scripts count as digits.
        const QString dir = makeDir("names_unicode");
        QVERIFY(QFile::copy(hdFrame, dir + QString::fromUtf8("/clip\u0661\u0662.tga")));
        TargaSequence seq;
        QVERIFY(seq.scan(dir));
        QCOMPARE(seq.prefix(), QString("clip"));
        QCOMPARE(seq.digitCount(), 2);
        QCOMPARE(seq.firstFrame(), 12);
        TgaImage img;
        QVERIFY(seq.readFrame(12, nullptr, nullptr, false, true, &img));
        TgaFreeImage(&img);
    }
    {   // The base name ends at the first dot: shot_v2.0001.tga is frame 2 of "shot_v",
        // whose file shot_v2.tga does not exist.
        const QString dir = makeDir("names_dots");
        QVERIFY(QFile::copy(hdFrame, dir + "/shot_v2.0001.tga"));
        TargaSequence seq;
        QSignalSpy msgs(&seq, SIGNAL(message(QString, int)));
        QVERIFY(!seq.scan(dir));
        QCOMPARE(messages(msgs), QStringList{"Error getting targa properties..."});
        QVERIFY(QFile::copy(hdFrame, dir + "/shot_v2.tga"));
        QVERIFY(seq.scan(dir));
        QCOMPARE(seq.prefix(), QString("shot_v"));
        QCOMPARE(seq.digitCount(), 1);
        QCOMPARE(seq.firstFrame(), 2);
    }
}

void TestSequence::scanFailures_data()
{
    QTest::addColumn<QStringList>("files");  // name, or name=kind (odd size, truncated, text)
    QTest::addColumn<QString>("text");
    QTest::newRow("empty folder") << QStringList() << "No image sequence found.";
    QTest::newRow("other files only") << QStringList{"notes.txt"} << "No image sequence found.";
    QTest::newRow("no numbers") << QStringList{"a.tga", "b.tga"} << "Error getting starting frame...";
    QTest::newRow("1920x1200 first frame") << QStringList{"f0001.tga=1920x1200"} << "Error getting targa properties...";
    QTest::newRow("truncated first frame") << QStringList{"f0001.tga=truncated"} << "Error getting targa properties...";
    QTest::newRow("not a targa file") << QStringList{"f0001.tga=text"} << "Error getting targa properties...";
}

void TestSequence::scanFailures()
{
    QFETCH(QStringList, files);
    QFETCH(QString, text);
    static int n = 0;
    const QString dir = makeDir(QString("fail_%1").arg(n++));
    for (const QString& f : files) {
        const QString name = f.section('=', 0, 0), kind = f.section('=', 1);
        const QString path = dir + "/" + name;
        if (kind == "1920x1200") {
            QCOMPARE(ffmpegFrames(path, 1920, 1200, 24, true), QString());
        } else if (kind == "truncated") {
            QVERIFY(writeAll(path, readAll(hdFrame).left(5000)));
        } else if (kind == "text") {
            QVERIFY(writeAll(path, "hello"));
        } else {
            QVERIFY(QFile::copy(hdFrame, path));
        }
    }
    TargaSequence seq;
    QSignalSpy msgs(&seq, SIGNAL(message(QString, int)));
    QVERIFY(!seq.scan(dir));
    QCOMPARE(messages(msgs), QStringList{text});
    QCOMPARE(msgs.at(0).at(1).toInt(), 2);
    QCOMPARE(seq.frameCount(), -1);
    QCOMPARE(seq.prefix(), QString());
    QCOMPARE(seq.setFrameCount(5), -1);
}

void TestSequence::frameNames()
{
    const QString dir = makeDir("names_frames");
    for (const char* n : {"take_08.tga", "take_09.tga", "take_10.tga"})
        QVERIFY(QFile::copy(hdFrame, dir + "/" + n));
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    QCOMPARE(seq.firstFrame(), 8);
    QCOMPARE(seq.frameFileName(8), QString("take_08"));
    QCOMPARE(seq.frameFileName(11), QString("take_11"));   // first + found still has a name
    QCOMPARE(seq.frameFileName(12), QString());
    QCOMPARE(seq.frameFileName(7), QString());
    TgaImage img;
    QVERIFY(!seq.readFrame(11, nullptr, nullptr, false, true, &img));   // no such file
    QVERIFY(!img.pixels);
    QVERIFY(!seq.readFrame(12, nullptr, nullptr, false, true, &img));
}

void TestSequence::readFrameConvertsAndFlips()
{
    const int w = 1280, h = 720;
    const QString dir = makeDir("read32");
    const QString src = tmp.filePath("src32.tga");
    QCOMPARE(ffmpegFrames(src, w, h, 32, false), QString());
    const QByteArray bgra = ffmpegDecode(src, "bgra");
    QCOMPARE(bgra.size(), w * h * 4);
    QVERIFY(writeBottomUp(dir + "/r0001.tga", bgra, w, h, 32));

    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    QCOMPARE(seq.bitsPerPixel(), 32);

    TgaImage img;
    int fw = 0, fh = 0;
    uint8_t* px = seq.readFrame(1, &fw, &fh, true, true, &img);
    QVERIFY(px);
    QCOMPARE(fw, w);
    QCOMPARE(fh, h);
    QCOMPARE(int(img.pixelDepth), 24);
    QVERIFY(TgaIsTopDown(&img));
    QVERIFY(QByteArray(reinterpret_cast<char*>(px), w * h * 3) == dropAlpha(bgra));

    // Without the flip the rows stay bottom first; without 24 bits the alpha stays.
    px = seq.readFrame(1, nullptr, nullptr, false, false, &img);
    QVERIFY(px);
    QCOMPARE(int(img.pixelDepth), 32);
    QVERIFY(!TgaIsTopDown(&img));
    QVERIFY(pictureBytes(img) == bgra);
    TgaFreeImage(&img);
}

void TestSequence::readFrameUsesEachFramesOwnSizeAndOrder()
{
    const QString dir = makeDir("mixed");
    QVERIFY(QFile::copy(hdFrame, dir + "/m0001.tga"));
    const QString small = tmp.filePath("small32.tga");
    QCOMPARE(ffmpegFrames(small, 640, 360, 32, true), QString());
    const QByteArray smallBgra = ffmpegDecode(small, "bgra");
    QVERIFY(writeBottomUp(dir + "/m0002.tga", smallBgra, 640, 360, 32));
    QVERIFY(QFile::copy(small, dir + "/m0003.tga"));   // top-down, as ffmpeg writes

    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    QCOMPARE(seq.width(), 1280);
    TgaImage img;
    int fw = 0, fh = 0;
    for (int n : {2, 3}) {
        uint8_t* px = seq.readFrame(n, &fw, &fh, true, true, &img);
        QVERIFY(px);
        QCOMPARE(fw, 640);
        QCOMPARE(fh, 360);
        QVERIFY(QByteArray(reinterpret_cast<char*>(px), 640 * 360 * 3) == dropAlpha(smallBgra));
    }
    TgaFreeImage(&img);
}

void TestSequence::ratesAndSlotGroups()
{
    const float rates[] = {23.976f, 25.0f, 29.97f, 47.952f, 50.0f, 59.94f, 100.0f, 119.88f};
    for (int i = 0; i < 8; ++i)
        QCOMPARE(TargaSequence::frameRateForIndex(i), rates[i]);
    QCOMPARE(TargaSequence::frameRateForIndex(8), 59.94f);
    QCOMPARE(TargaSequence::frameRateForIndex(-1), 59.94f);

    const QString hdDir = makeDir("rates");
    QVERIFY(QFile::copy(hdFrame, hdDir + "/r01.tga"));
    TargaSequence hd;
    QVERIFY(hd.scan(hdDir));
    hd.setFrameRateIndex(9);
    QCOMPARE(hd.frameRateIndex(), 2);
    hd.setFrameRateIndex(6);
    QVERIFY(hd.isHighFrameRate());
    QCOMPARE(hd.slotCount(), 2);
    hd.setFrameRateIndex(5);
    QCOMPARE(hd.slotCount(), 1);

    const QString dir = makeDir("uhd");
    QCOMPARE(ffmpegFrames(dir + "/u%04d.tga", 4096, 2160, 24, true, 1), QString());
    TargaSequence uhd;
    QVERIFY(uhd.scan(dir));
    QVERIFY(uhd.isSplit());
    uhd.setFrameRateIndex(7);
    QCOMPARE(uhd.slotCount(), 8);
    uhd.setFrameRateIndex(5);
    QCOMPARE(uhd.slotCount(), 4);
    QCOMPARE(uhd.isHighFrameRate(), false);
}

void TestSequence::destinationsForSlot()
{
    TargaSequence seq;
    QVERIFY(seq.scan(tmp.filePath("uhd")));
    seq.setFrameRateIndex(5);
    // Destinations are kept even when a folder cannot be made: nothing starts then.
    QVERIFY(writeAll(tmp.filePath("blocker"), "x"));
    QList<SequenceDestination> list{{tmp.filePath("a"), 5, 0}, {tmp.filePath("b"), -1, 0},
                                    {tmp.filePath("blocker/c"), 1, 0}};
    QSignalSpy msgs(&seq, SIGNAL(message(QString, int)));
    seq.startConversion(list, 0);
    QCOMPARE(messages(msgs),
             QStringList{QString("Unable to create output directory %1.").arg(QDir::toNativeSeparators(tmp.filePath("blocker/c")))});
    QVERIFY(!seq.isRunning());
    QCOMPARE(seq.thread(), QThread::currentThread());

    const auto slot1 = seq.destinationsForSlot(1);
    QCOMPARE(slot1.size(), 2);
    QCOMPARE(slot1.at(0).path, tmp.filePath("a"));
    QCOMPARE(slot1.at(0).slot, 1);
    const auto whole = seq.destinationsForSlot(-1);
    QCOMPARE(whole.size(), 1);
    QCOMPARE(whole.at(0).path, tmp.filePath("b"));
    QVERIFY(seq.destinationsForSlot(5).isEmpty());
}

void TestSequence::notLoaded()
{
    TargaSequence seq;
    QCOMPARE(seq.frameCount(), -1);
    QCOMPARE(seq.framesFound(), -1);
    QCOMPARE(seq.firstFrame(), -1);
    QCOMPARE(seq.width(), -1);
    QCOMPARE(seq.height(), -1);
    QCOMPARE(seq.bitsPerPixel(), -1);
    QCOMPARE(seq.frameRateIndex(), -1);
    QCOMPARE(seq.digitCount(), 0);
    QCOMPARE(seq.prefix(), QString());
    QCOMPARE(seq.directory(), QString());
    QVERIFY(!seq.isSplit());
    QVERIFY(!seq.isRunning());
    QCOMPARE(seq.slotCount(), 1);
    QSignalSpy msgs(&seq, SIGNAL(message(QString, int)));
    seq.startConversion({{tmp.filePath("x"), -1, 0}}, 0);
    QCOMPARE(messages(msgs), QStringList{"Couldn't start sequence conversion. No sequence is currently loaded."});
}

QTEST_GUILESS_MAIN(TestSequence)
#include "tst_sequence.moc"
