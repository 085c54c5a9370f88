// Image-sequence conversion into real folders: whole frames, 4K quadrants,
// odd/even dealing, Targa and KRX outputs checked against ffmpeg's decoding,
// progress codes, failures, cancel, and the index of an exFAT player drive.
#include "targa/tgahelpers.h"
#include "clipfolder.h"
#include "conversionpool.h"
#include "framewriters.h"
#include "targasequence.h"
#include "volumeinfo.h"

#include "../drivefs/index/indexfixture.h"
#include "../drivefs/index/loopmount.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <functional>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

using namespace tgatest;

namespace {

// What a conversion reported, collected on the test's thread.
struct Report {
    QList<int> codes;
    QStringList messages;
    bool finished = false;
};

// Runs one conversion to its end: the sequence is back on this thread.
Report convert(TargaSequence& seq, const QList<SequenceDestination>& destinations, int format,
               std::function<void(int)> onWorker = nullptr)
{
    Report report;
    QObject context;
    QObject::connect(&seq, &TargaSequence::frameConverted, &context, [&](int c) { report.codes << c; },
                     Qt::QueuedConnection);
    QObject::connect(&seq, QOverload<QString, int>::of(&TargaSequence::message), &context,
                     [&](const QString& t, int) { report.messages << t; }, Qt::QueuedConnection);
    QMetaObject::Connection direct;
    if (onWorker)
        direct = QObject::connect(&seq, &TargaSequence::frameConverted, &seq, onWorker, Qt::DirectConnection);
    seq.startConversion(destinations, format);
    // The conversion has ended when the sequence is back on this thread.
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer timer;
    timer.start();
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (seq.thread() == QThread::currentThread() || timer.elapsed() > 300000)
            loop.quit();
    });
    poll.start(10);
    if (seq.thread() != QThread::currentThread())
        loop.exec();
    report.finished = seq.thread() == QThread::currentThread();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QObject::disconnect(direct);
    return report;
}

QByteArray ffmpegCrop(const QString& path, int x, int y, int w, int h)
{
    return ffmpegDecode(path, "bgr24", QString("crop=%1:%2:%3:%4").arg(w).arg(h).arg(x).arg(y));
}

quint32 u32(const QByteArray& data, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(data.constData() + offset));
}

// Checks a KRX file's header and padding and returns its pixels without the padding.
QByteArray krxPixels(const QByteArray& file, int width, int height, QString* problem)
{
    const quint32 e = quint32(qint64(width) * height * 3 / 15 * 16);
    const quint32 expected[11] = {0, 1, e + 512, quint32(width), quint32(height), 0, 0, 0, 2, 0, e};
    if (file.size() != int(e + 512)) {
        *problem = QString("length %1, expected %2").arg(file.size()).arg(e + 512);
        return {};
    }
    if (!file.startsWith("KRX_")) {
        *problem = "no KRX_ magic";
        return {};
    }
    for (int i = 1; i < 11; ++i) {
        if (u32(file, i * 4) != expected[i]) {
            *problem = QString("header value %1 is %2, expected %3").arg(i).arg(u32(file, i * 4)).arg(expected[i]);
            return {};
        }
    }
    if (file.mid(44, 468) != QByteArray(468, '\0')) {
        *problem = "bytes 44 to 511 are not zero";
        return {};
    }
    QByteArray out;
    out.reserve(int(e / 16 * 15));
    for (int g = 512; g < file.size(); g += 16) {
        if (file[g + 15] != '\0') {
            *problem = QString("padding byte at %1 is not zero").arg(g + 15);
            return {};
        }
        out.append(file.constData() + g, 15);
    }
    return out;
}

// Our decoding of a Targa file, top row first.
QByteArray codecPicture(const QString& path)
{
    TgaImage img;
    if (TgaReadPath(&img, QFile::encodeName(path).constData()) != TgaOk)
        return {};
    QByteArray out = pictureBytes(img);
    TgaFreeImage(&img);
    return out;
}

QStringList names(const QString& prefix, int digits, const QList<int>& numbers, const QString& ext)
{
    QStringList out;
    for (int n : numbers)
        out << prefix + QString::number(n).rightJustified(digits, '0') + ext;
    return out;
}

QList<int> range(int first, int last, int step = 1)
{
    QList<int> out;
    for (int i = first; i <= last; i += step)
        out << i;
    return out;
}

} // namespace

class TestConversion : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeFrames_data();
    void wholeFrames();
    void quadrants_data();
    void quadrants();
    void eightGroups();
    void dealing_data();
    void dealing();
    void eachFrameKeepsItsOwnSizeAndOrder();
    void smallerLaterFrameIn4K();
    void missingFrame();
    void writeFailure_data();
    void writeFailure();
    void cancelMidRun();
    void writerJobs();
    void poolOutlivesItsJobs();
    void refusedStarts();
    void indexesPlayerDrive();
    void framesStayInOneRunConversionAfterConversion();
    void framesThatDoNotMatchTheFirst_data();
    void framesThatDoNotMatchTheFirst();
    void secondWriterOfAClipFolderIsRefused();
    void framesAppearOnlyWhole();
    void replacedFramesNeverTheSource();
    void linksInASharedClipFolderAreNotFollowed();

private:
    QString seqDir(const QString& name) const { return tmp.filePath("src/" + name); }
    QString outDir(const QString& name) { return tmp.filePath("out/" + name); }

    QTemporaryDir tmp;
};

void TestConversion::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(tmp.isValid());
    for (const char* d : {"hd24", "hd32", "bottomup", "deal", "uhd"})
        QVERIFY(QDir().mkpath(seqDir(d)));
    QCOMPARE(ffmpegFrames(seqDir("hd24") + "/clip_%04d.tga", 1280, 720, 24, false, 3, 1), QString());
    QCOMPARE(ffmpegFrames(seqDir("hd32") + "/hd%03d.tga", 1920, 1080, 32, true, 3, 1), QString());
    QCOMPARE(ffmpegFrames(seqDir("deal") + "/d%04d.tga", 1280, 720, 24, true, 10, 10), QString());
    QCOMPARE(ffmpegFrames(seqDir("uhd") + "/u%04d.tga", 3840, 2160, 24, true, 2, 1), QString());
    // Bottom row first, as many other programs write them.
    for (int n = 1; n <= 3; ++n) {
        const QByteArray rows = ffmpegDecode(seqDir("hd24") + QString("/clip_%1.tga").arg(n, 4, 10, QChar('0')), "bgr24");
        QVERIFY(writeBottomUp(seqDir("bottomup") + QString("/bu%1.tga").arg(n + 4, 2, 10, QChar('0')), rows, 1280, 720));
    }
}

void TestConversion::wholeFrames_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("format");
    for (int format : {0, 1}) {
        const char* f = format ? "krx" : "tga";
        QTest::addRow("ffmpeg 24-bit raw to %s", f) << "hd24" << format;
        QTest::addRow("ffmpeg 32-bit rle to %s", f) << "hd32" << format;
        QTest::addRow("bottom-up 24-bit to %s", f) << "bottomup" << format;
    }
}

void TestConversion::wholeFrames()
{
    QFETCH(QString, source);
    QFETCH(int, format);
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir(source)));
    seq.setFrameRateIndex(5);
    const QString out = outDir(QString("whole_%1_%2").arg(source).arg(format)) + "/clip_f59_00001";
    const Report r = convert(seq, {{out, -1, 0}}, format);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes, (QList<int>{1, 2, 3, DestinationIndexing, DestinationCompleted}));
    // The flag stays set after a whole run: the batch window tells success from failure by it.
    QVERIFY(seq.isRunning());

    const QString ext = format ? ".krx" : ".tga";
    const int first = seq.firstFrame();
    QCOMPARE(filesIn(out), names(seq.prefix(), seq.digitCount(), range(first, first + 2), ext));
    const int w = seq.width(), h = seq.height();
    for (int n = first; n < first + 3; ++n) {
        const QString name = seq.prefix() + QString::number(n).rightJustified(seq.digitCount(), '0');
        const QByteArray expected = ffmpegDecode(seqDir(source) + "/" + name + ".tga", "bgr24");
        QCOMPARE(expected.size(), w * h * 3);
        const QByteArray file = readAll(out + "/" + name + ext);
        if (format == 0) {
            QCOMPARE(file.size(), 18 + w * h * 3 + 26);
            QCOMPARE(int(uint8_t(file[2])), 2);
            QCOMPARE(int(uint8_t(file[16])), 24);
            // The row order of the source stays.
            QCOMPARE(int(uint8_t(file[17])), source == "bottomup" ? 0 : 0x20);
            QVERIFY(file.endsWith(QByteArray("TRUEVISION-XFILE.\0", 18)));
            QVERIFY2(ffmpegDecode(out + "/" + name + ext, "bgr24") == expected, qPrintable(name));
        } else {
            QString problem;
            const QByteArray px = krxPixels(file, w, h, &problem);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY2(px == expected, qPrintable(name));
        }
    }
}

void TestConversion::quadrants_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("tga") << 0;
    QTest::newRow("krx") << 1;
}

void TestConversion::quadrants()
{
    QFETCH(int, format);
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("uhd")));
    QVERIFY(seq.isSplit());
    seq.setFrameRateIndex(5);
    QCOMPARE(seq.slotCount(), 4);
    QList<SequenceDestination> dests;
    for (int q = 0; q < 4; ++q)
        dests << SequenceDestination{outDir(QString("quad_%1/q%2").arg(format).arg(q)), q, 0};
    const Report r = convert(seq, dests, format);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes, (QList<int>{1, 2, DestinationIndexing, DestinationCompleted}));

    const QString ext = format ? ".krx" : ".tga";
    for (int q = 0; q < 4; ++q) {
        QCOMPARE(filesIn(dests[q].path), names("u", 4, {1, 2}, ext));
        for (int n : {1, 2}) {
            const QString name = QString("u%1").arg(n, 4, 10, QChar('0'));
            const QByteArray expected = ffmpegCrop(seqDir("uhd") + "/" + name + ".tga", (q % 2) * 1920, (q / 2) * 1080, 1920, 1080);
            QCOMPARE(expected.size(), 1920 * 1080 * 3);
            const QString file = dests[q].path + "/" + name + ext;
            if (format == 0) {
                QCOMPARE(QFileInfo(file).size(), qint64(18 + 1920 * 1080 * 3 + 26));
                QVERIFY2(ffmpegDecode(file, "bgr24") == expected, qPrintable(file));
            } else {
                QString problem;
                QVERIFY2(krxPixels(readAll(file), 1920, 1080, &problem) == expected, qPrintable(file + " " + problem));
            }
        }
    }
}

void TestConversion::eightGroups()
{
    // 4K at 100 frames per second: group q is quadrant q / 2 with the parity of q.
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("uhd")));
    seq.setFrameRateIndex(6);
    QCOMPARE(seq.slotCount(), 8);
    const QString g5 = outDir("eight/g5"), g2 = outDir("eight/g2");
    const Report r = convert(seq, {{g5, 5, 0}, {g2, 2, 0}}, 1);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes, (QList<int>{1, 2, DestinationIndexing, DestinationCompleted}));

    // Group 5: bottom-left quadrant of the odd frame 1, numbered 1 / 2 = 0.
    QCOMPARE(filesIn(g5), QStringList{"u0000.krx"});
    QString problem;
    QVERIFY(krxPixels(readAll(g5 + "/u0000.krx"), 1920, 1080, &problem)
            == ffmpegCrop(seqDir("uhd") + "/u0001.tga", 0, 1080, 1920, 1080));
    // Group 2: top-right quadrant of the even frame 2, numbered 1.
    QCOMPARE(filesIn(g2), QStringList{"u0001.krx"});
    QVERIFY(krxPixels(readAll(g2 + "/u0001.krx"), 1920, 1080, &problem)
            == ffmpegCrop(seqDir("uhd") + "/u0002.tga", 1920, 0, 1920, 1080));
}

void TestConversion::dealing_data()
{
    QTest::addColumn<int>("rateIndex");
    QTest::newRow("100") << 6;
    QTest::newRow("119.88") << 7;
}

void TestConversion::dealing()
{
    QFETCH(int, rateIndex);
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("deal")));
    QCOMPARE(seq.firstFrame(), 10);
    seq.setFrameRateIndex(rateIndex);
    QCOMPARE(seq.slotCount(), 2);
    const QString even = outDir(QString("deal%1/even").arg(rateIndex));
    const QString odd = outDir(QString("deal%1/odd").arg(rateIndex));
    const QString whole = outDir(QString("deal%1/whole").arg(rateIndex));
    const Report r = convert(seq, {{even, 0, 0}, {odd, 1, 0}, {whole, -1, 0}}, 0);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, DestinationIndexing, DestinationCompleted}));

    QCOMPARE(filesIn(even), names("d", 4, range(5, 9), ".tga"));
    QCOMPARE(filesIn(odd), names("d", 4, range(5, 9), ".tga"));
    QCOMPARE(filesIn(whole), names("d", 4, range(10, 19), ".tga"));
    QHash<int, QByteArray> source;
    for (int i = 10; i <= 19; ++i) {
        source[i] = codecPicture(seqDir("deal") + QString("/d%1.tga").arg(i, 4, 10, QChar('0')));
        QCOMPARE(source[i].size(), 1280 * 720 * 3);
    }
    for (int m = 5; m <= 9; ++m) {
        const QString name = QString("/d%1.tga").arg(m, 4, 10, QChar('0'));
        QVERIFY2(codecPicture(even + name) == source[2 * m], qPrintable(name));
        QVERIFY2(codecPicture(odd + name) == source[2 * m + 1], qPrintable(name));
    }
    for (int i = 10; i <= 19; ++i)
        QVERIFY(codecPicture(whole + QString("/d%1.tga").arg(i, 4, 10, QChar('0'))) == source[i]);
}

void TestConversion::eachFrameKeepsItsOwnSizeAndOrder()
{
    // Frame 1 bottom row first, frame 2 top row first, frame 3 run-length
    // encoded; all of the first frame's size and depth.
    const QString dir = seqDir("mixed");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(seqDir("bottomup") + "/bu05.tga", dir + "/m1.tga"));
    QVERIFY(QFile::copy(seqDir("hd24") + "/clip_0002.tga", dir + "/m2.tga"));
    QCOMPARE(ffmpegFrames(dir + "/m3.tga", 1280, 720, 24, true), QString());
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    seq.setFrameRateIndex(1);
    for (int format : {0, 1}) {
        const QString out = outDir(QString("mixed%1").arg(format));
        const Report r = convert(seq, {{out, -1, 0}}, format);
        QCOMPARE(r.messages, QStringList());
        QCOMPARE(r.codes, (QList<int>{1, 2, 3, DestinationIndexing, DestinationCompleted}));
        for (int n = 1; n <= 3; ++n) {
            const QByteArray expected = ffmpegDecode(dir + QString("/m%1.tga").arg(n), "bgr24");
            const int w = 1280, h = 720;
            QCOMPARE(expected.size(), w * h * 3);
            const QString file = out + QString("/m%1").arg(n) + (format ? ".krx" : ".tga");
            if (format == 0) {
                QVERIFY2(ffmpegDecode(file, "bgr24") == expected, qPrintable(file));
            } else {
                QString problem;
                QVERIFY2(krxPixels(readAll(file), w, h, &problem) == expected, qPrintable(file + " " + problem));
            }
        }
    }
}

void TestConversion::smallerLaterFrameIn4K()
{
    const QString dir = seqDir("uhdsmall");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(seqDir("uhd") + "/u0001.tga", dir + "/s01.tga"));
    QVERIFY(QFile::copy(seqDir("hd24") + "/clip_0001.tga", dir + "/s02.tga"));
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    QVERIFY(seq.isSplit());
    seq.setFrameRateIndex(5);
    QList<SequenceDestination> dests;
    for (int q = 0; q < 4; ++q)
        dests << SequenceDestination{outDir(QString("uhdsmall/q%1").arg(q)), q, 0};
    const Report r = convert(seq, dests, 0);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList{QString("Source frame %1 is 1280 x 720 at 24 bits per pixel, but the sequence's "
                                             "first frame is 3840 x 2160 at 24 bits per pixel.")
                                         .arg(QDir::toNativeSeparators(dir + "/s02.tga"))});
    QCOMPARE(r.codes, QList<int>{1});
    QVERIFY(!seq.isRunning());
    for (const auto& d : dests)
        QCOMPARE(filesIn(d.path), QStringList{"s01.tga"});
}

void TestConversion::missingFrame()
{
    const QString dir = seqDir("gap");
    QVERIFY(QDir().mkpath(dir));
    for (int n : {1, 2, 4})
        QVERIFY(QFile::copy(seqDir("hd24") + "/clip_0001.tga", dir + QString("/g%1.tga").arg(n)));
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    QCOMPARE(seq.framesFound(), 3);
    const QString out = outDir("gap");
    const Report r = convert(seq, {{out, -1, 0}}, 1);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList{"Unable to open source frame 3."});
    QCOMPARE(r.codes, (QList<int>{1, 2}));
    QCOMPARE(filesIn(out), (QStringList{"g1.krx", "g2.krx"}));
}

void TestConversion::writeFailure_data()
{
    quadrants_data();
}

void TestConversion::writeFailure()
{
    QFETCH(int, format);
    if (::geteuid() != 0 || !testutil::haveTool("mount"))
        QSKIP("missing: root and mount, for a small tmpfs that fills up");
    // Room for one 1280 x 720 frame file, not for two.
    QTemporaryDir small(QDir::tempPath() + "/qconv-full-XXXXXX");
    QVERIFY(small.isValid());
    auto m = testutil::run("mount", {"-t", "tmpfs", "-o", "size=4m", "tmpfs", small.path()});
    if (!m.ok())
        QSKIP(qPrintable("missing: a tmpfs mount (" + QString::fromLocal8Bit(m.err).trimmed() + ")"));
    struct Unmount {
        QString path;
        ~Unmount() { testutil::run("umount", {path}); }
    } unmount{small.path()};

    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("hd24")));
    const QString out = small.path() + "/clip_f59_00001";
    const Report r = convert(seq, {{out, -1, 0}}, format);
    QVERIFY(r.finished);
    const QString ext = format ? ".krx" : ".tga";
    QCOMPARE(r.messages, QStringList{QString("Unable to write to %1.").arg(QDir::toNativeSeparators(out + "/clip_0002" + ext))});
    // The frame that could not be written is neither counted nor left half-written.
    QCOMPARE(r.codes, QList<int>{1});
    QCOMPARE(filesIn(out), QStringList{"clip_0001" + ext});
    QVERIFY(!seq.isRunning());
}

void TestConversion::cancelMidRun()
{
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("deal")));
    seq.setFrameRateIndex(5);
    const QString out = outDir("cancel");
    // Cancel on the worker as soon as two frames are reported.
    const Report r = convert(seq, {{out, -1, 0}}, 1, [&seq](int c) {
        if (c == 2)
            seq.cancelConversion();
    });
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes, (QList<int>{1, 2}));
    QVERIFY(!seq.isRunning());
    // Only whole frames were written.
    QCOMPARE(filesIn(out), (QStringList{"d0010.krx", "d0011.krx"}));
    for (const QString& f : filesIn(out)) {
        QString problem;
        QVERIFY2(!krxPixels(readAll(out + "/" + f), 1280, 720, &problem).isEmpty(), qPrintable(problem));
    }
}

void TestConversion::writerJobs()
{
    // 7 x 3 pixels stored bottom row first: 63 bytes, so rows split groups and
    // the last 3 bytes make no whole group.
    QByteArray topDown;
    for (int i = 0; i < 63; ++i)
        topDown += char(i + 1);
    QByteArray stored;
    for (int r = 2; r >= 0; --r)
        stored += topDown.mid(r * 21, 21);
    const QString krx = tmp.filePath("small.krx"), tga = tmp.filePath("small.tga");
    KRXWriter k(krx, stored.constData(), 7, 3, 24, nullptr, false);
    k.run();
    const QByteArray file = readAll(krx);
    QCOMPARE(file.size(), 512 + 64);
    QCOMPARE(u32(file, 8), 576u);
    QCOMPARE(u32(file, 40), 64u);
    QByteArray expected;
    for (int g = 0; g < 4; ++g)
        expected += topDown.mid(g * 15, 15) + QByteArray(1, '\0');
    QCOMPARE(file.mid(512), expected);

    TargaWriter t(tga, stored.constData(), 7, 3, 24, nullptr, false);
    t.run();
    const QByteArray tfile = readAll(tga);
    QCOMPARE(tfile.size(), 18 + 63 + 26);
    QCOMPARE(int(tfile[17]), 0);
    QCOMPARE(tfile.mid(18, 63), stored);

    // A file that cannot be made is reported without an owner to tell.
    TargaWriter bad(tmp.filePath("no/such/dir/x.tga"), stored.constData(), 7, 3, 24, nullptr, true);
    bad.run();
    QVERIFY(!QFileInfo::exists(tmp.filePath("no/such/dir/x.tga")));

    // Without pixels nothing is written, in either format.
    const QString none = tmp.filePath("none");
    TargaWriter noTga(none + ".tga", nullptr, 7, 3, 24, nullptr, true);
    noTga.run();
    KRXWriter noKrx(none + ".krx", nullptr, 7, 3, 24, nullptr, true);
    noKrx.run();
    QVERIFY(!QFileInfo::exists(none + ".tga"));
    QVERIFY(!QFileInfo::exists(none + ".krx"));
}

void TestConversion::poolOutlivesItsJobs()
{
    // A process that queues writer jobs and leaves main at once still ends
    // with every file whole: the pool goes only after its last job.
    const QString dir = tmp.filePath("exit");
    QVERIFY(QDir().mkpath(dir));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVEL_POOL_EXIT_DIR", dir);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(120000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    for (int k = 0; k < 8; ++k) {
        const QByteArray file = readAll(dir + QString("/f%1.krx").arg(k));
        QCOMPARE(file.size(), 512 + 6635520);
        QCOMPARE(file.right(16), QByteArray(15, char('a' + k)) + QByteArray(1, '\0'));
    }
}

void TestConversion::refusedStarts()
{
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("hd24")));
    Report r = convert(seq, {{outDir("refused"), -1, 0}}, 2);
    QCOMPARE(r.messages, QStringList{"Couldn't start sequence conversion. An invalid output format was specified."});
    QVERIFY(r.codes.isEmpty());
    QVERIFY(!QFileInfo::exists(outDir("refused")));
    r = convert(seq, {}, 0);
    QCOMPARE(r.messages, QStringList{"Couldn't start sequence conversion. No destination directory was specified."});

    // A second start while the first conversion runs changes nothing.
    {
        const QString first = outDir("running/first"), second = outDir("running/second");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("still running"));
        QObject context;
        QList<int> codes;
        QObject::connect(&seq, &TargaSequence::frameConverted, &context, [&](int c) { codes << c; });
        seq.startConversion({{first, -1, 0}}, 0);
        QVERIFY(seq.thread() != QThread::currentThread());
        seq.startConversion({{second, -1, 0}}, 1);
        QTRY_VERIFY_WITH_TIMEOUT(seq.thread() == QThread::currentThread(), 60000);
        QTRY_COMPARE(codes, (QList<int>{1, 2, 3, DestinationIndexing, DestinationCompleted}));
        QCOMPARE(filesIn(first), (QStringList{"clip_0001.tga", "clip_0002.tga", "clip_0003.tga"}));
        QVERIFY(!QFileInfo::exists(second));
    }

    // A sequence that is someone's child cannot move to a worker thread.
    QObject parent;
    auto* child = new TargaSequence(&parent);
    QVERIFY(child->scan(seqDir("hd24")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("has a parent"));
    r = convert(*child, {{outDir("child"), -1, 0}}, 0);
    QVERIFY(r.codes.isEmpty());
    QCOMPARE(child->thread(), QThread::currentThread());
    QVERIFY(!QFileInfo::exists(outDir("child")));
}

void TestConversion::indexesPlayerDrive()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("missing: " + missing));
    if (!QFileInfo::exists("/usr/bin/python3"))
        QSKIP("missing: /usr/bin/python3 for the index checker");

    const QString image = tmp.filePath("player.img");
    QString error;
    QByteArray index;
    {
        LoopMount drive;
        const QString label = LoopMount::uniqueLabel("T9PW", "_1");
        QVERIFY2(drive.create(image, 64 << 20, label, &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QCOMPARE(VolumeInfo(root).name(), label);

        // A second destination on a volume that is no player drive is not indexed.
        const QString plain = outDir("plain/clip_f59_00001");
        const QString plainIndex = VolumeInfo(tmp.path()).rootPath() + "index.dat";
        const bool plainIndexBefore = QFileInfo::exists(plainIndex);

        TargaSequence seq;
        QVERIFY(seq.scan(seqDir("hd24")));
        seq.setFrameRateIndex(5);
        const QString clip = root + "clip_f59_00001";
        const Report r = convert(seq, {{clip, -1, 0}, {plain, -1, 0}}, 1);
        QVERIFY(r.finished);
        QCOMPARE(r.messages, QStringList());
        QCOMPARE(r.codes, (QList<int>{1, 2, 3, DestinationIndexing, DestinationCompleted}));
        QCOMPARE(filesIn(clip), (QStringList{"clip_0001.krx", "clip_0002.krx", "clip_0003.krx"}));
        QCOMPARE(QFileInfo::exists(plainIndex), plainIndexBefore);
        index = readAll(root + "index.dat");
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }
    // Frames 1 to 3 of clip 1: entries 0 to 3.
    QCOMPARE(index.size(), 687960 + 8 * 4);
    QCOMPARE(u32(index, 0), 0x00D00DADu);
    QCOMPARE(u32(index, 4), 2u);
    QCOMPARE(u32(index, 16 + 56 * 1 + 8), 2u);     // clip 1: KRX frames
    const QString report = indexfixture::check(image, index, tmp.filePath("index.dat"));
    QVERIFY2(report.isEmpty(), qPrintable(report));
}

// Frames written side by side onto an exFAT player drive (exfat-fuse), in a
// first, second and third conversion onto a drive that already holds clips
// and an index: each frame is one run of clusters, so the index builds and a
// player reading from each indexed sector reads the whole frame.
void TestConversion::framesStayInOneRunConversionAfterConversion()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("missing: " + missing));
    if (!QFileInfo::exists("/usr/bin/python3"))
        QSKIP("missing: /usr/bin/python3 for the index checker");

    const QString image = tmp.filePath("runs.img");
    QByteArray index;
    {
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 256 << 20, LoopMount::uniqueLabel("T9PW", "_2"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        for (int run = 0; run < 3; ++run) {
            for (int format : {1, 0}) {
                TargaSequence seq;
                QVERIFY(seq.scan(seqDir("hd24")));
                seq.setFrameRateIndex(1);
                QList<SequenceDestination> destinations;
                for (int d = 0; d < 3; ++d)
                    destinations << SequenceDestination{root + QString("run%1_%2_f25_%3").arg(run).arg(format).arg(
                                                           run * 10 + format * 3 + d + 1, 5, 10, QChar('0')),
                                                       -1, 0};
                QStringList notIndexed;
                connect(&seq, &TargaSequence::drivesNotIndexed, this,
                        [&notIndexed](const QStringList& reports) { notIndexed << reports; });
                const Report r = convert(seq, destinations, format);
                QVERIFY(r.finished);
                QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('\n')));
                QVERIFY2(notIndexed.isEmpty(), qPrintable(notIndexed.join('\n')));
                QCOMPARE(r.codes.last(), int(DestinationCompleted));
            }
        }
        index = readAll(root + "index.dat");
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }
    const QString report = indexfixture::check(image, index, tmp.filePath("runs-index.dat"));
    QVERIFY2(report.isEmpty(), qPrintable(report));
}

void TestConversion::framesThatDoNotMatchTheFirst_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("laterWidth");
    QTest::addColumn<int>("laterHeight");
    QTest::addColumn<int>("laterBits");
    QTest::addColumn<int>("format");
    QTest::newRow("1920x1200 in a 1080 clip, KRX") << 1920 << 1080 << 24 << 1920 << 1200 << 24 << 1;
    QTest::newRow("4096 wide in a 3840 clip, Targa") << 3840 << 2160 << 24 << 4096 << 2160 << 24 << 0;
    QTest::newRow("32-bit in a 24-bit clip, Targa") << 1280 << 720 << 24 << 1280 << 720 << 32 << 0;
}

// Each frame must be what the first frame was: a different one ends the
// conversion as failed, naming the file and both sizes; earlier files stay whole.
void TestConversion::framesThatDoNotMatchTheFirst()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bits);
    QFETCH(int, laterWidth);
    QFETCH(int, laterHeight);
    QFETCH(int, laterBits);
    QFETCH(int, format);
    const QString dir = seqDir(QString("unlike%1").arg(QTest::currentDataTag()).remove(' '));
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(ffmpegFrames(dir + "/f%02d.tga", width, height, bits, false, 2, 1), QString());
    QCOMPARE(ffmpegFrames(dir + "/f03.tga", laterWidth, laterHeight, laterBits, false), QString());
    QCOMPARE(ffmpegFrames(dir + "/f04.tga", width, height, bits, false), QString());
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    seq.setFrameRateIndex(5);
    QList<SequenceDestination> dests;
    if (seq.isSplit()) {
        for (int q = 0; q < 4; ++q)
            dests << SequenceDestination{outDir(QString("%1/q%2").arg(QFileInfo(dir).fileName()).arg(q)), q, 0};
    } else {
        dests << SequenceDestination{outDir(QFileInfo(dir).fileName()), -1, 0};
    }
    const Report r = convert(seq, dests, format);
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList{QString("Source frame %1 is %2 x %3 at %4 bits per pixel, but the sequence's "
                                             "first frame is %5 x %6 at %7 bits per pixel.")
                                         .arg(QDir::toNativeSeparators(dir + "/f03.tga"))
                                         .arg(laterWidth)
                                         .arg(laterHeight)
                                         .arg(laterBits)
                                         .arg(width)
                                         .arg(height)
                                         .arg(bits)});
    QCOMPARE(r.codes, (QList<int>{1, 2}));
    QVERIFY(!seq.isRunning());
    const QString ext = format ? ".krx" : ".tga";
    const int w = seq.isSplit() ? width / 2 : width, h = seq.isSplit() ? height / 2 : height;
    const qint64 size = format ? 512 + qint64(w) * h * 3 / 15 * 16 : 18 + qint64(w) * h * 3 + 26;
    for (const SequenceDestination& d : dests) {
        QCOMPARE(filesIn(d.path), (QStringList{"f01" + ext, "f02" + ext}));
        for (const QString& f : filesIn(d.path))
            QCOMPARE(QFileInfo(d.path + "/" + f).size(), size);
    }
}

// Two conversions into one clip folder would mix their frames: the second is
// refused there at once, writes nothing there, and goes on elsewhere.
void TestConversion::secondWriterOfAClipFolderIsRefused()
{
    const QString shared = outDir("locked/clip_f59_00001");
    const QString other = outDir("locked/other_f59_00001");
    TargaSequence first;
    QVERIFY(first.scan(seqDir("hd24")));
    first.setFrameRateIndex(5);
    auto gate = std::make_shared<QSemaphore>();
    auto reached = std::make_shared<QAtomicInt>(0);
    QObject::connect(
        &first, &TargaSequence::frameConverted, &first,
        [gate, reached](int c) {
            if (c == 1) {
                *reached = 1;
                gate->acquire();
            }
        },
        Qt::DirectConnection);
    first.startConversion({{shared, -1, 0}}, 0);
    QTRY_VERIFY_WITH_TIMEOUT(reached->loadAcquire() == 1, 60000);

    TargaSequence second;
    QVERIFY(second.scan(seqDir("deal")));
    second.setFrameRateIndex(5);
    QSignalSpy failed(&second, &TargaSequence::destinationFailed);
    Report r = convert(second, {{shared, -1, 0}, {other, -1, 0}}, 1);
    gate->release();
    QVERIFY(r.finished);
    QCOMPARE(r.messages, QStringList{QDir::toNativeSeparators(shared) + " is being written by another Quorvel."});
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toInt(), 0);
    QCOMPARE(r.codes.last(), int(DestinationCompleted));
    QCOMPARE(filesIn(other).size(), 10);

    QTRY_VERIFY_WITH_TIMEOUT(first.thread() == QThread::currentThread(), 60000);
    QCOMPARE(filesIn(shared), (QStringList{"clip_0001.tga", "clip_0002.tga", "clip_0003.tga"}));

    // The lock goes with the run: the folder can be written again.
    r = convert(second, {{shared, -1, 0}}, 1);
    QCOMPARE(r.messages, QStringList());
    QCOMPARE(r.codes.last(), int(DestinationCompleted));

    // Refused everywhere: nothing starts.
    QFile::remove(shared + "/clip_0001.tga");
    ClipFolderLock holder;
    QVERIFY(holder.acquire(shared));
    QSignalSpy failedAgain(&first, &TargaSequence::destinationFailed);
    r = convert(first, {{shared, -1, 0}}, 0);
    QCOMPARE(r.messages, QStringList{QDir::toNativeSeparators(shared) + " is being written by another Quorvel."});
    QCOMPARE(failedAgain.count(), 1);
    QVERIFY(r.codes.isEmpty());
    QVERIFY(!QFileInfo::exists(shared + "/clip_0001.tga"));
}

// Every frame file shows up under its name only when it is whole: it is made
// under another name and renamed, so a process killed mid-file leaves no cut
// frame for the drive index. The unfinished name is never one of a frame.
void TestConversion::framesAppearOnlyWhole()
{
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("hd24")));
    seq.setFrameRateIndex(5);
    for (int format : {0, 1}) {
        const QString out = outDir(QString("whole%1").arg(format));
        QVERIFY(QDir().mkpath(out));
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(fd >= 0);
        QVERIFY(inotify_add_watch(fd, QFile::encodeName(out).constData(), IN_CREATE | IN_MOVED_TO) >= 0);
        const Report r = convert(seq, {{out, -1, 0}}, format);
        QCOMPARE(r.codes.last(), int(DestinationCompleted));
        QStringList created, moved;
        alignas(struct inotify_event) char buffer[64 * 1024];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                auto* e = reinterpret_cast<struct inotify_event*>(p);
                const QString name = QFile::decodeName(e->name);
                (e->mask & IN_CREATE ? created : moved) << name;
                p += sizeof(struct inotify_event) + e->len;
            }
        }
        ::close(fd);
        const QString ext = format ? ".krx" : ".tga";
        const QStringList frames{"clip_0001" + ext, "clip_0002" + ext, "clip_0003" + ext};
        for (const QString& name : created) {
            QVERIFY2(!frames.contains(name), qPrintable(name + " was made under its frame name"));
            QVERIFY2(!name.endsWith(".tga") && !name.endsWith(".krx"), qPrintable(name));
        }
        QCOMPARE(created.size(), 3);
        moved.sort();
        QCOMPARE(moved, frames);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden, QDir::Name), frames);
    }
}

// Replacing the frames of an earlier run clears the clip folder's frame
// files and nothing else, and never those of the sequence being read.
void TestConversion::replacedFramesNeverTheSource()
{
    const QString dir = seqDir("replace");
    QVERIFY(QDir().mkpath(dir));
    for (int n = 1; n <= 3; ++n)
        QVERIFY(QFile::copy(seqDir("hd24") + QString("/clip_%1.tga").arg(n, 4, 10, QChar('0')),
                            dir + QString("/r%1.tga").arg(n)));
    const QStringList sources = folderSnapshot(dir);
    const QString out = outDir("replace");
    QVERIFY(QDir().mkpath(out + "/sub.tga"));
    for (const char* name : {"r9.tga", "old.KRX", ".r5.krx.part", "notes.txt"})
        QVERIFY(writeAll(out + "/" + QLatin1String(name), "earlier"));
    TargaSequence seq;
    QVERIFY(seq.scan(dir));
    seq.setFrameRateIndex(1);
    Report r = convert(seq, {{out, -1, 0}}, 1);
    QCOMPARE(r.codes.last(), int(DestinationCompleted));
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
             (QStringList{".r5.krx.part", "notes.txt", "old.KRX", "r1.krx", "r2.krx", "r3.krx", "r9.tga", "sub.tga"}));

    QObject context;
    QObject::connect(&seq, &TargaSequence::frameConverted, &context, [&](int c) { r.codes << c; });
    r.codes.clear();
    seq.startConversion({{out, -1, 0}, {dir, -1, 0}}, 1, true);
    QTRY_VERIFY_WITH_TIMEOUT(seq.thread() == QThread::currentThread(), 60000);
    QTRY_COMPARE(r.codes.last(), int(DestinationCompleted));
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
             (QStringList{"notes.txt", "r1.krx", "r2.krx", "r3.krx", "sub.tga"}));
    QCOMPARE(folderSnapshot(dir).filter(".tga "), sources);
}

// In a clip folder everybody may write, another user's links at the names
// frames were once written under, or at the clip folder's own name, are
// never written through.
void TestConversion::linksInASharedClipFolderAreNotFollowed()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user places the links");
    if (!testutil::haveTool("setpriv"))
        QSKIP("missing tool: setpriv");
    QTemporaryDir top;
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    const QString shared = top.filePath("clip");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const QString victim = top.filePath("victim.txt");
    QVERIFY(writeAll(victim, "the operator's own notes"));
    auto asNobody = [](const QString& command) {
        return testutil::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
    };
    for (const char* name : {".clip_0001.tga.part", ".clip_0002.tga.part", ".clip_0003.tga.part"})
        QVERIFY(asNobody("ln -s '" + victim + "' '" + shared + "/" + name + "'").ok());
    TargaSequence seq;
    QVERIFY(seq.scan(seqDir("hd24")));
    seq.setFrameRateIndex(5);
    Report r = convert(seq, {{shared, -1, 0}}, 0);
    QCOMPARE(r.codes.last(), int(DestinationCompleted));
    QCOMPARE(readAll(victim), QByteArray("the operator's own notes"));
    for (const char* frame : {"clip_0001.tga", "clip_0002.tga", "clip_0003.tga"}) {
        const QFileInfo written(shared + "/" + frame);
        QVERIFY2(written.isFile() && !written.isSymLink(), frame);
        QCOMPARE(codecPicture(written.filePath()), codecPicture(seqDir("hd24") + "/" + frame));
    }

    // A link placed at the clip folder's name leads nowhere the operator did not choose.
    const QString elsewhere = top.filePath("elsewhere");
    QVERIFY(QDir().mkdir(elsewhere));
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0777), 0);
    QVERIFY(asNobody("ln -s '" + elsewhere + "' '" + top.filePath("linked") + "'").ok());
    r = convert(seq, {{top.filePath("linked"), -1, 0}}, 0);
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(r.messages.size(), 1);
}

// The child of poolOutlivesItsJobs: queue the jobs and return from main.
static int queueAndLeave(int argc, char** argv, const QString& dir)
{
    QCoreApplication app(argc, argv);
    for (int k = 0; k < 8; ++k) {
        const QByteArray pixels(1920 * 1080 * 3, char('a' + k));
        conversionThreadPool()->start(
            new KRXWriter(dir + QString("/f%1.krx").arg(k), pixels.constData(), 1920, 1080, 24, nullptr, true));
    }
    return 0;
}

int main(int argc, char** argv)
{
    const QString exitDir = QString::fromLocal8Bit(qgetenv("QUORVEL_POOL_EXIT_DIR"));
    if (!exitDir.isEmpty())
        return queueAndLeave(argc, argv, exitDir);
    QCoreApplication app(argc, argv);
    TestConversion test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_conversion.moc"
