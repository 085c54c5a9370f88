// The elevated restart through pkexec: the command line that keeps the
// caller's folder and display, and hands root nothing of the caller's to follow.
#pragma once

#include <QString>
#include <QStringList>

namespace elevation {

// This program's own file, resolved by the kernel (/proc/self/exe).
QString ownProgram();

// Whether path lies in this user's home folder.
bool insideHome(const QString& path);

// pkexec's arguments that run program (an absolute path) with arguments as
// root in workDir. pkexec clears the environment, so a fixed env puts back the
// working folder and the display variables that are set here, none of them a
// path into the user's home. The program and every argument reach it as they
// are, whatever bytes they hold.
QStringList pkexecArguments(const QString& program, const QStringList& arguments,
                            const QString& workDir);

} // namespace elevation
