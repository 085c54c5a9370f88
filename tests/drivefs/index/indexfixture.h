// The index fixture (indexfixture.py) from C++ tests: fills a mounted player
// drive with a layout of clip folders (or with holes only), and checks an
// index.dat against the drive image it was written for.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include "testutil.h"

namespace indexfixture {

// Debian's Python modules load only under this interpreter.
inline const QString kPython = QStringLiteral("/usr/bin/python3");

inline QString script()
{
    return testutil::testsDir() + "/drivefs/index/indexfixture.py";
}

// Empty when the layout was written under root, else what the fixture said.
inline QString fill(const QString& layout, const QString& root)
{
    const auto r = testutil::run(kPython, {script(), "fill", layout, root});
    return r.ok() ? QString() : QString::fromLocal8Bit(r.out + r.err);
}

// Saves index as copy (the drive is released by now, so its index.dat is no
// longer reachable) and checks it against image, the layout's clips too when
// one is named. Empty when the index is right, else the checker's report.
inline QString check(const QString& image, const QByteArray& index, const QString& copy,
                     const QString& layout = QString())
{
    QFile out(copy);
    if (!out.open(QIODevice::WriteOnly) || out.write(index) != index.size() || !out.flush())
        return QStringLiteral("cannot write ") + copy;
    out.close();
    QStringList args{script(), "check", image, copy};
    if (!layout.isEmpty())
        args << layout;
    const auto r = testutil::run(kPython, args);
    return r.ok() ? QString() : QString::fromLocal8Bit(r.out + r.err);
}

// A file's bytes; empty when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes a whole file; false when any of it could not be written.
inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() && f.flush();
}

// Fills the drive at root with 64 KB files in a folder "fill", then removes
// every other one: its free room is then only holes smaller than a frame.
// The number of files written; -1 when the folder could not be made or a
// file could not be removed.
inline int leaveOnlyHoles(const QString& root)
{
    if (!QDir(root).mkdir(QStringLiteral("fill")))
        return -1;
    const QByteArray block(64 << 10, 'f');
    int files = 0;
    while (writeFile(root + QStringLiteral("/fill/%1").arg(files), block))
        ++files;
    for (int i = 0; i < files; i += 2)
        if (!QFile::remove(root + QStringLiteral("/fill/%1").arg(i)))
            return -1;
    return files;
}

} // namespace indexfixture
