// Exclusive, link-free creation of files and renames that check their names.
#include "exclusivefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elevatedrun.h"

namespace exclusivefile {

int createNew(int dirfd, const std::string& name, mode_t mode)
{
    int fd;
    do
        fd = ::openat(dirfd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int createTemporary(int dirfd, const std::string& prefix, const std::string& suffix, std::string* chosen,
                    mode_t mode)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
            return -1;
        std::string name = prefix;
        for (unsigned char r : random)
            name += kLetters[r % (sizeof kLetters - 1)];
        name += suffix;
        const int fd = createNew(dirfd, name, mode);
        if (fd >= 0) {
            *chosen = name;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

bool namesFile(int dirfd, const std::string& name, int fd)
{
    struct stat named, open;
    return ::fstatat(dirfd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0
        && S_ISREG(named.st_mode) && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

void removeUnheld(int dirfd, const std::string& name)
{
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    // Checked again by name before it goes, in case it was replaced meanwhile.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
        && namesFile(dirfd, name, fd))
        ::unlinkat(dirfd, name.c_str(), 0);
    ::close(fd);
}

bool renameOwn(int dirfd, const std::string& from, const std::string& to, int fd)
{
    if (!namesFile(dirfd, from, fd)) {
        errno = ESTALE;
        return false;
    }
    if (::renameat(dirfd, from.c_str(), dirfd, to.c_str()) != 0)
        return false;
    if (namesFile(dirfd, to, fd))
        return true;
    // Swapped between the check and the rename: what came onto the name is
    // not ours, and no link may stay there.
    struct stat st;
    if (::fstatat(dirfd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        ::unlinkat(dirfd, to.c_str(), 0);
    errno = ESTALE;
    return false;
}

void splitPath(const std::string& path, std::string* folder, std::string* name)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name = path;
        return;
    }
    *folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
}

TemporaryFile::TemporaryFile(const std::string& finalPath, mode_t mode)
{
    splitPath(finalPath, &m_folderPath, &m_name);
    m_folder = ::open(m_folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folder >= 0)
        m_fd = createTemporary(m_folder, "." + m_name + ".", ".part", &m_temporary, mode);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    // Elevated for a user: a file made in the user's folder is the user's
    // before anything is written into it.
    elevatedrun::handOver(m_folder, m_fd);
    ::flock(m_fd, LOCK_EX | LOCK_NB);
}

TemporaryFile::~TemporaryFile()
{
    if (m_fd >= 0) {
        if (!m_published && namesFile(m_folder, m_temporary, m_fd))
            ::unlinkat(m_folder, m_temporary.c_str(), 0);
        ::close(m_fd);
    }
    if (m_folder >= 0)
        ::close(m_folder);
}

bool TemporaryFile::publish()
{
    if (m_fd < 0) {
        errno = m_error;
        return false;
    }
    m_published = renameOwn(m_folder, m_temporary, m_name, m_fd);
    return m_published;
}

} // namespace exclusivefile
