// The batch tree over real Targa sequences made by ffmpeg: texts and roles,
// clip folders and numbers, slots, status rules, the duplicate-destination
// warning, out-of-range and stale calls, and the slot combo box in a tree view.
#include "../drivefs/index/loopmount.h"
#include "../engine/targa/tgahelpers.h"
#include "batchconvertmodel.h"
#include "reporters.h"
#include "reporting.h"
#include "slotlistdelegate.h"
#include "volumeinfo.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

using namespace tgatest;

namespace {

QStringList s_warnings;
void captureWarning(const reporting::Report& report)
{
    s_warnings << report.text;
    QVERIFY(!report.parent);
}

const QString kDuplicate = "Cannot export multiple files to the same destination at the same time.\n\n"
                           "Please select a different destination path.";

// Rate indexes used below.
const int k25 = 1, k5994 = 5, k100 = 6, k11988 = 7;

} // namespace

class TestBatchModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sourceAndDestinationTexts();
    void destinationVolumeKeptInRow();
    void editableBySourceKind();
    void clipFolderName();
    void clipNumbers();
    void fileNumberBounds();
    void statusTransitions_data();
    void statusTransitions();
    void slotNames();
    void nextFreeSlot();
    void sameRootTwice();
    void refusedPathTakesNothing();
    void defaultWarningIsABox();
    void outOfRangeAndStale();
    void rateDropGivesWholeVideo();
    void unloadedAndZeroFrames();
    void sequencesDeleted();
    void slotCombo();

private:
    QString folder(const QString& name, const QString& frame = QString());
    TargaSequence* sequence(const QString& dir, int rate);
    QString root(const QString& name);
    QModelIndex cell(const BatchConvertModel& model, int source, int destination, int column)
    {
        return model.index(destination, column, model.index(source, 0));
    }

    QTemporaryDir m_tmp;
    QString m_hd;      // 1280 x 720 frame
    QString m_hdDir;   // shot0001 .. shot0003
    QString m_uhdDir;  // one 3840 x 2160 frame
};

QString TestBatchModel::folder(const QString& name, const QString& frame)
{
    const QString dir = m_tmp.filePath(name);
    QDir().mkpath(dir);
    if (!frame.isEmpty())
        QFile::copy(frame, dir + "/clip0001.tga");
    return dir;
}

TargaSequence* TestBatchModel::sequence(const QString& dir, int rate)
{
    auto* seq = new TargaSequence;
    if (!seq->scan(dir))
        qWarning() << "scan failed" << dir;
    seq->setFrameRateIndex(rate);
    return seq;
}

// A destination root: an existing folder whose path ends in "/".
QString TestBatchModel::root(const QString& name)
{
    return folder("roots/" + name) + "/";
}

void TestBatchModel::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(m_tmp.isValid());
    m_hdDir = folder("shot reel");
    QCOMPARE(ffmpegFrames(m_hdDir + "/shot%04d.tga", 1280, 720, 24, false, 3, 1), QString());
    m_hd = m_hdDir + "/shot0001.tga";
    m_uhdDir = folder("uhd");
    QCOMPARE(ffmpegFrames(m_uhdDir + "/uhd0001.tga", 3840, 2160, 24, true), QString());
    reporting::install(captureWarning);
}

void TestBatchModel::init()
{
    s_warnings.clear();
}

void TestBatchModel::sourceAndDestinationTexts()
{
    BatchConvertModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.addSource(sequence(m_hdDir, k5994));
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
    model.addDestination(0);
    QCOMPARE(model.rowCount(model.index(0, 0)), 1);
    QCOMPARE(model.columnCount(), 5);

    const QStringList headers{"Destination", "Slot", "File Name", "File No.", "Status"};
    for (int c = 0; c < 5; ++c) {
        QCOMPARE(model.headerData(c, Qt::Horizontal).toString(), headers[c]);
        QVERIFY(!model.headerData(c, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(c, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }
    QVERIFY(!model.headerData(5, Qt::Horizontal).isValid());

    // Source row: one text for every column, bold, nothing else.
    const QString sourceText = "shot[0001-0003].tga (" + QDir::toNativeSeparators(m_hdDir) + ")";
    for (int c = 0; c < 5; ++c) {
        const QModelIndex s = model.index(0, c);
        QCOMPARE(s.data().toString(), sourceText);
        QVERIFY(s.data(Qt::FontRole).value<QFont>().bold());
        QVERIFY(!s.data(Qt::EditRole).isValid());
        QVERIFY(!s.data(Qt::ForegroundRole).isValid());
        QVERIFY(!s.data(BatchConvertModel::CursorRole).isValid());
        QCOMPARE(model.flags(s), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        QVERIFY(!model.setData(s, "x"));
    }

    // A destination without a drive. "shot reel" ends in no digits: clip 1.
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), QString("Select a drive"));
    QVERIFY(cell(model, 0, 0, 0).data(Qt::FontRole).value<QFont>().underline());
    QCOMPARE(cell(model, 0, 0, 0).data(Qt::ForegroundRole).value<QBrush>(), QBrush(Qt::blue));
    QCOMPARE(cell(model, 0, 0, 0).data(BatchConvertModel::CursorRole).toInt(), int(Qt::PointingHandCursor));
    QCOMPARE(cell(model, 0, 0, 1).data().toString(), QString("Full video"));
    QCOMPARE(cell(model, 0, 0, 1).data(Qt::EditRole).toInt(), 0);
    QCOMPARE(cell(model, 0, 0, 2).data().toString(), QString("shot"));
    QCOMPARE(cell(model, 0, 0, 2).data(Qt::EditRole).toString(), QString("shot"));
    QCOMPARE(cell(model, 0, 0, 3).data().toString(), QString("0001"));
    QCOMPARE(cell(model, 0, 0, 3).data(Qt::EditRole).toInt(), 1);
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("No drive selected"));
    for (int c = 1; c < 5; ++c) {
        QVERIFY(!cell(model, 0, 0, c).data(Qt::FontRole).isValid());
        QVERIFY(!cell(model, 0, 0, c).data(Qt::ForegroundRole).isValid());
        QVERIFY(!cell(model, 0, 0, c).data(BatchConvertModel::CursorRole).isValid());
    }
    QVERIFY(!cell(model, 0, 0, 0).data(Qt::EditRole).isValid());
    QVERIFY(!cell(model, 0, 0, 4).data(Qt::EditRole).isValid());
    QVERIFY(!cell(model, 0, 0, 4).data(Qt::DecorationRole).isValid());
    // Completed shows as such even without a drive.
    QVERIFY(model.setData(cell(model, 0, 0, 4), DestinationCompleted));
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("Completed"));
    QVERIFY(model.setData(cell(model, 0, 0, 4), DestinationPending));

    // With a drive: the volume's label and the path; later rows show no clip.
    const QString path = root("texts");
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QVERIFY(model.setData(cell(model, 0, 0, 0), path));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), cell(model, 0, 0, 0));
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), cell(model, 0, 0, 4));
    const QString label = VolumeInfo(path).name();
    const QString shown = label.isEmpty() ? path : QString("%1 (%2)").arg(label, path);
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), shown);
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("Pending"));
    model.addDestination(0);
    QVERIFY(!cell(model, 0, 1, 2).data().isValid());
    QVERIFY(!cell(model, 0, 1, 3).data().isValid());
    QVERIFY(!cell(model, 0, 1, 2).data(Qt::EditRole).isValid());
    QVERIFY(!cell(model, 0, 1, 3).data(Qt::EditRole).isValid());
    QCOMPARE(model.parent(cell(model, 0, 1, 3)), model.index(0, 0));
    QVERIFY(!model.parent(model.index(0, 0)).isValid());
    QVERIFY(!model.setData(cell(model, 0, 0, 0), path + "x", Qt::DisplayRole));

    // The status picture of a counting destination: the model's own bar.
    QVERIFY(model.setData(cell(model, 0, 0, 4), 2));
    const QPixmap picture = cell(model, 0, 0, 4).data(Qt::DecorationRole).value<QPixmap>();
    QCOMPARE(picture.size(), QSize(100, 15));
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString());   // not running
}

// What a destination cell shows of its volume is read when the path is set
// and on a refresh, never while painting: a drive unmounted meanwhile keeps
// its label on screen until the next refresh.
void TestBatchModel::destinationVolumeKeptInRow()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("a mounted drive needs " + missing));
    // A label no other run uses (11 characters at most on exFAT), still a
    // player drive's: "T9PW", six letters, then a drive number (8, which the
    // tests that wait for drives 1 to 4 do not wait for).
    QString label = "T9PW";
    for (int i = 0; i < 6; ++i)
        label += QChar('a' + QRandomGenerator::global()->bounded(26));
    label += '8';
    LoopMount drive;
    QString error;
    QVERIFY2(drive.create(m_tmp.filePath("volume.img"), 8 << 20, label, &error), qPrintable(error));
    const QString path = drive.mountPoint() + "/";

    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k25));
    model.addDestination(0);
    model.addDestination(0);
    const QString plain = root("beside the drive");
    QVERIFY(model.setData(cell(model, 0, 1, 0), plain));
    QVERIFY(model.setData(cell(model, 0, 0, 0), path));
    const QString shown = QString("%1 (%2)").arg(label, path);
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), shown);
    BatchConvertModel::DestinationVolume volume = model.destinationVolume(0, 0);
    QCOMPARE(volume.label, label);
    QCOMPARE(volume.root, path);
    QVERIFY(volume.playerDrive);
    QCOMPARE(model.destinationVolume(0, 1).root, VolumeInfo::rootPathOf(plain));
    QVERIFY(!model.destinationVolume(0, 1).playerDrive);
    QVERIFY(!model.destinationVolume(0, 2).playerDrive);

    QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    QVERIFY(!VolumeInfo(path).isPlayerDrive());
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), shown);
    QVERIFY(model.destinationVolume(0, 0).playerDrive);

    // The refresh sees the drive gone and repaints that cell only.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.refreshDestinations();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), cell(model, 0, 0, 0));
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), cell(model, 0, 0, 0));
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), path);
    volume = model.destinationVolume(0, 0);
    QVERIFY(volume.label.isEmpty());
    QVERIFY(!volume.playerDrive);
    model.refreshDestinations();
    QCOMPARE(changed.count(), 1);
}

void TestBatchModel::editableBySourceKind()
{
    BatchConvertModel model;
    const Qt::ItemFlags plain = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const Qt::ItemFlags editable = plain | Qt::ItemIsEditable;
    model.addSource(sequence(m_hdDir, k25));
    model.addSource(sequence(m_hdDir, k100));
    model.addSource(sequence(m_uhdDir, k5994));
    for (int s = 0; s < 3; ++s) {
        model.addDestination(s);
        model.addDestination(s);
    }
    const bool slotEditable[3] = {false, true, true};
    for (int s = 0; s < 3; ++s) {
        for (int d = 0; d < 2; ++d) {
            QCOMPARE(model.flags(cell(model, s, d, 0)), plain);
            QCOMPARE(model.flags(cell(model, s, d, 1)), slotEditable[s] ? editable : plain);
            QCOMPARE(model.flags(cell(model, s, d, 2)), d == 0 ? editable : plain);
            QCOMPARE(model.flags(cell(model, s, d, 3)), d == 0 ? editable : plain);
            QCOMPARE(model.flags(cell(model, s, d, 4)), plain);
        }
        QCOMPARE(model.flags(model.index(s, 1)), plain);
    }
    QCOMPARE(model.flags(QModelIndex()), Qt::NoItemFlags);
    // A plain source's destinations all take the whole video.
    QCOMPARE(model.slotOf(0, 0), -1);
    QCOMPARE(model.slotOf(0, 1), -1);
    QCOMPARE(model.slotName(0, 1), QString("Full video"));
}

void TestBatchModel::clipFolderName()
{
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(0);
    QVERIFY(model.setData(cell(model, 0, 0, 3), 7));
    // No drive: the current folder, so a relative name.
    QCOMPARE(model.outputBaseName(0, 0), QString("shot_f59_00007"));
    const QString path = root("e");
    QVERIFY(model.setData(cell(model, 0, 0, 0), path));
    QCOMPARE(model.outputBaseName(0, 0), path + "shot_f59_00007");
    // The clip name is joined with no separator of its own.
    QVERIFY(model.setData(cell(model, 0, 0, 2), "take/"));
    QCOMPARE(model.outputBaseName(0, 0), path + "take/_f59_00007");
    QVERIFY(model.setData(cell(model, 0, 0, 2), "shot"));
    model.sequenceAt(0)->setFrameRateIndex(k11988);
    QCOMPARE(model.outputBaseName(0, 0), path + "shot_f119_00007");
    model.sequenceAt(0)->setFrameRateIndex(0);
    QCOMPARE(model.outputBaseName(0, 0), path + "shot_f23_00007");
    // A root that does not exist has no clip folder.
    QVERIFY(model.setData(cell(model, 0, 0, 0), m_tmp.filePath("gone") + "/"));
    QCOMPARE(model.outputBaseName(0, 0), QString());
}

void TestBatchModel::clipNumbers()
{
    BatchConvertModel model;
    const struct {
        const char* name;
        int number;
    } named[] = {{"frames/take12", 12}, {"frames/take0", 1}, {"frames/take12345", 12345},
                 {"frames/take00099999999999", 0}};
    for (const auto& n : named)
        model.addSource(sequence(folder(n.name, m_hd), k5994));
    for (int s = 0; s < 4; ++s) {
        model.addDestination(s);
        if (named[s].number > 0)
            QCOMPARE(cell(model, s, 0, 3).data(Qt::EditRole).toInt(), named[s].number);
        QCOMPARE(cell(model, s, 0, 2).data().toString(), QString("clip"));
    }
    QCOMPARE(cell(model, 2, 0, 3).data().toString(), QString("12345"));
    QVERIFY(model.outputBaseName(2, 0).endsWith("clip_f59_12345"));
    // Past an int the number is kept as written, never wrapped to another clip's.
    QCOMPARE(cell(model, 3, 0, 3).data().toString(), QString("99999999999"));
    QVERIFY(model.outputBaseName(3, 0).endsWith("clip_f59_99999999999"));

    // Without trailing digits: the smallest number no source uses.
    BatchConvertModel gaps;
    gaps.addSource(sequence(folder("gaps/take1", m_hd), k5994));
    gaps.addSource(sequence(folder("gaps/take3", m_hd), k5994));
    gaps.addSource(sequence(folder("gaps/reel", m_hd), k5994));
    gaps.addSource(sequence(folder("gaps/reel b", m_hd), k5994));
    gaps.addSource(sequence(folder("gaps/reel c", m_hd), k5994));
    for (int s = 0; s < 5; ++s)
        gaps.addDestination(s);
    QCOMPARE(cell(gaps, 2, 0, 3).data(Qt::EditRole).toInt(), 2);
    QCOMPARE(cell(gaps, 3, 0, 3).data(Qt::EditRole).toInt(), 4);
    QCOMPARE(cell(gaps, 4, 0, 3).data(Qt::EditRole).toInt(), 5);
}

void TestBatchModel::fileNumberBounds()
{
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(0);
    model.addDestination(0);
    QVERIFY(model.setData(cell(model, 0, 1, 4), DestinationFailed));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    for (const QVariant& bad : {QVariant(0), QVariant(10000), QVariant(-3), QVariant("seven"), QVariant()})
        QVERIFY2(!model.setData(cell(model, 0, 0, 3), bad), qPrintable(bad.toString()));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(cell(model, 0, 0, 3).data().toString(), QString("0001"));
    QVERIFY(model.setData(cell(model, 0, 0, 3), 9999));
    QCOMPARE(cell(model, 0, 0, 3).data().toString(), QString("9999"));
    QVERIFY(model.setData(cell(model, 0, 0, 3), "7"));
    QCOMPARE(cell(model, 0, 0, 3).data().toString(), QString("0007"));
    // The number belongs to the source; only the edited row goes back to pending.
    QVERIFY(model.setData(cell(model, 0, 1, 3), 8));
    QCOMPARE(cell(model, 0, 0, 3).data().toString(), QString("0008"));
    QCOMPARE(changed.last().at(0).value<QModelIndex>(), cell(model, 0, 1, 0));
    QCOMPARE(changed.last().at(1).value<QModelIndex>(), cell(model, 0, 1, 4));
    // A clip name may be empty but not null.
    QVERIFY(!model.setData(cell(model, 0, 0, 2), QVariant()));
    QCOMPARE(cell(model, 0, 0, 2).data().toString(), QString("shot"));
}

void TestBatchModel::statusTransitions_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("pending to canceled") << 0 << -5 << true;
    QTest::newRow("counting to canceled") << 12 << -5 << true;
    QTest::newRow("indexing to canceled") << -4 << -5 << true;
    QTest::newRow("completed to canceled") << -1 << -5 << false;
    QTest::newRow("failed to canceled") << -2 << -5 << false;
    QTest::newRow("canceled to canceled") << -5 << -5 << false;
    QTest::newRow("completed to pending") << -1 << 0 << true;
    QTest::newRow("completed to counting") << -1 << 3 << false;
    QTest::newRow("completed to failed") << -1 << -2 << false;
    QTest::newRow("failed to pending") << -2 << 0 << true;
    QTest::newRow("counting to indexing") << 5 << -4 << true;
    QTest::newRow("indexing to completed") << -4 << -1 << true;
    QTest::newRow("canceled to counting") << -5 << 1 << true;
}

void TestBatchModel::statusTransitions()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(bool, accepted);
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(0);
    const QModelIndex status = cell(model, 0, 0, 4);
    QVERIFY(model.setData(cell(model, 0, 0, 0), root("status")));
    // Reach "from" the way a batch would.
    if (from != 0)
        QVERIFY(model.setData(status, from));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QCOMPARE(model.setData(status, to), accepted);
    QCOMPARE(changed.count(), accepted ? 1 : 0);
    if (accepted) {
        QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), status);
        QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), status);
    }
    const int now = accepted ? to : from;
    const QMap<int, QString> texts{{0, "Pending"}, {-1, "Completed"}, {-2, "Conversion failed"},
                                   {-4, "Indexing files..."}, {-5, "Canceled"}};
    QCOMPARE(status.data().toString(), texts.value(now));   // counts show nothing when idle
    QCOMPARE(status.data(Qt::DecorationRole).isValid(), now > 0);
}

void TestBatchModel::slotNames()
{
    BatchConvertModel model;
    model.addSource(sequence(m_uhdDir, k11988));   // 8 slots
    model.addSource(sequence(m_uhdDir, k5994));    // 4 slots
    model.addSource(sequence(m_hdDir, k100));      // 2 slots
    QCOMPARE(model.sequenceAt(0)->slotCount(), 8);
    const int destinations[3] = {9, 5, 3};
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < destinations[s]; ++i) {
            model.addDestination(s, i);
            model.setSlot(s, i, i - 1);
        }
    }
    for (int i = 0; i < 9; ++i) {
        QCOMPARE(model.slotName(0, i), BatchConvertModel::slotNames4KHfr().at(i));
        QCOMPARE(cell(model, 0, i, 1).data().toString(), BatchConvertModel::slotNames4KHfr().at(i));
        QCOMPARE(cell(model, 0, i, 1).data(Qt::EditRole).toInt(), i);
    }
    QCOMPARE(model.slotName(0, 6), QString("6 of 8 (Bottom left, even frames)"));
    QCOMPARE(model.slotName(1, 4), QString("4 of 4 (Bottom right)"));
    QCOMPARE(model.slotName(2, 1), QString("1 of 2 (Odd frames)"));
    QCOMPARE(model.slotName(2, 2), QString("2 of 2 (Even frames)"));
    QCOMPARE(model.slotName(2, 0), QString("Full video"));

    // Stored slots survive a rate change and are read against the new count.
    model.sequenceAt(0)->setFrameRateIndex(k5994);
    QCOMPARE(model.slotOf(0, 6), 1);   // stored 5
    QCOMPARE(model.slotName(0, 6), QString("2 of 4 (Top right)"));
    QVERIFY(model.setData(cell(model, 0, 6, 1), 4));
    QCOMPARE(model.slotOf(0, 6), 3);
    model.setSlot(0, 6, 6);
    QCOMPARE(model.slotOf(0, 6), 2);
    QVERIFY(model.setData(cell(model, 0, 6, 1), QVariant()));
    QCOMPARE(model.slotOf(0, 6), -1);
    model.setSlot(0, 6, -7);
    QCOMPARE(model.slotOf(0, 6), -1);
}

void TestBatchModel::nextFreeSlot()
{
    BatchConvertModel model;
    model.addSource(sequence(m_uhdDir, k100));
    model.addDestination(0, 0);
    model.addDestination(0, 1);
    model.addDestination(0, 3);
    QCOMPARE(model.firstFreeSlot(0), 2);
    model.addDestination(0);
    QCOMPARE(model.slotOf(0, 3), 2);
    for (int i = 0; i < 4; ++i)
        model.addDestination(0);
    QCOMPARE(model.slotOf(0, 7), 7);
    QCOMPARE(model.firstFreeSlot(0), -1);
    model.addDestination(0);   // the ninth: 8 mod 8
    QCOMPARE(model.slotOf(0, 8), 0);
    // A stored slot at or above the count marks its remainder.
    model.removeDestination(0, 5);   // slot 5 free
    QCOMPARE(model.firstFreeSlot(0), 5);
    model.addDestination(0, 13);     // kept as given, read as 13 mod 8 = 5
    QCOMPARE(model.slotOf(0, 8), 5);
    QCOMPARE(model.firstFreeSlot(0), -1);

    // A plain source has no slots.
    model.addSource(sequence(m_hdDir, k5994));
    QCOMPARE(model.firstFreeSlot(1), -1);
    model.addDestination(1, -4);
    QCOMPARE(model.slotOf(1, 0), -1);
}

void TestBatchModel::sameRootTwice()
{
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(0);
    model.addDestination(0);
    const QString path = root("twice");
    const QString other = root("other");
    QVERIFY(model.setData(cell(model, 0, 0, 0), path));
    QVERIFY(model.setData(cell(model, 0, 1, 0), other));
    QVERIFY(model.setData(cell(model, 0, 1, 4), 5));

    // The same root while the first is not completed: refused, old path kept.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QVERIFY(!model.setData(cell(model, 0, 1, 0), path));
    QCOMPARE(s_warnings, QStringList{kDuplicate});
    QCOMPARE(changed.count(), 0);
    QCOMPARE(model.outputBaseName(0, 1), other + "shot_f59_00001");
    QCOMPARE(model.destinationsForSlot(0, -1), (QList<int>{0, 1}));
    QCOMPARE(cell(model, 0, 1, 4).data(Qt::EditRole), QVariant());
    QVERIFY(cell(model, 0, 1, 4).data(Qt::DecorationRole).isValid());   // status 5 kept

    // Once the first is completed, it gives its path up.
    QVERIFY(model.setData(cell(model, 0, 0, 4), DestinationCompleted));
    QVERIFY(!model.destinationsForSlot(0, -1).contains(0));
    changed.clear();
    QVERIFY(model.setData(cell(model, 0, 1, 0), path));
    QCOMPARE(s_warnings.size(), 1);
    QCOMPARE(cell(model, 0, 0, 0).data().toString(), QString("Select a drive"));
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("Completed"));
    QCOMPARE(model.outputBaseName(0, 1), path + "shot_f59_00001");
    QCOMPARE(cell(model, 0, 1, 4).data().toString(), QString("Pending"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), cell(model, 0, 0, 0));
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), cell(model, 0, 0, 0));

    // Roots that do not exist have no clip folder and never clash.
    const QString missing = m_tmp.filePath("missing") + "/";
    QVERIFY(model.setData(cell(model, 0, 0, 0), missing));
    QVERIFY(model.setData(cell(model, 0, 1, 0), missing));
    QCOMPARE(s_warnings.size(), 1);
    QVERIFY(model.destinationsForSlot(0, -1).isEmpty());
    // An empty path never clashes either.
    QVERIFY(model.setData(cell(model, 0, 0, 0), QString()));
    QVERIFY(model.setData(cell(model, 0, 1, 0), QString()));
    QCOMPARE(s_warnings.size(), 1);
}

void TestBatchModel::refusedPathTakesNothing()
{
    // A completed and a pending destination on one root (set while the root
    // did not exist yet): a third one asking for it is refused, and the
    // completed one keeps its path.
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    for (int i = 0; i < 3; ++i)
        model.addDestination(0);
    const QString late = m_tmp.filePath("roots/late") + "/";
    QVERIFY(model.setData(cell(model, 0, 0, 0), late));
    QVERIFY(model.setData(cell(model, 0, 1, 0), late));
    QVERIFY(s_warnings.isEmpty());
    QVERIFY(QDir().mkpath(late));
    QVERIFY(model.setData(cell(model, 0, 0, 4), DestinationCompleted));
    QVERIFY(!model.setData(cell(model, 0, 2, 0), late));
    QCOMPARE(s_warnings, QStringList{kDuplicate});
    QCOMPARE(model.outputBaseName(0, 0), late + "shot_f59_00001");
    QCOMPARE(model.outputBaseName(0, 1), late + "shot_f59_00001");
    QCOMPARE(cell(model, 0, 2, 0).data().toString(), QString("Select a drive"));
}

void TestBatchModel::defaultWarningIsABox()
{
    installBoxReporter();
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(0);
    model.addDestination(0);
    const QString path = root("box");
    QVERIFY(model.setData(cell(model, 0, 0, 0), path));
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool parented = true;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            parented = box->parentWidget() != nullptr;
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start(20);
    const bool accepted = model.setData(cell(model, 0, 1, 0), path);
    reporting::install(captureWarning);
    QVERIFY(!accepted);
    QCOMPARE(title, QString("Quorvel"));
    QCOMPARE(text, kDuplicate);
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(!parented);
    QCOMPARE(cell(model, 0, 1, 0).data().toString(), QString("Select a drive"));
}

void TestBatchModel::outOfRangeAndStale()
{
    BatchConvertModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    // Nothing at all.
    QVERIFY(!model.index(0, 0).isValid());
    QVERIFY(!model.data(QModelIndex()).isValid());
    QVERIFY(!model.setData(QModelIndex(), 1));
    QCOMPARE(model.sequenceAt(0), nullptr);
    model.removeSource(0);
    model.addDestination(0);
    QCOMPARE(model.rowCount(), 0);

    model.addSource(sequence(m_hdDir, k100));
    model.addDestination(0);
    QVERIFY(model.setData(cell(model, 0, 0, 0), root("range")));
    for (int row : {-1, 1, 7}) {
        QCOMPARE(model.sequenceAt(row), nullptr);
        QCOMPARE(model.outputBaseName(row, 0), QString());
        QCOMPARE(model.firstFreeSlot(row), -1);
        QCOMPARE(model.slotOf(row, 0), -1);
        QCOMPARE(model.slotName(row, 0), QString());
        QVERIFY(model.destinationsForSlot(row, 0).isEmpty());
        model.setSlot(row, 0, 1);
        model.addDestination(row);
        model.removeDestination(row, 0);
        model.removeSource(row);
    }
    for (int d : {-1, 1, 9}) {
        QCOMPARE(model.outputBaseName(0, d), QString());
        QCOMPARE(model.slotOf(0, d), -1);
        QCOMPARE(model.slotName(0, d), QString());
        model.setSlot(0, d, 1);
        model.removeDestination(0, d);
    }
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.rowCount(model.index(0, 0)), 1);
    QVERIFY(!model.index(1, 0).isValid());
    QVERIFY(!model.index(0, 5).isValid());
    QVERIFY(!model.index(-1, 0).isValid());
    QVERIFY(!model.index(1, 0, model.index(0, 0)).isValid());
    QVERIFY(!model.index(0, 0, cell(model, 0, 0, 0)).isValid());   // destinations have no children
    QCOMPARE(model.rowCount(cell(model, 0, 0, 0)), 0);
    QCOMPARE(model.rowCount(model.index(0, 2)), 0);
    QVERIFY(!model.setData(cell(model, 0, 0, 5), 1));

    // Indexes kept after their rows went away find nothing.
    const QModelIndex destination = cell(model, 0, 0, 4);
    const QModelIndex source = model.index(0, 0);
    model.removeDestination(0, 0);
    QVERIFY(!destination.data().isValid());
    QVERIFY(!model.setData(destination, DestinationCanceled));
    QCOMPARE(model.flags(destination), Qt::NoItemFlags);
    QVERIFY(!model.parent(destination).isValid());
    model.addDestination(0);   // a new node, not the old one
    QVERIFY(!destination.data().isValid());
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("No drive selected"));
    model.removeSource(0);
    QVERIFY(!source.data().isValid());
    QCOMPARE(model.rowCount(source), 0);
    // An index of another model is not ours.
    BatchConvertModel other;
    other.addSource(sequence(m_hdDir, k5994));
    QVERIFY(!model.data(other.index(0, 0)).isValid());
}

void TestBatchModel::rateDropGivesWholeVideo()
{
    // Slots chosen at 100 frames per second; the rate then drops to 59.94.
    BatchConvertModel model;
    model.addSource(sequence(m_hdDir, k100));
    model.addDestination(0);
    model.addDestination(0);
    QCOMPARE(model.slotOf(0, 0), 0);
    QCOMPARE(model.slotOf(0, 1), 1);
    const QString odd = root("drop odd"), even = root("drop even");
    QVERIFY(model.setData(cell(model, 0, 0, 0), odd));
    QVERIFY(model.setData(cell(model, 0, 1, 0), even));
    TargaSequence* seq = model.sequenceAt(0);
    seq->setFrameRateIndex(k5994);
    QCOMPARE(seq->slotCount(), 1);
    for (int d = 0; d < 2; ++d) {
        QCOMPARE(model.slotOf(0, d), -1);
        QCOMPARE(model.slotName(0, d), QString("Full video"));
        QCOMPARE(cell(model, 0, d, 1).data(Qt::EditRole).toInt(), 0);
    }
    QCOMPARE(model.destinationsForSlot(0, -1), (QList<int>{0, 1}));
    QVERIFY(model.destinationsForSlot(0, 0).isEmpty());

    // Converted the way the batch window hands destinations over: every
    // frame reaches both clip folders.
    QList<SequenceDestination> list;
    for (int s = -1; s < seq->slotCount(); ++s) {
        for (int d : model.destinationsForSlot(0, s)) {
            SequenceDestination target;
            target.path = model.outputBaseName(0, d);
            target.slot = s;
            list << target;
        }
    }
    QCOMPARE(list.size(), 2);
    QList<int> codes;
    connect(seq, &TargaSequence::frameConverted, &model, [&](int code) {
        codes << code;
        for (int d = 0; d < 2; ++d)
            model.setData(cell(model, 0, d, 4), code);
    });
    seq->startConversion(list, TargaSequence::Targa);
    QTRY_VERIFY_WITH_TIMEOUT(seq->thread() == QThread::currentThread(), 60000);
    QTRY_VERIFY(codes.contains(-1));
    QCOMPARE(codes, (QList<int>{1, 2, 3, -4, -1}));
    for (const QString& clip : {odd + "shot_f59_00001", even + "shot_f59_00001"}) {
        QCOMPARE(QDir(clip).entryList(QDir::Files),
                 (QStringList{"shot0001.tga", "shot0002.tga", "shot0003.tga"}));
    }
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString("Completed"));
    QVERIFY(model.destinationsForSlot(0, -1).isEmpty());
}

void TestBatchModel::unloadedAndZeroFrames()
{
    BatchConvertModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    // A sequence that never loaded: frame-rate index and counts read -1.
    auto* empty = new TargaSequence;
    QVERIFY(!empty->scan(folder("nothing here")));
    model.addSource(empty);
    model.addDestination(0);
    QVERIFY(model.setData(cell(model, 0, 0, 0), root("unloaded")));
    QCOMPARE(model.index(0, 0).data().toString(), QString());
    QCOMPARE(model.outputBaseName(0, 0), QString());
    QVERIFY(model.setData(cell(model, 0, 0, 4), 4));
    QVERIFY(!cell(model, 0, 0, 4).data(Qt::DecorationRole).isValid());
    QCOMPARE(cell(model, 0, 0, 4).data().toString(), QString());
    QCOMPARE(model.slotName(0, 0), QString("Full video"));
    model.addSource(sequence(m_hdDir, k5994));
    model.addDestination(1);
    // A source without a sequence shows empty cells.
    model.addSource(nullptr);
    model.addDestination(2);
    QVERIFY(!model.index(2, 0).data().isValid());
    QVERIFY(!cell(model, 2, 0, 0).data().isValid());
    QCOMPARE(model.slotOf(2, 0), -1);

    // A loaded, running sequence whose frame count was set to 0: no count to
    // divide by. A finished conversion leaves the sequence running until the
    // batch moves on.
    TargaSequence* seq = sequence(m_hdDir, k5994);
    model.addSource(seq);
    model.addDestination(3);
    const QString path = root("zero");
    QVERIFY(model.setData(cell(model, 3, 0, 0), path));
    QCOMPARE(seq->setFrameCount(1), 1);
    QSignalSpy codes(seq, &TargaSequence::frameConverted);
    seq->startConversion({SequenceDestination{model.outputBaseName(3, 0), -1, 0}}, TargaSequence::KRX);
    QTRY_VERIFY_WITH_TIMEOUT(seq->thread() == QThread::currentThread(), 60000);
    QTRY_COMPARE(codes.count(), 3);
    QVERIFY(seq->isRunning());
    QVERIFY(model.setData(cell(model, 3, 0, 4), 1));
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString("1 of 1 frames (100.00%)"));
    QVERIFY(model.setData(cell(model, 3, 0, 4), 0));
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString("0 of 1 frames (0.00%)"));
    QCOMPARE(seq->setFrameCount(3), 3);
    QVERIFY(model.setData(cell(model, 3, 0, 4), 2));
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString("2 of 3 frames (66.67%)"));
    QCOMPARE(seq->setFrameCount(0), 0);
    QCOMPARE(model.index(3, 0).data().toString(),
             "shot[0001-0000].tga (" + QDir::toNativeSeparators(m_hdDir) + ")");
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString());
    QVERIFY(!cell(model, 3, 0, 4).data(Qt::DecorationRole).isValid());
    seq->cancelConversion();
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString());
    QVERIFY(model.setData(cell(model, 3, 0, 4), 0));
    QCOMPARE(cell(model, 3, 0, 4).data().toString(), QString("Pending"));
}

void TestBatchModel::sequencesDeleted()
{
    auto* model = new BatchConvertModel;
    QList<QPointer<TargaSequence>> sequences;
    for (int i = 0; i < 3; ++i) {
        sequences << sequence(m_hdDir, k5994);
        model->addSource(sequences.last());
        model->addDestination(i);
        model->setData(cell(*model, i, 0, 4), 3);
    }
    QSignalSpy removed(model, &QAbstractItemModel::rowsRemoved);
    model->removeSource(1);
    QVERIFY(sequences[1].isNull());
    QVERIFY(!sequences[0].isNull() && !sequences[2].isNull());
    QCOMPARE(removed.count(), 1);
    QCOMPARE(model->sequenceAt(1), sequences[2].data());

    // The progress picture's bar belongs to the model and goes with it.
    QVERIFY(cell(*model, 0, 0, 4).data(Qt::DecorationRole).isValid());
    auto bars = [] {
        int n = 0;
        for (QWidget* w : QApplication::allWidgets())
            n += qobject_cast<QProgressBar*>(w) ? 1 : 0;
        return n;
    };
    QCOMPARE(bars(), 1);
    BatchConvertModel second;
    second.addSource(sequence(m_hdDir, k5994));
    second.addDestination(0);
    second.setData(cell(second, 0, 0, 4), 1);
    QVERIFY(cell(second, 0, 0, 4).data(Qt::DecorationRole).isValid());
    QCOMPARE(bars(), 2);

    removed.clear();
    delete model;
    QVERIFY(sequences[0].isNull());
    QVERIFY(sequences[2].isNull());
    QCOMPARE(removed.count(), 2);   // one row at a time from the top
    QCOMPARE(bars(), 1);
}

void TestBatchModel::slotCombo()
{
    BatchConvertModel model;
    model.addSource(sequence(m_uhdDir, k5994));    // 4 slots
    model.addSource(sequence(m_hdDir, k11988));    // 2 slots
    model.addSource(sequence(m_uhdDir, k100));     // 8 slots
    model.addSource(sequence(m_hdDir, k25));       // none
    for (int s = 0; s < 4; ++s)
        model.addDestination(s);
    QTreeView view;
    view.setModel(&model);
    SlotListDelegate delegate(&view);
    view.setItemDelegateForColumn(1, &delegate);
    view.expandAll();
    view.resize(900, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const int counts[4] = {5, 3, 9, 0};
    QStyleOptionViewItem option;
    for (int s = 0; s < 4; ++s) {
        std::unique_ptr<QWidget> editor(delegate.createEditor(view.viewport(), option, cell(model, s, 0, 1)));
        auto* combo = qobject_cast<QComboBox*>(editor.get());
        QVERIFY(combo);
        QCOMPARE(combo->parentWidget(), view.viewport());
        QCOMPARE(combo->count(), counts[s]);
    }
    {   // A source row's cell has no list.
        std::unique_ptr<QWidget> none(delegate.createEditor(view.viewport(), option, model.index(0, 1)));
        QCOMPARE(qobject_cast<QComboBox*>(none.get())->count(), 0);
    }

    // Edited in the view: the 4K list, wide enough for its longest name.
    const QModelIndex slotCell = cell(model, 0, 0, 1);
    QCOMPARE(model.slotOf(0, 0), 0);
    view.setCurrentIndex(slotCell);
    view.edit(slotCell);
    auto* combo = view.viewport()->findChild<QComboBox*>();
    QVERIFY(combo);
    QCOMPARE(combo->count(), 5);
    QCOMPARE(combo->itemText(0), QString("Full video"));
    QCOMPARE(combo->itemText(4), QString("4 of 4 (Bottom right)"));
    QCOMPARE(combo->currentIndex(), 1);
    QVERIFY(combo->view()->minimumWidth() >= combo->view()->fontMetrics().horizontalAdvance("4 of 4 (Bottom right)"));
    combo->setCurrentIndex(combo->findText("3 of 4 (Bottom left)"));
    QTest::keyClick(combo, Qt::Key_Return);
    QTRY_COMPARE(model.slotOf(0, 0), 2);
    QCOMPARE(slotCell.data().toString(), QString("3 of 4 (Bottom left)"));

    // "Full video" is slot -1.
    std::unique_ptr<QWidget> editor(delegate.createEditor(view.viewport(), option, slotCell));
    delegate.setEditorData(editor.get(), slotCell);
    QCOMPARE(qobject_cast<QComboBox*>(editor.get())->currentIndex(), 3);
    qobject_cast<QComboBox*>(editor.get())->setCurrentIndex(0);
    delegate.setModelData(editor.get(), &model, slotCell);
    QCOMPARE(model.slotOf(0, 0), -1);
}

QTEST_MAIN(TestBatchModel)
#include "tst_batchmodel.moc"
