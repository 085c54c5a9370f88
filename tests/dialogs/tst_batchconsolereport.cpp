// The console report of the command-line batch run without a conversion: the
// summary, destination lines of paths and labels, quadrant cells and box, the
// "+" ruler over any frame count with every end text, and the lines other
// reports print while the ruler row is open.
#include <QtTest>

#include "batchconsolereport.h"
#include "targasequence.h"

namespace {

const QByteArray kRow = "Processing:\t\t|";

QByteArray header(int frames)
{
    return "\r\nTotal to process:\t|" + QByteArray(50, '-') + "| " + QByteArray::number(frames) + " frames\r\n" + kRow;
}

} // namespace

class BatchConsoleReportTest : public QObject {
    Q_OBJECT

private slots:
    void summary_data()
    {
        QTest::addColumn<bool>("split");
        QTest::addColumn<bool>("krx");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("1080, TGA")
            << false << false << false
            << QByteArray("Source directory:\t\t/data/hd take3/\r\n"
                          "Source framerate:\t\t23.98\r\n"
                          "Source information:\t\t(1080) 1920x1080\r\n"
                          "Destination output type:\tTGA\r\n"
                          "Destination framerate:\t\t119.88\r\n"
                          "Frames to process:\t\t7 [out of 12]\r\n"
                          "Force overwrite:\t\tDisabled\r\n");
        QTest::newRow("4K, KRX, forced")
            << true << true << true
            << QByteArray("Source directory:\t\t/data/hd take3/\r\n"
                          "Source framerate:\t\t23.98\r\n"
                          "Source information:\t\t(4K) 1920x1080\r\n"
                          "Destination output type:\tKRX\r\n"
                          "Destination framerate:\t\t119.88\r\n"
                          "Frames to process:\t\t7 [out of 12]\r\n"
                          "Force overwrite:\t\tEnabled\r\n");
    }

    void summary()
    {
        QFETCH(bool, split);
        QFETCH(bool, krx);
        QFETCH(bool, force);
        QFETCH(QByteArray, expected);
        BatchConsoleReport::Summary s;
        s.sourceFolder = "/data/hd take3/";
        s.inputRate = 24000.0 / 1001.0;
        s.split = split;
        s.width = 1920;
        s.height = 1080;
        s.krx = krx;
        s.outputRate = 120000.0 / 1001.0;
        s.totalFrames = 7;
        s.framesFound = 12;
        s.force = force;
        QCOMPARE(BatchConsoleReport::summary(s), expected);
    }

    void destinationLine_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short path") << "q1/" << "" << "1" << QByteArray("Destination:\t\t\tq1/                 \tQUAD:1 (1080)\r\n");
        QTest::newRow("path of 25: its last 20")
            << "/data/frames for the show/" << "" << "0"
            << QByteArray("Destination:\t\t\tframes for the show/\tFULL (1080)\r\n");
        QTest::newRow("path of 20") << "/data/frames/out/ab/" << "" << "0"
                                    << QByteArray("Destination:\t\t\t/data/frames/out/ab/\tFULL (1080)\r\n");
        QTest::newRow("label and root cut to 10")
            << "/media/op/T9PW_Slot1/" << "T9PW_Slot1" << "0"
            << QByteArray("Destination:\t\t\t[T9PW_Slot1] /media/op/\tFULL (1080)\r\n");
        QTest::newRow("short label padded")
            << "/mnt/p2/" << "T9PW2" << "4" << QByteArray("Destination:\t\t\t[T9PW2     ] /mnt/p2/  \tQUAD:4 (1080)\r\n");
        QTest::newRow("long label cut") << "/mnt/p/" << "T9PW_Slot10_spare" << "2"
                                        << QByteArray("Destination:\t\t\t[T9PW_Slot1] /mnt/p/   \tQUAD:2 (1080)\r\n");
        QTest::newRow("never cut inside a character")
            << QString::fromUtf8("/data/\xC3\xA9t\xC3\xA9 2026 frames/") << "" << "0"
            << QByteArray("Destination:\t\t\tata/\xC3\xA9t\xC3\xA9 2026 frames/\tFULL (1080)\r\n");
    }

    void destinationLine()
    {
        QFETCH(QString, destination);
        QFETCH(QString, volume);
        QFETCH(QString, slot);
        QFETCH(QByteArray, expected);
        QCOMPARE(BatchConsoleReport::destinationLine(destination, volume, slot), expected);
    }

    void quadrantBox()
    {
        QCOMPARE(BatchConsoleReport::quadrantCell("H:\\"), QString("  H:\\"));
        QCOMPARE(BatchConsoleReport::quadrantCell("/q/1/"), QString("  /q/1/"));
        QCOMPARE(BatchConsoleReport::quadrantCell("D:\\frames\\out\\"), QString("..\\out\\"));
        QCOMPARE(BatchConsoleReport::quadrantCell("/data/wall/"), QString("..wall/"));
        const QStringList cells{BatchConsoleReport::quadrantCell("/data/wall/"), BatchConsoleReport::quadrantCell("H:\\"),
                                " ", BatchConsoleReport::quadrantCell("/media/op/T9PW_Slot4/")};
        QCOMPARE(BatchConsoleReport::quadrantBox(cells),
                 QByteArray("\r\n   Quadrants Mapping  \r\n  ___________________ \r\n |1        |2        |\r\n"
                            " | ..wall/ |   H:\\   |\r\n |_________|_________|\r\n |3        |4        |\r\n"
                            " |         | ..lot4/ |\r\n |_________|_________|\r\n"));
    }

    // Over a whole run exactly 50 marks, whatever the frame count; then the
    // row closes under the header's right bar.
    void ruler_data()
    {
        QTest::addColumn<int>("frames");
        for (int frames : {1, 2, 3, 7, 10, 49, 50, 51, 99, 1000, 2999})
            QTest::newRow(qPrintable(QString::number(frames))) << frames;
    }

    void ruler()
    {
        QFETCH(int, frames);
        BatchConsoleReport report;
        QByteArray out = report.openRuler(frames);
        QCOMPARE(out, header(frames));
        QVERIFY(report.isRulerOpen());
        for (int done = 1; done <= frames; ++done) {
            const QByteArray marks = report.progress(done, frames);
            QCOMPARE(marks.count('+'), marks.size());
            out += marks;
        }
        out += report.end(DestinationIndexing, frames);
        out += report.end(DestinationCompleted, frames);
        QCOMPARE(out, header(frames) + QByteArray(50, '+') + "| " + QByteArray::number(frames)
                          + " frames\r\nIndexing Drives...\r\nDone.\r\n");
        QVERIFY(!report.isRulerOpen());
    }

    void rulerSteps()
    {
        BatchConsoleReport report;
        report.openRuler(10);
        QCOMPARE(report.progress(1, 10), QByteArray(5, '+'));
        QCOMPARE(report.progress(1, 10), QByteArray());
        QCOMPARE(report.progress(4, 10), QByteArray(15, '+'));
        // Never past the right bar.
        QCOMPARE(report.progress(12, 10), QByteArray(30, '+'));
        // No frames to count: the row fills at once.
        BatchConsoleReport none;
        none.openRuler(0);
        QCOMPARE(none.progress(1, 0), QByteArray(50, '+'));
    }

    void endTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("word");
        QTest::newRow("completed") << int(DestinationCompleted) << QByteArray("Done.\r\n");
        QTest::newRow("indexing") << int(DestinationIndexing) << QByteArray("Indexing Drives...\r\n");
        QTest::newRow("failed") << int(DestinationFailed) << QByteArray("Error.\r\n");
        QTest::newRow("canceled") << int(DestinationCanceled) << QByteArray("User Canceled.\r\n");
        QTest::newRow("pending") << int(DestinationPending) << QByteArray("Aborted.\r\n");
        QTest::newRow("other") << -3 << QByteArray("Aborted.\r\n");
    }

    void endTexts()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, word);
        BatchConsoleReport report;
        report.openRuler(4);
        QCOMPARE(report.progress(2, 4), QByteArray(25, '+'));
        QCOMPARE(report.end(status, 4), "| 4 frames\r\n" + word);
        QCOMPARE(report.end(status, 4), word);
    }

    // A message while the row is open: on a line of its own, and the row goes
    // on below it with the marks so far; closed, a message is printed as it is.
    void linesAroundTheRuler()
    {
        const QByteArray error = "ERROR: Unable to write /data/out/shot_f25_00001/shot0003.tga\n";
        QCOMPARE(BatchConsoleReport::aroundOpenRuler(error), error);
        {
            BatchConsoleReport report;
            QByteArray out = report.openRuler(10);
            out += report.progress(2, 10);
            out += BatchConsoleReport::aroundOpenRuler(error);
            out += report.progress(3, 10);
            // A text without a line end gets one.
            out += BatchConsoleReport::aroundOpenRuler("ERROR: Unable to open source frame shot0004.tga");
            out += report.progress(10, 10);
            out += report.end(DestinationFailed, 10);
            QCOMPARE(out, header(10) + QByteArray(10, '+') + "\r\n" + error + kRow + QByteArray(15, '+')
                              + "\r\nERROR: Unable to open source frame shot0004.tga\r\n" + kRow + QByteArray(50, '+')
                              + "| 10 frames\r\nError.\r\n");
            QCOMPARE(BatchConsoleReport::aroundOpenRuler(error), error);

            // Left without its end (the batch stopped before converting).
            report.openRuler(10);
            report.leaveRuler();
            QCOMPARE(BatchConsoleReport::aroundOpenRuler(error), error);
            report.openRuler(10);
        }
        // A report that goes takes its row with it.
        QCOMPARE(BatchConsoleReport::aroundOpenRuler(error), error);
    }
};

QTEST_GUILESS_MAIN(BatchConsoleReportTest)
#include "tst_batchconsolereport.moc"
