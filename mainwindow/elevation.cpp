#include "elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "elevatedrun.h"

namespace elevation {

QString ownProgram()
{
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return self.isEmpty() ? QCoreApplication::applicationFilePath() : self;
}

bool insideHome(const QString& path)
{
    const QString home = QDir::cleanPath(QDir::homePath());
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    return home != QLatin1String("/") && (clean == home || clean.startsWith(home + QLatin1Char('/')));
}

QStringList pkexecArguments(const QString& program, const QStringList& arguments,
                            const QString& workDir)
{
    // Fixed programs only: what the caller's PATH or folder holds never runs as root.
    QStringList out{QStringLiteral("/usr/bin/env"), QStringLiteral("--chdir=") + workDir};

    // Nothing that names a folder of the user's: root would keep its state
    // there, or follow what the user placed there. The elevated run finds the
    // user's settings and X cookie itself, from PKEXEC_UID.
    static const char* const kPassed[] = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG",
                                          "LC_ALL"};
    for (const char* name : kPassed) {
        if (qEnvironmentVariableIsSet(name))
            out << QLatin1String(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    }
    // Which process waits for the run: it may be gone before pkexec runs it.
    out << QLatin1String(elevatedrun::kCallerVariable) + QLatin1Char('=') + elevatedrun::callerIdentity();
    const QString cookie = qEnvironmentVariable("XAUTHORITY");
    if (!cookie.isEmpty() && !insideHome(cookie))
        out << QStringLiteral("XAUTHORITY=") + cookie;
    // env takes every word holding "=" up to the command as an assignment,
    // so a program under "/opt/a=b/" would be skipped and the first plain
    // argument run as root instead. A fixed shell, named by a path without
    // "=", ends the assignments and starts the program from its own words.
    out << QStringLiteral("/bin/sh") << QStringLiteral("-c") << QStringLiteral("exec \"$0\" \"$@\"");
    out << program << arguments;
    return out;
}

} // namespace elevation
