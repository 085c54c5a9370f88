// FAT12/16/32 images made by mkfs.vfat and filled by mtools, read back
// through the library and compared with what mtools reads.
#include <QtTest>

#include "dfstest.h"
#include "testutil.h"

using namespace dfstest;

class TestDfsFat : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyFileMatchesMcopy_data();
    void everyFileMatchesMcopy();
    void namesAndPaths_data();
    void namesAndPaths();
    void seeksAndSplitReads();
    void handles();
    void directoriesAndRawVolume();
    void concurrentReaders();

private:
    QTemporaryDir m_dir;
    QString image(const QString& kind) const { return m_dir.filePath(kind + ".img"); }
    bool m_haveImages = false;
};

void TestDfsFat::initTestCase()
{
    const QString missing = MissingTool({"mkfs.vfat", "mcopy", "minfo", "sfdisk"});
    if (!missing.isEmpty())
        QSKIP(qPrintable("missing tool: " + missing));
    const QByteArray error = MakeFatImages(m_dir.path());
    QVERIFY2(error.isEmpty(), error.constData());
    m_haveImages = true;
}

void TestDfsFat::cleanupTestCase()
{
    ShutdownVolumeLibrary();
}

void TestDfsFat::everyFileMatchesMcopy_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("fsId");
    QTest::newRow("FAT12") << "fat12" << int(FS_FAT12);
    QTest::newRow("FAT16") << "fat16" << int(FS_FAT16);
    QTest::newRow("FAT32") << "fat32" << int(FS_FAT32);
}

void TestDfsFat::everyFileMatchesMcopy()
{
    QFETCH(QString, kind);
    QFETCH(int, fsId);
    UseDiskImage(image(kind));
    const QString mimage = image(kind) + "@@1M";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    const QList<ManifestEntry> files = LoadManifest(m_dir.filePath(kind + ".manifest"));
    QVERIFY(files.size() >= 14);
    for (const ManifestEntry& e : files) {
        testutil::RunResult m = testutil::run("mcopy", {"-n", "-i", mimage, "::/" + e.path, "-"}, 60000, {}, env);
        QVERIFY2(m.ok(), qPrintable(e.path));
        QCOMPARE(Sha256(m.out), e.sha256);
        const int32_t h = OpenVolumeFile(LibraryPath(e.path).constData());
        QVERIFY2(h > 0, qPrintable(QString("%1: %2").arg(e.path).arg(GetErrorText(h))));
        VolumeFileInfo info;
        QCOMPARE(GetVolumeFileInfo(h, &info), 0);
        QCOMPARE(qint64(info.size), e.size);
        QCOMPARE(info.fragments, 0u);
        for (uint32_t chunk : {1u, 100u, 511u, 4096u, 200000u}) {
            if (chunk == 1 && e.size > 20000)
                continue;
            int64_t zero = 0;
            QCOMPARE(SeekVolumeFile(h, &zero, 0), 0);
            int32_t result = 1;
            QByteArray got = ReadAll(h, chunk, &result);
            QCOMPARE(result, 0);
            QVERIFY2(got == m.out, qPrintable(QString("%1 in pieces of %2").arg(e.path).arg(chunk)));
        }
        QCOMPARE(CloseVolumeFile(h), 0);
    }
    // The cluster runs of the library's chain walk are the ones mshowfat shows.
    for (const char* name : {"frag.bin", "big.bin", "Dir1"}) {
        const int32_t h = OpenVolumeFile((QByteArray("\\") + name).constData());
        QVERIFY(h > 0);
        DfsFile* slot = &g_driveFsData.files[h & 0xFFFF];
        DfsDrive* vol = slot->drive;
        QStringList runs;
        LockDevice(vol->device);
        QCOMPARE(Try([&] {
            uint32_t c = EntryFirstCluster(slot->entry), start = c;
            for (;;) {
                const uint32_t next = GetClusterValue(vol, c);
                if (next != c + 1) {
                    runs << (start == c ? QString("<%1>").arg(c) : QString("<%1-%2>").arg(start).arg(c));
                    start = next;
                }
                if (next < 2 || next >= kEndOfChain)
                    break;
                c = next;
            }
        }), 0);
        UnlockDevice(vol->device);
        QCOMPARE(CloseVolumeFile(h), 0);
        testutil::RunResult fat = testutil::run("mshowfat", {"-i", mimage, QString("::/") + name}, 60000, {}, env);
        QVERIFY(fat.ok());
        const QString shown = QString::fromLatin1(fat.out).section(' ', 1).trimmed();
        QCOMPARE(runs.join(' '), shown);
        if (QByteArray(name) == "frag.bin")
            QVERIFY2(runs.size() > 1, "frag.bin should be fragmented");
    }
    // The type the library recognised is the one minfo names.
    testutil::RunResult mi = testutil::run("minfo", {"-i", mimage, "::"}, 60000, {}, env);
    QVERIFY(mi.ok());
    const int at = mi.out.indexOf("disk type=\"FAT");
    QVERIFY(at >= 0);
    QCOMPARE(mi.out.mid(at + 14, 2).toInt(), fsId);
    QCOMPARE(g_driveFsData.drives[2].fsId, fsId);
    QCOMPARE(g_driveFsData.drives[2].state, 4);
}

void TestDfsFat::namesAndPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("same");
    QTest::addColumn<int>("result");
    QTest::newRow("long name") << "\\A long file name with spaces.txt" << "" << 1;
    QTest::newRow("its short alias") << "\\ALONGF~1.TXT" << "\\A long file name with spaces.txt" << 1;
    QTest::newRow("long name in other case") << "\\a LONG file NAME with spaces.TXT" << "\\A long file name with spaces.txt" << 1;
    QTest::newRow("lower-case short name asked in capitals") << "C:\\LOWER.TXT" << "\\lower.txt" << 1;
    QTest::newRow("drive letter, forward slashes") << "c:/Dir1/Dir2/nested file.dat" << "\\Dir1\\Dir2\\nested file.dat" << 1;
    QTest::newRow("dot and dot-dot") << "\\Dir1\\.\\Dir2\\..\\UPPER.TXT" << "\\Dir1\\UPPER.TXT" << 1;
    QTest::newRow("relative to the root") << "  Dir1\\UPPER.TXT" << "\\Dir1\\UPPER.TXT" << 1;
    QTest::newRow("missing file") << "\\nothere.txt" << "" << -9;
    QTest::newRow("missing folder") << "\\nofolder\\x.txt" << "" << -19;
    QTest::newRow("file used as folder") << "\\lower.txt\\x" << "" << -19;
    QTest::newRow("drive beyond H") << "I:\\lower.txt" << "" << -4;
    QTest::newRow("drive without volume") << "D:\\lower.txt" << "" << -4;
    QTest::newRow("name too long") << "\\" + QString(300, 'x') << "" << -3;
}

void TestDfsFat::namesAndPaths()
{
    QFETCH(QString, path);
    QFETCH(QString, same);
    QFETCH(int, result);
    UseDiskImage(image("fat16"));
    const int32_t h = OpenVolumeFile(path.toLatin1().constData());
    if (result < 0) {
        QCOMPARE(h, result);
        // Nothing stays claimed after a failed open.
        QCOMPARE(ClaimedFileSlots(), 0);
        return;
    }
    QVERIFY2(h > 0, GetErrorText(h));
    QByteArray a = ReadAll(h, 4096);
    QVERIFY(!a.isEmpty());
    QCOMPARE(CloseVolumeFile(h), 0);
    if (!same.isEmpty()) {
        const int32_t h2 = OpenVolumeFile(same.toLatin1().constData());
        QVERIFY(h2 > 0);
        QCOMPARE(ReadAll(h2, 4096), a);
        QCOMPARE(CloseVolumeFile(h2), 0);
    }
}

void TestDfsFat::seeksAndSplitReads()
{
    UseDiskImage(image("fat16"));
    const QList<ManifestEntry> files = LoadManifest(m_dir.filePath("fat16.manifest"));
    const int32_t h = OpenVolumeFile("\\big.bin");
    QVERIFY(h > 0);
    const QByteArray all = ReadAll(h, 1 << 20);
    QCOMPARE(all.size(), 150 * 1024 + 77);
    // Pieces that start and end inside sectors and clusters, across both.
    const struct { int64_t at; uint32_t n; } reads[] = {
        {0, 4}, {12, 4}, {510, 4}, {511, 1}, {512, 512}, {100, 65536}, {2047, 2}, {2040, 4100},
        {4096, 8192}, {1000, 100000}, {all.size() - 10, 200}, {all.size(), 5}, {3, 0},
    };
    for (const auto& r : reads) {
        int64_t pos = r.at;
        QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
        QCOMPARE(pos, r.at);
        QByteArray buf(int(r.n) + 1, 0);
        uint32_t got = 99;
        QCOMPARE(ReadVolumeFile(h, buf.data(), r.n, &got), 0);
        const QByteArray want = all.mid(int(r.at), int(r.n));
        QCOMPARE(int(got), want.size());
        QCOMPARE(buf.left(int(got)), want);
        VolumeFileInfo info;
        QCOMPARE(GetVolumeFileInfo(h, &info), 0);
        QCOMPARE(int64_t(info.position), r.at + int64_t(got));
    }
    // Read without a count pointer, seek from the current position and the end.
    int64_t pos = 12;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    char four[4];
    QCOMPARE(ReadVolumeFile(h, four, 4, nullptr), 0);
    QCOMPARE(QByteArray(four, 4), all.mid(12, 4));
    pos = -6;
    QCOMPARE(SeekVolumeFile(h, &pos, 1), 0);
    QCOMPARE(pos, int64_t(10));
    pos = -1;
    QCOMPARE(SeekVolumeFile(h, &pos, 2), 0);
    QCOMPARE(pos, int64_t(all.size() - 1));
    // At the end, past it, before the start, a bad origin, too far.
    pos = all.size();
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    pos = all.size() + 1;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), -15);
    pos = -1;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), -15);
    pos = 0;
    QCOMPARE(SeekVolumeFile(h, &pos, 3), -2);
    pos = int64_t(256) << 32;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), -38);
    // Backwards within a cluster and beyond it.
    for (int64_t at : {int64_t(150000), int64_t(149990), int64_t(70), int64_t(5000)}) {
        pos = at;
        QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
        char c[3];
        uint32_t got = 0;
        QCOMPARE(ReadVolumeFile(h, c, 3, &got), 0);
        QCOMPARE(QByteArray(c, 3), all.mid(int(at), 3));
    }
    QCOMPARE(CloseVolumeFile(h), 0);

    // The fragmented file reads whole in small pieces too.
    const int32_t f = OpenVolumeFile("\\frag.bin");
    QVERIFY(f > 0);
    const QByteArray frag = ReadAll(f, 3000);
    for (const ManifestEntry& e : files)
        if (e.path == "frag.bin")
            QCOMPARE(Sha256(frag), e.sha256);
    QCOMPARE(CloseVolumeFile(f), 0);
}

void TestDfsFat::handles()
{
    UseDiskImage(image("fat12"));
    QList<int32_t> open;
    for (int i = 0; i < 8; ++i) {
        const int32_t h = OpenVolumeFile("\\s512.bin");
        QVERIFY(h > 0);
        QCOMPARE((h >> 16) & 1, 1);
        open << h;
    }
    QCOMPARE(OpenVolumeFile("\\s511.bin"), -5);
    QCOMPARE(CloseVolumeFile(open.takeLast()), 0);
    const int32_t again = OpenVolumeFile("\\s511.bin");
    QVERIFY(again > 0);
    open << again;
    QCOMPARE(CloseAllVolumeFiles(), 8);
    char b[4];
    uint32_t got = 9;
    QCOMPARE(ReadVolumeFile(again, b, 4, &got), -10);
    QCOMPARE(got, 0u);
    QCOMPARE(CloseVolumeFile(again), -10);
    QCOMPARE(CloseVolumeFile(0), -10);
    QCOMPARE(CloseVolumeFile(-5), -10);
    QCOMPARE(CloseVolumeFile(0x10009), -10);
    // Same slot, new serial.
    const int32_t h1 = OpenVolumeFile("\\s511.bin");
    QCOMPARE(CloseVolumeFile(h1), 0);
    const int32_t h2 = OpenVolumeFile("\\s511.bin");
    QCOMPARE(h1 & 0xFFFF, h2 & 0xFFFF);
    QVERIFY(h1 != h2);
    QCOMPARE(ReadVolumeFile(h1, b, 4, &got), -10);
    QCOMPARE(CloseVolumeFile(h2), 0);
    // The serial wraps from 0x7FFF to 1, never 0.
    g_lastHandleSerial = 0x7FFD;
    const int32_t last = OpenVolumeFile("\\s511.bin");
    QCOMPARE(uint32_t(last) >> 16, 0x7FFFu);
    const int32_t wrapped = OpenVolumeFile("\\s511.bin");
    QCOMPARE(uint32_t(wrapped) >> 16, 1u);
    QCOMPARE(CloseAllVolumeFiles(), 2);
    // Error texts.
    QCOMPARE(QString(GetErrorText(0)), QString("no error"));
    QCOMPARE(QString(GetErrorText(5)), QString("no error"));
    QCOMPARE(QString(GetErrorText(-42)), QString("no media"));
    QCOMPARE(QString(GetErrorText(-43)), QString("unknown error"));
    QCOMPARE(QString(GetErrorText(-1000)), QString("unknown error"));
    QCOMPARE(QString(GetErrorText(-39)), QString("bad directory entry"));
    QCOMPARE(QString(GetErrorText(-20)), QString("FAT allocation error"));
}

void TestDfsFat::directoriesAndRawVolume()
{
    UseDiskImage(image("fat16"));
    // A sub-folder reads as its clusters; the root area as its entries.
    const int32_t d = OpenVolumeFile("\\Dir1");
    QVERIFY(d > 0);
    VolumeFileInfo info;
    QCOMPARE(GetVolumeFileInfo(d, &info), 0);
    QCOMPARE(info.size, uint64_t(2048));
    QByteArray dir = ReadAll(d, 700);
    QCOMPARE(dir.size(), 2048);
    QCOMPARE(dir.left(11), QByteArray(".          "));
    QCOMPARE(CloseVolumeFile(d), 0);
    const int32_t root = OpenVolumeFile("\\");
    QVERIFY(root > 0);
    QCOMPARE(GetVolumeFileInfo(root, &info), 0);
    QCOMPARE(info.size, uint64_t(512 * 32));
    QCOMPARE(ReadAll(root, 1000).size(), 512 * 32);
    QCOMPARE(CloseVolumeFile(root), 0);

    // The raw volume starts at the partition's boot sector.
    const int32_t raw = OpenVolumeFile("\\\\.\\C:");
    QVERIFY(raw > 0);
    QCOMPARE(GetVolumeFileInfo(raw, &info), 0);
    QCOMPARE(info.size, uint64_t(24) << 20);
    QCOMPARE(info.volumeSerial, g_driveFsData.drives[2].serial);
    QByteArray boot(1024, 0);
    uint32_t got = 0;
    QCOMPARE(ReadVolumeFile(raw, boot.data(), 1024, &got), 0);
    QCOMPARE(got, 1024u);
    testutil::RunResult dd = testutil::sh(QString("dd if=%1 bs=512 skip=2048 count=2 status=none").arg(image("fat16")));
    QCOMPARE(boot, dd.out);
    QCOMPARE(ReadVolumeFile(raw, boot.data(), 100, &got), -2);
    int64_t pos = 100;
    QCOMPARE(SeekVolumeFile(raw, &pos, 0), -15);
    pos = 4096;
    QCOMPARE(SeekVolumeFile(raw, &pos, 0), 0);
    QCOMPARE(CloseVolumeFile(raw), 0);
    // The raw disk starts at sector 0.
    const int32_t disk = OpenVolumeFile("\\\\.\\PHYSICALDRIVE0");
    QVERIFY(disk > 0);
    QCOMPARE(GetVolumeFileInfo(disk, &info), 0);
    QCOMPARE(info.size, uint64_t(25) << 20);
    QCOMPARE(ReadVolumeFile(disk, boot.data(), 512, &got), 0);
    QCOMPARE(uint8_t(boot[510]), uint8_t(0x55));
    QCOMPARE(CloseVolumeFile(disk), 0);
    QCOMPARE(OpenVolumeFile("\\\\.\\PHYSICALDRIVE1"), -4);
    ShutdownVolumeLibrary();
}

void TestDfsFat::concurrentReaders()
{
    UseDiskImage(image("fat32"));
    const QList<ManifestEntry> files = LoadManifest(m_dir.filePath("fat32.manifest"));
    QStringList paths;
    QList<QByteArray> sums;
    for (const ManifestEntry& e : files) {
        paths << e.path;
        sums << e.sha256;
    }
    // Threads share one device: its mutex serialises them, transfers run
    // outside the global mutex, and every read must still be exact.
    std::atomic<int> bad {0}, done {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                for (int i = 0; i < paths.size(); ++i) {
                    const int k = (i + t * 3) % paths.size();
                    const int32_t h = OpenVolumeFile(LibraryPath(paths[k]).constData());
                    if (h <= 0) {
                        ++bad;
                        continue;
                    }
                    if (Sha256(ReadAll(h, uint32_t(97 + 1000 * t + round))) != sums[k])
                        ++bad;
                    if (CloseVolumeFile(h) != 0)
                        ++bad;
                    ++done;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    QCOMPARE(bad.load(), 0);
    QCOMPARE(done.load(), 4 * 6 * paths.size());
    ShutdownVolumeLibrary();
}

QTEST_GUILESS_MAIN(TestDfsFat)
#include "tst_dfsfat.moc"
