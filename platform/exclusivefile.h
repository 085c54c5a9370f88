// Files made in folders other users may write: created exclusively and
// without following links (the mkstemp shape), and renamed into place only
// while the name still holds the file we wrote.
#pragma once

#include <string>
#include <sys/types.h>

namespace exclusivefile {

// Creates name in the folder dirfd (AT_FDCWD: the current folder) only when
// nothing, not even a dangling link, is there yet. The descriptor is opened
// for reading and writing and closed on exec; -1 with errno on failure.
int createNew(int dirfd, const std::string& name, mode_t mode);

// Creates prefix + six random characters + suffix in dirfd as createNew
// does, trying other characters while a name is taken; the name chosen goes
// to *chosen. -1 with errno on failure.
int createTemporary(int dirfd, const std::string& prefix, const std::string& suffix, std::string* chosen,
                    mode_t mode);

// True when name in dirfd is this very file (no link, no other file put in
// its place).
bool namesFile(int dirfd, const std::string& name, int fd);

// Removes name from dirfd when it is a regular file (no link) that no one
// holds a lock on (flock): what a writer that was killed left behind. A held
// file, or one replaced meanwhile, stays.
void removeUnheld(int dirfd, const std::string& name);

// Renames from to to within dirfd when from still names the open file fd,
// and checks that to names it afterwards; a link or another file put under
// from is never moved onto to. False with errno (ESTALE when the names were
// tampered with) otherwise.
bool renameOwn(int dirfd, const std::string& from, const std::string& to, int fd);

// Splits a path into its folder (".", when it has none) and its last name.
void splitPath(const std::string& path, std::string* folder, std::string* name);

// A file written under a hidden temporary name of our own beside its final
// name ("." + name + "." + six characters + ".part") and given the final
// name when whole. It holds an advisory lock (flock) while it lives, so that
// a writer clearing leftovers from the folder leaves it alone, and it is
// removed when it goes unpublished. In a run elevated for a user it is made
// the user's (elevatedrun::handOver) as it is made in a folder of the user's.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& finalPath, mode_t mode = 0666);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // The descriptor to write through; -1 when it could not be made (errno in error()).
    int fd() const { return m_fd; }
    int error() const { return m_error; }
    // The temporary file's path.
    std::string path() const { return m_folderPath + "/" + m_temporary; }
    // Renames it to the final name (renameOwn); false with errno otherwise.
    bool publish();

private:
    std::string m_folderPath, m_name, m_temporary;
    int m_folder = -1;
    int m_fd = -1;
    int m_error = 0;
    bool m_published = false;
};

} // namespace exclusivefile
