// The elevated restart through pkexec: the command line that keeps the
// caller's folder, display and settings.
#pragma once

#include <QString>
#include <QStringList>

namespace elevation {

// pkexec's arguments that run program with arguments as root in workDir.
// pkexec clears the environment, so env puts back the working folder, the
// display variables that are set here and the user's settings folder. The
// program and every argument reach it as they are, whatever bytes they hold.
QStringList pkexecArguments(const QString& program, const QStringList& arguments,
                            const QString& workDir);

} // namespace elevation
