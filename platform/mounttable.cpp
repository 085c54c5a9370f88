// The mount table and sysfs: which mount holds a path and which disk and
// offset lie beneath it.
#include "mounttable.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "volumeinfo.h"

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

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

bool MountTable::find(const QString& mountPoint, Entry* found)
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

DriveLocation MountTable::locate(const QString& path)
{
    DriveLocation location;
    const QString root = VolumeInfo::rootPathOf(path);
    if (root.isEmpty())
        return location;
    location.mountPoint = root;
    Entry mount;
    if (!find(withoutTrailingSlash(root), &mount))
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
