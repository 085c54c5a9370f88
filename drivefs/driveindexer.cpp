// Indexing a mounted player drive: its disk found, the volume read through
// the library, "index.dat" written in its root.
#include "driveindexer.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <memory>
#include <new>

#include "dfs_device.h"
#include "dfs_layout.h"
#include "drivefs.h"
#include "indexbuilder.h"
#include "reporting.h"
#include "volumeinfo.h"

namespace {

// Writes a device's (or image file's) cached blocks out. With dropCache its
// clean cached pages go too: a whole disk caches apart from its partitions, so
// pages read in an earlier run could hide what the file system wrote since.
bool fsyncPath(const QString& path, bool dropCache)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::fsync(fd);
    if (dropCache)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    return true;
}

QMutex g_indexRunLock;

constexpr char kIndexName[] = "index.dat";
// A first index is written under this name and renamed when whole.
constexpr char kIndexPartName[] = ".index.dat.part";
constexpr quint64 kPlayerDiskLimit = quint64(1) << 41;   // 2 TiB
constexpr uint8_t kProtectiveGptType = 0xEE;

// The drive root, opened before the scan: the index goes onto the volume
// that was read, or nowhere.
class OpenRoot {
public:
    explicit OpenRoot(const QString& root)
        : m_path(QFile::encodeName(root))
        , m_fd(::open(m_path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (m_fd >= 0 && ::fstat(m_fd, &m_opened) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~OpenRoot()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenRoot(const OpenRoot&) = delete;
    OpenRoot& operator=(const OpenRoot&) = delete;

    int fd() const { return m_fd; }
    // Waits until no other run, in any process, is indexing this drive, and
    // keeps them out until unlock(): two runs would remove each other's
    // unfinished index. The system drops the lock when the process ends.
    bool lockDrive()
    {
        int rc;
        do
            rc = ::flock(m_fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        return rc == 0;
    }
    void unlock()
    {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_UN);
    }
    // Whether the root path still leads to the folder opened: an unmounted
    // drive leaves the empty mount folder of the disk beneath in its place.
    bool stillMounted() const
    {
        struct stat now;
        return m_fd >= 0 && ::stat(m_path.constData(), &now) == 0 && now.st_dev == m_opened.st_dev
            && now.st_ino == m_opened.st_ino;
    }

private:
    QByteArray m_path;
    int m_fd;
    struct stat m_opened {};
};

bool writeWhole(int fd, const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, length - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return ::fsync(fd) == 0;
}

enum class IndexWrite { Written, NotOpened, NotWritten, Unmounted };

// Writes the index image into the drive root. An index already there is
// rewritten in its own clusters and never shrinks: freed, its clusters would
// leave a hole that the next clip's frames straddle. The image holds 0xFF
// unused entries past length, which is what a reader takes past the end of
// the file, so a longer file says the same. It grows only after the room is
// taken, so that a full drive keeps the old index whole. A first index is
// written under another name and renamed when whole.
IndexWrite writeIndex(const OpenRoot& root, const uint8_t* image, uint32_t length)
{
    const int dir = root.fd();
    int fd = ::openat(dir, kIndexName, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        ::unlinkat(dir, kIndexPartName, 0);     // left by a run that did not finish
        fd = ::openat(dir, kIndexPartName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return IndexWrite::NotOpened;
        const bool ok = writeWhole(fd, image, length);
        ::close(fd);
        if (!ok || !root.stillMounted() || ::renameat(dir, kIndexPartName, dir, kIndexName) != 0) {
            ::unlinkat(dir, kIndexPartName, 0);
            return root.stillMounted() ? IndexWrite::NotWritten : IndexWrite::Unmounted;
        }
        return IndexWrite::Written;
    }
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return IndexWrite::NotOpened;
    }
    const size_t size = std::max<size_t>(length, size_t(std::min<off_t>(st.st_size, off_t(kIndexImageSize))));
    bool ok = true;
    if (off_t(size) > st.st_size && ::ftruncate(fd, off_t(size)) != 0) {
        ::ftruncate(fd, st.st_size);
        ok = false;
    }
    ok = ok && root.stillMounted() && writeWhole(fd, image, size);
    ::close(fd);
    if (ok)
        return IndexWrite::Written;
    return root.stillMounted() ? IndexWrite::NotWritten : IndexWrite::Unmounted;
}

// What of the disk a player cannot read: a GPT partition table, or more
// than 2 TiB. Empty when neither.
QString unsupportedDisk(const QString& diskPath, const QString& nativeRoot)
{
    const int fd = ::open(QFile::encodeName(diskPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    struct stat st;
    quint64 size = 0;
    if (::fstat(fd, &st) == 0)
        size = S_ISBLK(st.st_mode) ? 0 : quint64(st.st_size);
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &size) != 0)
        size = 0;
    uint8_t first[512];
    const bool read = ::pread(fd, first, sizeof first, 0) == ssize_t(sizeof first);
    ::close(fd);
    bool gpt = false;
    if (read && Get16(first + mbr::kSignature) == mbr::kBootSignature) {
        for (int i = 0; i < mbr::kEntryCount; ++i)
            gpt = gpt || first[mbr::kPartitionTable + i * mbr::kEntrySize + mbr::kType] == kProtectiveGptType;
    }
    if (gpt)
        return DriveIndexer::tr("%1 has a GPT partition table: players read drives with an MBR partition table or "
                                "none.")
            .arg(nativeRoot);
    if (size > kPlayerDiskLimit)
        return DriveIndexer::tr("%1 is larger than 2 TiB: players read drives of up to 2 TiB.").arg(nativeRoot);
    return QString();
}

QString nameText(const std::u16string& name)
{
    return QString::fromUtf16(name.data(), int(name.size()));
}

// Why a drive holds clips a player cannot play, one sentence per clip folder.
QString problemsText(const std::vector<IndexProblem>& problems)
{
    QStringList parts;
    bool fragmented = false;
    for (const IndexProblem& problem : problems) {
        if (problem.kind == IndexProblem::UnfinishedFrames) {
            parts << (problem.count == 1
                          ? DriveIndexer::tr("the clip folder %1 holds an unfinished frame file (its conversion "
                                             "was stopped or is still running)")
                                .arg(nameText(problem.folder))
                          : DriveIndexer::tr("the clip folder %1 holds %2 unfinished frame files (its conversion "
                                             "was stopped or is still running)")
                                .arg(nameText(problem.folder))
                                .arg(problem.count));
        } else if (problem.kind == IndexProblem::RefusedDirectory) {
            parts << DriveIndexer::tr("the directory of the clip folder %1 runs past the end of the drive or into "
                                      "another folder's")
                         .arg(nameText(problem.folder));
        } else if (problem.kind == IndexProblem::FragmentedFrames) {
            fragmented = true;
            parts << (problem.count == 1
                          ? DriveIndexer::tr("1 frame file of the clip folder %1 is not stored in one piece")
                                .arg(nameText(problem.folder))
                          : DriveIndexer::tr("%1 frame files of the clip folder %2 are not stored in one piece")
                                .arg(problem.count)
                                .arg(nameText(problem.folder)));
        } else {
            parts << DriveIndexer::tr("the first frame %1 of the clip folder %2 cannot be opened (%3)")
                         .arg(nameText(problem.frame), nameText(problem.folder),
                              QString::fromLatin1(GetErrorText(problem.code)));
        }
    }
    QString text = parts.join(QStringLiteral("; "));
    if (fragmented)
        text += DriveIndexer::tr(": a player reads each frame as one run of sectors. Format the drive and convert "
                                 "again");
    return text;
}

// The clip folders an index leaves out, once each.
QStringList leftOutNames(const std::vector<IndexProblem>& problems)
{
    QStringList folders;
    for (const IndexProblem& problem : problems) {
        const QString folder = nameText(problem.folder);
        if (!folders.contains(folder))
            folders << folder;
    }
    return folders;
}

} // namespace

DriveIndexer::DriveIndexer(QObject* parent)
    : QObject(parent)
    , m_boxParent(parent && parent->isWidgetType() ? parent : nullptr)
{
}

DriveLocation DriveIndexer::locate(const QString& path)
{
    return MountTable::locate(path);
}

int DriveIndexer::deviceNumber(const QString& root)
{
    const DriveLocation location = locate(root);
    if (!location.isValid())
        return -1;
    const int fd = ::open(QFile::encodeName(location.diskPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ::close(fd);
    return RegisterPhysicalDisk(QFile::encodeName(location.diskPath).toStdString());
}

bool DriveIndexer::flushVolume(const QString& root)
{
    const QByteArray mountPoint = QFile::encodeName(root);
    const int fd = ::open(mountPoint.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::syncfs(fd);
    ::close(fd);
    // Then the device caches under the file system, down to the disk the
    // index is read from: a loop device's blocks reach its backing file only here.
    const DriveLocation location = locate(root);
    if (location.mountSource.startsWith(QLatin1Char('/')) && location.mountSource != location.diskPath)
        fsyncPath(location.mountSource, false);
    if (location.isValid())
        fsyncPath(location.diskPath, true);
    return true;
}

void DriveIndexer::report(const QString& text, bool interactive)
{
    // Printed, a failed interactive index leaves the cursor on its line.
    if (interactive)
        reporting::report(reporting::Level::Error, text, m_boxParent, reporting::Printed::AsErrorOpen);
    else
        emit message(text, reporting::ErrorMessage);
}

bool DriveIndexer::indexDrive(QString drive, bool interactive)
{
    // The volume library keeps its device list and drive letters in process-wide state.
    QMutexLocker runLock(&g_indexRunLock);
    m_leftOut.clear();
    m_leftOutFolders.clear();

    const QString root = VolumeInfo::rootPathOf(drive);
    if (root.isEmpty())
        return false;
    const QString nativeRoot = QDir::toNativeSeparators(root);

    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[kIndexImageSize]);
    // A report can open a message box whose event loop may start another run on
    // this thread: the run lock and the image go first.
    std::unique_ptr<OpenRoot> rootFolder;
    auto fail = [&](const QString& text) {
        image.reset();
        if (rootFolder)
            rootFolder->unlock();
        runLock.unlock();
        report(text, interactive);
        return false;
    };
    if (!image)
        return fail(tr("Error indexing %1 (%2).").arg(nativeRoot, tr("out of memory")));
    InitIndexImage(image.get());

    // Opened before anything is read: the index is written only where the
    // volume that was read is still mounted.
    rootFolder.reset(new OpenRoot(root));
    const DriveLocation location = locate(root);
    const int number = rootFolder->fd() >= 0 && rootFolder->lockDrive() ? deviceNumber(root) : -1;
    if (number < 0 || !location.isValid())
        return fail(tr("Error indexing %1 (unable to open device).").arg(nativeRoot));
    const QString unsupported = unsupportedDisk(location.diskPath, nativeRoot);
    if (!unsupported.isEmpty())
        return fail(unsupported);
    // The library reads the disk of the unit it was started with: start it afresh.
    ShutdownVolumeLibrary();
    DriveFsDiskDevice()->unit = number;

    // Frames written a moment ago may still sit in the page cache; the scan
    // reads the device, so it has to see them there.
    flushVolume(root);
    uint32_t length = 0;
    std::vector<IndexProblem> problems;
    const int code = IndexVolume("", image.get(), &length, qint64(location.volumeOffset), &problems);
    // With problems the image is whole but for the clips it leaves out: it
    // is written, so that no earlier index keeps pointing at their frames.
    if (code != 0 && problems.empty())
        return fail(tr("Error indexing %1 (%2).").arg(nativeRoot, QString::fromLatin1(GetErrorText(code))));
    emit scanned(root);
    if (!rootFolder->stillMounted())
        return fail(tr("%1 is no longer mounted.").arg(nativeRoot));
    flushVolume(root);

    const QString indexPath = QDir::toNativeSeparators(root + QLatin1String(kIndexName));
    switch (writeIndex(*rootFolder, image.get(), length)) {
    case IndexWrite::Written:
        break;
    case IndexWrite::NotOpened:
        return fail(tr("Unable to open %1 for writing").arg(indexPath));
    case IndexWrite::NotWritten:
        return fail(tr("Unable to write %1").arg(indexPath));
    case IndexWrite::Unmounted:
        return fail(tr("%1 is no longer mounted.").arg(nativeRoot));
    }
    flushVolume(root);
    if (!problems.empty()) {
        m_leftOutFolders = leftOutNames(problems);
        m_leftOut = tr("Error indexing %1 (%2).").arg(nativeRoot, problemsText(problems)) + QLatin1Char(' ')
            + tr("Its index lists the other clips; left out: %1.").arg(m_leftOutFolders.join(QStringLiteral(", ")));
        return fail(m_leftOut);
    }
    return true;
}
