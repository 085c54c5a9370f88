// A run elevated for a user: the user's identity, the private copy of the
// user's settings and its write-back as the user, the hand-over of what the
// run makes, and the watch on the process that started the run.
#include "elevatedrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSocketNotifier>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>
#include <cerrno>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace elevatedrun {

namespace {

pid_t g_caller = 0;
bool g_goneAtStart = false;
QString g_settingsFile;
std::unique_ptr<QTemporaryDir> g_privateFolder;
std::unique_ptr<QTemporaryFile> g_cookie;

// The largest settings file taken over; anything bigger is not ours.
const qint64 kMaxSettingsBytes = 16 << 20;

// statfs f_type of the kernel's exFAT and of FUSE (mount.exfat-fuse); FAT's
// is MSDOS_SUPER_MAGIC.
const long kExfatMagic = 0x2011BAB0;
const long kFuseMagic = 0x65735546;

// File systems without owners (the player drives): nothing is handed over there.
bool keepsOwners(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    const long type = long(fs.f_type);
    return type != MSDOS_SUPER_MAGIC && type != kExfatMagic && type != kFuseMagic;
}

bool readOwnFile(const QString& path, uid_t owner, QByteArray* data)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner && st.st_size <= kMaxSettingsBytes;
    if (ok) {
        QFile file;
        ok = file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
        if (ok)
            *data = file.readAll();
    }
    ::close(fd);
    return ok;
}

// A process's start time in clock ticks after boot (field 22 of its stat
// line), which tells it from a later process given the same id.
QByteArray startTime(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray line = stat.readAll();
    // The name in brackets may hold blanks and brackets itself.
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return QByteArray();
    return line.mid(close + 2).split(' ').value(19).trimmed();
}

struct Caller {
    bool forUser = false;
    uid_t uid = uid_t(-1);
    gid_t gid = gid_t(-1);
    QString home;
};

// Read once: the password database is not for the conversion threads.
const Caller& caller()
{
    static const Caller known = [] {
        Caller c;
        bool ok = false;
        const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
        const struct passwd* pw = ::geteuid() == 0 && ok && uid != 0 ? ::getpwuid(uid) : nullptr;
        if (pw) {
            c.forUser = true;
            c.uid = uid;
            c.gid = pw->pw_gid;
            c.home = QFile::decodeName(pw->pw_dir);
        }
        return c;
    }();
    return known;
}

} // namespace

bool forUser()
{
    return caller().forUser;
}

uid_t userId()
{
    return caller().uid;
}

gid_t userGroup()
{
    return caller().gid;
}

QString userHome()
{
    return caller().home;
}

const char kCallerVariable[] = "QUORVEL_CALLER";

QString callerIdentity()
{
    return QStringLiteral("%1:%2").arg(::getpid()).arg(QString::fromLatin1(startTime(::getpid())));
}

void noteCaller()
{
    const pid_t parent = ::getppid();
    g_caller = parent;
    g_goneAtStart = false;
    if (!forUser())
        return;
    // Not for what this run starts in turn.
    const QByteArray named = qgetenv(kCallerVariable);
    qunsetenv(kCallerVariable);
    // Without a name (pkexec started by hand) the parent is the caller; pkexec
    // itself refuses a parent that has gone to init.
    if (named.isEmpty()) {
        g_goneAtStart = parent <= 1;
        return;
    }
    // A caller that ended while pkexec asked for the password leaves this run
    // to init or a subreaper: its id is no longer the parent's.
    const QList<QByteArray> parts = named.split(':');
    bool ok = parts.size() == 2;
    const pid_t pid = ok ? pid_t(parts.at(0).toInt(&ok)) : 0;
    g_caller = ok && pid > 1 ? pid : parent;
    g_goneAtStart = !ok || pid <= 1 || parent != pid || startTime(pid) != parts.at(1);
}

bool callerGoneAtStart()
{
    return forUser() && g_goneAtStart;
}

bool restartedByItself()
{
    if (!forUser() || g_caller <= 1)
        return false;
    const QString program = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(g_caller));
    return !program.isEmpty() && program == QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

void useCallerDisplayCookie()
{
    if (!forUser() || !qEnvironmentVariableIsSet("DISPLAY"))
        return;
    QString source = qEnvironmentVariable("XAUTHORITY");
    if (source.isEmpty())
        source = userHome() + QStringLiteral("/.Xauthority");
    QByteArray cookie;
    g_cookie.reset(new QTemporaryFile(QStringLiteral("/tmp/quorvel-xauth-XXXXXX")));
    if (!readOwnFile(source, userId(), &cookie) || !g_cookie->open() || g_cookie->write(cookie) != cookie.size()
        || !g_cookie->flush()) {
        g_cookie.reset();
        qunsetenv("XAUTHORITY");
        return;
    }
    qputenv("XAUTHORITY", QFile::encodeName(g_cookie->fileName()));
}

void useCallerSettings()
{
    if (!forUser() || g_privateFolder)
        return;
    const QString relative = QCoreApplication::organizationName() + QLatin1Char('/')
        + QCoreApplication::applicationName() + QStringLiteral(".conf");
    g_settingsFile = userHome() + QStringLiteral("/.config/") + relative;
    // Root's own temporary folder: made 0700 under a fresh name, gone at exit.
    g_privateFolder.reset(new QTemporaryDir(QStringLiteral("/tmp/quorvel-elevated-XXXXXX")));
    if (!g_privateFolder->isValid()) {
        // Root's own settings then: still nothing in the user's home.
        g_privateFolder.reset();
        g_settingsFile.clear();
        return;
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, g_privateFolder->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, g_privateFolder->path());
    QByteArray data;
    if (!readOwnFile(g_settingsFile, userId(), &data))
        return;
    const QString copy = g_privateFolder->path() + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(copy).absolutePath());
    QFile out(copy);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        out.write(data);
    }
}

QString callerSettingsFile()
{
    return forUser() ? g_settingsFile : QString();
}

bool writeBackCallerSettings()
{
    if (!forUser() || g_settingsFile.isEmpty() || !g_privateFolder)
        return true;
    QFile copy(QSettings().fileName());
    if (!copy.open(QIODevice::ReadOnly))
        return true;
    const QByteArray data = copy.readAll();
    copy.close();

    // Everything the child needs is made before the fork: it only makes calls.
    const QByteArray home = QFile::encodeName(userHome());
    const QByteArray target = QFile::encodeName(g_settingsFile);
    const QByteArray temporary = target + ".quorvel-" + QByteArray::number(::getpid());
    std::vector<QByteArray> folders;
    for (QString f = QFileInfo(g_settingsFile).absolutePath(); f.length() > userHome().length();
         f = QFileInfo(f).absolutePath())
        folders.insert(folders.begin(), QFile::encodeName(f));
    const uid_t uid = userId();
    const gid_t gid = userGroup();

    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(2);
        if (::chdir(home.constData()) != 0)
            ::_exit(3);
        for (const QByteArray& f : folders) {
            if (::mkdir(f.constData(), 0700) != 0 && errno != EEXIST)
                ::_exit(4);
        }
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            ::_exit(5);
        const char* p = data.constData();
        qint64 left = data.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, size_t(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(fd);
                ::unlink(temporary.constData());
                ::_exit(6);
            }
            p += n;
            left -= n;
        }
        if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.constData(), target.constData()) != 0) {
            ::unlink(temporary.constData());
            ::_exit(7);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void handOver(int folder, int fd)
{
    if (!forUser() || folder < 0 || fd < 0)
        return;
    // Only in a folder of the user's own, and only an entry of root's: what
    // this run made there.
    struct stat st;
    if (::fstat(folder, &st) != 0 || st.st_uid != userId() || !keepsOwners(folder))
        return;
    if (::fstat(fd, &st) != 0 || st.st_uid != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return;
    if (::fchownat(fd, "", userId(), userGroup(), AT_EMPTY_PATH) != 0) {
        // Left to root: the user can still read it.
    }
}

void handOver(const QString& made)
{
    if (!forUser())
        return;
    const QFileInfo info(made);
    const QString name = info.fileName();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return;
    // Opened without following a link, changed through the open handle.
    const int folder = ::open(QFile::encodeName(info.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return;
    const int fd = ::openat(folder, QFile::encodeName(name).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        handOver(folder, fd);
        ::close(fd);
    }
    ::close(folder);
}

bool makeFolders(const QString& path, bool parents)
{
    if (!forUser())
        return parents ? QDir().mkpath(path) : (QDir().mkdir(path) || QFileInfo(path).isDir());
    // Down from the root, each folder through its open parent: a folder made
    // is handed over before anything goes into it, by the handle it was made
    // in, so a link or a rename in the user's path changes nothing.
    const QStringList names = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).split(QLatin1Char('/'),
                                                                                      Qt::SkipEmptyParts);
    int folder = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; folder >= 0 && i < names.size(); ++i) {
        const QByteArray name = QFile::encodeName(names.at(i));
        int next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && (parents || i == names.size() - 1)) {
            if (::mkdirat(folder, name.constData(), 0777) == 0) {
                next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                handOver(folder, next);
            } else if (errno == EEXIST) {
                // Made by someone else meanwhile: theirs, not handed over.
                next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            }
        }
        ::close(folder);
        folder = next;
    }
    if (folder < 0)
        return false;
    ::close(folder);
    return true;
}

CallerWatch::CallerWatch(QObject* parent)
    : QObject(parent)
{
    if (g_caller == 0)
        noteCaller();
    // Gone before this run began: callerGoneAtStart() says so, nothing is watched.
    if (g_goneAtStart) {
        m_gone = true;
        return;
    }
    const pid_t pid = g_caller;
    // A pidfd turns readable when the caller ends; the parent id is checked
    // after opening it, so that it names the caller and not a reused id.
#ifdef SYS_pidfd_open
    if (pid > 1)
        m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
#endif
    if (m_pidfd >= 0) {
        ::fcntl(m_pidfd, F_SETFD, FD_CLOEXEC);
        m_notifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { check(true); });
    }
    // Also without pidfds: a caller that ended leaves this process another parent.
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] { check(false); });
    m_timer->start(m_pidfd >= 0 ? 2000 : 200);
    QTimer::singleShot(0, this, [this] { check(false); });
}

CallerWatch::~CallerWatch()
{
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

void CallerWatch::check(bool ended)
{
    // A readable pidfd means the caller has ended, whatever getppid says yet.
    if (m_gone || (!ended && ::getppid() == g_caller))
        return;
    m_gone = true;
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_timer->stop();
    emit gone();
}

} // namespace elevatedrun
