// A real exFAT player drive for tests: a disk image with an MBR partition,
// formatted through an offset loop device and mounted with exfat-fuse.
// Unmounts and detaches in its destructor, so a failing test cleans up too.
#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>
#include <QRandomGenerator>
#include <QThread>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "testutil.h"
#include "volumeinfo.h"

class LoopMount {
public:
    static constexpr qint64 kPartitionStart = 2048 * 512;

    // What this machine lacks for a mounted drive; empty when nothing.
    static QString missing()
    {
        if (::geteuid() != 0)
            return QStringLiteral("root (loop devices and mounts)");
        if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
            return QStringLiteral("loop devices (/dev/loop-control)");
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
            return QStringLiteral("FUSE (/dev/fuse)");
        for (const char* tool : {"losetup", "sfdisk", "mkfs.exfat", "mount.exfat-fuse", "umount", "fsck.exfat"}) {
            if (!testutil::haveTool(QString::fromLatin1(tool)))
                return QStringLiteral("tool %1").arg(QString::fromLatin1(tool));
        }
        return QString();
    }

    // A volume label no other test run uses: head, four letters drawn once per
    // process, then tail. uniqueLabel("T9PW", "_1") is a player drive's label
    // numbered 1 that another run's "T9PW_Slot1" never matches. exFAT labels
    // hold at most 11 characters.
    static QString uniqueLabel(const QString& head, const QString& tail = QString())
    {
        static const QString token = [] {
            QString letters;
            for (int i = 0; i < 4; ++i)
                letters += QChar('A' + int(QRandomGenerator::system()->bounded(26)));
            return letters;
        }();
        const QString label = head + token + tail;
        Q_ASSERT(label.size() <= 11);
        return label;
    }

    // Gives this process a mount namespace of its own, so that the drives
    // other runs mount from now on never show in its volume list. Call it
    // before any thread starts (from a static initializer): the namespace
    // belongs to the calling thread and to the threads and processes it
    // starts later. Empty when done, else what failed.
    static QString isolate()
    {
        if (::geteuid() != 0)
            return QStringLiteral("root");
        if (::unshare(CLONE_NEWNS) != 0)
            return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QStringLiteral("private mounts: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }

    // After isolate(): player drives mounted before the namespace was made
    // and outside ownFolder are detached from it. Their owners keep them; only
    // this process stops seeing them. Returns the roots still seen.
    static QStringList hideOtherPlayerDrives(const QString& ownFolder)
    {
        QStringList left;
        const QString own = QDir::cleanPath(ownFolder) + QLatin1Char('/');
        for (const VolumeInfo& v : VolumeInfo::mountedVolumes()) {
            if (!v.isPlayerDrive() || v.rootPath().startsWith(own))
                continue;
            if (::umount2(QFile::encodeName(v.rootPath()).constData(), MNT_DETACH) != 0)
                left << v.rootPath();
        }
        return left;
    }

    // Mount points go under folder from now on (the system's temporary folder
    // when empty), so that a test can tell its own drives by where they are.
    static void setMountFolder(const QString& folder) { mountFolder() = folder; }

    static QString tool(const QString& name)
    {
        QString path = QStandardPaths::findExecutable(name);
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        return path.isEmpty() ? name : path;
    }

    LoopMount() = default;
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    ~LoopMount() { release(); }

    // Makes image (sizeBytes, one exFAT partition) and mounts it. With
    // leadingSectors, an unformatted partition of that size comes first and
    // the exFAT one follows it. With gpt, the partition table is a GPT.
    bool create(const QString& image, qint64 sizeBytes, const QString& label, QString* error,
                qint64 leadingSectors = 0, bool gpt = false)
    {
        m_image = image;
        m_offset = kPartitionStart + leadingSectors * 512;
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(sizeBytes))
            return fail(error, QStringLiteral("cannot create %1").arg(image));
        file.close();
        // GPT: the exFAT partition as Windows types it (basic data).
        const QByteArray type = gpt ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "7";
        QByteArray table = gpt ? "label: gpt\n" : "label: dos\n";
        if (leadingSectors > 0)
            table += "start=2048, size=" + QByteArray::number(leadingSectors) + ", type=" + type + "\n";
        table += "start=" + QByteArray::number(m_offset / 512) + ", type=" + type + "\n";
        auto r = testutil::run(tool("sfdisk"), {"-q", image}, 60000, table);
        if (!r.ok())
            return fail(error, "sfdisk: " + QString::fromLocal8Bit(r.err));
        if (!attach(sizeBytes, error))
            return false;
        r = testutil::run(tool("mkfs.exfat"), {"-L", label, m_loop});
        if (!r.ok())
            return fail(error, "mkfs.exfat: " + QString::fromLocal8Bit(r.err));
        return mount(error);
    }

    // Makes image (sizeBytes) formatted whole, without a partition table, as
    // mkfs.exfat on a disk device does, and mounts it.
    bool createWholeDisk(const QString& image, qint64 sizeBytes, const QString& label, QString* error)
    {
        m_image = image;
        m_offset = 0;
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(sizeBytes))
            return fail(error, QStringLiteral("cannot create %1").arg(image));
        file.close();
        if (!attach(sizeBytes, error))
            return false;
        const auto r = testutil::run(tool("mkfs.exfat"), {"-L", label, m_loop});
        if (!r.ok())
            return fail(error, "mkfs.exfat: " + QString::fromLocal8Bit(r.err));
        return mount(error);
    }

    // A player drive's label numbered number that no other test run uses.
    static QString uniqueLabel(int number)
    {
        return uniqueLabel(QStringLiteral("T9PW"), QLatin1Char('_') + QString::number(number % 10));
    }

    // Unmounts the volume but keeps the empty mount-point folder, as a drive
    // pulled out after it was chosen leaves it.
    bool unmountKeepingFolder()
    {
        if (!m_mounted)
            return false;
        m_mounted = !unmount(m_dir->path(), kBusyWaitMs, &m_releaseError);
        return !m_mounted;
    }

    // Unmounts lazily (umount -l), as a drive pulled out while in use: the
    // mount folder is at once the empty folder beneath, while what still
    // holds the volume open goes on seeing it.
    bool detachLazily()
    {
        if (!m_mounted)
            return false;
        m_mounted = !testutil::run(tool("umount"), {"-l", m_dir->path()}).ok();
        return !m_mounted;
    }

    // Mounts an existing image made by create().
    bool open(const QString& image, QString* error)
    {
        m_image = image;
        return attach(QFileInfo(image).size(), error) && mount(error);
    }

    QString mountPoint() const { return m_dir ? m_dir->path() : QString(); }
    QString loopDevice() const { return m_loop; }
    qint64 volumeOffset() const { return m_offset; }

    // Unmounts and detaches; true when both went through, else releaseError()
    // says which failed and why. An unmount refused while something still
    // uses the drive is tried again for up to busyWaitMs; past that the drive
    // is unmounted lazily, so that it goes once the last user lets go.
    bool release(int busyWaitMs = kBusyWaitMs)
    {
        m_releaseError.clear();
        if (m_mounted) {
            if (!unmount(m_dir->path(), busyWaitMs, &m_releaseError))
                testutil::run(tool("umount"), {"-l", m_dir->path()});
            m_mounted = false;
        }
        if (!m_loop.isEmpty()) {
            const auto r = testutil::run(tool("losetup"), {"-d", m_loop});
            if (!r.ok())
                m_releaseError += (m_releaseError.isEmpty() ? QString() : QStringLiteral("; "))
                    + QStringLiteral("losetup -d %1: %2").arg(m_loop, why(r));
            m_loop.clear();
        }
        m_dir.reset();
        return m_releaseError.isEmpty();
    }

    // Why the last release() or unmountKeepingFolder() failed; empty when it
    // went through.
    QString releaseError() const { return m_releaseError; }

    // fsck.exfat -n on the partition; true when clean. Only while unmounted.
    static bool fsckClean(const QString& image, QString* report, qint64 offset = kPartitionStart)
    {
        LoopMount probe;
        probe.m_offset = offset;
        QString error;
        if (!probe.attach(QFileInfo(image).size(), &error, image)) {
            *report = error;
            return false;
        }
        const auto r = testutil::run(tool("fsck.exfat"), {"-n", probe.m_loop});
        *report = QString::fromLocal8Bit(r.out + r.err);
        return r.ok();
    }

private:
    // How long an unmount waits for a busy drive: on a loaded machine the
    // programs a test ran can take seconds to let go of it.
    static constexpr int kBusyWaitMs = 60000;

    static QString why(const testutil::RunResult& r)
    {
        const QString text = QString::fromLocal8Bit(r.err + r.out).trimmed();
        return text.isEmpty() ? QStringLiteral("exit code %1").arg(r.exitCode) : text;
    }

    // umount folder, again while the drive is busy, until busyWaitMs have
    // passed. False with the reason in *error when it did not go through.
    static bool unmount(const QString& folder, int busyWaitMs, QString* error)
    {
        const QDeadlineTimer deadline(busyWaitMs);
        for (;;) {
            const auto r = testutil::run(tool("umount"), {folder});
            if (r.ok())
                return true;
            const QString reason = why(r);
            if (!reason.contains(QLatin1String("busy")) || deadline.hasExpired()) {
                *error = QStringLiteral("umount %1: %2").arg(folder, reason);
                return false;
            }
            // Nothing signals that the last user let go: look again shortly.
            QThread::msleep(50);
        }
    }

    bool fail(QString* error, const QString& text)
    {
        *error = text;
        release();
        return false;
    }

    bool attach(qint64 sizeBytes, QString* error, const QString& image = QString())
    {
        const QString path = image.isEmpty() ? m_image : image;
        const auto r = testutil::run(tool("losetup"),
                                     {"-f", "--show", "-o", QString::number(m_offset), "--sizelimit",
                                      QString::number(sizeBytes - m_offset), path});
        if (!r.ok())
            return fail(error, "losetup: " + QString::fromLocal8Bit(r.err));
        m_loop = QString::fromLocal8Bit(r.out).trimmed();
        return true;
    }

    bool mount(QString* error)
    {
        // A blank in the path, as /proc/self/mountinfo escapes it.
        const QString folder = mountFolder().isEmpty() ? QDir::tempPath() : mountFolder();
        m_dir.reset(new QTemporaryDir(folder + QStringLiteral("/qidx mnt-XXXXXX")));
        if (!m_dir->isValid())
            return fail(error, QStringLiteral("no mount point"));
        const auto r = testutil::run(tool("mount.exfat-fuse"), {m_loop, m_dir->path()});
        if (!r.ok())
            return fail(error, "mount.exfat-fuse: " + QString::fromLocal8Bit(r.err));
        m_mounted = true;
        return true;
    }

    static QString& mountFolder()
    {
        static QString folder;
        return folder;
    }

    QString m_image;
    QString m_loop;
    qint64 m_offset = kPartitionStart;
    std::unique_ptr<QTemporaryDir> m_dir;
    bool m_mounted = false;
    QString m_releaseError;
};
