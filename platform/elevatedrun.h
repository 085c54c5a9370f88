// A run that pkexec started as root for a user (PKEXEC_UID): what it takes of
// that user's, and how it gives back. Root opens nothing under the user's home
// for writing: the user's settings are copied into a private folder of root's
// and written back by a child that has dropped to the user; what the run makes
// in the user's own folders is handed to the user; and the run notices when
// the process that started it has gone.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

namespace elevatedrun {

// Root, started by pkexec for a user other than root who is in the password
// database.
bool forUser();
uid_t userId();
gid_t userGroup();
// The user's home folder, from the password database (never from the environment).
QString userHome();

// The variable that carries the caller's identity through pkexec, and this
// process's identity as a caller: its process id and start time.
extern const char kCallerVariable[];
QString callerIdentity();

// Call first thing in main: the process that started this one. Elevated for a
// user, that is the process kCallerVariable names, when it is still this
// process's parent (pkexec runs the program in its own process); else the parent.
void noteCaller();
// Elevated for a user whose caller had already ended when this run began.
bool callerGoneAtStart();
// forUser(), and the process that started this one runs this same program:
// an unprivileged run of it that restarted itself elevated.
bool restartedByItself();

// Before the QApplication: X clients read the cookie file XAUTHORITY names
// (the user's ~/.Xauthority when none is named). Root takes a copy of it, when
// it is a plain file the user owns, into a file of its own and names that.
void useCallerDisplayCookie();

// After the organisation and application names are set: QSettings of this
// run (Qt's own included) live in a private folder of root's, seeded from the
// user's settings file when it is a plain file the user owns. Does nothing
// unless forUser().
void useCallerSettings();
// The user's settings file the private copy stands for; empty unless forUser().
QString callerSettingsFile();
// Writes the private copy over the user's settings file with the user's own
// rights (replacing a link, never writing through one). True when nothing
// needed writing or the write succeeded.
bool writeBackCallerSettings();

// Gives made, a file or folder this run has just made, to the user when it
// lies in a folder of the user's own on a file system that keeps owners (not
// FAT or exFAT). Does nothing unless forUser(); never follows a link.
void handOver(const QString& made);
// The same for the file or folder open as fd that this run has just made in
// the folder open as folder, through the handles: before anything is
// written into it, whatever its path names by then.
void handOver(int folder, int fd);
// Makes the folder path, and with parents the missing folders above it, as
// QDir's mkpath and mkdir do; true when the folder is there afterwards. Each
// folder is made in its open parent and handed over (handOver) as it is made.
bool makeFolders(const QString& path, bool parents = true);

// Emits gone() once the process that started this one (noteCaller) has ended.
class CallerWatch : public QObject {
    Q_OBJECT
public:
    explicit CallerWatch(QObject* parent = nullptr);
    ~CallerWatch() override;

signals:
    void gone();

private:
    void check(bool ended);

    int m_pidfd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_timer = nullptr;
    bool m_gone = false;
};

} // namespace elevatedrun
