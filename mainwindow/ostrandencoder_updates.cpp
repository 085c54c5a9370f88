// OstrandEncoder: the automatic update check through the outside checker in
// Updater/ beside the program, and the offer to start the updater.
#include "ostrandencoder.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include <csignal>
#include <unistd.h>

#include "elevation.h"
#include "encodingthread.h"
#include "settingswrite.h"
#include "transcodeengine.h"
#include "updatenoticedialog.h"

namespace {

QString updaterFolder()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Updater");
}

QString checkerPath()
{
    return updaterFolder() + QStringLiteral("/uptr_check");
}

QString updaterPath()
{
    return updaterFolder() + QStringLiteral("/updater");
}

} // namespace

CheckerProcess::~CheckerProcess()
{
    endAll();
}

void CheckerProcess::setupChildProcess()
{
    ::setsid();
}

void CheckerProcess::endAll()
{
    if (state() == NotRunning)
        return;
    const qint64 pid = processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    kill();
    waitForFinished(5000);
}

void OstrandEncoder::autoCheckForUpdates()
{
    // A command-line run, elevated restarts included, never offers updates
    // (nor writes the setting as root).
    if (commandLineRun)
        return;
    if (!QSettings().contains(QStringLiteral("update/updateNotify"))) {
        SettingsWrite settings;
        settings.setValue(QStringLiteral("update/updateNotify"), true);
    }
    if (QSettings().value(QStringLiteral("update/updateNotify"), true).toBool())
        checkForUpdates();
}

void OstrandEncoder::checkForUpdates()
{
    updaterProcess.setWorkingDirectory(updaterFolder());
    if (updaterProcess.state() != QProcess::NotRunning)
        return;
    // Quorvel ships neither program: without them there is nothing to check.
    if (!QFileInfo(checkerPath()).isFile() || !QFileInfo(updaterPath()).isFile())
        return;
    // Only its exit code counts: whatever it prints goes nowhere, and one
    // that hangs is ended with what it started.
    updaterProcess.setStandardInputFile(QProcess::nullDevice());
    updaterProcess.setStandardOutputFile(QProcess::nullDevice());
    updaterProcess.setStandardErrorFile(QProcess::nullDevice());
    updaterProcess.start(checkerPath(), {QStringLiteral("-checkforupdates")});
    if (!checkerTimer) {
        checkerTimer = new QTimer(this);
        checkerTimer->setSingleShot(true);
        connect(checkerTimer, &QTimer::timeout, &updaterProcess, &CheckerProcess::endAll);
    }
    checkerTimer->start(checkerTimeLimitMs);
}

void OstrandEncoder::updaterProcessFinished(int exitCode, QProcess::ExitStatus status)
{
    if (checkerTimer)
        checkerTimer->stop();
    if (status != QProcess::NormalExit || exitCode != 1)
        return;
    UpdateNoticeDialog notice(this);
    if (notice.exec() != QDialog::Accepted)
        return;
    // The updater replaces the program: a running encode is stopped as Cancel
    // stops it and waited for, so that its partial output is gone, and the
    // selections are kept for the next start.
    if (encodingActive) {
        cancelEncoding();
        // A transcode clears the stop request when it begins: repeat it.
        while (encodingThread && !encodingThread->wait(100))
            encodingThread->getTranscoder()->stopRequest = true;
    }
    saveSettings();
    if (!QProcess::startDetached(updaterPath(), {}, updaterFolder())) {
        // An updater this user may not run: ask for root.
        QProcess::startDetached(QStringLiteral("pkexec"),
                                elevation::pkexecArguments(updaterPath(), {}, updaterFolder()),
                                updaterFolder());
    }
    // The updater replaces the program: end whatever it did.
    QCoreApplication::exit(0);
}
