// Mounted volumes and their labels, as the rest of the program sees them:
// QStorageInfo for the list, libblkid for the label when QStorageInfo has none
// (machines without udev have no /dev/disk/by-label). Every root path ends in "/".
#pragma once

#include <QList>
#include <QString>

class QStorageInfo;

class VolumeInfo {
public:
    VolumeInfo() = default;
    // The volume that holds path (a file, a folder or a mount point); invalid when none.
    explicit VolumeInfo(const QString& path);

    // Every mounted, ready volume, in the order the system lists them.
    static QList<VolumeInfo> mountedVolumes();

    bool isValid() const { return !m_rootPath.isEmpty(); }
    // Mount point with a trailing "/" ("/" for the root file system).
    QString rootPath() const { return m_rootPath; }
    // Volume label; empty when the volume has none.
    QString name() const { return m_name; }
    // Block device (or FUSE source) behind the mount, e.g. "/dev/sdb1".
    QString device() const { return m_device; }
    QString fileSystemType() const { return m_fileSystemType; }
    qint64 bytesTotal() const { return m_bytesTotal; }
    qint64 bytesAvailable() const { return m_bytesAvailable; }
    bool isReadOnly() const { return m_readOnly; }

    // Player drives carry a label that contains a match of "T9PW.*(\d+)$".
    bool isPlayerDrive() const { return playerDriveNumber(m_name) >= 0; }
    // The number captured by the player-drive pattern, or -1 when the label is
    // not a player drive's.
    static int playerDriveNumber(const QString& label);
    static bool isPlayerDriveLabel(const QString& label) { return playerDriveNumber(label) >= 0; }

    // Label of the file system on a block device or image file, read with
    // libblkid; empty when there is none or the device cannot be read.
    // unreadable, when given, tells whether reading was not permitted.
    static QString probeLabel(const QString& device, bool* unreadable = nullptr);
    // The volume may have a label this process is not permitted to read
    // (reading a device needs root).
    bool labelUnreadable() const { return m_labelUnreadable; }
    // Mount point of the volume holding path, with a trailing "/"; empty when none.
    static QString rootPathOf(const QString& path);
    // The mounted volume whose label is exactly label; invalid when none.
    static VolumeInfo findByLabel(const QString& label);

private:
    explicit VolumeInfo(const QStorageInfo& storage);

    QString m_rootPath;
    QString m_name;
    QString m_device;
    QString m_fileSystemType;
    qint64 m_bytesTotal = 0;
    qint64 m_bytesAvailable = 0;
    bool m_readOnly = false;
    bool m_labelUnreadable = false;
};
