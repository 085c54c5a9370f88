// The batch window on player drives as Linux users make and use them: exFAT
// formatted on the whole device, drives pulled out after they were chosen,
// clip folders converted again over an earlier run, and drives that cannot
// be indexed. Real exFAT images on loop devices with exfat-fuse where the
// machine has them (root, /dev/loop-control, /dev/fuse); plain folders else.
#include "../drivefs/index/indexfixture.h"
#include "../drivefs/index/loopmount.h"
#include "../engine/targa/tgahelpers.h"
#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "batchtest.h"
#include "clipfolder.h"
#include "reporters.h"
#include "reporting.h"
#include "volumeinfo.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tgatest;
using batchtest::Modal;

namespace {

QStringList s_messages;
QList<int> s_levels;
QList<QByteArray> s_printed;
void captureMessage(const reporting::Report& report)
{
    s_messages << report.text;
    s_levels << iconOf(report.level);
    s_printed << reporting::printedLines(report);
}

const int k25 = 1;

BatchConvertModel* modelOf(BatchConvertWindow& w)
{
    return w.findChild<BatchConvertModel*>();
}

QString status(BatchConvertWindow& w, int destination)
{
    BatchConvertModel* m = modelOf(w);
    return m->index(destination, BatchConvertModel::StatusColumn, m->index(0, 0)).data().toString();
}

bool setPath(BatchConvertWindow& w, int destination, const QString& path)
{
    BatchConvertModel* m = modelOf(w);
    const QModelIndex source = m->index(0, 0);
    while (m->rowCount(source) <= destination)
        m->addDestination(0, -1);
    return m->setData(m->index(destination, BatchConvertModel::DestinationColumn, source), path);
}

// A silent command-line job of source's whole frames into root, one destination.
CommandLineBatchJob commandLineJob(const QString& source, const QString& root)
{
    CommandLineBatchJob job;
    job.sources = QStringList{source};
    job.destinations = QStringList{root};
    job.destinationSlots = QStringList{"0"};
    job.volumeNames = QStringList{QString()};
    job.inputFrameRate = k25;
    job.silent = true;
    return job;
}

// Everything in a folder, files and folders, hidden ones too, sorted.
QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace

class TestPlayerDrives : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void wholeDiskDriveIndexedAfterTheBatch();
    void pulledDriveIsNotWritten();
    void pulledLabelDriveInACommandLineRun();
    void confirmedOverwriteReplacesTheFrames();
    void driveIndexFailuresReportedOnce();
    void clipNumbersFitThePlayerDrive();
    void foldersWithoutFramesAreNotInUse();
    void twoDrivesWithOneLabelAreWarned();

private:
    static QString drivesMissing()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            return "mounted player drives need " + missing;
        if (!QFileInfo::exists(indexfixture::kPython))
            return "missing /usr/bin/python3 (the index checker)";
        return QString();
    }

    // A copy of the shots in a folder (under the test's folder) named name,
    // their names starting with prefix instead of "shot".
    QString copyOfShots(const QString& name, const QString& prefix)
    {
        const QString folder = m_tmp.filePath(name);
        QDir().mkpath(folder);
        for (const QString& file : filesIn(m_shot))
            QFile::copy(m_shot + "/" + file, folder + "/" + prefix + file.mid(4));
        return folder;
    }

    QTemporaryDir m_tmp;
    QString m_shot;   // shot0001..0006, 1280 x 720, 24-bit
};

void TestPlayerDrives::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(m_tmp.isValid());
    // Numbered 1: its runs write shot_f25_00001 again.
    m_shot = m_tmp.filePath("shots 1");
    QVERIFY(QDir().mkpath(m_shot));
    QCOMPARE(ffmpegFrames(m_shot + "/shot%04d.tga", 1280, 720, 24, false, 6), QString());
    reporting::install(captureMessage);
}

void TestPlayerDrives::init()
{
    s_messages.clear();
    s_levels.clear();
}

// mkfs.exfat on the whole device: the batch converts and indexes it, and the
// index is what the checker reads from the image.
void TestPlayerDrives::wholeDiskDriveIndexedAfterTheBatch()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    const QString image = m_tmp.filePath("whole.img");
    LoopMount drive;
    QString error;
    QVERIFY2(drive.createWholeDisk(image, 48 << 20, LoopMount::uniqueLabel(1), &error), qPrintable(error));
    const QString root = drive.mountPoint() + "/";

    BatchConvertWindow w(1, nullptr);
    w.addSource(false, m_shot, k25);
    QVERIFY(setPath(w, 0, root));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(s_messages, QStringList());
    QCOMPARE(status(w, 0), QString("Completed"));
    QCOMPARE(filesIn(root + "shot_f25_00001").size(), 6);
    const QByteArray index = readAll(root + "index.dat");
    QVERIFY(index.size() > 687960);

    // The clip folder held by another run (its lock taken here): the row
    // fails at once with a message and the folder keeps its frames.
    const QString clip = root + "shot_f25_00001";
    const QStringList before = folderSnapshot(clip);
    ClipFolderLock other;
    QVERIFY(other.acquire(clip));
    Modal modal;
    modal.answers = {QMessageBox::Yes};
    w.startBatch();
    QCOMPARE(modal.texts().size(), 1);   // the overwrite question
    QCOMPARE(s_messages, QStringList{clip + " is being written by another Quorvel."});
    QCOMPARE(status(w, 0), QString("Conversion failed"));
    QCOMPARE(folderSnapshot(clip), before);
    other.release();

    QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    const QString report = indexfixture::check(image, index, m_tmp.filePath("whole-index.dat"));
    QVERIFY2(report.isEmpty(), qPrintable(report));
}

// A drive unmounted after it was chosen leaves its empty mount folder on the
// system disk: that destination fails with a message and nothing goes there,
// while the other destination is converted.
void TestPlayerDrives::pulledDriveIsNotWritten()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    LoopMount pulled, kept;
    QString error;
    const QString label = LoopMount::uniqueLabel(1);
    QVERIFY2(pulled.create(m_tmp.filePath("pulled.img"), 24 << 20, label, &error), qPrintable(error));
    QVERIFY2(kept.createWholeDisk(m_tmp.filePath("kept.img"), 48 << 20, LoopMount::uniqueLabel(2), &error),
             qPrintable(error));
    const QString pulledRoot = pulled.mountPoint() + "/";
    const QString keptRoot = kept.mountPoint() + "/";

    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_shot, k25);
    QVERIFY(setPath(w, 0, pulledRoot));
    QVERIFY(setPath(w, 1, keptRoot));
    QCOMPARE(modelOf(w)->index(0, 0, modelOf(w)->index(0, 0)).data().toString(),
             QString("%1 (%2)").arg(label, pulledRoot));
    QVERIFY(pulled.unmountKeepingFolder());
    QVERIFY(QFileInfo(pulledRoot).isDir());

    w.startBatch();
    QCOMPARE(s_messages, QStringList{pulledRoot + " is no longer mounted."});
    QCOMPARE(status(w, 0), QString("Conversion failed"));
    QCOMPARE(status(w, 1), QString("Completed"));
    QCOMPARE(entries(pulledRoot), QStringList());
    QCOMPARE(filesIn(keptRoot + "shot_f25_00001").size(), 6);
    QVERIFY(QFileInfo::exists(keptRoot + "index.dat"));

    // Alone, the pulled drive fails the batch as a failed conversion.
    s_messages.clear();
    modelOf(w)->removeDestination(0, 1);
    w.startBatch();
    QCOMPARE(s_messages, QStringList{pulledRoot + " is no longer mounted."});
    QCOMPARE(status(w, 0), QString("Conversion failed"));
    QCOMPARE(entries(pulledRoot), QStringList());
    QVERIFY2(kept.release(), qPrintable(kept.releaseError()));
}

// The command-line run names its drive by label: gone by the time the batch
// starts, it gets an error line and no frames.
void TestPlayerDrives::pulledLabelDriveInACommandLineRun()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    LoopMount drive;
    QString error;
    const QString label = LoopMount::uniqueLabel(3);
    QVERIFY2(drive.create(m_tmp.filePath("label.img"), 24 << 20, label, &error), qPrintable(error));
    const QString root = drive.mountPoint() + "/";
    QCOMPARE(VolumeInfo::findByLabel(label).rootPath(), root);
    QVERIFY(drive.unmountKeepingFolder());

    CommandLineBatchJob job = commandLineJob(m_shot, root);
    job.volumeNames = QStringList{label};
    BatchConvertWindow w(1, nullptr);
    QVERIFY(!w.startCommandLineBatch(job));
    QCOMPARE(s_messages, QStringList{root + " is no longer mounted."});
    QCOMPARE(status(w, 0), QString("Conversion failed"));
    QCOMPARE(entries(root), QStringList());
}

// A confirmed overwrite clears the earlier run's frame files first, so a KRX
// run after a Targa run and a shorter run leave only their own frames; other
// files and folders of the clip folder stay.
void TestPlayerDrives::confirmedOverwriteReplacesTheFrames()
{
    const QString root = m_tmp.filePath("again") + "/";
    QVERIFY(QDir().mkpath(root));
    const QString clip = root + "shot_f25_00001";
    const QStringList tga{"shot0001.tga", "shot0002.tga", "shot0003.tga",
                          "shot0004.tga", "shot0005.tga", "shot0006.tga"};
    {
        BatchConvertWindow w(0, nullptr);
        w.addSource(false, m_shot, k25);
        QVERIFY(setPath(w, 0, root));
        w.startBatch();
        QCOMPARE(status(w, 0), QString("Completed"));
    }
    QCOMPARE(filesIn(clip), tga);
    QVERIFY(writeAll(clip + "/notes.txt", "operator notes"));
    QVERIFY(QDir().mkpath(clip + "/extra"));
    QVERIFY(writeAll(clip + "/extra/keep.tga", "not ours to touch"));

    // Windowed: the question answered Yes.
    {
        BatchConvertWindow w(1, nullptr);
        w.addSource(false, m_shot, k25);
        QVERIFY(setPath(w, 0, root));
        Modal modal;
        modal.answers = {QMessageBox::Yes};
        w.startBatch();
        QCOMPARE(modal.texts().size(), 1);
        QCOMPARE(status(w, 0), QString("Completed"));
    }
    QCOMPARE(entries(clip), (QStringList{"extra", "notes.txt", "shot0001.krx", "shot0002.krx", "shot0003.krx",
                                         "shot0004.krx", "shot0005.krx", "shot0006.krx"}));

    // Command line with -f and fewer frames: no stale frames after the third.
    CommandLineBatchJob job = commandLineJob(m_shot, root);
    job.totalFrames = 3;
    job.force = true;
    {
        BatchConvertWindow w(1, nullptr);
        QVERIFY(w.startCommandLineBatch(job));
    }
    QCOMPARE(entries(clip), (QStringList{"extra", "notes.txt", "shot0001.krx", "shot0002.krx", "shot0003.krx"}));
    QCOMPARE(readAll(clip + "/notes.txt"), QByteArray("operator notes"));
    QCOMPARE(readAll(clip + "/extra/keep.tga"), QByteArray("not ours to touch"));
    QCOMPARE(s_messages, QStringList());
}

// Two drives that cannot be indexed (a clip folder and frame name too long
// for the index): the rows still complete, and the operator gets one box
// naming both, or one error line per drive in a command-line run.
void TestPlayerDrives::driveIndexFailuresReportedOnce()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    LoopMount drives[2];
    QStringList roots;
    for (int i = 0; i < 2; ++i) {
        QString error;
        QVERIFY2(drives[i].create(m_tmp.filePath(QString("bad%1.img").arg(i)), 32 << 20,
                                  LoopMount::uniqueLabel(i + 1), &error),
                 qPrintable(error));
        roots << drives[i].mountPoint() + "/";
        const QString longFolder = roots[i] + QString(200, 'L') + "_00005";
        QVERIFY(QDir().mkpath(longFolder));
        QVERIFY(writeAll(longFolder + "/" + QString(60, 'F') + "00000.tga", QByteArray(100, 'x')));
    }
    const QStringList reports{QString("Error indexing %1 (invalid file name).").arg(roots[0]),
                              QString("Error indexing %1 (invalid file name).").arg(roots[1])};

    BatchConvertWindow w(1, nullptr);
    w.addSource(false, m_shot, k25);
    QVERIFY(setPath(w, 0, roots[0]));
    QVERIFY(setPath(w, 1, roots[1]));
    w.startBatch();
    QCOMPARE(status(w, 0), QString("Completed"));
    QCOMPARE(status(w, 1), QString("Completed"));
    QCOMPARE(s_messages, QStringList{reports.join('\n')});
    QCOMPARE(s_levels, QList<int>{3});

    // The command-line run: the same report, printed as one line per drive.
    s_messages.clear();
    s_levels.clear();
    s_printed.clear();
    CommandLineBatchJob job;
    job.sources = QStringList{m_shot};
    job.destinations = roots;
    job.destinationSlots = QStringList{"0", "0"};
    job.volumeNames = QStringList{QString(), QString()};
    job.inputFrameRate = k25;
    job.force = true;
    job.silent = true;
    BatchConvertWindow cl(1, nullptr);
    QVERIFY(cl.startCommandLineBatch(job));
    QCOMPARE(s_messages, QStringList{reports.join('\n')});
    QCOMPARE(s_printed, (QList<QByteArray>{"ERROR: " + reports[0].toLocal8Bit() + "\n",
                                           "ERROR: " + reports[1].toLocal8Bit() + "\n"}));
    for (LoopMount& d : drives)
        QVERIFY2(d.release(), qPrintable(d.releaseError()));
}

// Clip numbers on a player drive: a source whose folder names no number
// takes one that no clip folder on its drive has yet; a number another clip
// folder there has, or one past the players' limit, fails that destination
// before anything is written, in the window and on the command line.
void TestPlayerDrives::clipNumbersFitThePlayerDrive()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    LoopMount drive;
    QString error;
    const QString image = m_tmp.filePath("numbers.img");
    QVERIFY2(drive.create(image, 64 << 20, LoopMount::uniqueLabel(5), &error), qPrintable(error));
    const QString root = drive.mountPoint() + "/";
    auto convertOne = [&](const QString& folder) {
        BatchConvertWindow w(1, nullptr);
        w.addSource(false, folder, k25);
        modelOf(w)->sequenceAt(0)->setFrameCount(2);
        setPath(w, 0, root);
        w.startBatch();
        return status(w, 0);
    };

    // A source numbered 1, then one without a number: clips 1 and 2, both indexed.
    QCOMPARE(convertOne(m_shot), QString("Completed"));
    const QString clipB = copyOfShots("clipB", "clipB");
    QCOMPARE(convertOne(clipB), QString("Completed"));
    QCOMPARE(entries(root), (QStringList{"clipB_f25_00002", "index.dat", "shot_f25_00001"}));
    // Converted again, the numbered source writes its clip folder anew; the
    // other takes the next free number: clip folder 2 could be another
    // source's whose frames have the same names.
    Modal modal;
    modal.answers = {QMessageBox::Yes};
    QCOMPARE(convertOne(m_shot), QString("Completed"));
    QCOMPARE(modal.texts().size(), 1);
    QCOMPARE(convertOne(clipB), QString("Completed"));
    QCOMPARE(modal.texts().size(), 1);
    const QStringList clips{"clipB_f25_00002", "clipB_f25_00003", "index.dat", "shot_f25_00001"};
    QCOMPARE(entries(root), clips);
    QCOMPARE(s_messages, QStringList());

    // A folder numbered 2 under another name, and numbers past 9998.
    const QString take2 = copyOfShots("take2", "take");
    const QString take9999 = copyOfShots("take9999", "take");
    const QString take12345 = copyOfShots("take12345", "take");
    const QByteArray indexBefore = readAll(root + "index.dat");
    {
        BatchConvertWindow w(1, nullptr);
        for (const QString& folder : {take2, take9999, take12345}) {
            w.addSource(false, folder, k25);
            const int row = modelOf(w)->rowCount() - 1;
            BatchConvertModel* m = modelOf(w);
            QVERIFY(m->setData(m->index(0, BatchConvertModel::DestinationColumn, m->index(row, 0)), root));
        }
        w.startBatch();
        QCOMPARE(s_messages.size(), 1);
        QCOMPARE(s_messages.at(0),
                 QString("take_f25_00002 on %1 has clip number 2, which clipB_f25_00002 there already has: a player "
                         "drive plays one clip per number.\n"
                         "%2take_f25_09999: clip number 9999 is above 9998, the highest clip number a player drive "
                         "plays.\n"
                         "%2take_f25_12345: clip number 12345 is above 9998, the highest clip number a player drive "
                         "plays.")
                     .arg(root, root));
        BatchConvertModel* m = modelOf(w);
        for (int row = 0; row < 3; ++row)
            QCOMPARE(m->index(0, BatchConvertModel::StatusColumn, m->index(row, 0)).data().toString(),
                     QString("Conversion failed"));
    }
    QCOMPARE(entries(root), clips);
    QCOMPARE(readAll(root + "index.dat"), indexBefore);

    // The command line: an "ERROR:" line and a failed run.
    s_messages.clear();
    const CommandLineBatchJob job = commandLineJob(take9999, root);
    BatchConvertWindow cl(1, nullptr);
    QVERIFY(!cl.startCommandLineBatch(job));
    QCOMPARE(s_messages, QStringList{QString("%1take_f25_09999: clip number 9999 is above 9998, the highest clip "
                                             "number a player drive plays.")
                                         .arg(root)});
    QCOMPARE(cl.reportedMessages(), 1);
    QCOMPARE(entries(root), clips);

    // Within one window, the clip folder a source wrote is its own: the
    // second batch asks and writes it again.
    {
        BatchConvertWindow w(1, nullptr);
        w.addSource(false, clipB, k25);
        modelOf(w)->sequenceAt(0)->setFrameCount(2);
        setPath(w, 0, root);
        w.startBatch();
        QCOMPARE(status(w, 0), QString("Completed"));
        QCOMPARE(entries(root), (QStringList{"clipB_f25_00002", "clipB_f25_00003", "clipB_f25_00004", "index.dat", "shot_f25_00001"}));
        modal.answers = {QMessageBox::Yes};
        w.startBatch();
        QCOMPARE(modal.texts().size(), 2);
        QCOMPARE(status(w, 0), QString("Completed"));
        QCOMPARE(entries(root), (QStringList{"clipB_f25_00002", "clipB_f25_00003", "clipB_f25_00004", "index.dat", "shot_f25_00001"}));
    }
    QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
}

// A clip folder holding only notes and folders has no frames to overwrite:
// the command-line run goes ahead without force.
void TestPlayerDrives::foldersWithoutFramesAreNotInUse()
{
    const QString root = m_tmp.filePath("notes") + "/";
    const QString clip = root + "shot_f25_00001";
    QVERIFY(QDir().mkpath(clip + "/extra"));
    QVERIFY(writeAll(clip + "/notes.txt", "operator notes"));
    CommandLineBatchJob job = commandLineJob(m_shot, root);
    job.totalFrames = 2;
    {
        BatchConvertWindow w(1, nullptr);
        QVERIFY(w.startCommandLineBatch(job));
    }
    QCOMPARE(entries(clip), (QStringList{"extra", "notes.txt", "shot0001.krx", "shot0002.krx"}));
    // Frames there now: without force the run stops.
    BatchConvertWindow again(1, nullptr);
    QVERIFY(!again.startCommandLineBatch(job));
    QCOMPARE(s_messages, QStringList());
}

// Two mounted drives with one label: the window says which one it takes.
void TestPlayerDrives::twoDrivesWithOneLabelAreWarned()
{
    const QString missing = drivesMissing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    const QString label = LoopMount::uniqueLabel(7);
    LoopMount drives[2];
    QString error;
    for (int i = 0; i < 2; ++i)
        QVERIFY2(drives[i].create(m_tmp.filePath(QString("twin%1.img").arg(i)), 8 << 20, label, &error),
                 qPrintable(error));
    BatchConvertWindow w(1, nullptr);
    w.addSource(true, m_shot, k25);
    const QStringList warnings = s_messages.filter("Volume label '" + label + "'");
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.at(0).startsWith(QString("Volume label '%1' matches 2 mounted volumes; using ").arg(label)),
             qPrintable(warnings.at(0)));
    for (LoopMount& d : drives)
        QVERIFY2(d.release(), qPrintable(d.releaseError()));
}

QTEST_MAIN(TestPlayerDrives)
#include "tst_playerdrives.moc"
