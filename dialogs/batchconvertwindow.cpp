// BatchConvertWindow: the form, sources and destinations, the preview, the
// batch itself, and the command-line run with its console report.
#include "batchconvertwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QHeaderView>
#include <QMap>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPersistentModelIndex>
#include <QScopeGuard>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "batchconvertmodel.h"
#include "clipfolder.h"
#include "driveselectdialog.h"
#include "quorvelresources.h"
#include "reporters.h"
#include "reporting.h"
#include "slotlistdelegate.h"
#include "stopsignals.h"
#include "targasequence.h"
#include "volumeinfo.h"

namespace {

// The clip folder as the file system sees it, so that two spellings of one
// folder are known as one.
QString clipFolderKey(const QString& clip)
{
    const QFileInfo info(clip);
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (parent.isEmpty() ? QDir::cleanPath(info.absolutePath()) : parent) + QLatin1Char('/') + info.fileName();
}

// Whether converting into this clip folder would overwrite or mix with
// frames: any frame file counts, so stale frames of a longer run are not
// missed; notes and folders beside them are kept and do not count.
bool clipFolderInUse(const QString& clip)
{
    const QFileInfo info(clip);
    if (!info.exists())
        return false;
    if (!info.isDir())
        return true;
    return hasFrameFiles(clip);
}

} // namespace

BatchConvertWindow::BatchConvertWindow(int outputType, QWidget* parent)
    : QMainWindow(parent)
    , model(new BatchConvertModel(this))
    , pixmapItem(nullptr)
    , resizeTimer(nullptr)
    , runningRow(-1)
    , outputType(outputType)
    , commandLineMode(false)
    , forceOverwrite(false)
    , silent(false)
    , batchActive(false)
{
    initQuorvelResources();
    ui.setupUi(this);
    ui.treeView->setModel(model);
    ui.treeView->setItemDelegateForColumn(BatchConvertModel::SlotColumn, new SlotListDelegate(ui.treeView));

    auto addAction = [this](const char* icon, const QString& text, const char* name, const char* slot) {
        QAction* action = ui.toolBar->addAction(QIcon(QString::fromLatin1(icon)), text);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, SIGNAL(triggered()), this, slot);
        return action;
    };
    actionAddSource = addAction(":/OstrandEncoder/Resources/AddIcon.png", tr("Add Source"), "actionAddSource",
                                SLOT(addSource()));
    actionRemoveSource = addAction(":/OstrandEncoder/Resources/DeleteIcon.png", tr("Remove Source"),
                                   "actionRemoveSource", SLOT(removeSource()));
    ui.toolBar->addSeparator();
    actionAddDestination = addAction(":/OstrandEncoder/Resources/AddDestIcon.png", tr("Add Destination"),
                                     "actionAddDestination", SLOT(addDestination()));
    actionRemoveDestination = addAction(":/OstrandEncoder/Resources/DeleteDestIcon.png", tr("Remove Destination"),
                                        "actionRemoveDestination", SLOT(removeDestination()));
    ui.toolBar->addSeparator();
    actionStartBatch = addAction(":/OstrandEncoder/Resources/Play.png", tr("Start Batch"), "actionStartBatch",
                                 SLOT(startBatch()));
    actionCancelBatch = addAction(":/OstrandEncoder/Resources/Stop.png", tr("Cancel Batch"), "actionCancelBatch",
                                  SLOT(cancelBatchPressed()));

    connect(ui.treeView->selectionModel(), SIGNAL(selectionChanged(QItemSelection, QItemSelection)), this,
            SLOT(videoSelected()));
    connect(ui.treeView, SIGNAL(clicked(QModelIndex)), this, SLOT(viewClicked(QModelIndex)));
    connect(ui.sourceFPS, SIGNAL(currentIndexChanged(int)), this, SLOT(frameRateSelected(int)));

    ui.treeView->setMouseTracking(true);
    ui.treeView->viewport()->installEventFilter(this);
    ui.treeView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui.treeView, SIGNAL(customContextMenuRequested(QPoint)), this, SLOT(viewMenu(QPoint)));
    ui.treeView->header()->resizeSection(BatchConvertModel::DestinationColumn, 200);
    ui.treeView->header()->setSectionResizeMode(BatchConvertModel::StatusColumn, QHeaderView::ResizeToContents);

    auto* scene = new QGraphicsScene(this);
    pixmapItem = scene->addPixmap(QPixmap());
    ui.graphicsView->setScene(scene);
    ui.graphicsView->installEventFilter(this);

    resizeTimer = new QTimer(this);
    resizeTimer->setSingleShot(true);
    videoSelected();
    connect(resizeTimer, SIGNAL(timeout()), this, SLOT(adjustPreview()));
    connect(ui.sliderFrame, SIGNAL(valueChanged(int)), this, SLOT(frameSelected(int)));

    actionStartBatch->setEnabled(false);
    actionCancelBatch->setVisible(false);
}

BatchConvertWindow::~BatchConvertWindow()
{
    // A sequence still on its worker must be back before the model deletes it.
    for (int row = 0; row < model->rowCount(); ++row) {
        TargaSequence* sequence = model->sequenceAt(row);
        if (!sequence || sequence->thread() == thread())
            continue;
        sequence->cancelConversion();
        if (QThread* worker = sequence->thread())
            worker->wait();
    }
}

// ---------------------------------------------------------------------------
// Selection and preview

int BatchConvertWindow::selectedSourceRow() const
{
    QModelIndex index;
    const QModelIndexList rows = ui.treeView->selectionModel()->selectedRows(0);
    if (!rows.isEmpty()) {
        index = rows.first();
    } else {
        const QModelIndexList cells = ui.treeView->selectionModel()->selectedIndexes();
        if (!cells.isEmpty())
            index = cells.first().sibling(cells.first().row(), 0);
    }
    if (!index.isValid())
        return -1;
    while (index.parent().isValid())
        index = index.parent();
    return index.row();
}

int BatchConvertWindow::selectedDestinationRow() const
{
    QModelIndexList rows = ui.treeView->selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        rows = ui.treeView->selectionModel()->selectedIndexes();
    if (rows.isEmpty() || !rows.first().parent().isValid())
        return -1;
    return rows.first().row();
}

QString BatchConvertWindow::selectedKey() const
{
    const int row = selectedSourceRow();
    return row < 0 ? QString() : model->index(row, 0).data(Qt::DisplayRole).toString();
}

QPixmap BatchConvertWindow::framePicture(TargaSequence* sequence, int frame)
{
    TgaImage image;
    int width = 0, height = 0;
    QPixmap picture;
    const uint8_t* pixels = sequence->readFrame(frame, &width, &height, true, true, &image);
    if (pixels && width > 0 && height > 0) {
        // rgbSwapped makes the copy the picture keeps: the pixels go with the image below.
        const QImage rows(pixels, width, height, width * 3, QImage::Format_RGB888);
        picture = QPixmap::fromImage(rows.rgbSwapped());
    }
    TgaFreeImage(&image);
    return picture;
}

void BatchConvertWindow::videoSelected()
{
    const int row = selectedSourceRow();
    if (row < 0) {
        ui.labelFilename->setText(tr("No video selected"));
        ui.labelProperties->clear();
        actionAddDestination->setEnabled(false);
        actionRemoveDestination->setEnabled(false);
        ui.sliderFrame->setEnabled(false);
        ui.sourceFPS->setEnabled(false);
        {
            const QSignalBlocker block(ui.sourceFPS);
            ui.sourceFPS->setCurrentIndex(-1);
        }
        pixmapItem->setPixmap(QPixmap());
        QTimer::singleShot(0, this, SLOT(adjustPreview()));
        return;
    }

    const QString key = model->index(row, 0).data(Qt::DisplayRole).toString();
    ui.labelFilename->setText(key);
    if (TargaSequence* sequence = model->sequenceAt(row)) {
        if (!previewPixmaps.contains(key)) {
            previewPixmaps.insert(key, framePicture(sequence, sequence->firstFrame()));
            previewFrames.insert(key, sequence->firstFrame());
        }
        {
            // Range and value are the selected source's: no frame is read for them.
            const QSignalBlocker block(ui.sliderFrame);
            ui.sliderFrame->setRange(sequence->firstFrame(), sequence->firstFrame() + sequence->frameCount() - 1);
            ui.sliderFrame->setValue(previewFrames.value(key));
        }
        ui.sliderFrame->setEnabled(true);
        ui.labelProperties->setText(tr("Type: Targa Sequence\n\nResolution: %1 x %2, %3-bit\n\nFolder of %4 files")
                                        .arg(sequence->width())
                                        .arg(sequence->height())
                                        .arg(sequence->bitsPerPixel())
                                        .arg(sequence->frameCount()));
        {
            // Showing the rate is no change of it (the worker may be reading it).
            const QSignalBlocker block(ui.sourceFPS);
            ui.sourceFPS->setCurrentIndex(sequence->frameRateIndex());
        }
        ui.sourceFPS->setEnabled(!batchActive);
    } else {
        ui.labelProperties->clear();
        ui.sliderFrame->setEnabled(false);
    }
    actionAddDestination->setEnabled(!batchActive);
    actionRemoveDestination->setEnabled(!batchActive);
    QTimer::singleShot(0, this, SLOT(adjustPreview()));
}

void BatchConvertWindow::frameSelected(int frame)
{
    const QString key = selectedKey();
    if (!previewFrames.contains(key) || previewFrames.value(key) == frame)
        return;
    TargaSequence* sequence = model->sequenceAt(selectedSourceRow());
    if (!sequence)
        return;
    previewPixmaps.insert(key, framePicture(sequence, frame));
    previewFrames.insert(key, frame);
    QTimer::singleShot(0, this, SLOT(adjustPreview()));
}

void BatchConvertWindow::frameRateSelected(int index)
{
    const int row = selectedSourceRow();
    TargaSequence* sequence = model->sequenceAt(row);
    // The worker reads the rate while it converts: no change during a batch.
    if (!sequence || index < 0 || batchActive)
        return;
    sequence->setFrameRateIndex(index);
    const QModelIndex source = model->index(row, 0);
    const int count = model->rowCount(source);
    if (count > 0)
        emit model->dataChanged(model->index(0, BatchConvertModel::SlotColumn, source),
                                model->index(count - 1, BatchConvertModel::SlotColumn, source));
}

void BatchConvertWindow::adjustPreview()
{
    const QString key = selectedKey();
    if (!previewPixmaps.contains(key)) {
        pixmapItem->setPixmap(QPixmap());
        return;
    }
    const QPixmap cached = previewPixmaps.value(key);
    const QSize area(ui.graphicsView->width() - 4, ui.graphicsView->height() - 4);
    pixmapItem->setPixmap(cached.isNull() || area.isEmpty()
                              ? QPixmap()
                              : cached.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    ui.graphicsView->scene()->setSceneRect(pixmapItem->boundingRect());
    ui.graphicsView->centerOn(pixmapItem);
}

// ---------------------------------------------------------------------------
// Messages

void BatchConvertWindow::message(QString text, int level)
{
    ++messagesReported;
    reporting::report(reporting::levelOf(level), text, this, reporting::Printed::AsError);
}

// ---------------------------------------------------------------------------
// Sources and destinations

void BatchConvertWindow::addSource()
{
    addSource(true, QString(), 8);
}

void BatchConvertWindow::addSource(bool autoAssign, QString folder, int rateIndex)
{
    if (batchActive)
        return;
    QString path = folder;
    int rate = rateIndex;
    if (path.isEmpty()) {
        path = QFileDialog::getExistingDirectory(this, tr("Open Targa Sequence"), QString(),
                                                 QFileDialog::ShowDirsOnly);
        if (path.isEmpty())
            return;
        rate = 5;
    }

    auto* sequence = new TargaSequence;
    connect(sequence, SIGNAL(message(QString, int)), this, SLOT(message(QString, int)));
    sequence->setFrameRateIndex(rate);
    if (!sequence->scan(path)) {
        delete sequence;
    } else {
        model->addSource(sequence);
        connect(sequence, SIGNAL(frameConverted(int)), this, SLOT(setProgress(int)));
        connect(sequence, &TargaSequence::destinationFailed, this, [this](int index) { failedIndexes << index; });
        connect(sequence, &TargaSequence::drivesNotIndexed, this,
                [this](const QStringList& reports) { indexFailures << reports; });
        connect(sequence, &TargaSequence::clipsNotIndexed, this, &BatchConvertWindow::clipsNotIndexed);
        for (int row = 0; row < model->rowCount(); ++row)
            ui.treeView->setFirstColumnSpanned(row, QModelIndex(), true);

        const int r = model->rowCount() - 1;
        const QModelIndex source = model->index(r, 0);
        model->addDestination(r, -1);

        if (autoAssign) {
            // Player drives by number; a later volume with the same number wins.
            QMap<int, QString> drives;
            QMap<QString, QStringList> byLabel;
            for (const VolumeInfo& volume : VolumeInfo::mountedVolumes()) {
                const int number = VolumeInfo::playerDriveNumber(volume.name());
                if (number >= 0) {
                    drives.insert(number, volume.rootPath());
                    byLabel[volume.name()] << volume.rootPath();
                }
            }
            // Two drives with one label: say which one is taken.
            for (auto it = byLabel.constBegin(); it != byLabel.constEnd(); ++it) {
                if (it.value().size() > 1)
                    message(tr("Volume label '%1' matches %2 mounted volumes; using %3.")
                                .arg(it.key())
                                .arg(it.value().size())
                                .arg(QDir::toNativeSeparators(it.value().last())),
                            2);
            }
            if (!drives.isEmpty()) {
                const int count = sequence->slotCount();
                if (count == 1) {
                    model->setData(model->index(0, BatchConvertModel::DestinationColumn, source), drives.first());
                } else {
                    int i = 0;
                    for (auto it = drives.constBegin(); it != drives.constEnd() && i < count; ++it, ++i) {
                        if (model->rowCount(source) == i)
                            model->addDestination(r, -1);
                        model->setData(model->index(i, BatchConvertModel::DestinationColumn, source), it.value());
                        // Drive k takes slot k - 1 of the groups; drive 0 whole frames.
                        model->setData(model->index(i, BatchConvertModel::SlotColumn, source),
                                       ((it.key() - 1) % count) + 1);
                    }
                }
            }
        }

        for (int row = 0; row < model->rowCount(); ++row)
            ui.treeView->expand(model->index(row, 0));
        ui.treeView->selectionModel()->select(source, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    actionStartBatch->setEnabled(model->rowCount() > 0);
}

void BatchConvertWindow::removeSource()
{
    const int row = selectedSourceRow();
    if (row >= 0 && !batchActive) {
        const QString key = model->index(row, 0).data(Qt::DisplayRole).toString();
        previewPixmaps.remove(key);
        previewFrames.remove(key);
        model->removeSource(row);
    }
    actionStartBatch->setEnabled(model->rowCount() > 0);
}

void BatchConvertWindow::addDestination()
{
    const int row = selectedSourceRow();
    if (row >= 0 && !batchActive)
        model->addDestination(row, -1);
}

void BatchConvertWindow::removeDestination()
{
    const int row = selectedSourceRow();
    const int destination = selectedDestinationRow();
    if (row >= 0 && destination >= 0 && !batchActive)
        model->removeDestination(row, destination);
}

void BatchConvertWindow::viewClicked(QModelIndex index)
{
    if (!batchActive && index.column() == BatchConvertModel::DestinationColumn && selectedDestinationRow() >= 0)
        setDestinations(-1, -1, true);
}

void BatchConvertWindow::viewEntered(QModelIndex index)
{
    ui.treeView->setCursor(QCursor(Qt::CursorShape(index.data(BatchConvertModel::CursorRole).toInt())));
}

void BatchConvertWindow::viewMenu(QPoint pos)
{
    auto* menu = new QMenu(this);
    // One menu per right click, gone once it closes.
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    const int row = selectedSourceRow();
    const int destination = selectedDestinationRow();
    if (row >= 0) {
        menu->addAction(actionAddSource);
        menu->addAction(actionRemoveSource);
        menu->addSeparator();
        if (destination >= 0) {
            menu->addAction(actionAddDestination);
            menu->addAction(actionRemoveDestination);
            menu->addSeparator();
        }
        QAction* reset = menu->addAction(tr("Reset Status"));
        reset->setObjectName(QStringLiteral("resetStatus"));
        reset->setEnabled(!batchActive);
        // The rows of the moment the menu opened, followed if rows move meanwhile.
        const QPersistentModelIndex source = model->index(row, 0);
        const QPersistentModelIndex target =
            destination >= 0 ? model->index(destination, 0, model->index(row, 0)) : QModelIndex();
        connect(reset, &QAction::triggered, this, [this, source, target, destination] {
            if (batchActive || !source.isValid())
                return;
            if (destination >= 0) {
                if (target.isValid())
                    model->setData(target.sibling(target.row(), BatchConvertModel::StatusColumn), 0);
                return;
            }
            for (int d = 0; d < model->rowCount(source); ++d)
                model->setData(model->index(d, BatchConvertModel::StatusColumn, source), 0);
        });
        menu->addSeparator();
    }
    menu->addAction(actionStartBatch);
    menu->addAction(actionCancelBatch);
    menu->popup(ui.treeView->viewport()->mapToGlobal(pos));
}

bool BatchConvertWindow::setDestinations(int row, int destination, bool withFileInfo)
{
    if (row < 0)
        row = selectedSourceRow();
    if (destination < 0)
        destination = selectedDestinationRow();
    const QModelIndex source = model->index(row, 0);
    if (row < 0 || destination < 0 || !model->sequenceAt(row) || destination >= model->rowCount(source))
        return false;

    QString fileName = model->index(0, BatchConvertModel::FileNameColumn, source).data(Qt::DisplayRole).toString();
    int fileNumber = model->index(0, BatchConvertModel::FileNumberColumn, source).data(Qt::DisplayRole).toInt();
    DriveSelectDialog dialog(withFileInfo ? &fileName : nullptr, withFileInfo ? &fileNumber : nullptr, this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QString path = dialog.getSelectedPath();
    if (path.isEmpty())
        return false;
    model->setData(model->index(destination, BatchConvertModel::FileNameColumn, source), fileName);
    model->setData(model->index(destination, BatchConvertModel::FileNumberColumn, source), fileNumber);
    // A path refused as a second destination of one clip folder sets nothing.
    return model->setData(model->index(destination, BatchConvertModel::DestinationColumn, source), path);
}

// ---------------------------------------------------------------------------
// The batch

bool BatchConvertWindow::checkOutputs()
{
    // Numbers first: they name the clip folders checked below.
    model->assignFreeClipNumbers();
    // Every destination starts again, completed ones too; the folders checked
    // are those of the destinations that will be converted.
    QList<QPair<int, int>> converted;
    for (int row = 0; row < model->rowCount(); ++row) {
        TargaSequence* sequence = model->sequenceAt(row);
        if (!sequence)
            continue;
        sequence->cancelConversion();
        const QModelIndex source = model->index(row, 0);
        for (int d = 0; d < model->rowCount(source); ++d)
            model->setData(model->index(d, BatchConvertModel::StatusColumn, source), DestinationPending);
        for (int slot = -1; slot < sequence->slotCount(); ++slot) {
            for (int d : model->destinationsForSlot(row, slot))
                converted.append(qMakePair(row, d));
        }
    }
    std::sort(converted.begin(), converted.end());

    // A clip a player drive would not play fails before anything is written.
    refusedDestinations.clear();
    QStringList refusals;
    for (const BatchConvertModel::ClipNumberClash& clash : model->clipNumberClashes(converted)) {
        const auto at = qMakePair(clash.row, clash.destination);
        refusedDestinations.insert(at);
        converted.removeAll(at);
        model->setData(model->index(clash.destination, BatchConvertModel::StatusColumn, model->index(clash.row, 0)),
                       DestinationFailed);
        refusals << clash.reason;
    }
    if (!refusals.isEmpty()) {
        if (commandLineMode) {
            for (const QString& refusal : qAsConst(refusals))
                message(refusal, 3);
        } else {
            message(refusals.join(QLatin1Char('\n')), 3);
        }
    }

    // Two destinations writing one clip folder would overwrite each other.
    QSet<QString> folders;
    for (const auto& at : qAsConst(converted)) {
        const QString key = clipFolderKey(model->outputBaseName(at.first, at.second));
        if (folders.contains(key)) {
            message(tr("Cannot export multiple files to the same destination at the same time.\n\n"
                       "Please select a different destination path."),
                    reporting::WarningMessage);
            return false;
        }
        folders.insert(key);
    }

    bool inUse = false;
    for (const auto& at : qAsConst(converted)) {
        const QString clip = model->outputBaseName(at.first, at.second);
        if (!clipFolderInUse(clip))
            continue;
        inUse = true;
        if (commandLineMode && !forceOverwrite) {
            print(QStringLiteral("\nERROR: Output directory '%1' is not empty!  Please delete the directory or use "
                                 "force overwrite option.\r\n")
                      .arg(clip));
            return false;
        }
    }
    if (inUse && !commandLineMode) {
        const auto answer = QMessageBox::question(this, tr("Quorvel"),
                                                  tr("One or more destination directories contain files which will "
                                                     "be overwritten during conversion.\n\nContinue anyway?"),
                                                  QMessageBox::Yes | QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return false;
    }
    // Confirmed: the earlier run's frames go, or the clip would mix them with the new ones.
    replaceFrames = inUse;
    return true;
}

void BatchConvertWindow::deliverPostedEvents()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void BatchConvertWindow::waitForConversion(TargaSequence* sequence)
{
    QThread* const home = thread();
    QThread* const worker = sequence->thread();
    if (worker == home)
        return;
    QEventLoop loop;
    // The worker hands the sequence back as it finishes; the timer covers an
    // end that came before the connection was made.
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&loop, sequence, home] {
        if (sequence->thread() == home)
            loop.quit();
    });
    check.start(200);
    while (sequence->thread() != home)
        loop.exec();
}

void BatchConvertWindow::startBatch()
{
    if (batchActive)
        return;
    batchActive = true;
    actionAddSource->setEnabled(false);
    actionRemoveSource->setEnabled(false);
    actionAddDestination->setEnabled(false);
    actionRemoveDestination->setEnabled(false);
    actionStartBatch->setVisible(false);
    actionCancelBatch->setVisible(true);
    ui.sourceFPS->setEnabled(false);
    ui.treeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    model->refreshDestinations();

    if (!checkOutputs()) {
        batchActive = false;
        cancelBatch();
        return;
    }

    // Nobody is there to press Cancel in a command-line run: a stop signal
    // does it, so that the frame being written is finished or removed and the
    // clip folders are unlocked before the program ends.
    std::unique_ptr<StopSignals> stopSignals;
    if (commandLineMode) {
        stopSignalled = false;
        stopSignals = std::make_unique<StopSignals>();
        connect(stopSignals.get(), &StopSignals::received, this, [this] {
            stopSignalled = true;
            cancelBatchPressed();
        });
    }

    int w = 0;
    QList<int> lastRun;
    // Destinations of source w that failed before any frame was written.
    QSet<int> failedRows;
    int failedRowsOf = -1;
    while (w < model->rowCount()) {
        TargaSequence* sequence = model->sequenceAt(w);
        if (!sequence) {
            ++w;
            continue;
        }
        runningRow = w;
        QCoreApplication::processEvents();
        if (stopSignalled)
            break;
        runningDestinations.clear();
        if (failedRowsOf != w) {
            failedRows.clear();
            failedRowsOf = w;
        }
        const QModelIndex source = model->index(w, 0);
        auto failRow = [&](int d) {
            failedRows.insert(d);
            model->setData(model->index(d, BatchConvertModel::StatusColumn, source), DestinationFailed);
        };
        // A drive pulled out since it was chosen leaves its empty mount
        // folder on the system disk: nothing is written there.
        QList<int> gone;
        for (int d = 0; d < model->rowCount(source); ++d) {
            if (!failedRows.contains(d) && !refusedDestinations.contains(qMakePair(w, d))
                && model->destinationStatus(w, d) != DestinationCompleted && model->volumeGone(w, d)) {
                const QString path = model->destinationPath(w, d);
                failRow(d);
                gone << d;
                message(tr("%1 is no longer mounted.").arg(QDir::toNativeSeparators(path)),
                        reporting::WarningMessage);
            }
        }
        QList<SequenceDestination> destinations;
        for (int slot = -1; slot < sequence->slotCount(); ++slot) {
            for (int d : model->destinationsForSlot(w, slot)) {
                if (failedRows.contains(d) || refusedDestinations.contains(qMakePair(w, d)))
                    continue;
                runningDestinations.append(d);
                destinations.append(SequenceDestination{model->outputBaseName(w, d), slot, DestinationPending});
            }
        }
        if (destinations.isEmpty() && !gone.isEmpty()) {
            // Nothing of this source can be converted: it ends as a failed conversion.
            runningDestinations = gone;
            setProgress(DestinationFailed);
            break;
        }

        if (!destinations.isEmpty()) {
            // A conversion that ended without completing its destinations
            // would come round again for ever.
            const bool again = runningDestinations == lastRun;
            lastRun = runningDestinations;
            if (!again) {
                failedIndexes.clear();
                indexFailures.clear();
                notIndexed.clear();
                const QList<int> handedOver = runningDestinations;
                sequence->startConversion(destinations, outputType, replaceFrames);
                // Folders held by another conversion are not written; their
                // rows fail now and follow the others no further.
                for (int index : qAsConst(failedIndexes)) {
                    const int d = handedOver.value(index, -1);
                    if (d >= 0) {
                        failRow(d);
                        runningDestinations.removeAll(d);
                    }
                }
                waitForConversion(sequence);
                // Its last counts and messages come before it is judged.
                deliverPostedEvents();
                // Clips left out of their drive's index have failed; they are not converted again.
                for (int d : handedOver)
                    if (notIndexed.contains(model->outputBaseName(w, d)))
                        failedRows.insert(d);
                // One report for all the drives that could not be indexed:
                // one box, or an "ERROR: " line for each drive.
                if (!indexFailures.isEmpty()) {
                    const QString reports = indexFailures.join(QLatin1Char('\n'));
                    indexFailures.clear();
                    ++messagesReported;
                    reporting::report(reporting::Level::Error, reports, this, reporting::Printed::AsErrorLines);
                }
            }
            if (again || !sequence->isRunning()) {
                if (runningRow >= 0)
                    emit sequence->frameConverted(DestinationFailed);
                break;
            }
            continue;
        }
        lastRun.clear();

        const int slot = model->firstFreeSlot(w);
        if (slot >= 0 && !commandLineMode) {
            const auto answer = QMessageBox::question(
                this, tr("Quorvel"),
                tr("Would you like to convert slot %1 of %2 for the video %3 now?")
                    .arg(slot + 1)
                    .arg(sequence->slotCount())
                    .arg(QDir::toNativeSeparators(sequence->directory())),
                QMessageBox::Yes | QMessageBox::No);
            if (answer == QMessageBox::Yes) {
                model->addDestination(w, slot);
                if (!setDestinations(w, model->rowCount(model->index(w, 0)) - 1, false))
                    break;
                continue;
            }
        }
        sequence->cancelConversion();
        ++w;
    }

    batchActive = false;
    cancelBatch();
    // Last: a listener may close (and so delete) the window.
    emit batchFinished();
}

void BatchConvertWindow::cancelBatchPressed()
{
    if (runningRow >= 0) {
        if (TargaSequence* sequence = model->sequenceAt(runningRow))
            sequence->cancelConversion();
        setProgress(DestinationCanceled);
        runningRow = -1;
    }
    actionCancelBatch->setEnabled(false);
}

void BatchConvertWindow::cancelBatch()
{
    runningRow = -1;
    actionAddSource->setEnabled(true);
    actionRemoveSource->setEnabled(true);
    videoSelected();
    ui.treeView->setEditTriggers(QAbstractItemView::DoubleClicked);
    actionStartBatch->setVisible(true);
    actionCancelBatch->setVisible(false);
    actionCancelBatch->setEnabled(true);
}

void BatchConvertWindow::setProgress(int code)
{
    const QModelIndex source = model->index(runningRow, 0);
    if (!source.isValid())
        return;
    for (int d : qAsConst(runningDestinations))
        model->setData(model->index(d, BatchConvertModel::StatusColumn, source), code);
    if (commandLineMode && !silent) {
        TargaSequence* sequence = model->sequenceAt(runningRow);
        const int frames = sequence ? sequence->frameCount() : 0;
        // A run with a clip left out of its index is no "Done.".
        const int end = code == DestinationCompleted && !notIndexed.isEmpty() ? DestinationFailed : code;
        printConsoleReport(code > 0 ? report.progress(code, frames) : report.end(end, frames));
    }
}

void BatchConvertWindow::clipsNotIndexed(const QStringList& clipFolders)
{
    // Before the run's end status: these rows fail, the others complete.
    notIndexed << clipFolders;
    const QModelIndex source = model->index(runningRow, 0);
    if (!source.isValid())
        return;
    for (int d : QList<int>(runningDestinations)) {
        if (clipFolders.contains(model->outputBaseName(runningRow, d))) {
            model->setData(model->index(d, BatchConvertModel::StatusColumn, source), DestinationFailed);
            runningDestinations.removeAll(d);
        }
    }
}

// ---------------------------------------------------------------------------
// Closing

bool BatchConvertWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui.treeView->viewport() && event->type() == QEvent::MouseMove) {
        const QModelIndex index = ui.treeView->indexAt(static_cast<QMouseEvent*>(event)->pos());
        if (index != hoverIndex) {
            hoverIndex = index;
            viewEntered(index);
        }
    } else if (watched == ui.graphicsView && event->type() == QEvent::Resize) {
        resizeTimer->start(100);
    }
    return false;
}

void BatchConvertWindow::closeEvent(QCloseEvent* event)
{
    if (!batchActive) {
        event->accept();
        emit closed();
        deleteLater();
        return;
    }
    // startBatch is still on the stack: the window goes once it has returned.
    event->ignore();
    const auto answer =
        QMessageBox::question(this, tr("Quorvel"), tr("Batch conversion is still in progress. Do you want to cancel?"),
                              QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes && batchActive) {
        cancelBatchPressed();
        connect(this, &BatchConvertWindow::batchFinished, this, &QWidget::close, Qt::UniqueConnection);
    }
}

// ---------------------------------------------------------------------------
// The command-line run

void BatchConvertWindow::print(const QString& text)
{
    printConsoleReport(text.toUtf8());
}

bool BatchConvertWindow::startCommandLineBatch(CommandLineBatchJob job)
{
    QStringList quadrants{QStringLiteral(" "), QStringLiteral(" "), QStringLiteral(" "), QStringLiteral(" ")};
    commandLineMode = true;
    // Nobody answers a box in a command-line run: its reports are printed.
    const bool boxesBack = printInsteadOfBoxes();
    const auto restore = qScopeGuard([boxesBack] {
        if (boxesBack)
            installBoxReporter();
    });
    forceOverwrite = job.force;
    silent = job.silent;

    const QString separator = QDir::separator();
    if (job.sources.isEmpty())
        return false;
    QString sourceFolder = job.sources.first();
    if (!sourceFolder.endsWith(separator))
        sourceFolder += separator;

    addSource(false, sourceFolder, job.inputFrameRate);
    TargaSequence* sequence = model->sequenceAt(0);
    if (!sequence)
        return false;

    int totalFrames = job.totalFrames;
    if (totalFrames < 1 || totalFrames >= sequence->frameCount())
        totalFrames = sequence->frameCount();

    if (!silent) {
        BatchConsoleReport::Summary summary;
        summary.sourceFolder = sourceFolder;
        summary.inputRate = TargaSequence::frameRateForIndex(job.inputFrameRate);
        summary.split = sequence->isSplit();
        summary.width = sequence->width();
        summary.height = sequence->height();
        summary.krx = outputType == TargaSequence::KRX;
        summary.outputRate = TargaSequence::frameRateForIndex(job.outputFrameRate);
        summary.totalFrames = totalFrames;
        summary.framesFound = sequence->framesFound();
        summary.force = forceOverwrite;
        printConsoleReport(BatchConsoleReport::summary(summary));
    }
    sequence->setFrameCount(totalFrames);

    // Every destination needs its slot and volume entry, and a slot the job knows.
    static const QStringList knownSlots{"0", "1", "2", "3", "4"};
    bool listsOk = !job.destinations.isEmpty() && job.destinationSlots.size() >= job.destinations.size()
        && job.volumeNames.size() >= job.destinations.size();
    for (int i = 0; listsOk && i < job.destinations.size(); ++i)
        listsOk = knownSlots.contains(job.destinationSlots.at(i));
    if (!listsOk) {
        print(QStringLiteral("ERROR: Incorrectly processed destination list.\r\n"));
        return false;
    }

    const QModelIndex source = model->index(0, 0);
    for (int i = 0; i < job.destinations.size(); ++i) {
        const QString slot = job.destinationSlots.at(i);
        if (slot != QLatin1String("0") && !sequence->isSplit()) {
            print(QStringLiteral("ERROR: Attempting to perform 4K split on a non-4K source.\r\n"));
            return false;
        }
        if (slot == QLatin1String("0") && sequence->isSplit()) {
            print(QStringLiteral("ERROR: Attempting to perform non-4K operation on 4K source.\r\n"));
            return false;
        }
        QString destination = job.destinations.at(i);
        if (!destination.endsWith(separator))
            destination += separator;
        // A destination that is not there would be skipped without a word.
        if (!QFileInfo(destination).isDir()) {
            print(QStringLiteral("ERROR: Unable to access resource to verify/create output directory in '%1'\r\n")
                      .arg(destination));
            return false;
        }

        if (!silent)
            printConsoleReport(BatchConsoleReport::destinationLine(destination, job.volumeNames.at(i), slot));

        const int quadrant = slot.toInt();
        if (quadrant >= 1 && quadrant <= 4)
            quadrants[quadrant - 1] = BatchConsoleReport::quadrantCell(destination);

        if (i == model->rowCount(source))
            model->addDestination(0, -1);
        // Refused (one clip folder twice): reported, and nothing is converted.
        if (!model->setData(model->index(i, BatchConvertModel::DestinationColumn, source), destination))
            return false;
        if (slot != QLatin1String("0"))
            model->setData(model->index(i, BatchConvertModel::SlotColumn, source), quadrant);
        // The drive named by its label must still carry it when the batch starts.
        if (!job.volumeNames.at(i).isEmpty())
            model->setRequiredVolume(0, i, job.volumeNames.at(i));
    }

    if (!silent) {
        printConsoleReport((sequence->isSplit() ? BatchConsoleReport::quadrantBox(quadrants) : QByteArray())
                           + report.openRuler(sequence->frameCount()));
    }

    startBatch();
    // The worker's last reports arrive before the result is read.
    deliverPostedEvents();
    report.leaveRuler();

    const int count = model->rowCount(source);
    bool done = count > 0;
    for (int d = 0; d < count; ++d)
        done = done && model->destinationStatus(0, d) == DestinationCompleted;
    return done;
}
