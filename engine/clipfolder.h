// Clip folders while a conversion writes them: the lock that keeps a second
// writer out, and clearing the frames of an earlier run before an overwrite.
#pragma once

#include <QString>

// An advisory lock (flock) on a clip folder, held while it lives. The
// system drops it when the process ends, however it ends.
class ClipFolderLock {
public:
    ClipFolderLock() = default;
    ClipFolderLock(const ClipFolderLock&) = delete;
    ClipFolderLock& operator=(const ClipFolderLock&) = delete;
    ~ClipFolderLock() { release(); }

    // False when the folder cannot be opened or another writer holds it.
    bool acquire(const QString& folder);
    void release();
    // True after acquire failed only because another writer holds the folder.
    bool heldElsewhere() const { return m_heldElsewhere; }

private:
    int m_fd = -1;
    bool m_heldElsewhere = false;
};

// Whether folder holds frame files (".tga", ".krx", any case) or unfinished
// ones: what an overwrite replaces. Other files and folders do not count.
bool hasFrameFiles(const QString& folder);

// Removes the frame files (".tga", ".krx", any case) and unfinished frame
// files (hidden, ending in ".part") of folder; every other file and every folder stays. False when one
// could not be removed.
bool removeFrameFiles(const QString& folder);
