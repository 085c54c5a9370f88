// Partition tables, volume recognition and hostile geometry, FAT chains and
// the large-file rule, on disks built in memory.
#include <QtTest>

#include "dfstest.h"
#include "testutil.h"

using namespace dfstest;

namespace {
struct FatLayout {
    uint32_t clusters = 5000;
    uint32_t spc = 1;
    uint32_t fats = 2;
    uint32_t rootEntries = 512;
    uint32_t reserved = 4;
    int type = 16;       // which FAT the count should give
    uint32_t fatSize = 0;
    uint64_t total = 0;
};

// Writes a FAT boot sector at sector 0 of a whole-disk volume sized to fit.
void MakeFat(MemDiskData& disk, FatLayout& l, uint8_t spcByte = 0)
{
    const uint64_t entryBytes = l.type == 12 ? (uint64_t(l.clusters) + 2) * 3 / 2 + 1 : (uint64_t(l.clusters) + 2) * (l.type == 16 ? 2 : 4);
    l.fatSize = uint32_t((entryBytes + 511) / 512);
    const uint32_t rootSectors = l.type == 32 ? 0 : (l.rootEntries * 32 + 511) / 512;
    l.total = l.reserved + uint64_t(l.fats) * l.fatSize + rootSectors + uint64_t(l.clusters) * l.spc;
    disk.image.assign(size_t(l.total + 8) * 512, 0);
    uint8_t* s = disk.image.data();
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    std::memcpy(s + 3, "MSWIN4.1", 8);
    Put16(s + 11, 512);
    s[13] = spcByte ? spcByte : uint8_t(l.spc);
    Put16(s + 14, uint16_t(l.reserved));
    s[16] = uint8_t(l.fats);
    Put16(s + 17, uint16_t(l.type == 32 ? 0 : l.rootEntries));
    if (l.total < 65536)
        Put16(s + 19, uint16_t(l.total));
    else
        Put32(s + 32, uint32_t(l.total));
    s[21] = 0xF8;
    if (l.type == 32) {
        Put32(s + 36, l.fatSize);
        Put32(s + 44, 2);
        Put16(s + 48, 1);
        Put32(s + 67, 0xFEEDF00D);
    } else {
        Put16(s + 22, uint16_t(l.fatSize));
        Put32(s + 39, 0xFEEDF00D);
    }
    Put16(s + 510, 0xAA55);
    // Media bytes of the FAT and an end-of-chain root cluster on FAT32.
    uint8_t* fat = s + l.reserved * 512;
    Put32(fat, 0x0FFFFFF8);
    if (l.type == 32)
        Put32(fat + 8, 0x0FFFFFFF);
}

uint8_t* FatAt(MemDiskData& disk, const FatLayout& l)
{
    return disk.image.data() + l.reserved * 512;
}

// A 32-byte short entry in the first root directory sector.
void AddRootEntry(MemDiskData& disk, const FatLayout& l, int index, const char name11[12], uint8_t attr, uint32_t cluster, uint32_t size)
{
    const uint64_t root = l.type == 32 ? l.reserved + uint64_t(l.fats) * l.fatSize
                                       : l.reserved + uint64_t(l.fats) * l.fatSize;
    uint8_t* e = disk.image.data() + root * 512 + index * 32;
    std::memcpy(e, name11, 11);
    e[11] = attr;
    Put16(e + 20, uint16_t(cluster >> 16));
    Put16(e + 26, uint16_t(cluster));
    Put32(e + 28, size);
}

void SetFat16(MemDiskData& disk, const FatLayout& l, uint32_t cluster, uint16_t value)
{
    Put16(FatAt(disk, l) + cluster * 2, value);
}

void PutPartition(uint8_t* sector, int index, uint8_t type, uint32_t first, uint32_t count)
{
    uint8_t* e = sector + 446 + 16 * index;
    e[4] = type;
    Put32(e + 8, first);
    Put32(e + 12, count);
    Put16(sector + 510, 0xAA55);
}
}

class TestDfsVolume : public QObject {
    Q_OBJECT

private slots:
    void clusterCountGivesType_data();
    void clusterCountGivesType();
    void hostileFatGeometry_data();
    void hostileFatGeometry();
    void hostileExfatGeometry_data();
    void hostileExfatGeometry();
    void fsInfo_data();
    void fsInfo();
    void chains();
    void failedSeekAndRootAreaClaims();
    void largeFileRule_data();
    void largeFileRule();
    void partitions();
    void partitionLargerThanDisk();
    void shortNames_data();
    void shortNames();
    void longNameParts_data();
    void longNameParts();
    void extendedChain();
};

void TestDfsVolume::clusterCountGivesType_data()
{
    QTest::addColumn<uint>("clusters");
    QTest::addColumn<int>("type");
    QTest::newRow("4084") << 4084u << 12;
    QTest::newRow("4085") << 4085u << 16;
    QTest::newRow("65524") << 65524u << 16;
    QTest::newRow("65525") << 65525u << 32;
}

void TestDfsVolume::clusterCountGivesType()
{
    QFETCH(uint, clusters);
    QFETCH(int, type);
    MemDevices devs;
    FatLayout l;
    l.clusters = clusters;
    l.type = type;
    MakeFat(devs.disks[0], l);
    QCOMPARE(OpenVolumeFile("\\NOFILE"), -9);
    const DfsDrive& d = g_driveFsData.drives[2];
    QCOMPARE(d.fsId, type);
    QCOMPARE(d.clusterLimit, clusters + 2);
    QCOMPARE(d.bootSector, uint64_t(0));
    QCOMPARE(d.serial, 0xFEEDF00Du);
    // A whole-disk volume: no letters A and B for a disk.
    QVERIFY(!g_driveFsData.drives[0].device && !g_driveFsData.drives[1].device);
}

void TestDfsVolume::hostileFatGeometry_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("result");
    // field: 13 sectors-per-cluster byte, 11 bytes per sector, 14 reserved,
    // 16 FAT count, 22 FAT size, 19 total, 42 FAT32 version, 44 root cluster,
    // 40 mirroring, 1 disk shorter than the volume
    QTest::newRow("spc 0x88 = 256") << 13 << 0x88u << -9;
    QTest::newRow("spc 0x8F = 32768") << 13 << 0x8Fu << -9;
    QTest::newRow("spc 0x07") << 13 << 0x07u << -8;
    QTest::newRow("spc 0x00") << 13 << 0x00u << -8;
    QTest::newRow("spc 0x87") << 13 << 0x87u << -8;
    QTest::newRow("spc 0x90") << 13 << 0x90u << -8;
    // Not taken for a whole-disk boot sector at all: no volume.
    QTest::newRow("1024-byte sectors") << 11 << 1024u << -4;
    QTest::newRow("no reserved sectors") << 14 << 0u << -8;
    QTest::newRow("no FAT") << 16 << 0u << -4;
    QTest::newRow("three FATs") << 16 << 3u << -8;
    QTest::newRow("FAT size 0") << 22 << 0u << -8;
    QTest::newRow("FAT too small for the clusters") << 22 << 2u << -8;
    QTest::newRow("total below the overhead") << 19 << 20u << -8;
    QTest::newRow("volume longer than the disk") << 1 << 0u << -8;
    QTest::newRow("FAT32 version 1") << 42 << 1u << -8;
    QTest::newRow("FAT32 root cluster 0") << 44 << 0u << -8;
    QTest::newRow("FAT32 root beyond the volume") << 44 << 0x0FFFFFF0u << -8;
    QTest::newRow("FAT32 active FAT 3 of 2") << 40 << 0x83u << -8;
    QTest::newRow("FAT32 active FAT 1 of 2") << 40 << 0x81u << -9;
}

void TestDfsVolume::hostileFatGeometry()
{
    QFETCH(int, field);
    QFETCH(uint, value);
    QFETCH(int, result);
    MemDevices devs;
    FatLayout l;
    const bool fat32 = field == 42 || field == 44 || field == 40;
    if (fat32) {
        l.clusters = 70000;
        l.type = 32;
    }
    uint8_t spcByte = 0;
    if (field == 13 && (value & 0x80) && (value & 0x7F) >= 8 && (value & 0x7F) <= 15) {
        l.clusters = 100;
        l.type = 12;
        l.spc = 1u << (value & 0x7F);
        spcByte = uint8_t(value);
        if (l.spc > 256) {
            // 32768 sectors per cluster: a few clusters are enough.
            l.clusters = 3;
        }
    }
    MakeFat(devs.disks[0], l, spcByte);
    uint8_t* s = devs.disks[0].image.data();
    switch (field) {
    case 13: s[13] = uint8_t(value); break;
    case 11: case 14: case 22: case 42: Put16(s + field, uint16_t(value)); break;
    case 16: case 40: s[field] = uint8_t(value); break;
    case 19: Put16(s + 19, uint16_t(value)); Put32(s + 32, 0); break;
    case 44: Put32(s + 44, value); break;
    case 1: devs.disks[0].image.resize(size_t(l.total - 1) * 512); break;
    }
    QCOMPARE(OpenVolumeFile("C:\\NOFILE"), result);
    if (field == 13 && result == -9)
        QCOMPARE(g_driveFsData.drives[2].sectorsPerCluster, l.spc);
    if (field == 40 && result == -9) {
        QCOMPARE(g_driveFsData.drives[2].fatCount, 1u);
        QCOMPARE(g_driveFsData.drives[2].firstFatSector, uint64_t(l.reserved + l.fatSize));
    }
}

void TestDfsVolume::hostileExfatGeometry_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("width");
    QTest::addColumn<quint64>("value");
    QTest::addColumn<int>("result");
    QTest::newRow("intact") << 0 << 0 << quint64(0) << -9;
    QTest::newRow("sector shift 8") << 108 << 1 << quint64(8) << -8;
    QTest::newRow("sector shift 13") << 108 << 1 << quint64(13) << -8;
    QTest::newRow("sector shift 12 on a 512 disk") << 108 << 1 << quint64(12) << -34;
    QTest::newRow("cluster shift 30") << 109 << 1 << quint64(30) << -8;
    QTest::newRow("cluster shift 23") << 109 << 1 << quint64(23) << -8;
    QTest::newRow("FAT offset 0") << 80 << 4 << quint64(0) << -8;
    QTest::newRow("FAT length 0") << 84 << 4 << quint64(0) << -8;
    QTest::newRow("heap inside the FAT") << 88 << 4 << quint64(30) << -8;
    QTest::newRow("cluster count 0") << 92 << 4 << quint64(0) << -8;
    QTest::newRow("cluster count huge") << 92 << 4 << quint64(0xFFFFFFF0) << -8;
    QTest::newRow("root cluster 1") << 96 << 4 << quint64(1) << -8;
    QTest::newRow("root cluster beyond") << 96 << 4 << quint64(100000) << -8;
    QTest::newRow("volume longer than its partition") << 72 << 8 << quint64(9000) << -8;
    QTest::newRow("active FAT 2 with one FAT") << 106 << 2 << quint64(1) << -8;
    QTest::newRow("no FATs") << 110 << 1 << quint64(0) << -8;
    QTest::newRow("NTFS") << 3 << -1 << quint64(0) << -8;
}

void TestDfsVolume::hostileExfatGeometry()
{
    QFETCH(int, offset);
    QFETCH(int, width);
    QFETCH(quint64, value);
    QFETCH(int, result);
    const QByteArray& image = CommittedExfatImage();
    QVERIFY(!image.isEmpty());
    MemDevices devs;
    devs.disks[0].image.assign(image.begin(), image.end());
    uint8_t* bs = devs.disks[0].image.data() + 2048 * 512;
    if (width == 1)
        bs[offset] = uint8_t(value);
    else if (width == 2)
        Put16(bs + offset, uint16_t(value));
    else if (width == 4)
        Put32(bs + offset, uint32_t(value));
    else if (width == 8)
        Put32(bs + offset, uint32_t(value)), Put32(bs + offset + 4, uint32_t(value >> 32));
    else if (width == -1)
        std::memcpy(bs + 3, "NTFS    ", 8);
    QCOMPARE(OpenVolumeFile("C:\\nofile"), result);
    QCOMPARE(ClaimedFileSlots(), 0);
}

void TestDfsVolume::fsInfo_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<bool>("signature");
    QTest::addColumn<int>("freeCount");
    QTest::addColumn<uint>("hint");
    QTest::newRow("no FSInfo") << 0xFFFF << true << -1 << 2u;
    QTest::newRow("wrong signature") << 1 << false << -1 << 3u;
    QTest::newRow("valid") << 1 << true << 1234 << 77u;
    QTest::newRow("outside the reserved area") << 9 << true << -1 << 2u;
}

void TestDfsVolume::fsInfo()
{
    QFETCH(int, field);
    QFETCH(bool, signature);
    QFETCH(int, freeCount);
    QFETCH(uint, hint);
    MemDevices devs;
    FatLayout l;
    l.clusters = 70000;
    l.type = 32;
    MakeFat(devs.disks[0], l);
    uint8_t* s = devs.disks[0].image.data();
    Put16(s + 48, uint16_t(field));
    uint8_t* fi = s + 512 * (field == 9 ? 9 : 1);
    if (signature) {
        std::memcpy(fi, "RRaA", 4);
        std::memcpy(fi + 484, "rrAa", 4);
        Put32(fi + 508, 0xAA550000u);
    }
    Put32(fi + 488, 1234);
    Put32(fi + 492, 77);
    QCOMPARE(OpenVolumeFile("\\NOFILE"), -9);
    QCOMPARE(g_driveFsData.drives[2].freeCount, freeCount);
    QCOMPARE(g_driveFsData.drives[2].nextFree, hint);
}

void TestDfsVolume::chains()
{
    MemDevices devs;
    FatLayout l;
    MakeFat(devs.disks[0], l);
    MemDiskData& disk = devs.disks[0];
    // 5 -> 6 -> 7 -> 5 loops; 10 holds the value 1; 20 -> beyond the volume;
    // 50 -> 51 -> a free cluster.
    SetFat16(disk, l, 5, 6);
    SetFat16(disk, l, 6, 7);
    SetFat16(disk, l, 7, 5);
    SetFat16(disk, l, 10, 1);
    SetFat16(disk, l, 20, 21);
    SetFat16(disk, l, 21, 60000);
    SetFat16(disk, l, 50, 51);
    SetFat16(disk, l, 51, 52);
    SetFat16(disk, l, 52, 0);
    // 30 .. 33 a chain; a file claiming more than its chain holds.
    for (uint16_t c = 30; c < 33; ++c)
        SetFat16(disk, l, c, uint16_t(c + 1));
    SetFat16(disk, l, 33, 0xFFFF);
    // A folder whose chain loops: 40 -> 41 -> 40.
    SetFat16(disk, l, 40, 41);
    SetFat16(disk, l, 41, 40);
    AddRootEntry(disk, l, 0, "LOOP    BIN", 0x20, 5, 3000000);
    AddRootEntry(disk, l, 1, "SHORT   BIN", 0x20, 30, 10000);
    AddRootEntry(disk, l, 2, "LOOPDIR    ", 0x10, 40, 0);
    AddRootEntry(disk, l, 3, "BADCLUS BIN", 0x20, 1, 10);
    AddRootEntry(disk, l, 4, "ONE     BIN", 0x20, 10, 5000);
    QCOMPARE(OpenVolumeFile("\\NOFILE"), -9);
    DfsDrive* vol = &g_driveFsData.drives[2];
    LockDevice(vol->device);
    uint32_t n = 0;
    QCOMPARE(Try([&] { CountChainClusters(vol, 5); }), -20);
    QCOMPARE(Try([&] { GetClusterValue(vol, 10); }), -20);
    QCOMPARE(Try([&] { GetClusterValue(vol, 0); }), -20);
    QCOMPARE(Try([&] { GetClusterValue(vol, l.clusters + 2); }), -20);
    // A link past the volume's clusters or into a free cluster cuts the
    // chain: an error, never a quiet end.
    QCOMPARE(Try([&] { n = GetClusterValue(vol, 21); }), -20);
    QCOMPARE(Try([&] { n = CountChainClusters(vol, 20); }), -20);
    QCOMPARE(Try([&] { n = GetClusterValue(vol, 52); }), 0);
    QCOMPARE(n, 0u);
    QCOMPARE(Try([&] { n = CountChainClusters(vol, 50); }), -20);
    QCOMPARE(Try([&] {
        DirCursor cut;
        for (uint8_t* e = OpenDirCursor(vol, 50, 0, &cut); e; e = NextDirEntry(vol, &cut)) {
        }
    }), -20);
    QCOMPARE(Try([&] { n = CountChainClusters(vol, 30); }), 0);
    QCOMPARE(n, 4u);
    QCOMPARE(Try([&] { OpenDirCursor(vol, 1, 0, nullptr); }), -39);
    // A folder whose chain loops ends quietly.
    DirCursor cursor;
    int entries = 0;
    QCOMPARE(Try([&] {
        for (uint8_t* e = OpenDirCursor(vol, 40, 0, &cursor); e; e = NextDirEntry(vol, &cursor))
            ++entries;
    }), 0);
    // Two rounds of the loop before the check cluster meets it.
    QCOMPARE(entries, 64);
    UnlockDevice(vol->device);
    // A looping file fails where its chain comes back to a cluster it
    // already holds (5, 6, 7, then 5 again), never reading 5 as its fourth
    // cluster; a short chain fails too.
    QByteArray buf(3000000, 0);
    uint32_t got = 0;
    int32_t h = OpenVolumeFile("\\LOOP.BIN");
    QVERIFY(h > 0);
    QCOMPARE(ReadVolumeFile(h, buf.data(), 3000000, &got), -20);
    QCOMPARE(got, 3u * 512);
    VolumeFileInfo info;
    QCOMPARE(GetVolumeFileInfo(h, &info), 0);
    QCOMPARE(info.position, uint64_t(got));
    int64_t pos = 2999999;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), -20);
    QCOMPARE(CloseVolumeFile(h), 0);
    h = OpenVolumeFile("\\SHORT.BIN");
    QCOMPARE(ReadVolumeFile(h, buf.data(), 10000, &got), -20);
    QCOMPARE(got, 2048u);
    QCOMPARE(CloseVolumeFile(h), 0);
    QCOMPARE(OpenVolumeFile("\\LOOPDIR"), -20);
    QCOMPARE(OpenVolumeFile("\\LOOPDIR\\X"), -9);
    h = OpenVolumeFile("\\BADCLUS.BIN");
    QVERIFY(h > 0);
    QCOMPARE(ReadVolumeFile(h, buf.data(), 10, &got), -20);
    QCOMPARE(CloseVolumeFile(h), 0);
    h = OpenVolumeFile("\\ONE.BIN");
    // The run ahead is looked up before the transfer: the value 1 stops it.
    QCOMPARE(ReadVolumeFile(h, buf.data(), 5000, &got), -20);
    QCOMPARE(got, 0u);
    QCOMPARE(CloseVolumeFile(h), 0);
}

void TestDfsVolume::failedSeekAndRootAreaClaims()
{
    MemDevices devs;
    FatLayout l;
    MakeFat(devs.disks[0], l);
    MemDiskData& disk = devs.disks[0];
    // CHAIN.BIN: clusters 100 .. 399 in order, each 32-bit word holding its
    // offset in the file. Entries from cluster 256 on lie in the FAT's second sector.
    const uint64_t firstData = l.reserved + uint64_t(l.fats) * l.fatSize + (l.rootEntries * 32 + 511) / 512;
    for (uint32_t c = 100; c < 400; ++c) {
        SetFat16(disk, l, c, uint16_t(c == 399 ? 0xFFFF : c + 1));
        for (uint32_t w = 0; w < 128; ++w)
            Put32(disk.image.data() + (firstData + c - 2) * 512 + w * 4, (c - 100) * 512 + w * 4);
    }
    AddRootEntry(disk, l, 0, "CHAIN   BIN", 0x20, 100, 300 * 512);
    // A file whose cluster field names the root area, and a folder doing the same.
    AddRootEntry(disk, l, 1, "ROOTAREABIN", 0x20, 0xFFFFFFFFu, 1000000);
    AddRootEntry(disk, l, 2, "ROOTDIR    ", 0x10, 0xFFFFFFFFu, 0);
    uint8_t word[4];
    uint32_t got = 0;
    const int32_t h = OpenVolumeFile("\\CHAIN.BIN");
    QVERIFY(h > 0);
    int64_t pos = 1000;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    disk.failCode = -18;
    disk.failSector = l.reserved + 1;
    // The chain check of the first step read the whole FAT: forget it, so
    // that the walk meets the failing sector.
    LockDevice(&devs.list[0]);
    InvalidateDeviceBuffers(&devs.list[0]);
    UnlockDevice(&devs.list[0]);
    pos = 200 * 512 + 4;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), -18);
    // The handle stays where it was and reads the bytes found there.
    VolumeFileInfo info;
    QCOMPARE(GetVolumeFileInfo(h, &info), 0);
    QCOMPARE(info.position, uint64_t(1000));
    QCOMPARE(ReadVolumeFile(h, word, 4, &got), 0);
    QCOMPARE(got, 4u);
    QCOMPARE(Get32(word), 1000u);
    disk.failCode = 0;
    pos = 200 * 512 + 4;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    QCOMPARE(ReadVolumeFile(h, word, 4, &got), 0);
    QCOMPARE(Get32(word), uint32_t(200 * 512 + 4));
    // A position past what 64 bits hold is too large, not negative.
    pos = INT64_MAX;
    QCOMPARE(SeekVolumeFile(h, &pos, 1), -38);
    QCOMPARE(GetVolumeFileInfo(h, &info), 0);
    QCOMPARE(info.position, uint64_t(200 * 512 + 8));
    QCOMPARE(CloseVolumeFile(h), 0);

    // Only a folder reads the root area; a file claiming it has no clusters.
    QByteArray buf(1000000, 0);
    const int32_t r = OpenVolumeFile("\\ROOTAREA.BIN");
    QVERIFY(r > 0);
    QCOMPARE(ReadVolumeFile(r, buf.data(), uint32_t(buf.size()), &got), -20);
    QCOMPARE(got, 0u);
    QCOMPARE(CloseVolumeFile(r), 0);
    const int32_t d = OpenVolumeFile("\\ROOTDIR");
    QVERIFY(d > 0);
    QCOMPARE(ReadVolumeFile(d, buf.data(), uint32_t(buf.size()), &got), 0);
    QCOMPARE(got, l.rootEntries * 32);
    QCOMPARE(buf.left(11), QByteArray("CHAIN   BIN"));
    QCOMPARE(CloseVolumeFile(d), 0);
}

void TestDfsVolume::largeFileRule_data()
{
    QTest::addColumn<int>("byte13");
    QTest::addColumn<uint>("created");
    QTest::addColumn<quint64>("size");
    QTest::newRow("tenths below 200") << 150 << 0u << quint64(1000);
    QTest::newRow("byte 13 = 200") << 200 << 0x12345660u << (quint64(1) << 32) + 1000;
    QTest::newRow("byte 13 = 255") << 255 << 0u << (quint64(56) << 32) + 1000;
    QTest::newRow("marker, byte 13 = 3") << 3 << 0x1Eu << (quint64(3) << 32) + 1000;
    QTest::newRow("marker, byte 13 = 255") << 255 << 0x1Eu << (quint64(255) << 32) + 1000;
}

void TestDfsVolume::largeFileRule()
{
    QFETCH(int, byte13);
    QFETCH(uint, created);
    QFETCH(quint64, size);
    uint8_t e[32] = {'A'};
    e[13] = uint8_t(byte13);
    Put32(e + 14, created);
    Put32(e + 28, 1000);
    QCOMPARE(quint64(EntryFileSize(e)), size);
    uint8_t x[32] = {0};
    Put32(x + 28, 7);
    Put32(x + 2, 9);
    QCOMPARE(quint64(EntryFileSize(x)), (quint64(9) << 32) + 7);
}

void TestDfsVolume::partitions()
{
    struct Case {
        const char* name;
        uint8_t type;
        int result;
    };
    for (const Case& c : {Case {"exFAT partition", 7, -9}, Case {"Linux partition only", 0x83, -4}}) {
        MemDevices devs(1, 1);
        const QByteArray& image = CommittedExfatImage();
        QVERIFY(!image.isEmpty());
        devs.disks[0].image.assign(image.begin(), image.end());
        devs.disks[0].image[446 + 4] = c.type;
        QCOMPARE(OpenVolumeFile("\\nofile"), c.result);
        if (c.result == -9) {
            QCOMPARE(g_driveFsData.drives[2].bootSector, uint64_t(2048));
            QVERIFY(!g_driveFsData.drives[0].device && !g_driveFsData.drives[1].device);
            // The raw volume of C is a partition; D has no volume.
            const int32_t raw = OpenVolumeFile("\\\\.\\c:");
            QVERIFY(raw > 0);
            QCOMPARE(g_driveFsData.files[raw & 0xFFFF].rawMode, int(RAW_VOLUME));
            QCOMPARE(QByteArray(g_driveFsData.files[raw & 0xFFFF].path), QByteArray("\\\\.\\C:"));
            QCOMPARE(CloseVolumeFile(raw), 0);
            QCOMPARE(OpenVolumeFile("\\\\.\\D:"), -4);
            QCOMPARE(OpenVolumeFile("\\\\.\\I:"), -4);
        }
    }
    // Overlapping entries and no boot sector: a corrupt table, no volumes.
    MemDevices devs(1, 5000);
    uint8_t* mbr = devs.disks[0].image.data();
    std::memset(mbr, 0, 512);
    PutPartition(mbr, 0, 6, 100, 1000);
    PutPartition(mbr, 1, 6, 500, 1000);
    QCOMPARE(OpenVolumeFile("\\nofile"), -4);
    QVERIFY(!g_driveFsData.drives[2].device);
}

// A partition entry claiming more sectors than the disk holds is cut to the
// disk: its raw volume never reports a size the disk cannot hold, and the
// file system inside still mounts. One starting past the disk's end is empty.
void TestDfsVolume::partitionLargerThanDisk()
{
    const QByteArray& image = CommittedExfatImage();
    QVERIFY(!image.isEmpty());
    const uint64_t diskSectors = uint64_t(image.size()) / 512;
    struct Case {
        uint32_t first;
        uint32_t count;
        uint64_t rawSize;
        bool mounts;
    };
    for (const Case& c : {Case {2048, 0xFFFFFFFFu, (diskSectors - 2048) * 512, true},
                          Case {2048, uint32_t(diskSectors), (diskSectors - 2048) * 512, true},
                          Case {2048, uint32_t(diskSectors - 2048), (diskSectors - 2048) * 512, true},
                          Case {uint32_t(diskSectors) + 10, 1000, 0, false}}) {
        MemDevices devs(1, 1);
        devs.disks[0].image.assign(image.begin(), image.end());
        Put32(devs.disks[0].image.data() + 446 + 8, c.first);
        Put32(devs.disks[0].image.data() + 446 + 12, c.count);
        const int32_t raw = OpenVolumeFile("\\\\.\\C:");
        QVERIFY(raw > 0);
        VolumeFileInfo info;
        QCOMPARE(GetVolumeFileInfo(raw, &info), c.mounts ? 0 : int(DFS_E_SECTOR_NOT_FOUND));
        if (c.mounts)
            QCOMPARE(info.size, c.rawSize);
        QCOMPARE(CloseVolumeFile(raw), 0);
        QCOMPARE(Get32(g_driveFsData.drives[2].partition + 12), uint32_t(c.rawSize / 512));
        const int32_t h = OpenVolumeFile("C:\\s513.bin");
        if (c.mounts) {
            QVERIFY(h > 0);
            QCOMPARE(ReadAll(h, 100).size(), 513);
            QCOMPARE(CloseVolumeFile(h), 0);
        } else {
            QVERIFY(h < 0);
        }
    }
}

void TestDfsVolume::extendedChain()
{
    MemDevices devs(1, 20000);
    uint8_t* disk = devs.disks[0].image.data();
    std::memset(disk, 0, 512);
    PutPartition(disk, 0, 6, 2048, 1000);
    PutPartition(disk, 1, 5, 10000, 8000);
    PutPartition(disk, 2, 0x0C, 4000, 1000);
    // First record: a logical volume, then a link to the next record.
    uint8_t* ebr1 = disk + 10000 * 512;
    std::memset(ebr1, 0, 512);
    PutPartition(ebr1, 0, 6, 100, 500);
    PutPartition(ebr1, 1, 5, 2000, 1000);
    // Second record: a logical volume and a link back to the first.
    uint8_t* ebr2 = disk + 12000 * 512;
    std::memset(ebr2, 0, 512);
    PutPartition(ebr2, 0, 6, 100, 500);
    PutPartition(ebr2, 1, 5, 1000, 1000);
    devs.Start();
    const DfsDrive* d = g_driveFsData.drives;
    // C: first primary; D, E: logical volumes found before the bad link; F: second primary.
    QCOMPARE(d[2].bootSector, uint64_t(2048));
    QCOMPARE(d[3].bootSector, uint64_t(10100));
    QCOMPARE(d[4].bootSector, uint64_t(12100));
    QCOMPARE(d[5].bootSector, uint64_t(4000));
    QVERIFY(!d[6].device);
    for (int i = 2; i <= 5; ++i)
        QCOMPARE(d[i].state, 2);
}

void TestDfsVolume::shortNames_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("attr");
    QTest::addColumn<int>("caseFlags");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("plain") << QByteArray("README  TXT") << 0x20 << 0 << QByteArray("README.TXT");
    QTest::newRow("both lower") << QByteArray("README  TXT") << 0x20 << 0x18 << QByteArray("readme.txt");
    QTest::newRow("name lower") << QByteArray("README  TXT") << 0x20 << 0x08 << QByteArray("readme.TXT");
    QTest::newRow("no extension") << QByteArray("MAKEFILE   ") << 0x20 << 0x18 << QByteArray("makefile");
    QTest::newRow("CP437 lower") << QByteArray("\x9A" "BER    TXT") << 0x20 << 0x18 << QByteArray("\x81" "ber.txt");
    QTest::newRow("leading 0x05") << QByteArray("\x05" "BC     DAT") << 0x20 << 0 << QByteArray("\xE5" "BC.DAT");
    QTest::newRow("volume label") << QByteArray("T9PW DRIVE1") << 0x08 << 0x18 << QByteArray("T9PW DRIVE1");
    QTest::newRow("empty entry") << QByteArray("\0" "          ", 11) << 0x20 << 0 << QByteArray("-3");
    QTest::newRow("blank name") << QByteArray("        TXT") << 0x20 << 0 << QByteArray("-3");
}

void TestDfsVolume::shortNames()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, attr);
    QFETCH(int, caseFlags);
    QFETCH(QByteArray, text);
    uint8_t e[32] = {};
    std::memcpy(e, raw.constData(), 11);
    e[11] = uint8_t(attr);
    e[12] = uint8_t(caseFlags);
    char out[13];
    const int32_t r = ShortNameToText(e, out, sizeof out);
    if (text.startsWith('-')) {
        QCOMPARE(r, text.toInt());
        return;
    }
    QCOMPARE(QByteArray(out), text);
    QCOMPARE(r, text.size());
    char tiny[5];
    QCOMPARE(ShortNameToText(e, tiny, sizeof tiny), -17);
}

namespace {
// Long-name parts (last part first, as stored) for a 13-character name, then its short entry.
void AddLongName(MemDiskData& disk, const FatLayout& l, int index, const char* name13x2, uint8_t checksum, bool swap)
{
    const uint64_t root = l.reserved + uint64_t(l.fats) * l.fatSize;
    uint8_t* base = disk.image.data() + root * 512 + index * 32;
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int part = 0; part < 2; ++part) {
        const int seq = 2 - part;
        uint8_t* e = base + 32 * (swap ? 1 - part : part);
        e[0] = uint8_t(seq | (seq == 2 ? 0x40 : 0));
        e[11] = 0x0F;
        e[13] = checksum;
        for (int i = 0; i < 13; ++i)
            Put16(e + offsets[i], uint8_t(name13x2[(seq - 1) * 13 + i]));
    }
}
}

void TestDfsVolume::longNameParts_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("longResult");
    QTest::newRow("intact") << 0 << 1;
    QTest::newRow("wrong checksum") << 1 << -9;
    QTest::newRow("parts out of order") << 2 << -9;
}

void TestDfsVolume::longNameParts()
{
    QFETCH(int, fault);
    QFETCH(int, longResult);
    MemDevices devs;
    FatLayout l;
    MakeFat(devs.disks[0], l);
    const char* name = "Twenty six character name!";   // 26 characters: two parts
    const char shortName[12] = "TWENTY~1   ";
    uint8_t sum = FatLongNameChecksum(reinterpret_cast<const uint8_t*>(shortName));
    AddLongName(devs.disks[0], l, 0, name, fault == 1 ? uint8_t(sum + 1) : sum, fault == 2);
    AddRootEntry(devs.disks[0], l, 2, shortName, 0x20, 0, 0);
    const int32_t viaLong = OpenVolumeFile("\\twenty SIX character name!");
    if (longResult > 0) {
        QVERIFY2(viaLong > 0, GetErrorText(viaLong));
        QCOMPARE(CloseVolumeFile(viaLong), 0);
    } else {
        QCOMPARE(viaLong, longResult);
    }
    // The short name matches whatever happened to the long one.
    const int32_t viaShort = OpenVolumeFile("\\twenty~1");
    QVERIFY(viaShort > 0);
    QCOMPARE(CloseVolumeFile(viaShort), 0);
}

QTEST_GUILESS_MAIN(TestDfsVolume)
#include "tst_dfsvolume.moc"
