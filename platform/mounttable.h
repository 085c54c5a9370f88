// Which mount holds a path, and which disk and byte offset back that mount:
// /proc/self/mountinfo for the mount, /sys/class/block for the partition,
// loop device or disk beneath it. The volume list and the drive index both
// ask here.
#pragma once

#include <QString>

// Where a mounted volume lies: the disk (block device or image file) the
// volume library reads, and the byte offset of the volume on it.
struct DriveLocation {
    QString mountPoint;     // with a trailing "/"
    QString mountSource;    // the device the mount was made from, e.g. "/dev/loop3"
    QString diskPath;       // whole disk, or a loop device's backing file
    quint64 volumeOffset = 0;
    bool isValid() const { return !diskPath.isEmpty(); }
};

class MountTable {
public:
    // One line of the mount table.
    struct Entry {
        QString mountPoint;
        QString source;
        QString fileSystemType;
        unsigned major = 0;
        unsigned minor = 0;
    };

    // The last mount at mountPoint (a later mount hides an earlier one there);
    // false when nothing is mounted there. mountPoint has no trailing "/"
    // (except "/" itself).
    static bool find(const QString& mountPoint, Entry* entry);
    // The mount, disk and volume offset behind a path; the disk is empty when
    // it cannot be found.
    static DriveLocation locate(const QString& path);
};
