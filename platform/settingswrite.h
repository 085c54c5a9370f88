// One write of the user's settings file, which holds FTP passwords in plain
// text: the file is kept owner-only, written back to the user's own file with
// the user's rights after every write that a run elevated for that user makes,
// and a write that fails is reported.
#pragma once

#include <QSettings>

class SettingsWrite : public QSettings {
public:
    // The program's settings (organisation and application names). Before
    // anything is written: a new file is created owner-only, an older,
    // wider one loses its group and other bits.
    SettingsWrite();
    // Commits what is still unwritten.
    ~SettingsWrite() override;

    // Writes what was set, keeps the file owner-only and, in a run elevated
    // for a user, writes it back as that user. False when the file could not
    // be written; the first such failure of a run is reported as an error,
    // "Your selections could not be saved: <path>", over the window shown.
    bool commit();

    // In a run that pkexec started for a user (PKEXEC_UID): writes whatever
    // this run keeps of the settings back to the user's own file, as the user.
    // Does nothing otherwise.
    static void giveBackToUser();
};
