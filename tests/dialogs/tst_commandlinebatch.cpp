// The command-line batch run of the (never shown) batch window: the exact
// bytes of its summary, destination lines, quadrant box, "+" ruler and end
// texts for a 1080 and a 4K source, the second run's "not empty" error with
// nothing changed, force, silent runs, total frames, its errors, messages
// printed while the ruler row is open, and whether it tells its caller that
// every destination ended "Done.".
#include "../engine/targa/tgahelpers.h"
#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "batchtest.h"
#include "commandlinebatchjob.h"
#include "reporters.h"
#include "reporting.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

using namespace tgatest;
using batchtest::Modal;
using batchtest::StdoutCapture;

namespace {

const int k25 = 1, k5994 = 5, k100 = 6;

const QByteArray kRuler = QByteArray(50, '-');
const QByteArray kPluses = QByteArray(50, '+');

CommandLineBatchJob job(const QString& source, const QStringList& destinations, const QStringList& slotTexts,
                        const QStringList& volumes, int rate)
{
    CommandLineBatchJob j;
    j.sources = QStringList{source};
    j.destinations = destinations;
    j.destinationSlots = slotTexts;
    j.volumeNames = volumes;
    j.inputFrameRate = rate;
    return j;
}

struct Run {
    bool done = false;
    QByteArray out;
};

// One command-line run in a window of its own, as the command-line mode makes it.
Run run(const CommandLineBatchJob& j, int outputType = 0)
{
    BatchConvertWindow window(outputType, nullptr);
    StdoutCapture capture;
    Run r;
    r.done = window.startCommandLineBatch(j);
    r.out = capture.stop();
    return r;
}

} // namespace

class TestCommandLineBatch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fullHdRunBytes();
    void secondRunNotEmptyThenForce();
    void uhdQuadrantsBytes();
    void volumeLabelsAndShortDestinations();
    void totalFrames_data();
    void totalFrames();
    void rulerShowsWhileRunning();
    void highRateTakesBothParities();
    void silentRuns();
    void kindOfSlotAgainstSource();
    void jobErrors();
    void conversionErrorEndsWithError();
    void errorLineAmidTheRuler();
    void messagesPrintedNotBoxed();
    void cleanupTestCase();

private:
    QString summary1080(const QString& source, int total, const char* force = "Disabled",
                        const char* rate = "25.00");

    QTemporaryDir m_tmp;
    QString m_hd;        // "hd take3": take0001..0010, 1920 x 1080
    QString m_uhd;       // "city take7": city0001..0002, 3840 x 2160
    QString m_noFrames;
    QString m_dest;      // ".../frames for the show" (its last 20 characters are known)
};

void TestCommandLineBatch::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(m_tmp.isValid());
    m_hd = m_tmp.filePath("hd take3");
    m_uhd = m_tmp.filePath("city take7");
    m_noFrames = m_tmp.filePath("empty");
    for (const QString& d : {m_hd, m_uhd, m_noFrames})
        QVERIFY(QDir().mkpath(d));
    QCOMPARE(ffmpegFrames(m_hd + "/take%04d.tga", 1920, 1080, 24, false, 10), QString());
    QCOMPARE(ffmpegFrames(m_uhd + "/city%04d.tga", 3840, 2160, 24, true, 2), QString());
    installBoxReporter();   // the windowed program's boxes
}

void TestCommandLineBatch::init()
{
    m_dest = m_tmp.filePath(QString("%1 %2/frames for the show")
                                .arg(QTest::currentTestFunction(), QString::fromUtf8(QTest::currentDataTag())));
    QVERIFY(QDir().mkpath(m_dest));
    // Relative destinations lie in the test's working folder.
    for (const QString d : {"q1", "quadrant two", "3", "Q4 out"}) {
        QDir(d).removeRecursively();
        QVERIFY(QDir().mkpath(d));
    }
}

QString TestCommandLineBatch::summary1080(const QString& source, int total, const char* force, const char* rate)
{
    return "Source directory:\t\t" + source + "/\r\n"
        + "Source framerate:\t\t" + rate + "\r\n"
        + "Source information:\t\t(1080) 1920x1080\r\n"
        + "Destination output type:\tTGA\r\n"
        + "Destination framerate:\t\t59.94\r\n"
        + "Frames to process:\t\t" + QString::number(total) + " [out of 10]\r\n"
        + "Force overwrite:\t\t" + force + "\r\n";
}

void TestCommandLineBatch::fullHdRunBytes()
{
    Modal modal;
    const Run r = run(job(m_hd, {m_dest}, {"0"}, {""}, k25));
    QVERIFY(r.done);
    const QString expected = summary1080(m_hd, 10)
        + "Destination:\t\t\tframes for the show/\tFULL (1080)\r\n"
        + "\r\n"
        + "Total to process:\t|" + kRuler + "| 10 frames\r\n"
        + "Processing:\t\t|" + kPluses + "| 10 frames\r\n"
        + "Indexing Drives...\r\n"
        + "Done.\r\n";
    QCOMPARE(QString::fromUtf8(r.out), expected);
    QVERIFY(modal.boxes.isEmpty());
    QVERIFY2(batchtest::capturedLog().isEmpty(), qPrintable(batchtest::capturedLog().join("\n")));

    const QString clip = m_dest + "/take_f25_00003";
    QCOMPARE(filesIn(clip).size(), 10);
    for (int n = 1; n <= 10; ++n) {
        const QString name = QString("/take%1.tga").arg(n, 4, 10, QChar('0'));
        const QByteArray written = ffmpegDecode(clip + name, "bgr24");
        QVERIFY(!written.isEmpty());
        QVERIFY2(written == ffmpegDecode(m_hd + name, "bgr24"), qPrintable(name));
    }
}

void TestCommandLineBatch::secondRunNotEmptyThenForce()
{
    const CommandLineBatchJob first = job(m_hd, {m_dest}, {"0"}, {""}, k25);
    QVERIFY(run(first).done);
    const QString clip = m_dest + "/take_f25_00003";
    const QStringList before = folderSnapshot(clip);
    QCOMPARE(before.size(), 10);

    // A rewrite would show in the modification times: the clock passes the last one first.
    QDateTime last;
    for (const QFileInfo& file : QDir(clip).entryInfoList(QDir::Files))
        last = qMax(last, file.lastModified());
    QTRY_VERIFY(QDateTime::currentDateTime() > last.addMSecs(20));
    const Run again = run(first);
    QVERIFY(!again.done);
    const QString expected = summary1080(m_hd, 10)
        + "Destination:\t\t\tframes for the show/\tFULL (1080)\r\n"
        + "\r\n"
        + "Total to process:\t|" + kRuler + "| 10 frames\r\n"
        + "Processing:\t\t|"
        + "\nERROR: Output directory '" + m_dest + "/take_f25_00003' is not empty!  Please delete the directory "
          "or use force overwrite option.\r\n";
    QCOMPARE(QString::fromUtf8(again.out), expected);
    QCOMPARE(folderSnapshot(clip), before);

    // A clip folder holding any frame file counts as not empty: here one of
    // a longer earlier run, in the other format.
    const QString other = m_tmp.filePath("other root");
    QVERIFY(QDir().mkpath(other + "/take_f25_00003"));
    QVERIFY(writeAll(other + "/take_f25_00003/take0042.krx", "x"));
    CommandLineBatchJob silentJob = job(m_hd, {other}, {"0"}, {""}, k25);
    silentJob.silent = true;
    const Run stale = run(silentJob);
    QVERIFY(!stale.done);
    QCOMPARE(QString::fromUtf8(stale.out), "\nERROR: Output directory '" + other
                 + "/take_f25_00003' is not empty!  Please delete the directory or use force overwrite option.\r\n");
    QCOMPARE(filesIn(other + "/take_f25_00003"), QStringList{"take0042.krx"});

    // With force: written again, the damaged frame whole once more.
    QVERIFY(writeAll(clip + "/take0004.tga", "damaged"));
    CommandLineBatchJob forced = first;
    forced.force = true;
    const Run rewritten = run(forced);
    QVERIFY(rewritten.done);
    QVERIFY(rewritten.out.startsWith(summary1080(m_hd, 10, "Enabled").toUtf8()));
    QVERIFY(rewritten.out.endsWith("Done.\r\n"));
    QCOMPARE(QFileInfo(clip + "/take0004.tga").size(), qint64(6220844));
    QCOMPARE(ffmpegDecode(clip + "/take0004.tga", "bgr24"), ffmpegDecode(m_hd + "/take0004.tga", "bgr24"));
    QVERIFY(folderSnapshot(clip) != before);
}

void TestCommandLineBatch::uhdQuadrantsBytes()
{
    const Run r = run(job(m_uhd, {"q1", "quadrant two", "3", "Q4 out"}, {"1", "2", "3", "4"}, {"", "", "", ""},
                          k5994));
    QVERIFY(r.done);
    const QString expected = "Source directory:\t\t" + m_uhd + "/\r\n"
        + "Source framerate:\t\t59.94\r\n"
        + "Source information:\t\t(4K) 3840x2160\r\n"
        + "Destination output type:\tTGA\r\n"
        + "Destination framerate:\t\t59.94\r\n"
        + "Frames to process:\t\t2 [out of 2]\r\n"
        + "Force overwrite:\t\tDisabled\r\n"
        + "Destination:\t\t\tq1/                 \tQUAD:1 (1080)\r\n"
        + "Destination:\t\t\tquadrant two/       \tQUAD:2 (1080)\r\n"
        + "Destination:\t\t\t3/                  \tQUAD:3 (1080)\r\n"
        + "Destination:\t\t\tQ4 out/             \tQUAD:4 (1080)\r\n"
        + "\r\n"
        + "   Quadrants Mapping  \r\n"
        + "  ___________________ \r\n"
        + " |1        |2        |\r\n"
        + " |   q1/   | .. two/ |\r\n"
        + " |_________|_________|\r\n"
        + " |3        |4        |\r\n"
        + " |   3/    | .. out/ |\r\n"
        + " |_________|_________|\r\n"
        + "\r\n"
        + "Total to process:\t|" + kRuler + "| 2 frames\r\n"
        + "Processing:\t\t|" + kPluses + "| 2 frames\r\n"
        + "Indexing Drives...\r\n"
        + "Done.\r\n";
    QCOMPARE(QString::fromUtf8(r.out), expected);

    // Quadrant d went to destination d: top left, top right, bottom left, bottom right.
    const QStringList folders{"q1", "quadrant two", "3", "Q4 out"};
    const QStringList crops{"crop=1920:1080:0:0", "crop=1920:1080:1920:0", "crop=1920:1080:0:1080",
                            "crop=1920:1080:1920:1080"};
    for (int q = 0; q < 4; ++q) {
        const QString clip = folders[q] + "/city_f59_00007";
        QCOMPARE(filesIn(clip), (QStringList{"city0001.tga", "city0002.tga"}));
        for (const QString& f : filesIn(clip))
            QVERIFY2(ffmpegDecode(clip + "/" + f, "bgr24") == ffmpegDecode(m_uhd + "/" + f, "bgr24", crops[q]),
                     qPrintable(clip + "/" + f));
    }
}

void TestCommandLineBatch::volumeLabelsAndShortDestinations()
{
    // A volume name prints in brackets; quadrants in any order of options.
    const Run r = run(job(m_uhd, {"Q4 out", "3"}, {"4", "3"}, {"T9PW_Slot4", "A_VERY_LONG_LABEL"}, k5994), 1);
    // Neither volume is mounted here: both destinations fail before a frame is written.
    QVERIFY(!r.done);
    // Each error line breaks the ruler, which starts again below it.
    QVERIFY2(r.out.contains("Processing:\t\t|\r\nERROR: Q4 out/ is no longer mounted.\n"
                            "Processing:\t\t|\r\nERROR: 3/ is no longer mounted.\n"),
             r.out.constData());
    const QByteArray lines = "Destination:\t\t\t[T9PW_Slot4] Q4 out/   \tQUAD:4 (1080)\r\n"
                             "Destination:\t\t\t[A_VERY_LON] 3/        \tQUAD:3 (1080)\r\n"
                             "\r\n"
                             "   Quadrants Mapping  \r\n"
                             "  ___________________ \r\n"
                             " |1        |2        |\r\n"
                             " |         |         |\r\n"
                             " |_________|_________|\r\n"
                             " |3        |4        |\r\n"
                             " |   3/    | .. out/ |\r\n"
                             " |_________|_________|\r\n";
    QVERIFY2(r.out.contains(lines), r.out.constData());
    QVERIFY(r.out.contains("Destination output type:\tKRX\r\n"));
    QVERIFY(!QFileInfo::exists("Q4 out/city_f59_00007"));
    QVERIFY(!QFileInfo::exists("3/city_f59_00007"));
    QVERIFY(filesIn("q1").isEmpty());
}

void TestCommandLineBatch::totalFrames_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("converted");
    QTest::newRow("3 of 10") << 3 << 3;
    QTest::newRow("0: all") << 0 << 10;
    QTest::newRow("more than there are") << 99 << 10;
    QTest::newRow("negative") << -4 << 10;
}

void TestCommandLineBatch::totalFrames()
{
    QFETCH(int, total);
    QFETCH(int, converted);
    CommandLineBatchJob j = job(m_hd, {m_dest}, {"0"}, {""}, k25);
    j.totalFrames = total;
    const Run r = run(j);
    QVERIFY(r.done);
    const QString expected = summary1080(m_hd, converted)
        + "Destination:\t\t\tframes for the show/\tFULL (1080)\r\n"
        + "\r\n"
        + "Total to process:\t|" + kRuler + "| " + QString::number(converted) + " frames\r\n"
        + "Processing:\t\t|" + kPluses + "| " + QString::number(converted) + " frames\r\n"
        + "Indexing Drives...\r\n"
        + "Done.\r\n";
    QCOMPARE(QString::fromUtf8(r.out), expected);
    QCOMPARE(filesIn(m_dest + "/take_f25_00003").size(), converted);
}

void TestCommandLineBatch::rulerShowsWhileRunning()
{
    BatchConvertWindow window(0, nullptr);
    BatchConvertModel* model = window.findChild<BatchConvertModel*>();
    StdoutCapture capture;
    QByteArray seen;
    connect(model, &QAbstractItemModel::rowsInserted, this, [&](const QModelIndex& parent) {
        if (!parent.isValid())
            batchtest::holdAt(model->sequenceAt(0), 5, [&] { seen = capture.text(); });
    });
    QVERIFY(window.startCommandLineBatch(job(m_hd, {m_dest}, {"0"}, {""}, k25)));
    const QByteArray out = capture.stop();
    // Held at the fifth frame, the fourth one's 20 marks were out already.
    QVERIFY2(seen.endsWith("Processing:\t\t|" + QByteArray(20, '+')), seen.right(80).constData());
    QVERIFY(out.endsWith("Processing:\t\t|" + kPluses + "| 10 frames\r\nIndexing Drives...\r\nDone.\r\n"));
}

void TestCommandLineBatch::highRateTakesBothParities()
{
    const QString second = m_tmp.filePath("second parity");
    QVERIFY(QDir().mkpath(second));
    const Run r = run(job(m_hd, {m_dest, second}, {"0", "0"}, {"", ""}, k100));
    QVERIFY(r.done);
    QVERIFY(r.out.contains("Source framerate:\t\t100.00\r\n"));
    QCOMPARE(filesIn(m_dest + "/take_f100_00003"),
             (QStringList{"take0001.tga", "take0002.tga", "take0003.tga", "take0004.tga", "take0005.tga"}));
    QCOMPARE(filesIn(second + "/take_f100_00003"),
             (QStringList{"take0000.tga", "take0001.tga", "take0002.tga", "take0003.tga", "take0004.tga"}));
    // Frame 2 is the first of the even ones.
    QCOMPARE(ffmpegDecode(m_dest + "/take_f100_00003/take0001.tga", "bgr24"),
             ffmpegDecode(m_hd + "/take0002.tga", "bgr24"));
}

void TestCommandLineBatch::silentRuns()
{
    CommandLineBatchJob j = job(m_hd, {m_dest}, {"0"}, {""}, k25);
    j.silent = true;
    const Run quiet = run(j);
    QVERIFY(quiet.done);
    QCOMPARE(quiet.out, QByteArray());
    QCOMPARE(filesIn(m_dest + "/take_f25_00003").size(), 10);

    // Its errors are still printed.
    const Run again = run(j);
    QVERIFY(!again.done);
    QVERIFY(again.out.startsWith("\nERROR: Output directory '"));
    QCOMPARE(again.out.count('\n'), 2);

    CommandLineBatchJob quad = job(m_hd, {m_dest}, {"2"}, {""}, k25);
    quad.silent = true;
    const Run wrongKind = run(quad);
    QVERIFY(!wrongKind.done);
    QCOMPARE(wrongKind.out, QByteArray("ERROR: Attempting to perform 4K split on a non-4K source.\r\n"));

    CommandLineBatchJob missing = job(m_noFrames, {m_dest}, {"0"}, {""}, k25);
    missing.silent = true;
    const Run noFrames = run(missing);
    QVERIFY(!noFrames.done);
    QCOMPARE(noFrames.out, QByteArray("ERROR: No image sequence found.\n"));
}

void TestCommandLineBatch::kindOfSlotAgainstSource()
{
    // Whole frames asked of a 4K source: nothing is converted.
    const Run whole = run(job(m_uhd, {"q1", "quadrant two"}, {"1", "0"}, {"", ""}, k5994));
    QVERIFY(!whole.done);
    QVERIFY(whole.out.endsWith("Destination:\t\t\tq1/                 \tQUAD:1 (1080)\r\n"
                               "ERROR: Attempting to perform non-4K operation on 4K source.\r\n"));
    QVERIFY(!whole.out.contains("Processing"));
    QVERIFY(filesIn("q1").isEmpty() && QDir("q1").entryList(QDir::AllDirs | QDir::NoDotAndDotDot).isEmpty());

    const Run quad = run(job(m_hd, {m_dest}, {"1"}, {""}, k25));
    QVERIFY(!quad.done);
    QVERIFY(quad.out.endsWith("Force overwrite:\t\tDisabled\r\n"
                              "ERROR: Attempting to perform 4K split on a non-4K source.\r\n"));
    QVERIFY(QDir(m_dest).isEmpty());
}

void TestCommandLineBatch::jobErrors()
{
    // Lists shorter than the destinations, or a slot the job does not know.
    const QByteArray listError = "ERROR: Incorrectly processed destination list.\r\n";
    const Run shortSlots = run(job(m_hd, {m_dest, "q1"}, {"0"}, {"", ""}, k25));
    QVERIFY(!shortSlots.done);
    QVERIFY(shortSlots.out.endsWith(listError));
    const Run shortVolumes = run(job(m_hd, {m_dest}, {"0"}, {}, k25));
    QVERIFY(!shortVolumes.done);
    QVERIFY(shortVolumes.out.endsWith(listError));
    const Run badSlot = run(job(m_hd, {m_dest}, {"7"}, {""}, k25));
    QVERIFY(badSlot.out.endsWith(listError));
    const Run none = run(job(m_hd, {}, {}, {}, k25));
    QVERIFY(!none.done);
    QVERIFY(none.out.endsWith(listError));
    QVERIFY(QDir(m_dest).isEmpty());

    // A destination folder that is not there.
    const QString gone = m_tmp.filePath("gone");
    const Run missing = run(job(m_hd, {gone}, {"0"}, {""}, k25));
    QVERIFY(!missing.done);
    QVERIFY(missing.out.endsWith(
        ("ERROR: Unable to access resource to verify/create output directory in '" + gone + "/'\r\n").toUtf8()));
    QVERIFY(!QFileInfo::exists(gone));

    // One clip folder twice: refused, nothing written.
    Modal modal;
    const Run twice = run(job(m_hd, {m_dest, m_dest + "/"}, {"0", "0"}, {"", ""}, k25));
    QVERIFY(!twice.done);
    QVERIFY(twice.out.endsWith("Destination:\t\t\tframes for the show/\tFULL (1080)\r\n"
                               "Destination:\t\t\tframes for the show/\tFULL (1080)\r\n"
                               "ERROR: Cannot export multiple files to the same destination at the same time.\n\n"
                               "Please select a different destination path.\n"));
    QVERIFY(modal.boxes.isEmpty());
    QVERIFY(QDir(m_dest).isEmpty());

    // Only the first source is converted.
    CommandLineBatchJob two = job(m_hd, {m_dest}, {"0"}, {""}, k25);
    two.sources << m_uhd;
    QVERIFY(run(two).done);
    QCOMPARE(QDir(m_dest).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"take_f25_00003"});
}

void TestCommandLineBatch::conversionErrorEndsWithError()
{
    // /proc takes no clip folder. The message starts a line of its own and
    // the ruler row goes on below it.
    const Run r = run(job(m_hd, {"/proc"}, {"0"}, {""}, k25));
    QVERIFY(!r.done);
    QVERIFY2(r.out.endsWith("Processing:\t\t|\r\nERROR: Unable to create output directory /proc/take_f25_00003.\n"
                            "Processing:\t\t|| 10 frames\r\nError.\r\n"),
             r.out.constData());
}

void TestCommandLineBatch::errorLineAmidTheRuler()
{
    // The sixth frame is cut short: the marks of the frames written by then,
    // the message on a line of its own, then the row again with its marks so
    // far and the rest, closed as usual.
    const QString source = m_tmp.filePath("cut take");
    QVERIFY(QDir().mkpath(source));
    for (const QString& f : filesIn(m_hd))
        QVERIFY(QFile::copy(m_hd + "/" + f, source + "/" + f));
    QVERIFY(QFile::resize(source + "/take0006.tga", 100));
    const Run r = run(job(source, {m_dest}, {"0"}, {""}, k25));
    QVERIFY(!r.done);
    const QRegularExpression tail("Processing:\t\t\\|(\\+*)\r\nERROR: Unable to open source frame 6\\.\n"
                                  "Processing:\t\t\\|(\\+*)\\| 10 frames\r\nError\\.\r\n$");
    const QRegularExpressionMatch m = tail.match(QString::fromUtf8(r.out));
    QVERIFY2(m.hasMatch(), r.out.constData());
    QVERIFY(m.captured(1).size() <= m.captured(2).size());
    QVERIFY(m.captured(2).size() <= 25);
}

void TestCommandLineBatch::messagesPrintedNotBoxed()
{
    // The console program's reporter prints texts as they are.
    installPrintedReporter();
    {
        BatchConvertWindow window(0, nullptr);
        Modal modal;
        StdoutCapture capture;
        window.message("100% of %s done %n", 3);
        QCOMPARE(capture.stop(), QByteArray("ERROR: 100% of %s done %n\n"));
        QVERIFY(modal.boxes.isEmpty());
    }
    installBoxReporter();
    // With the box reporter a command-line run prints its messages too.
    Modal modal;
    const Run r = run(job(m_noFrames, {m_dest}, {"0"}, {""}, k25));
    QVERIFY(!r.done);
    QCOMPARE(r.out, QByteArray("ERROR: No image sequence found.\n"));
    QVERIFY(modal.boxes.isEmpty());
    QVERIFY(reporting::canAsk());   // the boxes are back after the run

    // Any reporter that asks the user gives way to printed lines for the run;
    // one that cannot ask keeps the reports.
    for (const bool asks : {true, false}) {
        QStringList received;
        reporting::install(
            reporting::Reporter([&received](const reporting::Report& report) { received << report.text; }, asks));
        const Run again = run(job(m_noFrames, {m_dest}, {"0"}, {""}, k25));
        QVERIFY(!again.done);
        QCOMPARE(again.out, asks ? QByteArray("ERROR: No image sequence found.\n") : QByteArray());
        QCOMPARE(received, asks ? QStringList() : QStringList{"No image sequence found."});
        QCOMPARE(reporting::canAsk(), asks);
    }
    installBoxReporter();
}

void TestCommandLineBatch::cleanupTestCase()
{
    for (const QString d : {"q1", "quadrant two", "3", "Q4 out"})
        QDir(d).removeRecursively();
}

QTEST_MAIN(TestCommandLineBatch)
#include "tst_commandlinebatch.moc"
