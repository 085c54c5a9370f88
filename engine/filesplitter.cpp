#include "filesplitter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const qint64 kBlockSize = 1024;
const qint64 kWriteSize = 64 * 1024;

// "<folder>/<complete base name><suffix>/", or the same with the first number
// that gives a folder that does not exist yet.
QString partFolderFor(const QFileInfo& info)
{
    const QString stem = info.absolutePath() + QLatin1Char('/') + info.completeBaseName()
        + info.suffix();
    QString folder = stem;
    for (int n = 0; QFileInfo::exists(folder); ++n)
        folder = stem + QString::number(n);
    return folder + QLatin1Char('/');
}

// Writes all of data to fd. False, with the reason in *error, when a write
// fails: the reason is taken from that write's errno, as a write stopped
// part-way (a full drive, a file-size limit) leaves no error anywhere else.
bool writeAll(int fd, const char* data, qint64 size, QString* error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (written == 0) {
            *error = QString::fromLocal8Bit(std::strerror(EIO));
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Copies up to count bytes from source to target (opened unbuffered) in
// blocks, letting the event loop run before each block; blocks are gathered
// and written kWriteSize bytes at a time. False, with the reason in *error, on
// any read or write failure or when the source ends early.
bool copyPart(QFile& source, QFile& target, qint64 count, QString* error)
{
    QByteArray pending(int(kWriteSize), Qt::Uninitialized);
    qint64 filled = 0;
    qint64 left = count;
    while (left > 0) {
        QCoreApplication::processEvents();
        const qint64 want = qMin(left, kBlockSize);
        const qint64 got = source.read(pending.data() + filled, want);
        if (got <= 0) {
            *error = got < 0 ? source.errorString() : QStringLiteral("%1 ends early").arg(source.fileName());
            return false;
        }
        filled += got;
        left -= got;
        if (filled + kBlockSize > kWriteSize || left == 0) {
            if (!writeAll(target.handle(), pending.constData(), filled, error))
                return false;
            filled = 0;
        }
    }
    return true;
}

void removeParts(const QStringList& parts, const QString& folder)
{
    for (const QString& part : parts)
        QFile::remove(part);
    QDir().rmdir(folder);
}
} // namespace

FileSplitter::FileSplitter(QObject* parent) : QThread(parent) {}

FileSplitter::~FileSplitter() = default;

QStringList FileSplitter::split(QString path, qint64 partSize)
{
    m_error.clear();
    const QStringList unsplit{QDir::fromNativeSeparators(path)};
    const QFileInfo info(path);
    const qint64 size = info.size();

    if (partSize <= 0 || size <= partSize) {
        emit splitDone(unsplit);
        return unsplit;
    }

    const qint64 partCount = (size + partSize - 1) / partSize;
    const QString folder = partFolderFor(info);
    if (::mkdir(QFile::encodeName(folder).constData(), 0777) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        emit splitDone(unsplit);
        return unsplit;
    }

    const QString baseName = info.baseName();
    QStringList parts;
    for (qint64 i = 0; i < partCount; ++i) {
        if (i == 0)
            parts << folder + baseName + QStringLiteral(".mpg");
        else
            parts << folder + baseName + QLatin1Char('.')
                    + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
    }

    // Every part but the last holds exactly partSize bytes, so no part is
    // larger than the limit the caller split for. A part that cannot be
    // written whole fails the whole split: the caller keeps the original.
    bool ok = false;
    QFile source(path);
    if (source.open(QIODevice::ReadOnly)) {
        ok = true;
        qint64 left = size;
        for (const QString& name : parts) {
            QFile target(name);
            if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
                m_error = target.errorString();
                ok = false;
                break;
            }
            const qint64 count = qMin(left, partSize);
            bool copied = copyPart(source, target, count, &m_error);
            target.close();
            if (copied && target.error() != QFileDevice::NoError) {
                m_error = target.errorString();
                copied = false;
            }
            if (!copied) {
                ok = false;
                break;
            }
            left -= count;
        }
        source.close();
    } else {
        m_error = source.errorString();
    }

    if (!ok) {
        removeParts(parts, folder);
        emit splitDone(unsplit);
        return unsplit;
    }
    emit splitDone(parts);
    return parts;
}
