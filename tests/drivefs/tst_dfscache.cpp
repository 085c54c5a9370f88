// Device layer and sector cache over the memory driver; the disk driver
// against dd of a real image file.
#include <QtTest>

#include <QTemporaryDir>

#include "dfstest.h"
#include "testutil.h"

using namespace dfstest;

class TestDfsCache : public QObject {
    Q_OBJECT

private slots:
    void mountResults_data();
    void mountResults();
    void readOnUnmountedDevice();
    void criticalErrorRetry_data();
    void criticalErrorRetry();
    void pendingErrorForgetsDeviceOnUnlock();
    void sameSectorTwiceUsesCurrentBuffer();
    void missReadsAheadInOneTransfer();
    void readAheadSkipped_data();
    void readAheadSkipped();
    void allBuffersInUse();
    void failedReadLeavesNothingCached_data();
    void failedReadLeavesNothingCached();
    void flushSectorRangeKeepsRingOrder();
    void diskDriverMatchesDd();
    void diskDriverOnBlockDevice();
};

namespace {
bool SectorIsCached(DfsDevice* d, uint64_t sector)
{
    for (uint32_t i = 0; i < g_driveFsData.bufferCount; ++i) {
        const DfsBuffer& b = g_driveFsData.bufferHeaders[i];
        if (b.device == d && b.sector == sector && (b.flags & BUF_VALID))
            return true;
    }
    return false;
}

// The valid buffers form one run from the head; nothing valid behind a free one.
bool ValidRunStartsAtHead()
{
    DfsBuffer* b = g_bufferHead;
    bool seenFree = false;
    do {
        if (b->flags == 0)
            seenFree = true;
        else if (seenFree)
            return false;
        b = b->next;
    } while (b != g_bufferHead);
    return true;
}

QByteArray Sector(const MemDiskData& disk, uint64_t s)
{
    return QByteArray(reinterpret_cast<const char*>(disk.image.data() + s * 512), 512);
}

// A fake mounted FAT16 volume on the device, for the media checks.
void FakeMountedVolume(MemDevices& devs, uint32_t serial)
{
    DfsDevice* d = &devs.list[0];
    DfsDrive* drive = &g_driveFsData.drives[2];
    drive->device = d;
    drive->state = 4;
    drive->fsId = FS_FAT16;
    drive->bootSector = 0;
    drive->serial = serial;
    d->firstDrive = drive;
    Put32(devs.disks[0].image.data() + 39, 0x1234ABCD);
}
}

void TestDfsCache::mountResults_data()
{
    QTest::addColumn<int>("driverResult");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("shift");
    QTest::addColumn<bool>("removable");
    QTest::newRow("512") << 512 << 512 << 9 << false;
    QTest::newRow("513 removable") << 513 << 512 << 9 << true;
    QTest::newRow("4096") << 4096 << 4096 << 12 << false;
    QTest::newRow("0") << 0 << -34 << -1 << false;
    QTest::newRow("3") << 3 << -34 << -1 << true;
    QTest::newRow("768") << 768 << -34 << -1 << false;
    QTest::newRow("no media") << -42 << -29 << -1 << true;
    QTest::newRow("no drive") << -41 << -4 << -1 << true;
    QTest::newRow("general failure") << -18 << -18 << -1 << false;
}

void TestDfsCache::mountResults()
{
    QFETCH(int, driverResult);
    QFETCH(int, result);
    QFETCH(int, shift);
    QFETCH(bool, removable);
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    d->flags &= ~DEVF_REMOVABLE;
    devs.disks[0].overrideMount = true;
    devs.disks[0].mountResult = driverResult;
    int32_t r = 0;
    QCOMPARE(Try([&] { r = MountDevice(d, DEV_RETURN_ERRORS); }), 0);
    QCOMPARE(r, result);
    if (shift >= 0) {
        QCOMPARE(int(d->sectorShift), shift);
        QCOMPARE(int(d->mountState), 2);
        QCOMPARE(Get32(d->diskInfo + 12), 4096u);
    }
    QCOMPARE(bool(d->flags & DEVF_REMOVABLE), removable);
    // Without the return flag the failure is raised.
    if (result < 0)
        QCOMPARE(Try([&] { MountDevice(d, 0); }), result);
    UnlockDevice(d);
}

void TestDfsCache::readOnUnmountedDevice()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    d->mountState = 0;
    uint8_t buf[512];
    QCOMPARE(Try([&] { ReadDeviceSectors(d, buf, 1, 1, 0); }), -29);
    QCOMPARE(d->pendingError, -29);
    // Every further transfer raises the pending code; asking for the code clears it.
    d->mountState = 2;
    int32_t r = 0;
    QCOMPARE(Try([&] { r = ReadDeviceSectors(d, buf, 1, 1, DEV_RETURN_ERRORS); }), 0);
    QCOMPARE(r, -29);
    QCOMPARE(d->pendingError, 0);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, buf, 1, 1, 0); }), 0);
    UnlockDevice(d);
}

void TestDfsCache::criticalErrorRetry_data()
{
    QTest::addColumn<int>("driverCode");
    QTest::addColumn<int>("failures");
    QTest::addColumn<uint>("bootSerial");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("pending");
    QTest::addColumn<int>("transfers");
    // Not a media code: the handler answers fail, nothing stays pending.
    QTest::newRow("general failure") << -18 << 1 << 0x1234ABCDu << -18 << 0 << 1;
    // Media changed, same medium still in: retried from the start.
    QTest::newRow("media changed, same medium") << -26 << 1 << 0x1234ABCDu << 0 << 0 << 3;
    // Another medium: the read fails and the device keeps "wrong media".
    QTest::newRow("media changed, other medium") << -26 << 1 << 0x55555555u << -26 << -7 << 2;
    // A medium that verifies but keeps failing is not retried forever.
    QTest::newRow("persistent media failure") << -26 << -1 << 0x1234ABCDu << -26 << -26 << 7;
}

void TestDfsCache::criticalErrorRetry()
{
    QFETCH(int, driverCode);
    QFETCH(int, failures);
    QFETCH(uint, bootSerial);
    QFETCH(int, result);
    QFETCH(int, pending);
    QFETCH(int, transfers);
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    FakeMountedVolume(devs, bootSerial);
    LockDevice(d);
    InvalidateDeviceBuffers(d);
    devs.disks[0].reads.clear();
    devs.disks[0].failCode = driverCode;
    devs.disks[0].failSector = 7;
    devs.disks[0].failCount = failures;
    uint8_t buf[512];
    QCOMPARE(Try([&] { ReadDeviceSectors(d, buf, 7, 1, 0); }), result);
    QCOMPARE(d->pendingError, pending);
    QCOMPARE(int(devs.disks[0].reads.size()), transfers);
    if (result == 0)
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 512), Sector(devs.disks[0], 7));
    // The boot sector checked through the alternate buffer is not left cached.
    QVERIFY(!d->altBuffer);
    QVERIFY(!SectorIsCached(d, 0));
    d->pendingError = 0;
    UnlockDevice(d);
    g_driveFsData.drives[2] = DfsDrive {};
}

void TestDfsCache::pendingErrorForgetsDeviceOnUnlock()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    FakeMountedVolume(devs, 0x99999999u);
    LockDevice(d);
    QCOMPARE(Try([&] { GetSectorBuffer(d, 20, 0); }), 0);
    QVERIFY(SectorIsCached(d, 20));
    devs.disks[0].failCode = -29;
    devs.disks[0].failSector = 300;
    QCOMPARE(Try([&] { GetSectorBuffer(d, 300, GSB_NO_READAHEAD); }), -29);
    QCOMPARE(d->pendingError, -7);
    UnlockDevice(d);
    QCOMPARE(int(d->mountState), 0);
    QCOMPARE(g_driveFsData.drives[2].state, 0);
    QVERIFY(!SectorIsCached(d, 20));
    QVERIFY(ValidRunStartsAtHead());
    g_driveFsData.drives[2] = DfsDrive {};
}

void TestDfsCache::sameSectorTwiceUsesCurrentBuffer()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    uint8_t* a = nullptr;
    uint8_t* b = nullptr;
    QCOMPARE(Try([&] { a = GetSectorBuffer(d, 40, GSB_NO_READAHEAD); }), 0);
    DfsBuffer* head = g_bufferHead;
    DfsBuffer* tail = g_bufferHead->previous;
    size_t reads = devs.disks[0].reads.size();
    QCOMPARE(Try([&] { b = GetSectorBuffer(d, 40, 0); }), 0);
    QVERIFY(a == b);
    QVERIFY(g_bufferHead == head && g_bufferHead->previous == tail);
    QCOMPARE(devs.disks[0].reads.size(), reads);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 512), Sector(devs.disks[0], 40));
    UnlockDevice(d);
}

void TestDfsCache::missReadsAheadInOneTransfer()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    devs.disks[0].reads.clear();
    for (uint64_t s = 1000; s < 1128; ++s) {
        uint8_t* data = nullptr;
        QCOMPARE(Try([&] { data = GetSectorBuffer(d, s, 0); }), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 512), Sector(devs.disks[0], s));
        if (s == 1000)
            QVERIFY(g_sequentialHint != nullptr);
    }
    QCOMPARE(devs.disks[0].reads.size(), size_t(1));
    QCOMPARE(devs.disks[0].reads[0], std::make_pair(uint64_t(1000), uint32_t(128)));
    QVERIFY(ValidRunStartsAtHead());
    UnlockDevice(d);
}

void TestDfsCache::readAheadSkipped_data()
{
    QTest::addColumn<int>("situation");
    QTest::addColumn<uint>("sector");
    QTest::addColumn<QString>("transfers");
    QTest::newRow("a sector of the run cached") << 0 << 500u << "505+1 500+1";
    QTest::newRow("no read-ahead flag") << 1 << 500u << "500+1";
    QTest::newRow("area owned by another device") << 2 << 500u << "500+1";
    QTest::newRow("run passes the end of the disk") << 3 << 4090u << "4090+128 4090+1";
}

void TestDfsCache::readAheadSkipped()
{
    QFETCH(int, situation);
    QFETCH(uint, sector);
    QFETCH(QString, transfers);
    MemDevices devs(2);
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    devs.disks[0].reads.clear();
    uint32_t flags = 0;
    if (situation == 0) {
        QCOMPARE(Try([&] { GetSectorBuffer(d, sector + 5, GSB_NO_READAHEAD); }), 0);
    } else if (situation == 1) {
        flags = GSB_NO_READAHEAD;
    } else if (situation == 2) {
        g_l2Owner = &devs.list[1];
    }
    uint8_t* data = nullptr;
    QCOMPARE(Try([&] { data = GetSectorBuffer(d, sector, flags); }), 0);
    g_l2Owner = nullptr;
    QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 512), Sector(devs.disks[0], sector));
    QStringList seen;
    for (const auto& r : devs.disks[0].reads)
        seen << QString("%1+%2").arg(r.first).arg(r.second);
    QCOMPARE(seen.join(' '), transfers);
    UnlockDevice(d);
}

void TestDfsCache::allBuffersInUse()
{
    MemDevices devs(2);
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    // Every buffer holds a sector of the other device and is in use.
    for (uint32_t i = 0; i < g_driveFsData.bufferCount; ++i) {
        DfsBuffer& b = g_driveFsData.bufferHeaders[i];
        b.device = &devs.list[1];
        b.sector = 100000 + i;
        b.flags = BUF_VALID | BUF_INUSE;
    }
    QCOMPARE(Try([&] { GetSectorBuffer(d, 3, 0); }), -35);
    // Once one is released it is taken.
    g_driveFsData.bufferHeaders[7].flags = BUF_VALID;
    uint8_t* data = nullptr;
    QCOMPARE(Try([&] { data = GetSectorBuffer(d, 3, 0); }), 0);
    QVERIFY(data == g_driveFsData.bufferHeaders[7].data);
    for (uint32_t i = 0; i < g_driveFsData.bufferCount; ++i)
        if (g_driveFsData.bufferHeaders[i].device == &devs.list[1])
            g_driveFsData.bufferHeaders[i].flags = 0;
    for (uint32_t i = 0; i < g_driveFsData.bufferCount; ++i)
        if (g_driveFsData.bufferHeaders[i].flags == 0)
            BufferMoveToTail(&g_driveFsData.bufferHeaders[i]);
    QVERIFY(ValidRunStartsAtHead());
    UnlockDevice(d);
}

void TestDfsCache::failedReadLeavesNothingCached_data()
{
    QTest::addColumn<bool>("shortRead");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<int>("code");
    QTest::newRow("driver failure") << false << uint(GSB_NO_READAHEAD) << -18;
    QTest::newRow("driver failure after read-ahead") << false << 0u << -18;
    QTest::newRow("short read") << true << uint(GSB_NO_READAHEAD) << -27;
    QTest::newRow("short read-ahead") << true << 0u << -27;
}

void TestDfsCache::failedReadLeavesNothingCached()
{
    QFETCH(bool, shortRead);
    QFETCH(uint, flags);
    QFETCH(int, code);
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    MemDiskData& disk = devs.disks[0];
    if (shortRead) {
        disk.shortRead = true;
        disk.shortSector = 77;
    } else {
        disk.failCode = -18;
        disk.failSector = 77;
    }
    QCOMPARE(Try([&] { GetSectorBuffer(d, 77, flags); }), code);
    QVERIFY(!SectorIsCached(d, 77));
    QVERIFY(!d->currentBuffer);
    QVERIFY(ValidRunStartsAtHead());
    // The next request reads it again.
    disk.shortRead = false;
    disk.failCode = 0;
    disk.reads.clear();
    uint8_t* data = nullptr;
    QCOMPARE(Try([&] { data = GetSectorBuffer(d, 77, GSB_NO_READAHEAD); }), 0);
    QCOMPARE(disk.reads.size(), size_t(1));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 512), Sector(disk, 77));
    UnlockDevice(d);
}

void TestDfsCache::flushSectorRangeKeepsRingOrder()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    QCOMPARE(Try([&] { GetSectorBuffer(d, 200, 0); }), 0);
    QVERIFY(SectorIsCached(d, 327));
    QCOMPARE(Try([&] { DropCachedSectors(d, 250, 10); }), 0);
    for (uint64_t s = 250; s < 260; ++s)
        QVERIFY(!SectorIsCached(d, s));
    QVERIFY(SectorIsCached(d, 249));
    QVERIFY(SectorIsCached(d, 260));
    QVERIFY(ValidRunStartsAtHead());
    // The current buffer inside the range is discarded too.
    QCOMPARE(Try([&] { GetSectorBuffer(d, 200, 0); }), 0);
    QCOMPARE(Try([&] { DropCachedSectors(d, 200, 1); }), 0);
    QVERIFY(!d->currentBuffer);
    QVERIFY(!SectorIsCached(d, 200));
    QVERIFY(ValidRunStartsAtHead());
    UnlockDevice(d);
}

void TestDfsCache::diskDriverMatchesDd()
{
    REQUIRE_TOOL("dd");
    QTemporaryDir dir;
    const QString image = dir.filePath("disk.img");
    QVERIFY(testutil::sh(QString("dd if=/dev/urandom of=%1 bs=512 count=300 status=none").arg(image)).ok());
    ShutdownVolumeLibrary();
    SetDeviceList(nullptr);
    const int number = RegisterPhysicalDisk(image.toStdString());
    QCOMPARE(RegisterPhysicalDisk(image.toStdString()), number);
    QCOMPARE(QString::fromStdString(PhysicalDiskPath(number)), image);
    QVERIFY(PhysicalDiskPath(number + 1).empty());
    DfsDevice* d = DriveFsDiskDevice();
    d->unit = number;
    QCOMPARE(Try([] { ReleaseFileSlot(ClaimFileSlot()); }), 0);
    LockDevice(d);
    QCOMPARE(int(d->mountState) >= 2, true);
    QCOMPARE(d->sectorSize, 512u);
    QCOMPARE(Get32(d->diskInfo + 12), 300u);
    QByteArray got(16 * 512, 0);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 37, 16, 0); }), 0);
    testutil::RunResult dd = testutil::sh(QString("dd if=%1 bs=512 skip=37 count=16 status=none").arg(image));
    QVERIFY(dd.ok());
    QCOMPARE(got, dd.out);
    // Through the cache too.
    uint8_t* s = nullptr;
    QCOMPARE(Try([&] { s = GetSectorBuffer(d, 299, 0); }), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(s), 512), testutil::sh(QString("dd if=%1 bs=512 skip=299 count=1 status=none").arg(image)).out);
    // Past the end, and a file that shrank under the driver: no stale bytes.
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 295, 6, 0); }), -27);
    QVERIFY(::truncate(image.toLocal8Bit().constData(), 100 * 512 + 100) == 0);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 100, 1, 0); }), -27);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 99, 1, 0); }), 0);
    // Writes are refused (the library itself never asks).
    QCOMPARE(d->driver->WriteSectors(d->driverData, 1, 1, got.data()), -30);
    UnlockDevice(d);
    ShutdownVolumeLibrary();
    // A disk number nobody registered is not found; nor is a second disk.
    d->unit = 999;
    QCOMPARE(OpenVolumeFile("\\\\.\\PHYSICALDRIVE1"), -4);
    const int32_t raw = OpenVolumeFile("\\\\.\\PHYSICALDRIVE0");
    QVERIFY(raw > 0);
    uint32_t n = 7;
    QCOMPARE(ReadVolumeFile(raw, got.data(), 512, &n), -4);
    QCOMPARE(n, 0u);
    QCOMPARE(CloseVolumeFile(raw), 0);
    ShutdownVolumeLibrary();
}

void TestDfsCache::diskDriverOnBlockDevice()
{
    if (getuid() != 0 || !testutil::haveTool("losetup"))
        QSKIP("needs root and losetup for a loop device");
    QTemporaryDir dir;
    const QString image = dir.filePath("block.img");
    QVERIFY(testutil::sh(QString("dd if=/dev/urandom of=%1 bs=512 count=2048 status=none").arg(image)).ok());
    // An offset loop device: the block device starts 16 sectors into the file.
    testutil::RunResult lo = testutil::run("losetup", {"-f", "--show", "-o", "8192", "--sizelimit", "524288", image});
    if (!lo.ok())
        QSKIP(qPrintable("no loop device: " + QString::fromLocal8Bit(lo.err)));
    const QString loop = QString::fromLocal8Bit(lo.out).trimmed();
    struct Detach {
        QString dev;
        ~Detach() { testutil::run("losetup", {"-d", dev}); }
    } detach {loop};
    ShutdownVolumeLibrary();
    SetDeviceList(nullptr);
    DfsDevice* d = DriveFsDiskDevice();
    d->unit = RegisterPhysicalDisk(loop.toStdString());
    QCOMPARE(Try([] { ReleaseFileSlot(ClaimFileSlot()); }), 0);
    LockDevice(d);
    QCOMPARE(d->sectorSize, 512u);
    QCOMPARE(Get32(d->diskInfo + 12), 1024u);
    QByteArray got(8 * 512, 0);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 1016, 8, 0); }), 0);
    QCOMPARE(got, testutil::sh(QString("dd if=%1 bs=512 skip=%2 count=8 status=none").arg(image).arg(16 + 1016)).out);
    QCOMPARE(Try([&] { ReadDeviceSectors(d, got.data(), 1020, 8, 0); }), -27);
    UnlockDevice(d);
    ShutdownVolumeLibrary();
    // A preset sector size is kept without asking the device.
    g_diskDriverData[0].sectorSize = 4096;
    QCOMPARE(Try([] { ReleaseFileSlot(ClaimFileSlot()); }), 0);
    QCOMPARE(d->sectorSize, 4096u);
    QCOMPARE(Get32(d->diskInfo + 12), 128u);
    LockDevice(d);
    QCOMPARE(Try([&] { GetSectorBuffer(d, 1, 0); }), -34);
    UnlockDevice(d);
    ShutdownVolumeLibrary();
    g_diskDriverData[0].sectorSize = 0;
}

QTEST_GUILESS_MAIN(TestDfsCache)
#include "tst_dfscache.moc"
