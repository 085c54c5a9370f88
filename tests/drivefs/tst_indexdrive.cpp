// DriveIndexer on a real mount: an exFAT partition of a disk image, mounted
// through an offset loop device with exfat-fuse, frames written just before.
#include <QtTest>

#include "driveindexer.h"
#include "index/indexfixture.h"
#include "index/loopmount.h"
#include "reporting.h"
#include "testutil.h"

#include <atomic>
#include <memory>
#include <thread>

namespace {

using indexfixture::readAll;
using indexfixture::writeFile;

QStringList s_reported;
void captureReport(const reporting::Report& report)
{
    s_reported << report.text;
}

} // namespace

class TestIndexDrive : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;

    // Why the mounted drive tests cannot run here; empty when they can.
    static QString driveMissing()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            return "mounted drive test needs " + missing;
        if (!QFileInfo::exists(indexfixture::kPython))
            return "missing /usr/bin/python3 (the index checker)";
        return QString();
    }

    bool fill(const QString& layout, const QString& root)
    {
        const QString failed = indexfixture::fill(layout, root);
        if (!failed.isEmpty())
            qWarning() << failed;
        return failed.isEmpty();
    }

private slots:
    void init()
    {
        s_reported.clear();
        reporting::install(captureReport);
    }

    void indexesMountedDrive()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("live.img");
        // The drive's first partition is not the mounted one: the index must
        // come from the volume that starts where the mount starts.
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 16 << 20, LoopMount::uniqueLabel("T9PW", "_2"), &error, 4096), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        const DriveLocation where = DriveIndexer::locate(drive.mountPoint());
        QCOMPARE(where.mountPoint, root);
        QCOMPARE(where.mountSource, drive.loopDevice());
        QCOMPARE(QFileInfo(where.diskPath).canonicalFilePath(), QFileInfo(image).canonicalFilePath());
        QCOMPARE(qint64(where.volumeOffset), drive.volumeOffset());

        // Frames written a moment ago, no sync: the indexer flushes before it reads.
        QVERIFY(fill("live", drive.mountPoint()));
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(indexer.indexDrive(root + "Live_f25_00002", false));
        QCOMPARE(messages.count(), 0);
        QStringList rootFiles = QDir(root).entryList(QDir::Files);
        QCOMPARE(rootFiles, QStringList{"index.dat"});
        const QByteArray first = readAll(root + "index.dat");
        QVERIFY(first.size() > 687960);

        // A second run replaces the file with the same bytes.
        QVERIFY(indexer.indexDrive(drive.mountPoint(), true));
        QCOMPARE(readAll(root + "index.dat"), first);
        QCOMPARE(s_reported, QStringList());

        // "index.dat" that cannot be opened for writing (a folder of that name).
        QVERIFY(QFile::rename(root + "index.dat", root + "saved.dat"));
        QVERIFY(QDir(root).mkdir("index.dat"));
        QVERIFY(!indexer.indexDrive(root, true));
        QCOMPARE(s_reported, QStringList{QString("Unable to open %1index.dat for writing").arg(root)});
        QVERIFY(QDir(root).rmdir("index.dat"));
        QVERIFY(QFile::rename(root + "saved.dat", root + "index.dat"));
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));

        QString fsck;
        QVERIFY2(LoopMount::fsckClean(image, &fsck, drive.volumeOffset()), qPrintable(fsck));
        const QString report = indexfixture::check(image, first, m_work.filePath("live-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // Frames added after a first run (whose reads are still cached) are found.
    void secondRunSeesNewFrames()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("late.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 8 << 20, LoopMount::uniqueLabel("T9PW", "_3"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QVERIFY(fill("live", drive.mountPoint()));
        DriveIndexer indexer;
        QVERIFY(indexer.indexDrive(root, false));
        const QByteArray before = readAll(root + "index.dat");
        QVERIFY(fill("late", drive.mountPoint()));
        QVERIFY(indexer.indexDrive(root, false));
        const QByteArray after = readAll(root + "index.dat");
        QCOMPARE(after.size(), before.size() + 30 * 8);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        const QString report = indexfixture::check(image, after, m_work.filePath("late-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // mkfs.exfat on the whole device, no partition table: the usual player
    // drive made on Linux. Its one volume starts at sector 0.
    void indexesWholeDiskDrive()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("whole.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.createWholeDisk(image, 8 << 20, LoopMount::uniqueLabel(1), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QCOMPARE(qint64(DriveIndexer::locate(root).volumeOffset), qint64(0));
        QVERIFY(fill("live", drive.mountPoint()));
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 0);
        const QByteArray index = readAll(root + "index.dat");
        QVERIFY(index.size() > 687960);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        const QString report = indexfixture::check(image, index, m_work.filePath("whole-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // A drive unmounted while it is read: its index goes nowhere, neither
    // into the empty mount folder left on the disk beneath nor onto the
    // volume; an index it had stays as it was.
    void unmountedWhileIndexing()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("pulled.img");
        QByteArray earlier;
        for (const bool hadIndex : {false, true}) {
            LoopMount drive;
            QString error;
            if (hadIndex)
                QVERIFY2(drive.open(image, &error), qPrintable(error));
            else
                QVERIFY2(drive.create(image, 8 << 20, LoopMount::uniqueLabel("T9PW", "_4"), &error),
                         qPrintable(error));
            const QString root = drive.mountPoint() + "/";
            DriveIndexer indexer;
            if (hadIndex) {
                QVERIFY(indexer.indexDrive(root, false));
                earlier = readAll(root + "index.dat");
                QVERIFY(fill("late", drive.mountPoint()));
            } else {
                QVERIFY(fill("live", drive.mountPoint()));
            }
            QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
            connect(&indexer, &DriveIndexer::scanned, this, [&drive] { QVERIFY(drive.detachLazily()); },
                    Qt::DirectConnection);
            QVERIFY(!indexer.indexDrive(root, false));
            QCOMPARE(messages.count(), 1);
            QCOMPARE(messages.at(0).at(0).toString(), QString("%1 is no longer mounted.").arg(root));
            QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
            QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        }
        LoopMount again;
        QString error;
        QVERIFY2(again.open(image, &error), qPrintable(error));
        const QString root = again.mountPoint() + "/";
        QCOMPARE(readAll(root + "index.dat"), earlier);
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList{"index.dat"});
        QVERIFY2(again.release(), qPrintable(again.releaseError()));
    }

    // Clip folders and frames named with letters outside the 8-bit code page
    // get their format records like any other.
    void namesOutsideTheCodePage()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("names.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 8 << 20, LoopMount::uniqueLabel("T9PW", "_5"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        const QByteArray tga = testutil::run(indexfixture::kPython,
                                             {"-c", "import sys; sys.path.insert(0, sys.argv[1]); import indexfixture;"
                                                    "sys.stdout.buffer.write(indexfixture.tga_bytes('x', 40, 25))",
                                              testutil::testsDir() + "/drivefs/index"}).out;
        QVERIFY(tga.size() > 3000);
        const QStringList folders{QString::fromUtf8("映像_f25_00005"), QString::fromUtf8("łódź_f25_00006"),
                                  QString::fromUtf8("café_f25_00007")};
        for (const QString& folder : folders) {
            QVERIFY(QDir(root).mkdir(folder));
            for (int n = 0; n < 2; ++n)
                QVERIFY(writeFile(root + folder + "/" + folder.left(4) + QString("%1.tga").arg(n, 5, 10, QChar('0')), tga));
        }
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 0);
        const QByteArray index = readAll(root + "index.dat");
        for (int clip : {5, 6, 7}) {
            const int record = 16 + 56 * clip;
            QCOMPARE(qFromLittleEndian<quint32>(index.constData() + record + 8), 1u);      // Targa
            QCOMPARE(qFromLittleEndian<quint32>(index.constData() + record + 20), 40u);
            QCOMPARE(qFromLittleEndian<quint32>(index.constData() + record + 24), 25u);
            QCOMPARE(qFromLittleEndian<quint32>(index.constData() + record + 52), quint32(tga.size()));
        }
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        const QString report = indexfixture::check(image, index, m_work.filePath("names-index.dat"));
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // Frames stored in several cluster runs: a player reading one run from
    // the indexed sector would play other data. A clip indexed whole, then
    // overwritten with frames that land in holes: the index is written
    // without it (the earlier one would send the player to what now fills
    // its old clusters) and the run fails naming it; a second run the same.
    void fragmentedClipLeftOutOfTheIndex()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("holes.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 120 << 20, LoopMount::uniqueLabel("T9PW", "_6"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QVERIFY(fill("live", drive.mountPoint()));
        const QString clip = root + "Holes_f25_00009/";
        QVERIFY(QDir(root).mkdir("Holes_f25_00009"));
        auto writeFrames = [&](char byte) {
            const QByteArray frame(200 << 10, byte);
            for (int n = 0; n < 10; ++n) {
                if (!writeFile(clip + QString("H%1.tga").arg(n, 5, 10, QChar('0')), frame))
                    return false;
            }
            return true;
        };
        QVERIFY(writeFrames('h'));
        DriveIndexer indexer;
        QVERIFY(indexer.indexDrive(root, false));
        const QByteArray earlier = readAll(root + "index.dat");
        QVERIFY(earlier.mid(16 + 9 * 56, 8) != QByteArray(8, '\0'));

        // The frames go, the drive is filled with 64 KB files and every other
        // one is deleted: only holes are left for the new frames.
        for (int n = 0; n < 10; ++n)
            QVERIFY(QFile::remove(clip + QString("H%1.tga").arg(n, 5, 10, QChar('0'))));
        QVERIFY(indexfixture::leaveOnlyHoles(root) > 100);
        QVERIFY(writeFrames('n'));

        const QString expected =
            QString("Error indexing %1 (10 frame files of the clip folder Holes_f25_00009 are not stored in one piece: "
                    "a player reads each frame as one run of sectors. Format the drive and convert again). Its index "
                    "lists the other clips; left out: Holes_f25_00009.")
                .arg(root);
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(!indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), expected);
        const QByteArray written = readAll(root + "index.dat");
        QVERIFY(written != earlier);
        QCOMPARE(written.mid(16 + 9 * 56, 56), QByteArray(56, '\0'));
        QVERIFY(!indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 2);
        QCOMPARE(messages.at(1).at(0).toString(), expected);
        QCOMPARE(readAll(root + "index.dat"), written);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        const QString report = indexfixture::check(image, written, m_work.filePath("holes-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // A clip folder that holds an unfinished frame file (as a run killed
    // mid-frame leaves it) is no whole clip: the index leaves it out and the
    // run fails naming it, run after run, until the clip is whole again.
    void unfinishedFrameKeepsTheClipOut()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("unfinished.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 16 << 20, LoopMount::uniqueLabel("T9PW", "_7"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QVERIFY(fill("live", drive.mountPoint()));
        DriveIndexer indexer;
        QVERIFY(indexer.indexDrive(root, false));
        const QByteArray whole = readAll(root + "index.dat");
        QVERIFY(writeFile(root + "Live_f25_00001/.L00006.tga.Xy12Ab.part", QByteArray(3000, 'p')));

        const QString expected =
            QString("Error indexing %1 (the clip folder Live_f25_00001 holds an unfinished frame file (its conversion "
                    "was stopped or is still running)). Its index lists the other clips; left out: Live_f25_00001.")
                .arg(root);
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        for (int run = 0; run < 2; ++run) {
            QVERIFY(!indexer.indexDrive(root, false));
            QCOMPARE(messages.count(), run + 1);
            QCOMPARE(messages.at(run).at(0).toString(), expected);
            QCOMPARE(readAll(root + "index.dat").mid(16 + 1 * 56, 56), QByteArray(56, '\0'));
        }
        const QByteArray without = readAll(root + "index.dat");
        QVERIFY(QFile::remove(root + "Live_f25_00001/.L00006.tga.Xy12Ab.part"));
        QVERIFY(indexer.indexDrive(root, false));
        QCOMPARE(readAll(root + "index.dat"), whole);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        // The checker, told the clip is unfinished, expects the same index.
        QString report = indexfixture::check(image, whole, m_work.filePath("unfinished-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QVERIFY(without != whole);
    }

    // Drives a player cannot read are refused saying why.
    void unsupportedDrives()
    {
        SKIP_WHEN(driveMissing());
        {
            LoopMount gpt;
            QString error;
            QVERIFY2(gpt.create(m_work.filePath("gpt.img"), 8 << 20, LoopMount::uniqueLabel("T9PW", "_7"), &error, 0,
                                true),
                     qPrintable(error));
            const QString root = gpt.mountPoint() + "/";
            QVERIFY(fill("live", gpt.mountPoint()));
            DriveIndexer indexer;
            QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
            QVERIFY(!indexer.indexDrive(root, false));
            QCOMPARE(messages.count(), 1);
            QCOMPARE(messages.at(0).at(0).toString(),
                     QString("%1 has a GPT partition table: players read drives with an MBR partition table or none.")
                         .arg(root));
            QVERIFY(!QFileInfo::exists(root + "index.dat"));
            QVERIFY2(gpt.release(), qPrintable(gpt.releaseError()));
        }
        // A sparse image: 2 TiB and one MiB, formatted whole.
        LoopMount large;
        QString error;
        const QString image = m_work.filePath("large.img");
        QVERIFY2(large.createWholeDisk(image, (qint64(1) << 41) + (1 << 20), LoopMount::uniqueLabel("T9PW", "_8"),
                                       &error),
                 qPrintable(error));
        const QString root = large.mountPoint() + "/";
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(!indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QString("%1 is larger than 2 TiB: players read drives of up to 2 TiB.").arg(root));
        QVERIFY2(large.release(), qPrintable(large.releaseError()));
        QFile::remove(image);
    }

    void reportsWithoutDrive()
    {
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        // No volume at all: nothing to say.
        QVERIFY(!indexer.indexDrive("/no/such/drive", true));
        QVERIFY(s_reported.isEmpty());
        // A volume without a disk behind it.
        QVERIFY(!indexer.indexDrive("/proc", true));
        QCOMPARE(s_reported, QStringList{"Error indexing /proc/ (unable to open device)."});
        QCOMPARE(messages.count(), 0);
        QVERIFY(!indexer.indexDrive("/proc/self", false));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QString("Error indexing /proc/ (unable to open device)."));
        QCOMPARE(messages.at(0).at(1).toInt(), 3);
    }

    void reportsOutsideTheRun()
    {
        // A message box's event loop may start another run on the same thread:
        // the report must not hold the run up.
        static int nested;
        nested = -1;
        reporting::install([](const reporting::Report&) {
            DriveIndexer inner;
            nested = inner.indexDrive("/proc", false) ? 1 : 0;
        });
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread outer([done] {
            DriveIndexer indexer;
            indexer.indexDrive("/proc", true);
            *done = true;
        });
        QElapsedTimer timer;
        timer.start();
        while (!*done && timer.elapsed() < 20000)
            QThread::msleep(10);
        const bool returned = *done;
        if (returned)
            outer.join();
        else
            outer.detach();
        reporting::install(captureReport);
        QVERIFY2(returned, "a run started from a report never returned");
        QCOMPARE(nested, 0);
    }

    void failedRunsKeepTheOldIndex()
    {
        SKIP_WHEN(driveMissing());
        const QString image = m_work.filePath("full.img");
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(image, 8 << 20, LoopMount::uniqueLabel("T9PW", "_1"), &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QVERIFY(fill("live", drive.mountPoint()));
        DriveIndexer indexer;
        QSignalSpy messages(&indexer, SIGNAL(message(QString, int)));
        QVERIFY(indexer.indexDrive(root, false));
        const QByteArray good = readAll(root + "index.dat");
        QVERIFY(!good.isEmpty());

        // A clip folder whose path and first frame reach 260 characters: the
        // scan ends with "invalid file name" and nothing is written.
        const QString longFolder = QString(200, 'L') + "_00005";
        QVERIFY(QDir(root).mkdir(longFolder));
        {
            QFile frame(root + longFolder + "/" + QString(60, 'F') + "00000.tga");
            QVERIFY(frame.open(QIODevice::WriteOnly));
            frame.write(QByteArray(100, 'x'));
        }
        QVERIFY(!indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QString("Error indexing %1 (invalid file name).").arg(root));
        QCOMPARE(readAll(root + "index.dat"), good);
        QVERIFY(QDir(root + longFolder).removeRecursively());

        // A full volume and an index that needs more room than its old
        // clusters (frame 20000 of a new clip: 20,001 more entries): the write
        // fails and says so; the old index stays whole.
        QVERIFY(QDir(root).mkdir("Grow_00007"));
        QVERIFY(writeFile(root + "Grow_00007/G20000.tga", QByteArray(100, 'x')));
        {
            QFile filler(root + "filler.bin");
            QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            const QByteArray block(1 << 16, 'f');
            while (filler.write(block) == block.size()) {
            }
        }
        QVERIFY(!indexer.indexDrive(root, false));
        QCOMPARE(messages.count(), 2);
        QCOMPARE(messages.at(1).at(0).toString(), QString("Unable to write %1index.dat").arg(root));
        QCOMPARE(messages.at(1).at(1).toInt(), 3);
        QCOMPARE(readAll(root + "index.dat"), good);
        QCOMPARE(QDir(root).entryList(QDir::Files), (QStringList{"filler.bin", "index.dat"}));
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        QString fsck;
        QVERIFY2(LoopMount::fsckClean(image, &fsck), qPrintable(fsck));
    }
};

QTEST_MAIN(TestIndexDrive)
#include "tst_indexdrive.moc"
