// Helpers for the volume library tests: memory-backed device lists, running
// code inside a protected block, and death tests in a forked child.
#pragma once

#include <QtTest>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "dfs_internal.h"
#include "dfs_memdriver.h"
#include "testutil.h"

namespace dfstest {

// Runs f inside an outermost protected block; returns 0 or the raised code.
inline int32_t Try(const std::function<void()>& f)
{
    return Protected([&] { f(); }, [](ExceptionFrame&) {}, [] {});
}

struct DeathResult {
    int exitCode = -1;
    std::string err;
};

// Runs f in a forked child and reports how the child ended and what it
// wrote on standard error.
inline DeathResult RunInChild(const std::function<void()>& f)
{
    int pipes[2];
    if (pipe(pipes) != 0)
        return {};
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipes[0]);
        dup2(pipes[1], 2);
        f();
        _exit(0);
    }
    close(pipes[1]);
    DeathResult r;
    char buf[512];
    ssize_t n;
    while ((n = read(pipes[0], buf, sizeof buf)) > 0)
        r.err.append(buf, size_t(n));
    close(pipes[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A device list of memory disks; the library is stopped while it is swapped.
struct MemDevices {
    MemDiskData disks[3];
    DfsDevice list[4];

    explicit MemDevices(int count = 1, size_t sectors = 4096)
    {
        ShutdownVolumeLibrary();
        std::memset(list, 0, sizeof list);
        for (int i = 0; i < count; ++i) {
            disks[i].image.assign(sectors * 512, 0);
            for (size_t s = 0; s < sectors; ++s)
                std::snprintf(reinterpret_cast<char*>(&disks[i].image[s * 512]), 64, "disk%d sector %zu", i, s);
            list[i].type = DEVICE_DISK;
            list[i].flags = DEVF_PRIVATE_MUTEX;
            list[i].driver = &g_memDriver;
            list[i].driverData = &disks[i];
        }
        SetDeviceList(list);
    }
    ~MemDevices()
    {
        ShutdownVolumeLibrary();
        SetDeviceList(nullptr);
    }
    // Starts the library (as the first open does) and keeps no slot.
    void Start()
    {
        QCOMPARE(Try([] { ReleaseFileSlot(ClaimFileSlot()); }), 0);
    }
};

} // namespace dfstest

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

namespace dfstest {

struct ManifestEntry {
    qint64 size = 0;
    QByteArray sha256;
    QString path;   // "/" separators, UTF-8
};

inline QList<ManifestEntry> LoadManifest(const QString& file)
{
    QList<ManifestEntry> list;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int a = line.indexOf(' ');
        const int b = line.indexOf(' ', a + 1);
        if (a < 0 || b < 0)
            continue;
        list.append({line.left(a).toLongLong(), line.mid(a + 1, b - a - 1), QString::fromUtf8(line.mid(b + 1))});
    }
    return list;
}

// A path as the library takes it: CP437 bytes, "\" separators, from the root.
inline QByteArray LibraryPath(const QString& path)
{
    QByteArray out = "\\";
    for (QChar c : path) {
        const ushort u = c.unicode();
        if (u == '/') {
            out += '\\';
        } else if (u < 0x80) {
            out += char(u);
        } else {
            char b = '_';
            for (int i = 0; i < 128; ++i)
                if (kCp437ToUnicode[i] == u)
                    b = char(0x80 + i);
            out += b;
        }
    }
    return out;
}

inline QByteArray Sha256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Reads a handle to its end in pieces of the given size.
// File slots still claimed; a failed open must leave none.
inline int ClaimedFileSlots()
{
    int n = 0;
    for (uint32_t i = 0; i < g_driveFsData.fileSlotCount; ++i)
        n += g_driveFsData.files[i].inUse ? 1 : 0;
    return n;
}

inline QByteArray ReadAll(int32_t handle, uint32_t chunk, int32_t* result = nullptr)
{
    QByteArray all;
    QByteArray buf(int(chunk), 0);
    for (;;) {
        uint32_t got = 0;
        const int32_t r = ReadVolumeFile(handle, buf.data(), chunk, &got);
        all.append(buf.constData(), int(got));
        if (r < 0 || got == 0) {
            if (result)
                *result = r;
            return all;
        }
    }
}

// The committed exFAT disk image (its partition at sector 2048), unpacked once.
inline const QByteArray& CommittedExfatImage()
{
    static const QByteArray image =
        testutil::run("gzip", {"-dc", testutil::testsDir() + "/drivefs/images/exfat.img.gz"}).out;
    return image;
}

// The first of the tools that the machine lacks; empty when it has them all.
inline QString MissingTool(const QStringList& tools)
{
    for (const QString& tool : tools)
        if (!testutil::haveTool(tool))
            return tool;
    return QString();
}

// Makes the FAT12, FAT16 and FAT32 images and their manifests
// (make_images.sh) in dir; returns what went wrong, empty when all were made.
inline QByteArray MakeFatImages(const QString& dir)
{
    const QString script = testutil::testsDir() + "/drivefs/make_images.sh";
    for (const char* kind : {"fat12", "fat16", "fat32"}) {
        testutil::RunResult r = testutil::run("bash", {script, kind, dir});
        if (!r.ok())
            return r.err.isEmpty() ? QByteArray("make_images.sh failed") : r.err;
    }
    return QByteArray();
}

// Points the library's disk device at an image file; the library restarts.
inline void UseDiskImage(const QString& path)
{
    ShutdownVolumeLibrary();
    SetDeviceList(nullptr);
    DriveFsDiskDevice()->unit = RegisterPhysicalDisk(path.toStdString());
}

} // namespace dfstest
