#include "elevation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace elevation {

QStringList pkexecArguments(const QString& program, const QStringList& arguments,
                            const QString& workDir)
{
    QString env = QStandardPaths::findExecutable(QStringLiteral("env"));
    if (env.isEmpty())
        env = QStringLiteral("/usr/bin/env");
    QStringList out{env, QStringLiteral("--chdir=") + workDir};

    static const char* const kPassed[] = {"DISPLAY",         "XAUTHORITY", "WAYLAND_DISPLAY",
                                          "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG",
                                          "LC_ALL"};
    for (const char* name : kPassed) {
        if (qEnvironmentVariableIsSet(name))
            out << QLatin1String(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    }
    // Without XAUTHORITY, X clients read ~/.Xauthority, which as root is root's.
    if (qEnvironmentVariableIsSet("DISPLAY") && !qEnvironmentVariableIsSet("XAUTHORITY")) {
        const QString cookie = QDir::homePath() + QStringLiteral("/.Xauthority");
        if (QFileInfo(cookie).isFile())
            out << QStringLiteral("XAUTHORITY=") + cookie;
    }
    // Always named: unset, it means ~/.config, and root's home is another.
    out << QStringLiteral("XDG_CONFIG_HOME=")
            + QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    out << program << arguments;
    return out;
}

void giveSettingsBackToUser()
{
    if (::geteuid() != 0 || !qEnvironmentVariableIsSet("PKEXEC_UID"))
        return;
    bool ok = false;
    const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
    if (!ok || uid == 0)
        return;
    const struct passwd* pw = ::getpwuid(uid);
    const gid_t gid = pw ? pw->pw_gid : gid_t(-1);

    QString path;
    {
        QSettings settings;
        settings.sync();
        path = settings.fileName();
    }

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

} // namespace elevation
