// Helpers of the elevated restart through pkexec: the command line that keeps
// the caller's folder, display and settings, and the hand-back of settings
// that a run elevated for a user wrote as root.
#pragma once

#include <QString>
#include <QStringList>

namespace elevation {

// pkexec's arguments that run program with arguments as root in workDir.
// pkexec clears the environment, so env puts back the working folder, the
// display variables that are set here and the user's settings folder.
QStringList pkexecArguments(const QString& program, const QStringList& arguments,
                            const QString& workDir);

// In a run that pkexec started for a user (PKEXEC_UID): gives the settings
// file, and the folders this run made for it, back to that user, so that
// the user's own later runs can still write it. Does nothing otherwise.
void giveSettingsBackToUser();

} // namespace elevation
