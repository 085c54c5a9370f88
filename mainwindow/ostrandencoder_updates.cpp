// OstrandEncoder: the automatic update check through the outside checker in
// Updater/ beside the program, and the offer to start the updater.
#include "ostrandencoder.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

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
    if (QFileInfo(checkerPath()).isFile() && QFileInfo(updaterPath()).isFile())
        updaterProcess.start(checkerPath(), {QStringLiteral("-checkforupdates")}, QIODevice::ReadWrite);
}

void OstrandEncoder::updaterProcessFinished(int exitCode, QProcess::ExitStatus status)
{
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
