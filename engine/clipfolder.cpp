#include "clipfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool ClipFolderLock::acquire(const QString& folder)
{
    release();
    m_heldElsewhere = false;
    const QByteArray path = QFile::encodeName(folder);
    // A link at the clip folder's name that another user placed would take
    // the frames where the operator never chose: only the operator's own is followed.
    struct stat st;
    const bool foreignLink = ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != ::geteuid();
    m_fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (foreignLink ? O_NOFOLLOW : 0));
    if (m_fd < 0)
        return false;
    int rc;
    do
        rc = ::flock(m_fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return true;
    m_heldElsewhere = errno == EWOULDBLOCK;
    release();
    return false;
}

void ClipFolderLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

namespace {

QStringList frameFiles(const QString& folder)
{
    return QDir(folder).entryList(
        {QStringLiteral("*.tga"), QStringLiteral("*.krx"), QStringLiteral(".*.tga.part"), QStringLiteral(".*.krx.part"),
         QStringLiteral(".*.tga.??????.part"), QStringLiteral(".*.krx.??????.part")},
        QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
}

} // namespace

bool hasFrameFiles(const QString& folder)
{
    return !frameFiles(folder).isEmpty();
}

bool removeFrameFiles(const QString& folder)
{
    const QStringList names = frameFiles(folder);
    bool ok = true;
    for (const QString& name : names)
        ok = QFile::remove(folder + QLatin1Char('/') + name) && ok;
    return ok;
}
