// OstrandEncoder: the elevation test, the restart as root through pkexec, and
// the two actions of the uncompressed player that need root.
#include "ostrandencoder.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include <unistd.h>

#include "batchconvertwindow.h"
#include "driveindexdialog.h"
#include "driveindexer.h"
#include "elevation.h"
#include "fileitemmap.h"
#include "reporting.h"

namespace {

// pkexec's own exit codes: the request was dismissed, or not authorised
// (also: env could not run the program).
const int kElevationDismissed = 126;
const int kElevationRefused = 127;

} // namespace

bool OstrandEncoder::isRunningAsAdmin()
{
    return ::geteuid() == 0;
}

bool OstrandEncoder::elevateAndRestart(const QStringList& arguments)
{
    // The new process restores these in its constructor.
    saveSettings();

    const QStringList pkexecArgs =
        elevation::pkexecArguments(elevation::ownProgram(), arguments, QDir::currentPath());

    // The elevated run takes over; this process only waits for it, so that a
    // script calling it does not go on before the work is done.
    const bool wasVisible = isVisible();
    if (wasVisible)
        hide();
    std::fflush(stdout);

    QProcess elevated;
    elevated.setProcessChannelMode(QProcess::ForwardedChannels);
    elevated.setInputChannelMode(QProcess::ForwardedInputChannel);
    elevated.start(QStringLiteral("pkexec"), pkexecArgs);

    QString refusal;
    int exitCode = 0;
    if (!elevated.waitForStarted(-1)) {
        refusal = tr("Quorvel needs administrator rights for this, but pkexec, which asks for "
                     "them, could not be started.");
    } else {
        elevated.waitForFinished(-1);
        // Killed by a signal: the elevated run did not end by itself.
        exitCode = elevated.exitStatus() == QProcess::NormalExit ? elevated.exitCode() : 1;
        if (exitCode == kElevationDismissed)
            refusal = tr("Quorvel needs administrator rights for this; the request for them was "
                         "dismissed.");
        else if (exitCode == kElevationRefused)
            refusal = tr("Quorvel needs administrator rights for this, but they were not granted.");
    }

    // The elevated run's own reports may have gone where nobody reads them
    // (its standard error is /dev/null; root may have no display): a run
    // that failed is never left without a word.
    const QString report = !refusal.isEmpty() || exitCode == 0
        ? refusal
        : tr("The elevated Quorvel ended with code %1.").arg(exitCode);
    if (!report.isEmpty()) {
        if (wasVisible) {
            show();
            QMessageBox::critical(this, tr("Quorvel"), report, QMessageBox::Ok);
        } else {
            // A command-line run: its window is never shown.
            std::printf("ERROR: %s\r\n", report.toLocal8Bit().constData());
            std::fflush(stdout);
        }
    }
    if (!refusal.isEmpty())
        return false;

    // exit() before the event loop runs would be lost: queue it.
    QTimer::singleShot(0, qApp, [exitCode] { QCoreApplication::exit(exitCode); });
    return true;
}

void OstrandEncoder::callerGone()
{
    // Nobody waits for this run any more and its user cannot signal root:
    // it stops as Cancel stops it (no partial frame, locks released, no
    // index), and ends once no batch is on the stack any more.
    callerEnded = true;
    auto* ending = new QTimer(this);
    connect(ending, &QTimer::timeout, this, [] {
        bool running = false;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* batch = qobject_cast<BatchConvertWindow*>(top);
            if (batch && batch->isBatchRunning()) {
                batch->cancelBatchPressed();
                running = true;
            }
        }
        // exit() ends every event loop: not while a batch waits in one, nor
        // outside any loop (a command-line run before the main loop: a loop
        // entered later would return at once).
        if (!running && QThread::currentThread()->loopLevel() > 0)
            QCoreApplication::exit(1);
    });
    ending->start(20);
}

void OstrandEncoder::convertAndIndex()
{
    if (!isRunningAsAdmin()) {
        elevateAndRestart({QStringLiteral("-ucconvert")});
        return;
    }
    hide();
    ui.deviceComboBox->setCurrentIndex(fileitem::kUncompressedDevice);
    // Its own top-level window, gone when it closes; this one comes back then.
    auto* batch = new BatchConvertWindow(ui.videoComboBox->currentIndex(), nullptr);
    batch->show();
    connect(batch, SIGNAL(closed()), this, SLOT(show()));
}

void OstrandEncoder::indexDrive(QString path)
{
    if (!isRunningAsAdmin()) {
        QStringList arguments{QStringLiteral("-ucindex")};
        if (!path.isEmpty())
            arguments << path;
        elevateAndRestart(arguments);
        return;
    }
    if (path.isEmpty()) {
        show();
        ui.deviceComboBox->setCurrentIndex(fileitem::kUncompressedDevice);
        DriveIndexDialog dialog(this);
        dialog.exec();
        return;
    }
    indexAndReport(path);
}

bool OstrandEncoder::indexAndReport(const QString& drive)
{
    // The indexer's own messages stay unconnected: the notice below is the report.
    DriveIndexer indexer(this);
    const bool indexed = indexer.indexDrive(drive, false);
    if (indexed)
        reporting::report(reporting::Level::Information, tr("Drive indexed successfully."), this);
    else if (!indexer.leftOutReport().isEmpty())
        reporting::report(reporting::Level::Error, indexer.leftOutReport(), this);  // names the clips left out
    else
        reporting::report(reporting::Level::Error,
                          tr("Unable to index drive. Make sure the drive exists, is formatted correctly, and is "
                             "not write-protected, and try again."),
                          this);
    return indexed;
}

void OstrandEncoder::indexDrive()
{
    indexDrive(QString());
}
