#include "elevation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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
    // env takes every word holding "=" up to the command as an assignment,
    // so a program under "/opt/a=b/" would be skipped and the first plain
    // argument run as root instead. A fixed shell, named by a path without
    // "=", ends the assignments and starts the program from its own words.
    out << QStringLiteral("/bin/sh") << QStringLiteral("-c") << QStringLiteral("exec \"$0\" \"$@\"");
    out << program << arguments;
    return out;
}

} // namespace elevation
