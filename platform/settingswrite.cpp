// One write of the user's settings file: owner-only mode, hand-back to the
// user a pkexec run works for, and the report of a file that cannot be written.
#include "settingswrite.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

void giveBack(const QString& path)
{
    if (::geteuid() != 0 || !qEnvironmentVariableIsSet("PKEXEC_UID"))
        return;
    bool ok = false;
    const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
    if (!ok || uid == 0)
        return;
    const struct passwd* pw = ::getpwuid(uid);
    const gid_t gid = pw ? pw->pw_gid : gid_t(-1);

    // What this run made is owned by root, from the file up to the first
    // folder of the user's own. A chain that meets anyone else's entry, or
    // reaches "/", is not the user's settings folder: leave it alone.
    QStringList made;
    for (QString p = QFileInfo(path).absoluteFilePath();;) {
        struct stat st;
        if (::lstat(QFile::encodeName(p).constData(), &st) != 0)
            return;
        if (st.st_uid == uid)
            break;
        if (st.st_uid != 0 || S_ISLNK(st.st_mode))
            return;
        made << p;
        const QString parent = QFileInfo(p).absolutePath();
        if (parent == p)
            return;
        p = parent;
    }
    for (const QString& p : made) {
        if (::lchown(QFile::encodeName(p).constData(), uid, gid) != 0) {
            // Nothing more to do: the user can still read what root wrote.
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
    const bool written = status() != QSettings::AccessError;
    ownerOnly(fileName());
    giveBack(fileName());
    if (!written && !g_failureReported.exchange(true))
        reporting::report(reporting::Level::Error,
                          QCoreApplication::translate("SettingsWrite", "Your selections could not be saved: %1")
                              .arg(QDir::toNativeSeparators(fileName())),
                          QCoreApplication::instance());
    return written;
}

void SettingsWrite::giveBackToUser()
{
    QSettings settings;
    settings.sync();
    giveBack(settings.fileName());
}
