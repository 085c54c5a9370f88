// Placeholders in the free holes of exFAT drives that frames would straddle,
// from a copy of the drive's allocation bitmap kept in step with our writes.
#include "frameplacement.h"

#include "exclusivefile.h"
#include "mounttable.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace frameplacement {
namespace {

// Placeholders lie in the drive's root under this hidden name and six
// random characters; a run killed before it removed them leaves them for
// the next one.
constexpr char kPlaceholderPrefix[] = ".quorvel-hole.";
// A run this many clusters longer than the file is taken without reading
// the bitmap again: a folder growing by a cluster may take one of its
// clusters unseen.
constexpr uint64_t kSlackClusters = 2;

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t get64(const uint8_t* p)
{
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

bool readAt(int fd, void* buffer, size_t length, uint64_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, length - done, off_t(offset + done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

struct Run {
    uint64_t first = 0;
    uint64_t length = 0;
};

// One exFAT drive as the conversion sees it.
class Drive {
public:
    ~Drive() { removePlaceholders(); }

    // Reads the volume's layout behind the file fd; false when it is no exFAT
    // volume that can be read.
    bool open(int fd, const std::string& path)
    {
        const DriveLocation where = MountTable::locate(QFile::decodeName(path.c_str()));
        if (!where.isValid())
            return false;
        // exfat-fuse and the kernel write through the source device's cache,
        // so it reads what they have flushed; a disk beneath it may lag.
        const bool fromSource = where.mountSource.startsWith(QLatin1Char('/'));
        m_device = QFile::encodeName(fromSource ? where.mountSource : where.diskPath).toStdString();
        m_volumeOffset = fromSource ? 0 : where.volumeOffset;
        m_root = QFile::encodeName(where.mountPoint).toStdString();
        uint8_t boot[512];
        const int device = ::open(m_device.c_str(), O_RDONLY | O_CLOEXEC);
        if (device < 0)
            return false;
        bool ok = readAt(device, boot, sizeof boot, m_volumeOffset) && std::memcmp(boot + 3, "EXFAT   ", 8) == 0;
        const unsigned sectorShift = boot[108], clusterShift = boot[109];
        ok = ok && sectorShift >= 9 && sectorShift <= 12 && sectorShift + clusterShift <= 25;
        if (ok) {
            m_clusterBytes = uint64_t(1) << (sectorShift + clusterShift);
            m_heapOffset = m_volumeOffset + (uint64_t(get32(boot + 88)) << sectorShift);
            m_clusterCount = get32(boot + 92);
            // The allocation bitmap's entry is among the first of the root directory.
            std::vector<uint8_t> root(static_cast<size_t>(m_clusterBytes));
            ok = readAt(device, root.data(), root.size(), clusterOffset(get32(boot + 96)));
            for (size_t i = 0; ok && i + 32 <= root.size(); i += 32) {
                if (root[i] == 0x81) {
                    m_bitmapOffset = clusterOffset(get32(&root[i] + 20));
                    m_bitmapBytes = get64(&root[i] + 24);
                    break;
                }
                if (root[i] == 0)
                    break;
            }
            ok = m_bitmapBytes >= (m_clusterCount + 7) / 8 && m_bitmapBytes < (uint64_t(1) << 30);
        }
        ::close(device);
        if (!ok)
            return false;
        removeLeftovers();
        return reload(fd);
    }

    void makeRoom(int fd, uint64_t size)
    {
        const uint64_t need = (size + m_clusterBytes - 1) / m_clusterBytes;
        if (need == 0)
            return;
        for (int rounds = 0; rounds < 100000; ++rounds) {
            const Run run = firstFreeRun();
            if (run.length == 0 || run.length >= need + kSlackClusters)
                return;
            if (run.length >= need) {
                if (m_fresh)
                    return;
                if (!reload(fd))
                    return;
                continue;
            }
            // Filled only while some run can hold the file: otherwise the
            // holes are all the room there is.
            if (!longestRunAtLeast(need))
                return;
            if (!fill(run))
                return;
        }
    }

    // The file took the first free clusters.
    void taken(uint64_t size)
    {
        take((size + m_clusterBytes - 1) / m_clusterBytes);
        m_fresh = false;
    }

    void removePlaceholders()
    {
        const int root = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (const auto& placeholder : m_placeholders) {
            if (root >= 0 && exclusivefile::namesFile(root, placeholder.second, placeholder.first))
                ::unlinkat(root, placeholder.second.c_str(), 0);
            ::close(placeholder.first);
        }
        m_placeholders.clear();
        if (root >= 0)
            ::close(root);
    }

private:
    uint64_t clusterOffset(uint32_t cluster) const { return m_heapOffset + uint64_t(cluster - 2) * m_clusterBytes; }

    bool isFree(uint64_t i) const { return !(m_bitmap[size_t(i / 8)] & (1u << (i % 8))); }

    // Reads the bitmap after the file system has written out its own copy.
    bool reload(int fd)
    {
        ::fsync(fd);
        const int device = ::open(m_device.c_str(), O_RDONLY | O_CLOEXEC);
        if (device < 0)
            return false;
        m_bitmap.assign(size_t((m_clusterCount + 7) / 8), 0xFF);
        const bool ok = readAt(device, m_bitmap.data(), m_bitmap.size(), m_bitmapOffset);
        ::close(device);
        m_fresh = ok;
        m_searchFrom = 0;
        return ok;
    }

    Run firstFreeRun()
    {
        Run run;
        uint64_t i = m_searchFrom;
        while (i < m_clusterCount && !isFree(i))
            i = (i % 8 == 0 && m_bitmap[size_t(i / 8)] == 0xFF) ? i + 8 : i + 1;
        m_searchFrom = i;
        if (i >= m_clusterCount)
            return run;
        run.first = i;
        while (i < m_clusterCount && isFree(i))
            ++i;
        run.length = i - run.first;
        return run;
    }

    bool longestRunAtLeast(uint64_t need) const
    {
        uint64_t length = 0;
        for (uint64_t i = m_searchFrom; i < m_clusterCount; ++i) {
            length = isFree(i) ? length + 1 : 0;
            if (length >= need)
                return true;
        }
        return false;
    }

    // Marks the first count free clusters taken, as the file system gives them out.
    void take(uint64_t count)
    {
        for (uint64_t i = m_searchFrom; count > 0 && i < m_clusterCount; ++i) {
            if (isFree(i)) {
                m_bitmap[size_t(i / 8)] |= uint8_t(1u << (i % 8));
                --count;
            }
        }
    }

    bool fill(const Run& run)
    {
        const int root = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root < 0)
            return false;
        std::string name;
        const int fd = exclusivefile::createTemporary(root, kPlaceholderPrefix, "", &name, 0600);
        ::close(root);
        if (fd < 0)
            return false;
        // Locked while it lives, so that a later run tells it from a leftover.
        ::flock(fd, LOCK_EX | LOCK_NB);
        m_placeholders.emplace_back(fd, name);
        if (::ftruncate(fd, off_t(run.length * m_clusterBytes)) != 0)
            return false;
        take(run.length);
        m_fresh = false;
        return true;
    }

    // Placeholders of a run that was killed: nobody holds their lock.
    void removeLeftovers()
    {
        DIR* dir = ::opendir(m_root.c_str());
        if (!dir)
            return;
        const int root = ::dirfd(dir);
        const size_t prefix = sizeof kPlaceholderPrefix - 1;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() != prefix + 6 || name.compare(0, prefix, kPlaceholderPrefix) != 0)
                continue;
            exclusivefile::removeUnheld(root, name);
        }
        ::closedir(dir);
    }

    std::string m_device, m_root;
    uint64_t m_volumeOffset = 0;
    uint64_t m_clusterBytes = 0;
    uint64_t m_heapOffset = 0;
    uint64_t m_clusterCount = 0;
    uint64_t m_bitmapOffset = 0;
    uint64_t m_bitmapBytes = 0;
    std::vector<uint8_t> m_bitmap;
    uint64_t m_searchFrom = 0;
    bool m_fresh = false;
    std::vector<std::pair<int, std::string>> m_placeholders;
};

QMutex g_lock;
int g_sessions = 0;
// By device number; a null entry marks a drive that is left as it is.
std::map<dev_t, std::unique_ptr<Drive>> g_drives;
Drive* g_current = nullptr;

} // namespace

Session::Session()
{
    QMutexLocker lock(&g_lock);
    ++g_sessions;
}

void Session::end()
{
    if (!m_open)
        return;
    m_open = false;
    QMutexLocker lock(&g_lock);
    if (--g_sessions == 0) {
        g_drives.clear();
        g_current = nullptr;
    }
}

void makeRoom(int fd, const std::string& path, uint64_t size)
{
    QMutexLocker lock(&g_lock);
    g_current = nullptr;
    struct stat st;
    if (g_sessions == 0 || ::fstat(fd, &st) != 0)
        return;
    auto found = g_drives.find(st.st_dev);
    if (found == g_drives.end()) {
        std::unique_ptr<Drive> drive(new Drive);
        if (!drive->open(fd, path))
            drive.reset();
        found = g_drives.emplace(st.st_dev, std::move(drive)).first;
    }
    g_current = found->second.get();
    if (g_current)
        g_current->makeRoom(fd, size);
}

void taken(uint64_t size)
{
    QMutexLocker lock(&g_lock);
    if (g_current)
        g_current->taken(size);
    g_current = nullptr;
}

} // namespace frameplacement
