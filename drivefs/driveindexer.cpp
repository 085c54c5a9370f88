#include "driveindexer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStorageInfo>
#include <QWidget>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "dfs_device.h"
#include "drivefs.h"
#include "indexbuilder.h"

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as octal "\ooo".
QString unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

struct MountEntry {
    QString mountPoint;
    QString source;
    QString fileSystemType;
    unsigned major = 0;
    unsigned minor = 0;
};

// The last mount at mountPoint (a later mount hides an earlier one there).
bool findMount(const QString& mountPoint, MountEntry* found)
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool any = false;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const int separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 6 || separator + 2 >= fields.size())
            continue;
        if (unescapeMountField(fields[4]) != mountPoint)
            continue;
        const QList<QByteArray> numbers = fields[2].split(':');
        if (numbers.size() != 2)
            continue;
        found->mountPoint = mountPoint;
        found->major = numbers[0].toUInt();
        found->minor = numbers[1].toUInt();
        found->fileSystemType = QString::fromLatin1(fields[separator + 1]);
        found->source = unescapeMountField(fields[separator + 2]);
        any = true;
    }
    return any;
}

QByteArray readSysFile(const QString& dir, const QString& name)
{
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().trimmed();
}

// The disk under a block device's sysfs folder: a partition's whole disk, a
// loop device's backing file, otherwise the device itself; offset grows by
// where the device starts on that disk.
bool resolveDisk(const QString& sysDir, QString* disk, quint64* offset, int depth = 0)
{
    if (depth > 8 || sysDir.isEmpty())
        return false;
    if (QFileInfo::exists(sysDir + QStringLiteral("/partition"))) {
        bool ok = false;
        const quint64 start = readSysFile(sysDir, QStringLiteral("start")).toULongLong(&ok);
        if (!ok)
            return false;
        *offset += start * 512;     // sysfs counts in 512-byte units whatever the sector size
        return resolveDisk(QFileInfo(sysDir).path(), disk, offset, depth + 1);
    }
    const QString name = QFileInfo(sysDir).fileName();
    QByteArray backing = readSysFile(sysDir, QStringLiteral("loop/backing_file"));
    if (!backing.isEmpty()) {
        bool ok = false;
        const quint64 loopOffset = readSysFile(sysDir, QStringLiteral("loop/offset")).toULongLong(&ok);
        if (!ok)
            return false;
        *offset += loopOffset;
        *disk = QFile::decodeName(backing);
        return true;
    }
    const QString device = QStringLiteral("/dev/") + name;
    if (!QFileInfo::exists(device))
        return false;
    *disk = device;
    return true;
}

QString sysDirOf(unsigned major, unsigned minor)
{
    const QString link = QStringLiteral("/sys/dev/block/%1:%2").arg(major).arg(minor);
    return QFileInfo(link).canonicalFilePath();
}

QString rootOf(const QString& path)
{
    QString root = QStorageInfo(path).rootPath();
    if (!root.isEmpty() && !root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root;
}

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

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

void showCriticalBox(QObject* boxParent, const QString& text)
{
    QMessageBox::critical(qobject_cast<QWidget*>(boxParent), DriveIndexer::tr("Quorvel"), text, QMessageBox::Ok);
}

DriveIndexer::Reporter g_reporter = showCriticalBox;
QMutex g_indexRunLock;

} // namespace

DriveIndexer::DriveIndexer(QObject* parent)
    : QObject(parent)
    , m_boxParent(parent && parent->isWidgetType() ? parent : nullptr)
{
}

void DriveIndexer::setInteractiveReporter(Reporter reporter)
{
    g_reporter = reporter ? reporter : showCriticalBox;
}

DriveLocation DriveIndexer::locate(const QString& path)
{
    DriveLocation location;
    const QString root = rootOf(path);
    if (root.isEmpty())
        return location;
    location.mountPoint = root;
    MountEntry mount;
    if (!findMount(withoutTrailingSlash(root), &mount))
        return location;
    location.mountSource = mount.source;

    // The mount's own device number, or for file systems that report an
    // anonymous one, the block device the mount was made from.
    QString sysDir = sysDirOf(mount.major, mount.minor);
    if (sysDir.isEmpty() && mount.source.startsWith(QLatin1Char('/'))) {
        struct stat st;
        if (::stat(QFile::encodeName(mount.source).constData(), &st) == 0 && S_ISBLK(st.st_mode))
            sysDir = sysDirOf(major(st.st_rdev), minor(st.st_rdev));
    }
    QString disk;
    quint64 offset = 0;
    if (resolveDisk(sysDir, &disk, &offset)) {
        location.diskPath = disk;
        location.volumeOffset = offset;
    }
    return location;
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
    if (interactive)
        g_reporter(m_boxParent, text);
    else
        emit message(text, 3);
}

bool DriveIndexer::indexDrive(QString drive, bool interactive)
{
    // The volume library keeps its device list and drive letters in process-wide state.
    QMutexLocker runLock(&g_indexRunLock);

    const QString root = rootOf(drive);
    if (root.isEmpty())
        return false;
    const QString nativeRoot = QDir::toNativeSeparators(root);

    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[kIndexImageSize]);
    // A report can open a message box whose event loop may start another run on
    // this thread: the run lock and the image go first.
    auto fail = [&](const QString& text) {
        image.reset();
        runLock.unlock();
        report(text, interactive);
        return false;
    };
    if (!image)
        return fail(tr("Error indexing %1 (%2).").arg(nativeRoot, tr("out of memory")));
    InitIndexImage(image.get());

    const DriveLocation location = locate(root);
    const int number = deviceNumber(root);
    if (number < 0 || !location.isValid())
        return fail(tr("Error indexing %1 (unable to open device).").arg(nativeRoot));
    // The library reads the disk of the unit it was started with: start it afresh.
    ShutdownVolumeLibrary();
    DriveFsDiskDevice()->unit = number;

    // Frames written a moment ago may still sit in the page cache; the scan
    // reads the device, so it has to see them there.
    flushVolume(root);
    uint32_t length = 0;
    const int code = IndexVolume("", image.get(), &length, qint64(location.volumeOffset));
    if (code != 0)
        return fail(tr("Error indexing %1 (%2).").arg(nativeRoot, QString::fromLatin1(GetErrorText(code))));
    flushVolume(root);

    // Written under a temporary name and renamed when complete, so that a
    // failed write never leaves a truncated index in place of a good one.
    QSaveFile file(root + QStringLiteral("index.dat"));
    if (!file.open(QIODevice::WriteOnly))
        return fail(tr("Unable to open %1 for writing").arg(QDir::toNativeSeparators(file.fileName())));
    const qint64 written = file.write(reinterpret_cast<const char*>(image.get()), length);
    bool ok = written == qint64(length) && file.flush();
    if (ok && ::fsync(file.handle()) != 0)
        ok = false;
    if (ok)
        ok = file.commit();
    else
        file.cancelWriting();   // the temporary file goes with the QSaveFile
    if (!ok)
        return fail(tr("Unable to write %1").arg(QDir::toNativeSeparators(file.fileName())));
    flushVolume(root);
    return true;
}
