// The batch conversion window: Targa image sequences (sources), the drives or
// folders that receive each one (destinations), a frame preview, and the
// batch that converts one source after another. The command-line mode drives
// it unseen through startCommandLineBatch.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QModelIndex>
#include <QPixmap>
#include <QPair>
#include <QSet>
#include <QString>

#include "batchconsolereport.h"
#include "commandlinebatchjob.h"
#include "ui_batchconvertwindow.h"

class BatchConvertModel;
class QAction;
class QCloseEvent;
class QGraphicsPixmapItem;
class QTimer;
class TargaSequence;

class BatchConvertWindow : public QMainWindow {
    Q_OBJECT

public:
    // outputType: 0 writes Targa frame files (".tga"), 1 KRX (".krx").
    explicit BatchConvertWindow(int outputType, QWidget* parent = nullptr);
    ~BatchConvertWindow() override;

    // Runs the whole job, printing its report unless silent, and returns once
    // the batch is over: true when every destination of the job ended "Done.".
    bool startCommandLineBatch(CommandLineBatchJob job);

    int outputFormat() const { return outputType; }
    // startBatch has not returned yet (also while a cancelled batch winds down).
    bool isBatchRunning() const { return batchActive; }

    // Messages this window has reported (each an "ERROR: " line in a command-line run).
    int reportedMessages() const { return messagesReported; }
    // A stop signal (SIGTERM, SIGINT, SIGHUP) ended the command-line batch.
    bool stoppedBySignal() const { return stopSignalled; }

    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void batchFinished();
    void closed();

public slots:
    void videoSelected();
    void frameSelected(int frame);
    void frameRateSelected(int index);
    void adjustPreview();
    // Reports the message of the window or one of its sequences over the
    // window; level is a reporting::MessageLevel. Printed, every message is an
    // "ERROR: " line.
    void message(QString text, int level);
    void addSource();
    void addSource(bool autoAssign, QString folder, int rateIndex);
    void removeSource();
    void addDestination();
    void removeDestination();
    void viewClicked(QModelIndex index);
    void viewEntered(QModelIndex index);
    void viewMenu(QPoint pos);
    bool setDestinations(int row = -1, int destination = -1, bool withFileInfo = true);
    void startBatch();
    void cancelBatchPressed();
    void cancelBatch();
    void setProgress(int code);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The running conversion's clips that their drive index left out.
    void clipsNotIndexed(const QStringList& clipFolders);
    int selectedSourceRow() const;
    int selectedDestinationRow() const;
    QString selectedKey() const;
    // The first frame's picture for the preview; an empty one when unreadable.
    static QPixmap framePicture(TargaSequence* sequence, int frame);
    // Checks the clip folders before anything is written; false ends the batch.
    bool checkOutputs();
    // Waits, handling events, until the sequence's worker has handed it back.
    void waitForConversion(TargaSequence* sequence);
    // Delivers what the worker posted (counts, messages) before it is judged.
    static void deliverPostedEvents();
    // Writes text to standard output at once (the ruler shows as it grows).
    void print(const QString& text);

    Ui::BatchConvertWindow ui;
    QAction* actionAddSource;
    QAction* actionRemoveSource;
    QAction* actionAddDestination;
    QAction* actionRemoveDestination;
    QAction* actionStartBatch;
    QAction* actionCancelBatch;
    BatchConvertModel* model;
    QModelIndex hoverIndex;
    QMap<QString, QPixmap> previewPixmaps;
    QMap<QString, int> previewFrames;
    QGraphicsPixmapItem* pixmapItem;
    QTimer* resizeTimer;
    int runningRow;
    QList<int> runningDestinations;
    int outputType;
    bool commandLineMode;
    bool forceOverwrite;
    bool silent;
    BatchConsoleReport report;
    // startBatch is on the stack: the window must not go, nor start another.
    bool batchActive;
    // The overwrite was confirmed: earlier frame files are removed first.
    bool replaceFrames = false;
    // Destinations (by their place in the list handed over) the running
    // conversion could not take, and the drives it could not index.
    QList<int> failedIndexes;
    // Destinations (source row, destination) that a batch does not write:
    // their clip number does not fit their player drive.
    QSet<QPair<int, int>> refusedDestinations;
    QStringList indexFailures;
    // Clip folders of the running conversion that its drive index left out.
    QStringList notIndexed;
    int messagesReported = 0;
    bool stopSignalled = false;
};
