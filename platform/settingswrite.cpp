// One write of the user's settings file: owner-only mode, the write-back to the
// user a pkexec run works for, and the report of a file that cannot be written.
#include "settingswrite.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elevatedrun.h"
#include "reporting.h"

namespace {

std::atomic<bool> g_failureReported{false};

// Takes the group and other bits away; never adds any (a file the user made
// read-only stays so).
void ownerOnly(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        if (::chmod(name.constData(), st.st_mode & 0700) != 0) {
            // Someone else's file: the write below will fail and say so.
        }
    }
}

} // namespace

SettingsWrite::SettingsWrite()
{
    // QSettings replaces the file with one of the old file's mode: setting
    // the mode first means no copy of the passwords is ever readable by others.
    const QString path = fileName();
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) == 0) {
        ownerOnly(path);
    } else if (errno == ENOENT && QDir().mkpath(QFileInfo(path).absolutePath())) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
}

SettingsWrite::~SettingsWrite()
{
    commit();
}

bool SettingsWrite::commit()
{
    sync();
    // A file that could not be parsed is a FormatError: it is still written.
    bool written = status() != QSettings::AccessError;
    ownerOnly(fileName());
    // Elevated for a user, this file is root's private copy: the user's own
    // file is written from it with the user's rights.
    const QString caller = elevatedrun::callerSettingsFile();
    const QString shown = caller.isEmpty() ? fileName() : caller;
    if (written)
        written = elevatedrun::writeBackCallerSettings();
    if (!written && !g_failureReported.exchange(true))
        reporting::report(reporting::Level::Error,
                          QCoreApplication::translate("SettingsWrite", "Your selections could not be saved: %1")
                              .arg(QDir::toNativeSeparators(shown)),
                          QCoreApplication::instance());
    return written;
}

void SettingsWrite::giveBackToUser()
{
    QSettings settings;
    settings.sync();
    elevatedrun::writeBackCallerSettings();
}
