#include "volumeinfo.h"

#include <QFile>
#include <QRegularExpression>
#include <QStorageInfo>

#include <blkid/blkid.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "mounttable.h"

namespace {

QString withTrailingSlash(QString path)
{
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

} // namespace

VolumeInfo::VolumeInfo(const QString& path)
    : VolumeInfo(QStorageInfo(path))
{
}

VolumeInfo::VolumeInfo(const QStorageInfo& storage)
{
    if (!storage.isValid() || storage.rootPath().isEmpty())
        return;
    m_rootPath = withTrailingSlash(storage.rootPath());
    // The device the mount was made from, read where the drive index reads it.
    MountTable::Entry mount;
    m_device = MountTable::find(storage.rootPath(), &mount) ? mount.source : QString::fromLocal8Bit(storage.device());
    m_fileSystemType = QString::fromLatin1(storage.fileSystemType());
    m_bytesTotal = storage.bytesTotal();
    m_bytesAvailable = storage.bytesAvailable();
    m_readOnly = storage.isReadOnly();
    m_name = storage.name();
    if (m_name.isEmpty())
        m_name = probeLabel(m_device, &m_labelUnreadable);
}

QList<VolumeInfo> VolumeInfo::mountedVolumes()
{
    QList<VolumeInfo> volumes;
    const QList<QStorageInfo> all = QStorageInfo::mountedVolumes();
    for (const QStorageInfo& storage : all) {
        if (!storage.isValid() || !storage.isReady())
            continue;
        VolumeInfo volume(storage);
        if (volume.isValid())
            volumes.append(volume);
    }
    return volumes;
}

int VolumeInfo::playerDriveNumber(const QString& label)
{
    // One pattern for the life of the program; QRegularExpression is safe to
    // share between threads.
    static const QRegularExpression pattern(QStringLiteral("T9PW.*(\\d+)$"));
    const QRegularExpressionMatch match = pattern.match(label);
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const int number = match.captured(1).toInt(&ok);
    return ok ? number : -1;
}

QString VolumeInfo::probeLabel(const QString& device, bool* unreadable)
{
    if (unreadable)
        *unreadable = false;
    // Only devices and image files carry a superblock; FUSE sources such as
    // "sshfs#host:" or pseudo file systems do not.
    if (!device.startsWith(QLatin1Char('/')))
        return QString();
    const QByteArray path = QFile::encodeName(device);
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))
        return QString();

    QString label;
    blkid_probe probe = blkid_new_probe_from_filename(path.constData());
    if (!probe) {
        // Root may be refused a device too (a container's device rules):
        // only a user without root's rights would read it as root.
        if (unreadable)
            *unreadable = (errno == EACCES || errno == EPERM) && ::geteuid() != 0;
        return label;
    }
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe) == 0) {
        const char* value = nullptr;
        size_t length = 0;
        if (blkid_probe_lookup_value(probe, "LABEL", &value, &length) == 0 && value)
            label = QString::fromUtf8(value);
    }
    blkid_free_probe(probe);
    return label;
}

QString VolumeInfo::rootPathOf(const QString& path)
{
    const QStorageInfo storage(path);
    if (!storage.isValid())
        return QString();
    return withTrailingSlash(storage.rootPath());
}

VolumeInfo VolumeInfo::findByLabel(const QString& label)
{
    if (label.isEmpty())
        return VolumeInfo();
    const QList<VolumeInfo> volumes = mountedVolumes();
    for (const VolumeInfo& volume : volumes) {
        if (volume.name() == label)
            return volume;
    }
    return VolumeInfo();
}
