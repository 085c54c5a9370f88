// The batch conversion window offscreen over real Targa sequences made by
// ffmpeg: its form and idle state, sources and their preview, the drive
// dialog from a click, the context menu, whole conversions checked against
// ffmpeg's pixels, the overwrite question, shared clip folders, failures,
// cancel, the remaining-slot question, closing while a batch runs, and (with
// root, loop devices and FUSE) four player drives assigned and indexed and a
// drive unmounted before a batch starts.
#include "../drivefs/index/indexfixture.h"
#include "../drivefs/index/loopmount.h"
#include "../engine/targa/tgahelpers.h"
#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "batchtest.h"
#include "driveselectdialog.h"
#include "reporters.h"
#include "reporting.h"
#include "slotlistdelegate.h"
#include "volumeinfo.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSlider>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QSplitter>
#include <QTemporaryDir>
#include <QToolBar>
#include <QTreeView>
#include <QtTest>

#include <sys/resource.h>

using namespace tgatest;
using batchtest::Modal;

namespace {

// A mount namespace of the test's own, made before any thread starts so that
// every thread shares it; empty when made, else what failed.
const QString s_ownMounts = LoopMount::isolate();

QStringList s_messages;
QList<int> s_levels;
void captureMessage(const reporting::Report& report)
{
    s_messages << report.text;
    s_levels << iconOf(report.level);
}

const QString kOverwrite = "One or more destination directories contain files which will be overwritten during "
                           "conversion.\n\nContinue anyway?";
const QString kStillRunning = "Batch conversion is still in progress. Do you want to cancel?";
const QString kDuplicate = "Cannot export multiple files to the same destination at the same time.\n\n"
                           "Please select a different destination path.";

const int k25 = 1, k100 = 6;
const qint64 k720TargaSize = 18 + 1280 * 720 * 3 + 26;

BatchConvertModel* modelOf(BatchConvertWindow& w)
{
    return w.findChild<BatchConvertModel*>();
}

QTreeView* treeOf(BatchConvertWindow& w)
{
    return w.findChild<QTreeView*>("treeView");
}

QAction* action(BatchConvertWindow& w, const char* name)
{
    return w.findChild<QAction*>(name);
}

QModelIndex cell(BatchConvertWindow& w, int source, int destination, int column)
{
    BatchConvertModel* m = modelOf(w);
    return m->index(destination, column, m->index(source, 0));
}

QString text(BatchConvertWindow& w, int source, int destination, int column)
{
    return cell(w, source, destination, column).data().toString();
}

bool setPath(BatchConvertWindow& w, int source, int destination, const QString& path)
{
    return modelOf(w)->setData(cell(w, source, destination, 0), path);
}

void select(BatchConvertWindow& w, const QModelIndex& index)
{
    treeOf(w)->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// The preview as shown at its own size, as packed RGB rows.
QByteArray shownPreview(BatchConvertWindow& w, const QSize& size)
{
    auto* view = w.findChild<QGraphicsView*>("graphicsView");
    view->resize(size.width() + 4, size.height() + 4);
    w.adjustPreview();
    const auto items = view->scene()->items();
    auto* item = items.isEmpty() ? nullptr : dynamic_cast<QGraphicsPixmapItem*>(items.first());
    if (!item || item->pixmap().isNull())
        return QByteArray();
    const QImage image = item->pixmap().toImage().convertToFormat(QImage::Format_RGB888);
    QByteArray rows;
    for (int y = 0; y < image.height(); ++y)
        rows.append(reinterpret_cast<const char*>(image.constScanLine(y)), image.width() * 3);
    return rows;
}

double threadCpuSeconds()
{
    struct rusage usage;
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Picks folder in the drive select dialog (folders shown) and accepts it.
void pickFolder(QDialog* dialog, const QString& folder)
{
    dialog->findChild<QCheckBox*>("checkShowDrivesOnly")->setChecked(false);
    auto* view = dialog->findChild<QTreeView*>("treeView");
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(view->model());
    auto* files = dialog->findChild<QFileSystemModel*>();
    const QModelIndex row = proxy->mapFromSource(files->index(QDir::cleanPath(folder)));
    view->selectionModel()->select(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QMetaObject::invokeMethod(dialog, "accept");
}

} // namespace

class TestBatchWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void formAndIdleState();
    void slotsAndSignalsInOrder();
    void addingASequence();
    void previewFollowsResize();
    void folderWithoutFrames();
    void addSourceThroughTheDialog();
    void frameRateChange();
    void sourceAndDestinationActions();
    void contextMenu();
    void hoverAndDriveClick();
    void messagesAreBoxesByDefault();
    void fullConversionToFolder();
    void krxOutputSizes();
    void overwriteQuestion();
    void sharedClipFolderRefused();
    void outputFolderCannotBeMade();
    void cancelAfterFirstFrames();
    void waitingDoesNotSpin();
    void remainingSlotsOf4KHighRate();
    void closingWhileRunning();
    void playerDrivesAssignedAndIndexed();
    void batchStartReadsDrivesAgain();
    void clipLeftOutOfTheIndexFailsItsRow();

private:
    QString root(const QString& name)
    {
        const QString dir = m_tmp.filePath("roots/" + name);
        QDir().mkpath(dir);
        return dir + "/";
    }

    QTemporaryDir m_tmp;
    QString m_reel;    // "reel 12": shot0001..0003, 1280 x 720, 32-bit RLE
    QString m_full;    // full0001..0004, 1920 x 1080, 24-bit
    QString m_long;    // long0001..0012, 1280 x 720, 24-bit
    QString m_uhd;     // city0001..0002, 3840 x 2160, 24-bit
    QString m_noFrames;
};

void TestBatchWindow::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    QVERIFY(m_tmp.isValid());
    m_reel = m_tmp.filePath("reel 12");
    m_full = m_tmp.filePath("full");
    m_long = m_tmp.filePath("long");
    m_uhd = m_tmp.filePath("uhd");
    m_noFrames = m_tmp.filePath("no frames");
    for (const QString& d : {m_reel, m_full, m_long, m_uhd, m_noFrames})
        QVERIFY(QDir().mkpath(d));
    QCOMPARE(ffmpegFrames(m_reel + "/shot%04d.tga", 1280, 720, 32, true, 3), QString());
    QCOMPARE(ffmpegFrames(m_full + "/full%04d.tga", 1920, 1080, 24, false, 4), QString());
    QCOMPARE(ffmpegFrames(m_long + "/long%04d.tga", 1280, 720, 24, false, 12), QString());
    QCOMPARE(ffmpegFrames(m_uhd + "/city%04d.tga", 3840, 2160, 24, false, 2), QString());
    QVERIFY(writeAll(m_noFrames + "/readme.txt", "no frames here"));
    reporting::install(captureMessage);
}

void TestBatchWindow::init()
{
    s_messages.clear();
    s_levels.clear();
}

void TestBatchWindow::formAndIdleState()
{
    BatchConvertWindow w(0, nullptr);
    QCOMPARE(w.objectName(), QString("BatchConvertWindow"));
    QCOMPARE(w.windowTitle(), QString("Quorvel"));
    QCOMPARE(w.size(), QSize(1168, 600));
    QCOMPARE(w.outputFormat(), 0);
    QVERIFY(w.centralWidget() && w.centralWidget()->objectName() == "centralwidget");
    auto* outer = w.findChild<QSplitter*>("splitter_2");
    auto* inner = w.findChild<QSplitter*>("splitter");
    QVERIFY(outer && inner);
    QCOMPARE(outer->orientation(), Qt::Vertical);
    QVERIFY(!outer->childrenCollapsible());
    QCOMPARE(inner->orientation(), Qt::Horizontal);
    QVERIFY(inner->opaqueResize());
    QVERIFY(!inner->childrenCollapsible());

    QTreeView* tree = treeOf(w);
    QCOMPARE(tree->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(tree->editTriggers(), QAbstractItemView::DoubleClicked);
    QCOMPARE(tree->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(tree->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(tree->horizontalScrollMode(), QAbstractItemView::ScrollPerPixel);
    QVERIFY(!tree->header()->stretchLastSection());
    QCOMPARE(tree->header()->sectionSize(0), 200);
    QCOMPARE(tree->header()->sectionResizeMode(4), QHeaderView::ResizeToContents);
    QVERIFY(qobject_cast<SlotListDelegate*>(tree->itemDelegateForColumn(1)));
    QVERIFY(!tree->itemDelegateForColumn(0) && !tree->itemDelegateForColumn(2));
    QVERIFY(tree->hasMouseTracking());
    QCOMPARE(tree->contextMenuPolicy(), Qt::CustomContextMenu);
    QCOMPARE(tree->model(), static_cast<QAbstractItemModel*>(modelOf(w)));

    QCOMPARE(w.findChild<QGroupBox*>("groupBoxProperties")->title(), QString("Video Properties"));
    auto* name = w.findChild<QLabel*>("labelFilename");
    QVERIFY(name->font().bold() && name->wordWrap());
    QCOMPARE(name->text(), QString("No video selected"));
    QCOMPARE(w.findChild<QLabel*>("labelProperties")->text(), QString());
    QCOMPARE(w.findChild<QLabel*>("label")->text(), QString("Source frame rate:"));
    auto* rates = w.findChild<QComboBox*>("sourceFPS");
    QStringList items;
    for (int i = 0; i < rates->count(); ++i)
        items << rates->itemText(i);
    QCOMPARE(items, (QStringList{"23.976", "25", "29.97", "47.952", "50", "59.94", "100", "119.88"}));
    QCOMPARE(rates->currentIndex(), -1);
    QVERIFY(!rates->isEnabled());

    auto* view = w.findChild<QGraphicsView*>("graphicsView");
    QCOMPARE(view->sizePolicy().verticalStretch(), 1);
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(view->backgroundBrush().color(), QColor(Qt::black));
    QVERIFY(!view->isInteractive());
    QVERIFY(view->renderHints().testFlag(QPainter::SmoothPixmapTransform));
    QCOMPARE(view->resizeAnchor(), QGraphicsView::AnchorViewCenter);
    QCOMPARE(view->scene()->items().size(), 1);
    QVERIFY(dynamic_cast<QGraphicsPixmapItem*>(view->scene()->items().first()));
    auto* slider = w.findChild<QSlider*>("sliderFrame");
    QCOMPARE(slider->maximum(), 0);
    QCOMPARE(slider->pageStep(), 60);
    QVERIFY(!slider->hasTracking());
    QVERIFY(!slider->isEnabled());

    QVERIFY(w.findChild<QMenuBar*>("menubar"));
    auto* bar = w.findChild<QToolBar*>("toolBar");
    QVERIFY(!bar->isMovable() && !bar->isFloatable());
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(bar->windowTitle(), QString("toolBar"));
    QCOMPARE(w.toolBarArea(bar), Qt::TopToolBarArea);
    QStringList texts;
    for (QAction* a : bar->actions()) {
        texts << (a->isSeparator() ? "|" : a->text());
        if (!a->isSeparator())
            QVERIFY2(!a->icon().pixmap(32, 32).isNull(), qPrintable(a->text()));
    }
    QCOMPARE(texts, (QStringList{"Add Source", "Remove Source", "|", "Add Destination", "Remove Destination", "|",
                                 "Start Batch", "Cancel Batch"}));
    QVERIFY(action(w, "actionAddSource")->isEnabled());
    QVERIFY(action(w, "actionRemoveSource")->isEnabled());
    QVERIFY(!action(w, "actionAddDestination")->isEnabled());
    QVERIFY(!action(w, "actionRemoveDestination")->isEnabled());
    QVERIFY(!action(w, "actionStartBatch")->isEnabled());
    QVERIFY(action(w, "actionStartBatch")->isVisible());
    QVERIFY(!action(w, "actionCancelBatch")->isVisible());
    QVERIFY(!w.isBatchRunning());

    // Starting with nothing to convert ends at once, idle again.
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QVERIFY(action(w, "actionStartBatch")->isVisible());
}

void TestBatchWindow::slotsAndSignalsInOrder()
{
    const QStringList expected{
        "batchFinished()", "closed()", "videoSelected()", "frameSelected(int)", "frameRateSelected(int)",
        "adjustPreview()", "message(QString,int)", "addSource()", "addSource(bool,QString,int)", "removeSource()",
        "addDestination()", "removeDestination()", "viewClicked(QModelIndex)", "viewEntered(QModelIndex)",
        "viewMenu(QPoint)", "setDestinations(int,int,bool)", "setDestinations(int,int)", "setDestinations(int)",
        "setDestinations()", "startBatch()", "cancelBatchPressed()", "cancelBatch()", "setProgress(int)"};
    const QMetaObject& mo = BatchConvertWindow::staticMetaObject;
    QStringList actual;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        actual << QString::fromLatin1(mo.method(i).methodSignature());
    QCOMPARE(actual, expected);
    QCOMPARE(QByteArray(mo.method(mo.indexOfSlot("setDestinations(int,int,bool)")).typeName()), QByteArray("bool"));
}

void TestBatchWindow::addingASequence()
{
    BatchConvertWindow w(0, nullptr);
    QSignalSpy rows(modelOf(w), &QAbstractItemModel::rowsInserted);
    w.addSource(false, m_reel, k25);
    QCOMPARE(modelOf(w)->rowCount(), 1);
    const QString key = "shot[0001-0003].tga (" + QDir::toNativeSeparators(m_reel) + ")";
    QCOMPARE(modelOf(w)->index(0, 0).data().toString(), key);
    QVERIFY(treeOf(w)->isFirstColumnSpanned(0, QModelIndex()));
    QVERIFY(treeOf(w)->isExpanded(modelOf(w)->index(0, 0)));
    // One destination without a drive; the folder's digits give the clip number.
    QCOMPARE(modelOf(w)->rowCount(modelOf(w)->index(0, 0)), 1);
    QCOMPARE(text(w, 0, 0, 0), QString("Select a drive"));
    QCOMPARE(text(w, 0, 0, 3), QString("0012"));
    QVERIFY(action(w, "actionStartBatch")->isEnabled());

    QCOMPARE(w.findChild<QLabel*>("labelFilename")->text(), key);
    QCOMPARE(w.findChild<QLabel*>("labelProperties")->text(),
             QString("Type: Targa Sequence\n\nResolution: 1280 x 720, 32-bit\n\nFolder of 3 files"));
    auto* slider = w.findChild<QSlider*>("sliderFrame");
    QVERIFY(slider->isEnabled());
    QCOMPARE(slider->minimum(), 1);
    QCOMPARE(slider->maximum(), 3);
    QCOMPARE(slider->value(), 1);
    auto* rates = w.findChild<QComboBox*>("sourceFPS");
    QCOMPARE(rates->currentIndex(), k25);
    QVERIFY(rates->isEnabled());
    QVERIFY(action(w, "actionAddDestination")->isEnabled());
    QVERIFY(action(w, "actionRemoveDestination")->isEnabled());

    // The preview is the frame's own pixels: 32-bit RLE rows, top row first.
    const QSize size(1280, 720);
    const QByteArray frame1 = ffmpegDecode(m_reel + "/shot0001.tga", "rgb24");
    const QByteArray frame2 = ffmpegDecode(m_reel + "/shot0002.tga", "rgb24");
    const QByteArray frame3 = ffmpegDecode(m_reel + "/shot0003.tga", "rgb24");
    QVERIFY(frame1 != frame2 && frame2 != frame3);
    QCOMPARE(shownPreview(w, size), frame1);
    slider->setValue(3);
    QCOMPARE(shownPreview(w, size), frame3);
    // The frame already shown is not read again.
    QVERIFY(QFile::rename(m_reel + "/shot0003.tga", m_reel + "/moved.bin"));
    w.frameSelected(3);
    QCOMPARE(shownPreview(w, size), frame3);
    QVERIFY(QFile::rename(m_reel + "/moved.bin", m_reel + "/shot0003.tga"));
    slider->setValue(2);
    QCOMPARE(shownPreview(w, size), frame2);

    // Each source keeps its own frame, whatever the other's range.
    w.addSource(false, m_full, k25);
    QCOMPARE(modelOf(w)->rowCount(), 2);
    QCOMPARE(slider->maximum(), 4);
    QCOMPARE(shownPreview(w, QSize(1920, 1080)), ffmpegDecode(m_full + "/full0001.tga", "rgb24"));
    slider->setValue(4);
    select(w, modelOf(w)->index(0, 0));
    QCOMPARE(slider->maximum(), 3);
    QCOMPARE(slider->value(), 2);
    QCOMPARE(shownPreview(w, size), frame2);
    select(w, modelOf(w)->index(1, 0));
    QCOMPARE(slider->value(), 4);

    // Nothing selected: the empty state.
    treeOf(w)->selectionModel()->clearSelection();
    QCOMPARE(w.findChild<QLabel*>("labelFilename")->text(), QString("No video selected"));
    QVERIFY(!slider->isEnabled() && !rates->isEnabled());
    QCOMPARE(rates->currentIndex(), -1);
    QVERIFY(!action(w, "actionAddDestination")->isEnabled());
    QCOMPARE(shownPreview(w, size), QByteArray());
    QCOMPARE(modelOf(w)->sequenceAt(0)->frameRateIndex(), k25);
}

void TestBatchWindow::previewFollowsResize()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.addSource(false, m_full, k25);
    auto* view = w.findChild<QGraphicsView*>("graphicsView");
    auto* item = dynamic_cast<QGraphicsPixmapItem*>(view->scene()->items().first());
    auto fits = [&] {
        const QSize shown = item->pixmap().size();
        const QSize area = view->size() - QSize(4, 4);
        return !shown.isEmpty() && shown.width() <= area.width() && shown.height() <= area.height()
            && (shown.width() == area.width() || shown.height() == area.height());
    };
    QTRY_VERIFY(fits());
    const QSize before = item->pixmap().size();
    // Rescaled once the resizing has settled.
    w.resize(1600, 900);
    QTRY_VERIFY(view->size().height() > before.height() + 4);
    QTRY_VERIFY(fits());
    QVERIFY(item->pixmap().size().height() > before.height());
    QCOMPARE(view->sceneRect(), item->boundingRect());
}

void TestBatchWindow::folderWithoutFrames()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_noFrames, 5);
    QCOMPARE(s_messages, QStringList{"No image sequence found."});
    QCOMPARE(s_levels, QList<int>{2});
    QCOMPARE(modelOf(w)->rowCount(), 0);
    QVERIFY(!action(w, "actionStartBatch")->isEnabled());
    // A missing folder, the same.
    w.addSource(false, m_tmp.filePath("not there"), 5);
    QCOMPARE(s_messages.size(), 2);
    QCOMPARE(modelOf(w)->rowCount(), 0);
}

void TestBatchWindow::addSourceThroughTheDialog()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    QString title;
    {
        Modal modal;
        modal.onDialog = [&](QDialog* d) {
            title = d->windowTitle();
            QVERIFY(qobject_cast<QFileDialog*>(d));
            QVERIFY(qobject_cast<QFileDialog*>(d)->testOption(QFileDialog::ShowDirsOnly));
            d->reject();
        };
        QMetaObject::invokeMethod(action(w, "actionAddSource"), "trigger");
        QCOMPARE(modal.dialogs, 1);
    }
    QCOMPARE(title, QString("Open Targa Sequence"));
    QCOMPARE(modelOf(w)->rowCount(), 0);
    QVERIFY(!action(w, "actionStartBatch")->isEnabled());

    {
        Modal modal;
        modal.onDialog = [&](QDialog* d) {
            d->findChild<QLineEdit*>("fileNameEdit")->setText(m_reel);
            QMetaObject::invokeMethod(d, "accept");
        };
        w.addSource();
    }
    QCOMPARE(modelOf(w)->rowCount(), 1);
    // Chosen in the dialog: 59.94 frames per second.
    QCOMPARE(modelOf(w)->sequenceAt(0)->frameRateIndex(), 5);
    QCOMPARE(w.findChild<QComboBox*>("sourceFPS")->currentIndex(), 5);
    // Another test's player drive may be mounted meanwhile: then it is the
    // destination, else none is.
    const QString first = text(w, 0, 0, 0);
    QVERIFY2(first == "Select a drive" || VolumeInfo(first.section(" (", -1).chopped(1)).isPlayerDrive(),
             qPrintable(first));
    QVERIFY(action(w, "actionStartBatch")->isEnabled());

    // A cancelled dialog leaves Start Batch as it was.
    {
        Modal modal;
        modal.rejectDialogs();
        w.addSource();
        QCOMPARE(modal.dialogs, 1);
    }
    QCOMPARE(modelOf(w)->rowCount(), 1);
    QVERIFY(action(w, "actionStartBatch")->isEnabled());
}

void TestBatchWindow::frameRateChange()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_reel, k25);
    BatchConvertModel* m = modelOf(w);
    QVERIFY(!(m->flags(cell(w, 0, 0, 1)) & Qt::ItemIsEditable));
    QSignalSpy changed(m, &QAbstractItemModel::dataChanged);
    w.findChild<QComboBox*>("sourceFPS")->setCurrentIndex(k100);
    QCOMPARE(m->sequenceAt(0)->frameRateIndex(), k100);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), cell(w, 0, 0, 1));
    QVERIFY(m->flags(cell(w, 0, 0, 1)) & Qt::ItemIsEditable);
    QVERIFY(setPath(w, 0, 0, root("rate")));
    QVERIFY(m->outputBaseName(0, 0).endsWith("shot_f100_00012"));
    m->addDestination(0);
    QCOMPARE(text(w, 0, 1, 1), QString("1 of 2 (Odd frames)"));
}

void TestBatchWindow::sourceAndDestinationActions()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_reel, k25);
    w.addSource(false, m_full, k25);
    BatchConvertModel* m = modelOf(w);
    select(w, m->index(0, 0));
    action(w, "actionAddDestination")->trigger();
    QCOMPARE(m->rowCount(m->index(0, 0)), 2);
    QCOMPARE(m->rowCount(m->index(1, 0)), 1);
    // Remove Destination needs a destination row.
    action(w, "actionRemoveDestination")->trigger();
    QCOMPARE(m->rowCount(m->index(0, 0)), 2);
    select(w, cell(w, 0, 1, 0));
    action(w, "actionRemoveDestination")->trigger();
    QCOMPARE(m->rowCount(m->index(0, 0)), 1);
    // Remove Source with a destination selected removes its source.
    select(w, cell(w, 1, 0, 0));
    action(w, "actionRemoveSource")->trigger();
    QCOMPARE(m->rowCount(), 1);
    QCOMPARE(m->sequenceAt(0)->prefix(), QString("shot"));
    QVERIFY(action(w, "actionStartBatch")->isEnabled());
    select(w, m->index(0, 0));
    action(w, "actionRemoveSource")->trigger();
    QCOMPARE(m->rowCount(), 0);
    QVERIFY(!action(w, "actionStartBatch")->isEnabled());
    QCOMPARE(w.findChild<QLabel*>("labelFilename")->text(), QString("No video selected"));
    // The same folder again is read afresh.
    w.addSource(false, m_reel, k25);
    QCOMPARE(w.findChild<QSlider*>("sliderFrame")->value(), 1);
}

void TestBatchWindow::contextMenu()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_reel, k25);
    BatchConvertModel* m = modelOf(w);
    m->addDestination(0);
    QVERIFY(setPath(w, 0, 0, root("menu a")));
    QVERIFY(setPath(w, 0, 1, root("menu b")));
    QVERIFY(m->setData(cell(w, 0, 0, 4), DestinationCompleted));
    QVERIFY(m->setData(cell(w, 0, 1, 4), DestinationCompleted));

    auto menuTexts = [](QMenu* menu) {
        QStringList out;
        for (QAction* a : menu->actions())
            out << (a->isSeparator() ? "|" : a->text() + (a->isVisible() ? "" : " (hidden)"));
        return out;
    };
    auto openMenu = [&]() -> QMenu* {
        w.viewMenu(QPoint(10, 10));
        const auto menus = w.findChildren<QMenu*>();
        return menus.size() == 1 ? menus.first() : nullptr;
    };

    // A destination selected: its own reset.
    select(w, cell(w, 0, 1, 0));
    QMenu* menu = openMenu();
    QVERIFY(menu);
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menuTexts(menu), (QStringList{"Add Source", "Remove Source", "|", "Add Destination",
                                           "Remove Destination", "|", "Reset Status", "|", "Start Batch",
                                           "Cancel Batch (hidden)"}));
    QAction* reset = menu->findChild<QAction*>("resetStatus");
    QVERIFY(reset && reset->isEnabled());
    reset->trigger();
    QCOMPARE(text(w, 0, 1, 4), QString("Pending"));
    QCOMPARE(text(w, 0, 0, 4), QString("Completed"));
    menu->hide();
    QTRY_VERIFY(w.findChildren<QMenu*>().isEmpty());

    // The source selected: every destination of it.
    QVERIFY(m->setData(cell(w, 0, 1, 4), DestinationCompleted));
    select(w, m->index(0, 0));
    menu = openMenu();
    QVERIFY(menu);
    QCOMPARE(menuTexts(menu), (QStringList{"Add Source", "Remove Source", "|", "Reset Status", "|", "Start Batch",
                                           "Cancel Batch (hidden)"}));
    // The rows of the moment the menu opened count, not a later selection.
    treeOf(w)->selectionModel()->clearSelection();
    menu->findChild<QAction*>("resetStatus")->trigger();
    QCOMPARE(text(w, 0, 0, 4), QString("Pending"));
    QCOMPARE(text(w, 0, 1, 4), QString("Pending"));
    menu->hide();
    QTRY_VERIFY(w.findChildren<QMenu*>().isEmpty());

    // Nothing selected: the batch actions only.
    menu = openMenu();
    QVERIFY(menu);
    QCOMPARE(menuTexts(menu), (QStringList{"Start Batch", "Cancel Batch (hidden)"}));
    menu->hide();
    QTRY_VERIFY(w.findChildren<QMenu*>().isEmpty());
}

void TestBatchWindow::hoverAndDriveClick()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.addSource(false, m_reel, k25);
    QTreeView* tree = treeOf(w);
    auto hover = [&](const QModelIndex& index) {
        QMouseEvent move(QEvent::MouseMove, tree->visualRect(index).center(), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(tree->viewport(), &move);
        return tree->cursor().shape();
    };
    QCOMPARE(hover(cell(w, 0, 0, 0)), Qt::PointingHandCursor);
    QCOMPARE(hover(cell(w, 0, 0, 2)), Qt::ArrowCursor);
    QCOMPARE(hover(modelOf(w)->index(0, 0)), Qt::ArrowCursor);
    QCOMPARE(hover(cell(w, 0, 0, 0)), Qt::PointingHandCursor);

    // A click on the drive cell opens the drive dialog with the clip's name and number.
    const QString target = root("clicked");
    QString name;
    int number = 0;
    {
        Modal modal;
        modal.onDialog = [&](QDialog* d) {
            QVERIFY(qobject_cast<DriveSelectDialog*>(d));
            auto* edit = d->findChild<QLineEdit*>("editFileName");
            auto* spin = d->findChild<QSpinBox*>("editFileNum");
            QVERIFY(edit->isEnabled() && spin->isEnabled());
            name = edit->text();
            number = spin->value();
            edit->setText("take");
            spin->setValue(44);
            pickFolder(d, target);
        };
        // Not on the slot cell.
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(cell(w, 0, 0, 1)).center());
        QVERIFY(testutil::neverWithin(100, [&] { return modal.dialogs != 0; }));
        QCOMPARE(modal.dialogs, 0);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(cell(w, 0, 0, 0)).center());
        QCOMPARE(modal.dialogs, 1);
    }
    QCOMPARE(name, QString("shot"));
    QCOMPARE(number, 12);
    QCOMPARE(text(w, 0, 0, 2), QString("take"));
    QCOMPARE(text(w, 0, 0, 3), QString("0044"));
    QCOMPARE(modelOf(w)->outputBaseName(0, 0), target + "take_f25_00044");

    // Declined: nothing changes, and setDestinations says so.
    {
        Modal modal;
        modal.rejectDialogs();
        select(w, cell(w, 0, 0, 0));
        QVERIFY(!w.setDestinations());
        QCOMPARE(modal.dialogs, 1);
    }
    QCOMPARE(modelOf(w)->outputBaseName(0, 0), target + "take_f25_00044");
    QVERIFY(!w.setDestinations(0, 5));
    QVERIFY(!w.setDestinations(3, 0));
}

void TestBatchWindow::messagesAreBoxesByDefault()
{
    installBoxReporter();
    BatchConvertWindow w(0, nullptr);
    w.show();
    Modal modal;
    modal.answers = {QMessageBox::Ok, QMessageBox::Ok};
    w.message("Unable to write to /x/y.tga.", 2);
    w.message("Something critical.", 3);
    reporting::install(captureMessage);
    QCOMPARE(modal.texts(), (QStringList{"Unable to write to /x/y.tga.", "Something critical."}));
    QCOMPARE(modal.boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(modal.boxes[1].icon, QMessageBox::Critical);
    QCOMPARE(modal.boxes[0].title, QString("Quorvel"));
    QCOMPARE(modal.boxes[0].parent, &w);
}

void TestBatchWindow::fullConversionToFolder()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_full, k25);
    const QString out = root("out full");
    QVERIFY(setPath(w, 0, 0, out));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(s_messages, QStringList());
    QCOMPARE(text(w, 0, 0, 4), QString("Completed"));
    QVERIFY(!w.isBatchRunning());

    const QString clip = out + "full_f25_00001";
    QCOMPARE(filesIn(clip), (QStringList{"full0001.tga", "full0002.tga", "full0003.tga", "full0004.tga"}));
    for (int n = 1; n <= 4; ++n) {
        const QString name = QString("/full%1.tga").arg(n, 4, 10, QChar('0'));
        QCOMPARE(QFileInfo(clip + name).size(), qint64(6220844));
        const QByteArray written = ffmpegDecode(clip + name, "bgr24");
        QVERIFY(!written.isEmpty());
        QVERIFY2(written == ffmpegDecode(m_full + name, "bgr24"), qPrintable(name));
    }

    // Idle again, the source still selected.
    QVERIFY(action(w, "actionStartBatch")->isVisible());
    QVERIFY(!action(w, "actionCancelBatch")->isVisible());
    QVERIFY(action(w, "actionAddDestination")->isEnabled());
    QVERIFY(action(w, "actionAddSource")->isEnabled());
    QVERIFY(w.findChild<QComboBox*>("sourceFPS")->isEnabled());
    QCOMPARE(treeOf(w)->editTriggers(), QAbstractItemView::DoubleClicked);
}

void TestBatchWindow::krxOutputSizes()
{
    BatchConvertWindow w(1, nullptr);
    w.addSource(false, m_reel, k25);
    const QString out = root("out krx");
    QVERIFY(setPath(w, 0, 0, out));
    w.startBatch();
    QCOMPARE(text(w, 0, 0, 4), QString("Completed"));
    const QString clip = out + "shot_f25_00012";
    QCOMPARE(filesIn(clip), (QStringList{"shot0001.krx", "shot0002.krx", "shot0003.krx"}));
    for (const QString& f : filesIn(clip)) {
        QCOMPARE(QFileInfo(clip + "/" + f).size(), qint64(512 + 1280 * 720 * 3 / 15 * 16));
        QCOMPARE(readAll(clip + "/" + f).left(4), QByteArray("KRX_"));
    }
}

void TestBatchWindow::overwriteQuestion()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_long, k25);
    const QString out = root("out overwrite");
    QVERIFY(setPath(w, 0, 0, out));
    QVERIFY(modelOf(w)->setData(cell(w, 0, 0, 4), DestinationCompleted));
    // A frame file of the other format, not one this run writes, puts the
    // clip folder in use: the question comes. Notes beside it stay.
    const QString clip = out + "long_f25_00001";
    QVERIFY(QDir().mkpath(clip));
    QVERIFY(writeAll(clip + "/notes.txt", "keep me"));
    QVERIFY(writeAll(clip + "/stale0001.krx", "an earlier run"));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    {
        Modal modal;
        modal.answers = {QMessageBox::No};
        w.startBatch();
        QCOMPARE(modal.texts(), QStringList{kOverwrite});
        QCOMPARE(modal.boxes[0].title, QString("Quorvel"));
        QCOMPARE(modal.boxes[0].parent, &w);
    }
    QCOMPARE(finished.count(), 0);
    QCOMPARE(filesIn(clip), (QStringList{"notes.txt", "stale0001.krx"}));
    // Every destination went back to pending, the completed one too.
    QCOMPARE(text(w, 0, 0, 4), QString("Pending"));
    QVERIFY(action(w, "actionStartBatch")->isVisible());
    QVERIFY(!action(w, "actionCancelBatch")->isVisible());
    QVERIFY(!w.isBatchRunning());

    {
        Modal modal;
        modal.answers = {QMessageBox::Yes};
        w.startBatch();
        QCOMPARE(modal.texts(), QStringList{kOverwrite});
    }
    QCOMPARE(finished.count(), 1);
    QCOMPARE(filesIn(clip).size(), 13);
    QCOMPARE(readAll(clip + "/notes.txt"), QByteArray("keep me"));
    QCOMPARE(text(w, 0, 0, 4), QString("Completed"));
}

void TestBatchWindow::sharedClipFolderRefused()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_reel, k25);
    w.addSource(false, m_long, k25);
    const QString out = root("out shared");
    QVERIFY(setPath(w, 0, 0, out));
    // The second source under the same clip name and number, by another spelling of the root.
    QVERIFY(modelOf(w)->setData(cell(w, 1, 0, 2), "shot"));
    QVERIFY(modelOf(w)->setData(cell(w, 1, 0, 3), 12));
    QVERIFY(setPath(w, 1, 0, out + "./"));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    Modal modal;
    w.startBatch();
    QCOMPARE(s_messages, QStringList{kDuplicate});
    QVERIFY(modal.boxes.isEmpty());
    QCOMPARE(finished.count(), 0);
    QVERIFY(!QFileInfo::exists(out + "shot_f25_00012"));
    QVERIFY(action(w, "actionStartBatch")->isVisible());

    // Another clip number: both convert.
    QVERIFY(modelOf(w)->setData(cell(w, 1, 0, 3), 13));
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(filesIn(out + "shot_f25_00012").size(), 3);
    QCOMPARE(filesIn(out + "shot_f25_00013").size(), 12);
}

void TestBatchWindow::outputFolderCannotBeMade()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_reel, k25);
    w.addSource(false, m_long, k25);
    // /proc takes no folders, not even from root.
    QVERIFY(setPath(w, 0, 0, "/proc/"));
    const QString later = root("out later");
    QVERIFY(setPath(w, 1, 0, later));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(s_messages, QStringList{"Unable to create output directory /proc/shot_f25_00012."});
    QCOMPARE(text(w, 0, 0, 4), QString("Conversion failed"));
    QCOMPARE(finished.count(), 1);
    // Sources after a failure are not converted.
    QCOMPARE(text(w, 1, 0, 4), QString("Pending"));
    QVERIFY(!QFileInfo::exists(later + "long_f25_00001"));
    QVERIFY(action(w, "actionStartBatch")->isVisible());
}

void TestBatchWindow::cancelAfterFirstFrames()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_long, k25);
    const QString out = root("out cancel"), out2 = root("out cancel 2");
    BatchConvertModel* m = modelOf(w);
    m->addDestination(0);
    QVERIFY(setPath(w, 0, 0, out));
    QVERIFY(setPath(w, 0, 1, out2));
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);

    bool checked = false;
    Modal modal;
    modal.rejectDialogs();   // none may open: counted
    batchtest::holdAt(m->sequenceAt(0), 2, [&] {
        // What a running batch looks like and refuses.
        QVERIFY(w.isBatchRunning());
        QCOMPARE(text(w, 0, 0, 4), QString("2 of 12 frames (16.67%)"));
        QVERIFY(!action(w, "actionAddSource")->isEnabled());
        QVERIFY(!action(w, "actionRemoveSource")->isEnabled());
        QVERIFY(!action(w, "actionAddDestination")->isEnabled());
        QVERIFY(!action(w, "actionRemoveDestination")->isEnabled());
        QVERIFY(!action(w, "actionStartBatch")->isVisible());
        QVERIFY(action(w, "actionCancelBatch")->isVisible());
        QCOMPARE(treeOf(w)->editTriggers(), QAbstractItemView::NoEditTriggers);
        select(w, m->index(0, 0));
        auto* rates = w.findChild<QComboBox*>("sourceFPS");
        QVERIFY(!rates->isEnabled());
        w.frameRateSelected(k100);
        QCOMPARE(m->sequenceAt(0)->frameRateIndex(), k25);
        select(w, cell(w, 0, 0, 0));
        QVERIFY(!action(w, "actionRemoveDestination")->isEnabled());
        w.viewClicked(cell(w, 0, 0, 0));
        w.removeSource();
        w.removeDestination();
        QCOMPARE(m->rowCount(m->index(0, 0)), 2);
        w.viewMenu(QPoint(5, 5));
        QMenu* menu = w.findChild<QMenu*>();
        QVERIFY(menu && !menu->findChild<QAction*>("resetStatus")->isEnabled());
        menu->hide();
        checked = true;
        action(w, "actionCancelBatch")->trigger();
        QVERIFY(!action(w, "actionCancelBatch")->isEnabled());
    });
    w.startBatch();
    QVERIFY(checked);
    QCOMPARE(modal.dialogs, 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(text(w, 0, 0, 4), QString("Canceled"));
    QCOMPARE(text(w, 0, 1, 4), QString("Canceled"));
    // Whole files of the frames counted, nothing more.
    for (const QString& dir : {out, out2}) {
        const QString clip = dir + "long_f25_00001";
        QCOMPARE(filesIn(clip), (QStringList{"long0001.tga", "long0002.tga"}));
        for (const QString& f : filesIn(clip)) {
            QCOMPARE(QFileInfo(clip + "/" + f).size(), k720TargaSize);
            QCOMPARE(ffmpegDecode(clip + "/" + f, "bgr24"), ffmpegDecode(m_long + "/" + f, "bgr24"));
        }
    }
    QVERIFY(action(w, "actionStartBatch")->isVisible());
    QVERIFY(!action(w, "actionCancelBatch")->isVisible());
    QVERIFY(w.findChild<QComboBox*>("sourceFPS")->isEnabled());
    // Ready for the next batch: shown again, Cancel Batch can be pressed.
    action(w, "actionCancelBatch")->setVisible(true);
    QVERIFY(action(w, "actionCancelBatch")->isEnabled());
    QTRY_VERIFY(w.findChildren<QMenu*>().isEmpty());
}

void TestBatchWindow::waitingDoesNotSpin()
{
    BatchConvertWindow w(0, nullptr);
    w.addSource(false, m_reel, k25);
    QVERIFY(setPath(w, 0, 0, root("out wait")));
    // The worker takes its time over the first frame; the window waits for it.
    QObject::connect(
        modelOf(w)->sequenceAt(0), &TargaSequence::frameConverted, modelOf(w)->sequenceAt(0),
        [](int code) {
            if (code == 1)
                QThread::msleep(1500);
        },
        Qt::DirectConnection);
    QElapsedTimer wall;
    wall.start();
    const double before = threadCpuSeconds();
    w.startBatch();
    const double cpu = threadCpuSeconds() - before;
    QVERIFY(wall.elapsed() >= 1500);
    QCOMPARE(text(w, 0, 0, 4), QString("Completed"));
    QVERIFY2(cpu < 0.5, qPrintable(QString("the window used %1 s of CPU while waiting").arg(cpu)));
}

void TestBatchWindow::remainingSlotsOf4KHighRate()
{
    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_uhd, k100);
    BatchConvertModel* m = modelOf(w);
    QCOMPARE(m->sequenceAt(0)->slotCount(), 8);
    m->addDestination(0);
    const QString a = root("uhd a"), b = root("uhd b"), c = root("uhd c");
    QVERIFY(setPath(w, 0, 0, a));
    QVERIFY(setPath(w, 0, 1, b));
    QCOMPARE(text(w, 0, 0, 1), QString("1 of 8 (Top left, odd frames)"));
    QCOMPARE(text(w, 0, 1, 1), QString("2 of 8 (Top left, even frames)"));

    bool fieldsDisabled = false;
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    const QString folder = QDir::toNativeSeparators(m_uhd);
    {
        Modal modal;
        modal.answers = {QMessageBox::Yes, QMessageBox::No};
        modal.onDialog = [&](QDialog* d) {
            fieldsDisabled = !d->findChild<QLineEdit*>("editFileName")->isEnabled()
                && !d->findChild<QSpinBox*>("editFileNum")->isEnabled();
            pickFolder(d, c);
        };
        w.startBatch();
        QCOMPARE(modal.texts(), (QStringList{"Would you like to convert slot 3 of 8 for the video " + folder + " now?",
                                             "Would you like to convert slot 4 of 8 for the video " + folder + " now?"}));
        QCOMPARE(modal.dialogs, 1);
    }
    QVERIFY(fieldsDisabled);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(m->rowCount(m->index(0, 0)), 3);
    QCOMPARE(text(w, 0, 2, 1), QString("3 of 8 (Top right, odd frames)"));
    QCOMPARE(text(w, 0, 2, 4), QString("Completed"));

    // Each group has its quadrant and frame parity: frame 2 is number 1, frame 1 number 0.
    const QString frame1 = m_uhd + "/city0001.tga", frame2 = m_uhd + "/city0002.tga";
    const QString clip = "city_f100_00001";
    QCOMPARE(filesIn(a + clip), QStringList{"city0001.tga"});
    QCOMPARE(filesIn(b + clip), QStringList{"city0000.tga"});
    QCOMPARE(filesIn(c + clip), QStringList{"city0001.tga"});
    QCOMPARE(ffmpegDecode(a + clip + "/city0001.tga", "bgr24"), ffmpegDecode(frame2, "bgr24", "crop=1920:1080:0:0"));
    QCOMPARE(ffmpegDecode(b + clip + "/city0000.tga", "bgr24"), ffmpegDecode(frame1, "bgr24", "crop=1920:1080:0:0"));
    QCOMPARE(ffmpegDecode(c + clip + "/city0001.tga", "bgr24"),
             ffmpegDecode(frame2, "bgr24", "crop=1920:1080:1920:0"));

    // Declining the drive dialog for a slot ends the batch there.
    Modal again;
    again.rejectDialogs();
    again.answers = {QMessageBox::Yes, QMessageBox::Yes};
    w.startBatch();
    QCOMPARE(again.dialogs, 1);
    QCOMPARE(again.texts(), (QStringList{kOverwrite, "Would you like to convert slot 4 of 8 for the video " + folder
                                                         + " now?"}));
    QCOMPARE(finished.count(), 2);
    QCOMPARE(m->rowCount(m->index(0, 0)), 4);
    QCOMPARE(text(w, 0, 3, 0), QString("Select a drive"));
}

void TestBatchWindow::closingWhileRunning()
{
    QPointer<BatchConvertWindow> w = new BatchConvertWindow(0, nullptr);
    w->show();
    w->addSource(false, m_long, k25);
    const QString out = root("out closing");
    QVERIFY(setPath(*w, 0, 0, out));
    QSignalSpy closed(w.data(), &BatchConvertWindow::closed);
    QSignalSpy finished(w.data(), &BatchConvertWindow::batchFinished);
    Modal modal;
    bool stillThere = false;
    batchtest::holdAt(modelOf(*w)->sequenceAt(0), 2, [&] {
        modal.answers = {QMessageBox::No};
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        modal.answers = {QMessageBox::Yes};
        QVERIFY(!w->close());
        // Not gone, nor going, while the batch winds down.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        stillThere = !w.isNull() && w->isVisible() && w->isBatchRunning() && closed.isEmpty();
    });
    w->startBatch();
    QVERIFY(stillThere);
    QCOMPARE(modal.texts(), (QStringList{kStillRunning, kStillRunning}));
    QCOMPARE(modal.boxes[0].parent, w.data());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(closed.count(), 1);
    QCOMPARE(text(*w, 0, 0, 4), QString("Canceled"));
    QVERIFY(!w->isVisible());
    QTRY_VERIFY(w.isNull());
    QCOMPARE(filesIn(out + "long_f25_00001").size(), 2);

    // Idle, a close goes at once.
    QPointer<BatchConvertWindow> idle = new BatchConvertWindow(0, nullptr);
    QSignalSpy idleClosed(idle.data(), &BatchConvertWindow::closed);
    idle->show();
    QVERIFY(idle->close());
    QCOMPARE(idleClosed.count(), 1);
    QTRY_VERIFY(idle.isNull());
}

void TestBatchWindow::playerDrivesAssignedAndIndexed()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("mounted player drives need " + missing));
    if (!QFileInfo::exists("/usr/bin/python3"))
        QSKIP("missing /usr/bin/python3 (the index checker)");
    // The window takes every player drive it sees: this process sees only
    // the drives it mounts in its own folder, whatever other runs mount.
    if (!s_ownMounts.isEmpty())
        QSKIP(qPrintable("needs a mount namespace of its own: " + s_ownMounts));
    const QString mountFolder = m_tmp.filePath("drives");
    QVERIFY(QDir().mkpath(mountFolder));
    const QStringList others = LoopMount::hideOtherPlayerDrives(mountFolder);
    QVERIFY2(others.isEmpty(), qPrintable("still seen: " + others.join(", ")));
    LoopMount::setMountFolder(mountFolder);
    const auto mountFolderBack = qScopeGuard([] { LoopMount::setMountFolder(QString()); });

    LoopMount drives[4];
    QStringList roots, images, labels;
    for (int i = 0; i < 4; ++i) {
        QString error;
        images << m_tmp.filePath(QString("slot%1.img").arg(i + 1));
        labels << LoopMount::uniqueLabel("T9PW", QString("_%1").arg(i + 1));
        QVERIFY2(drives[i].create(images[i], 32 << 20, labels[i], &error), qPrintable(error));
        roots << drives[i].mountPoint() + "/";
    }

    BatchConvertWindow w(1, nullptr);
    w.show();
    w.addSource(true, m_uhd, k100);
    BatchConvertModel* m = modelOf(w);
    QCOMPARE(m->rowCount(m->index(0, 0)), 4);
    const QStringList names{"1 of 8 (Top left, odd frames)", "2 of 8 (Top left, even frames)",
                            "3 of 8 (Top right, odd frames)", "4 of 8 (Top right, even frames)"};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(text(w, 0, i, 0), QString("%1 (%2)").arg(labels[i], roots[i]));
        QCOMPARE(text(w, 0, i, 1), names[i]);
        QCOMPARE(m->slotOf(0, i), i);
    }

    // A plain source takes only the lowest-numbered drive.
    w.addSource(true, m_reel, k25);
    QCOMPARE(m->rowCount(m->index(1, 0)), 1);
    QCOMPARE(text(w, 1, 0, 0), QString("%1 (%2)").arg(labels[0], roots[0]));
    m->removeSource(1);

    Modal modal;   // slot 5 of 8: No
    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(modal.texts().size(), 1);
    QCOMPARE(s_messages, QStringList());
    QList<QByteArray> indexes;
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(text(w, 0, i, 4), QString("Completed"));
        const QString clip = roots[i] + "city_f100_00001";
        QCOMPARE(filesIn(clip).size(), 1);
        QCOMPARE(QFileInfo(clip + "/" + filesIn(clip).first()).size(), qint64(512 + 1920 * 1080 * 3 / 15 * 16));
        indexes << readAll(roots[i] + "index.dat");
        QVERIFY(indexes[i].size() > 687960);
    }
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(drives[i].release(), qPrintable(drives[i].releaseError()));
        const QString report =
            indexfixture::check(images[i], indexes[i], m_tmp.filePath(QString("index%1.dat").arg(i + 1)));
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }
}

// The destination cells show what was read of the drive when its path was
// set; starting a batch reads every drive again, so a drive unmounted
// meanwhile loses its label there.
void TestBatchWindow::batchStartReadsDrivesAgain()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("a mounted drive needs " + missing));
    // Numbered 8: the drive tests of this program assign and wait for 1 to 4.
    const QString label = LoopMount::uniqueLabel(8);
    LoopMount drive;
    QString error;
    QVERIFY2(drive.create(m_tmp.filePath("refresh.img"), 8 << 20, label, &error), qPrintable(error));
    const QString path = drive.mountPoint() + "/";

    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_full, k25);
    QVERIFY(setPath(w, 0, 0, path));
    QCOMPARE(text(w, 0, 0, 0), QString("%1 (%2)").arg(label, path));
    QVERIFY(modelOf(w)->destinationVolume(0, 0).playerDrive);
    QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    QCOMPARE(text(w, 0, 0, 0), QString("%1 (%2)").arg(label, path));

    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    w.startBatch();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(text(w, 0, 0, 0), path);
    QVERIFY(!modelOf(w)->destinationVolume(0, 0).playerDrive);
}

// A drive whose free room is only holes smaller than a frame takes the
// frames in pieces: its index leaves the clip out. That row fails, the one
// box names the clip, and the clip on a sound drive completes; started again,
// the failed row is tried again and fails again.
void TestBatchWindow::clipLeftOutOfTheIndexFailsItsRow()
{
    const QString missing = LoopMount::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable("mounted player drives need " + missing));
    LoopMount holed, sound;
    QString error;
    const QString holedImage = m_tmp.filePath("holed.img"), soundImage = m_tmp.filePath("sound.img");
    QVERIFY2(holed.create(holedImage, 32 << 20, LoopMount::uniqueLabel(8), &error), qPrintable(error));
    QVERIFY2(sound.create(soundImage, 24 << 20, LoopMount::uniqueLabel(9), &error), qPrintable(error));
    const QString holedRoot = holed.mountPoint() + "/", soundRoot = sound.mountPoint() + "/";
    QVERIFY(indexfixture::leaveOnlyHoles(holedRoot) > 200);

    BatchConvertWindow w(0, nullptr);
    w.show();
    w.addSource(false, m_reel, k25);
    BatchConvertModel* m = modelOf(w);
    m->addDestination(0, -1);
    QCOMPARE(m->rowCount(m->index(0, 0)), 2);
    QVERIFY(setPath(w, 0, 0, holedRoot));
    QVERIFY(setPath(w, 0, 1, soundRoot));
    const QString clip = QFileInfo(m->outputBaseName(0, 0)).fileName();
    QCOMPARE(QFileInfo(m->outputBaseName(0, 1)).fileName(), clip);

    QSignalSpy finished(&w, &BatchConvertWindow::batchFinished);
    for (int run = 1; run <= 2; ++run) {
        s_messages.clear();
        {
            Modal modal;   // the second run overwrites the clip: Yes
            modal.answers = {QMessageBox::Yes};
            w.startBatch();
            QCOMPARE(modal.texts(), run == 1 ? QStringList() : QStringList{kOverwrite});
        }
        QCOMPARE(finished.count(), run);
        QCOMPARE(text(w, 0, 0, 4), QString("Conversion failed"));
        QCOMPARE(text(w, 0, 1, 4), QString("Completed"));
        QCOMPARE(s_messages.size(), 1);
        QVERIFY2(s_messages[0].endsWith("left out: " + clip + "."), qPrintable(s_messages[0]));
        QVERIFY2(s_messages[0].startsWith("Error indexing " + holedRoot), qPrintable(s_messages[0]));
        QCOMPARE(filesIn(holedRoot + clip).size(), 3);
    }
    const QByteArray holedIndex = readAll(holedRoot + "index.dat"), soundIndex = readAll(soundRoot + "index.dat");
    QVERIFY(!holedIndex.isEmpty() && !soundIndex.isEmpty());
    QVERIFY2(holed.release(), qPrintable(holed.releaseError()));
    QVERIFY2(sound.release(), qPrintable(sound.releaseError()));
    QString report = indexfixture::check(holedImage, holedIndex, m_tmp.filePath("holed-index.dat"));
    QVERIFY2(report.isEmpty(), qPrintable(report));
    report = indexfixture::check(soundImage, soundIndex, m_tmp.filePath("sound-index.dat"));
    QVERIFY2(report.isEmpty(), qPrintable(report));
}

QTEST_MAIN(TestBatchWindow)
#include "tst_batchwindow.moc"
