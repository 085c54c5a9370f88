// Indexing a mounted player drive: its disk found, the volume read through
// the library, "index.dat" written in its root.
#include "driveindexer.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "dfs_device.h"
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

    const QString root = VolumeInfo::rootPathOf(drive);
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
