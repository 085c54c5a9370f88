// The main window: a four-page wizard that takes video files from the player
// choice to encoded, split and uploaded outputs.
#pragma once

#include <QMainWindow>
#include <QMap>
#include <QModelIndex>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <atomic>

#include "ui_ostrandencoder.h"

class AdvancedOptionsWidget;
class EncodingThread;
class FTPMultiSetupWidget;
class FtpQueue;
class QCloseEvent;
class QShowEvent;
class QRegExpValidator;
class QStandardItem;
class QTimer;
class RenderListModel;
class StopSignals;
class TranscodeEngine;

// The update checker's process: a session of its own, so that it can be
// ended together with everything it started.
class CheckerProcess : public QProcess {
public:
    using QProcess::QProcess;
    ~CheckerProcess() override;
    // Ends the checker and every process of its session.
    void endAll();

protected:
    void setupChildProcess() override;
};

class OstrandEncoder : public QMainWindow {
    Q_OBJECT
    friend class OstrandEncoderTest;

public:
    explicit OstrandEncoder(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~OstrandEncoder() override;

    // Saved selections: device, resolution and quality indexes.
    void loadSettings();
    void saveSettings();
    static QString getDocumentsPath();

    // Device, resolution and quality lists.
    void populateTargetDevices();
    void populateHDOptions();
    void populateSDOptions();
    void populate4KOptions();
    void populateTargaOptions();
    void showDeviceImage(int index);
    bool isInterlaced();
    // Preset of the current resolution and quality: Presets/<res>_<quality>.mps.
    QString presetFilePath();

    // Checks the preset folder; on failure with notify, shows the notice once
    // the event loop runs.
    bool validatePresets(bool notify);

    // Input flags over all rows, read by the device rules and page 2.
    void setInputFlags();

    // The probe task of one added row; runs on the global thread pool.
    void getFileParameters(QStandardItem* item, QString uuid);
    QString buildInputParamsText(QVariantMap map);
    static QString secondsToString(QString seconds);
    static QByteArray zeroPad5(int n);

    // Runs the checker in Updater/ beside the program when it and the updater are there.
    void checkForUpdates();

    // Elevation: root is effective user id 0. The restart runs the program
    // again through pkexec with these arguments, waits for it and queues this
    // process's exit with its exit code; false (reported) when refused.
    static bool isRunningAsAdmin();
    bool elevateAndRestart(const QStringList& arguments);

signals:
    void processingFinished(QStandardItem* item, QVariantMap map);
    void numFilesLeftToProcess(int count);

public slots:
    void chooseFiles();
    void addFiles(QStringList paths);
    void removeFiles();
    void showPage0();
    void showPage1();
    void showPage2();
    void showPage3NameCheck();
    void showPage3();
    void showAdvancedOptions();
    void deviceSelected(int index);
    void videoResSelected(int index);
    void convertAndIndex();
    void indexDrive(QString path);
    void indexDrive();
    void updateToEncodeCount();
    void updateNavigation(int page);
    void ftpChecked(int state);
    void updateProgressBar();
    void encodeNextFile(int result);
    void cancelEncoding();
    void openOutputDirectory();
    void generateOutputNames();
    void ostrandNamingCheckboxChanged(int state);
    void QFHDCheckboxChanged(int state);
    void browseOutputDir();
    void showFtpSettingsDialog();
    void updateFtpProgress(QString filePath, double percent);
    void checkParamCompletion();
    void exportFilenameMap();
    QString generateDefaultOutputDir(QString folder);
    void inputProcessingFinished(QStandardItem* item, QVariantMap map);
    void updateToProcessCount(int count);
    void updateFtpStatus(QString filePath, QString status);
    void autoCheckForUpdates();
    void updaterProcessFinished(int exitCode, QProcess::ExitStatus status);
    void notifyOfBadPresets();
    void cancelButtonPressed();
    void hasUndeletedDP(bool kept);
    void updateVideoSettingsDropdown();
    bool addToFtpQueue(QString file, QVariantMap row);
    void passAndProcessArgs(int argc, char* argv[]);
    void showCmdLineIntro();
    void showCmdLineHelp();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // True when no upload is running or the user agrees to stop them: the
    // files on the players are then left incomplete.
    bool stopUploadsAsked();
    // Puts the resolution index back first: for the 4K player a resolution
    // change rebuilds the quality list, which would undo a quality restored
    // before it.
    void restoreSelections(int resIndex, int qualityIndex);

    // Quadrant and part rows of the output list.
    void addQFHDQuadrants();
    void addTallParts();
    void removeQFHDQuadrants();
    void removeTallParts();
    void expandPieces(const QString& flagKey, const QString& pieceKey, int pieces);
    void collapsePieces(const QString& pieceKey);

    // The encode loop's steps.
    void resetProgress();
    bool finishRow(int result);
    // Marks the row failed with its reason, on the row and in its tool tip.
    void markRowFailed(const QPersistentModelIndex& row, const QString& reason);
    void startRow();
    // The end-of-run text: rows encoded, rows failed with their reasons,
    // uploads still to go.
    void showRunEnd();
    void uploadsChanged();

    // Runs "-ucconvert" or "-ucindex [drive]" when args start with one; false
    // for any other arguments.
    bool runInternalArgument(const QList<QByteArray>& args);
    // Indexes the drive now and shows the result; true when indexed.
    bool indexAndReport(const QString& drive);
    // Elevated for a user whose starting process has ended: a running batch
    // stops as Cancel stops it, then the program ends.
    void callerGone();

    RenderListModel* model;
    Ui::OstrandEncoderClass ui;
    int encodingRow;
    TranscodeEngine* runningEngine;
    TranscodeEngine* probeEngine;
    bool cancelled;
    bool encodingActive;
    bool outputExists, outputIsInput;
    bool outputsCollide; // two rows would write one output file
    bool noAudio, noVideo, anyQFHD, anyTall;
    qint64 splitThreshold;
    // Files handed to the upload queue and their rows; a path queued again
    // maps to its latest row. Persistent, so that a status for a
    // removed row touches nothing.
    QMultiMap<QString, QPersistentModelIndex> uploadRows;
    FtpQueue* ftpQueue;
    QMutex removedUuidsLock;
    QSet<QString> removedUuids;
    QRegExpValidator* prefixValidator;
    QString lastFolder;
    int deviceImageIndex;
    bool probesPending;
    std::atomic<bool> closing;
    std::atomic<int> probesRunning; // probe tasks started and not yet ended
    QTimer* progressTimer;
    EncodingThread* encodingThread;
    QPersistentModelIndex encodingIndex; // the row encodingThread encodes
    quint64 encodeSerial = 0; // new with every run and every encoding thread
    bool runEnded = false; // the last run's rows are done; its uploads may still go
    // While a run encodes: logout, shutdown or Ctrl+C stop it as Cancel does.
    StopSignals* stopSignals = nullptr;
    void stopSignalReceived(int signal);
    void endStopSignals();
    CheckerProcess updaterProcess;
    // How long the checker may take before it is ended (its answer is then "no update").
    int checkerTimeLimitMs = 60000;
    QTimer* checkerTimer = nullptr;
    bool decodePipeKept;
    bool settingsLoaded;
    AdvancedOptionsWidget* advancedOptions;
    FTPMultiSetupWidget* ftpSetup;
    // Set by passAndProcessArgs: this run is the command-line mode.
    bool commandLineRun = false;
    bool callerEnded = false; // see callerGone
    bool pluginsChecked = false; // the missing plug-ins were looked for once
};
