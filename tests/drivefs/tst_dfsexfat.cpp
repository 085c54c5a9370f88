// exFAT volumes: the committed images and, where loop devices and FUSE are
// at hand, images made afresh with mkfs.exfat and filled through exfat-fuse.
#include <QtTest>

#include "dfstest.h"
#include "testutil.h"

using namespace dfstest;

namespace {
QStringList s_debug;
void CaptureDebug(const char* text)
{
    s_debug << QString::fromLatin1(text);
}

QByteArray ImageBytes(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteBytes(const QString& file, const QByteArray& data)
{
    QFile f(file);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Byte offset of the 0xC1 name entry that starts with the given name.
int NameEntryOffset(const QByteArray& image, const QString& name)
{
    QByteArray utf16;
    for (QChar c : name) {
        utf16 += char(c.unicode() & 0xFF);
        utf16 += char(c.unicode() >> 8);
    }
    for (int at = image.indexOf(utf16); at >= 0; at = image.indexOf(utf16, at + 1))
        if (at % 32 == 2 && uint8_t(image[at - 2]) == 0xC1)
            return at - 2;
    return -1;
}

// Sets the lengths in the stream entry of the set holding name and mends
// the set's checksum, so that only the length is wrong.
void SetStreamLength(QByteArray& image, const QString& name, uint64_t length)
{
    const int at = NameEntryOffset(image, name);
    QVERIFY(at > 64);
    const int start = at - 64;
    QCOMPARE(uint8_t(image[start + 32]), uint8_t(0xC0));
    // Through replace(), not stores into data(): GCC's sanitizer build takes
    // those for writes past an empty array.
    auto put32 = [&](int offset, uint32_t v) {
        uint8_t bytes[4];
        Put32(bytes, v);
        image.replace(start + offset, 4, reinterpret_cast<const char*>(bytes), 4);
    };
    put32(32 + 8, uint32_t(length));
    put32(32 + 12, uint32_t(length >> 32));
    put32(32 + 24, uint32_t(length));
    put32(32 + 28, uint32_t(length >> 32));
    const uint8_t* set = reinterpret_cast<const uint8_t*>(image.constData()) + start;
    uint16_t sum = ExfatEntrySetChecksum(set);
    for (int i = 1; i <= set[1]; ++i)
        sum = ExfatChecksumEntry(set + 32 * i, sum);
    uint8_t checksum[2];
    Put16(checksum, sum);
    image.replace(start + 2, 2, reinterpret_cast<const char*>(checksum), 2);
}
}

class TestDfsExfat : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void committedImage();
    void freshImage();
    void namesAndDots_data();
    void namesAndDots();
    void charactersOutsideCp437();
    void damagedEntrySets_data();
    void damagedEntrySets();
    void largeReadGoesAroundTheCache();
    void unreadableUpcaseTableFailsMount();
    void contiguousExtentPastTheHeap();

private:
    void checkImage(const QString& image, const QString& manifest);
    QTemporaryDir m_dir;
    QString m_image;
};

void TestDfsExfat::initTestCase()
{
    m_image = m_dir.filePath("exfat.img");
    testutil::RunResult r = testutil::sh(QString("gzip -dc '%1/drivefs/images/exfat.img.gz' > '%2'").arg(testutil::testsDir(), m_image));
    QVERIFY2(r.ok(), r.err.constData());
    g_dfsDebugHook = CaptureDebug;
}

void TestDfsExfat::cleanupTestCase()
{
    ShutdownVolumeLibrary();
}

void TestDfsExfat::checkImage(const QString& image, const QString& manifest)
{
    UseDiskImage(image);
    const QList<ManifestEntry> files = LoadManifest(manifest);
    QVERIFY(files.size() >= 16);
    int contiguous = 0;
    for (const ManifestEntry& e : files) {
        const QByteArray path = LibraryPath(e.path);
        const int32_t h = OpenVolumeFile(path.constData());
        if (path.contains('_') && !e.path.contains('_')) {
            // A name with characters outside CP437 cannot be asked for by name.
            QCOMPARE(h, -9);
            continue;
        }
        QVERIFY2(h > 0, qPrintable(QString("%1: %2").arg(e.path).arg(GetErrorText(h))));
        VolumeFileInfo info;
        QCOMPARE(GetVolumeFileInfo(h, &info), 0);
        QCOMPARE(qint64(info.size), e.size);
        if (info.fragments == 1) {
            ++contiguous;
            QCOMPARE(info.allocatedSize, (info.size + 4095) / 4096 * 4096);
        }
        if (e.path == "frag.bin")
            QCOMPARE(info.fragments, 0u);
        for (uint32_t chunk : {1u, 333u, 4096u, 70000u}) {
            if (chunk == 1 && e.size > 20000)
                continue;
            int64_t zero = 0;
            QCOMPARE(SeekVolumeFile(h, &zero, 0), 0);
            QCOMPARE(Sha256(ReadAll(h, chunk)), e.sha256);
        }
        QCOMPARE(CloseVolumeFile(h), 0);
    }
    QVERIFY(contiguous >= 5);
    QCOMPARE(g_driveFsData.drives[2].fsId, int(FS_EXFAT));
    QCOMPARE(g_driveFsData.drives[2].bytesPerCluster, 4096u);
    QCOMPARE(g_driveFsData.drives[2].bootSector, uint64_t(2048));
    // Reading frag.bin followed its FAT chain through a break.
    const int32_t f = OpenVolumeFile("\\frag.bin");
    DfsFile* slot = &g_driveFsData.files[f & 0xFFFF];
    QVERIFY(!(slot->entry[11] & ATTR_NOFATCHAIN));
    uint32_t c = EntryFirstCluster(slot->entry);
    bool broken = false;
    LockDevice(slot->device);
    for (int i = 0; i < 6; ++i) {
        uint32_t next = 0;
        QCOMPARE(Try([&] { next = GetClusterValue(slot->drive, c); }), 0);
        broken = broken || next != c + 1;
        c = next;
    }
    UnlockDevice(slot->device);
    QVERIFY(broken);
    QCOMPARE(CloseVolumeFile(f), 0);
    ShutdownVolumeLibrary();
}

void TestDfsExfat::committedImage()
{
    checkImage(m_image, testutil::testsDir() + "/drivefs/images/exfat.manifest");
}

void TestDfsExfat::freshImage()
{
    const QString script = testutil::testsDir() + "/drivefs/make_images.sh";
    QTemporaryDir dir;
    testutil::RunResult r = testutil::run("bash", {script, "exfat", dir.path()});
    if (r.exitCode == 77)
        QSKIP(qPrintable("cannot make an exFAT image here: " + QString::fromLocal8Bit(r.err).trimmed()));
    QVERIFY2(r.ok(), r.err.constData());
    checkImage(dir.filePath("exfat.img"), dir.filePath("exfat.manifest"));
}

void TestDfsExfat::namesAndDots_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("same");
    QTest::addColumn<int>("result");
    QTest::newRow("capitals") << QByteArray("\\LOWER.TXT") << QByteArray("\\lower.txt") << 1;
    QTest::newRow("CP437 capital") << QByteArray("\\\x9A" "BER.TXT") << QByteArray("\\\x81" "ber.txt") << 1;
    QTest::newRow("down, up, down") << QByteArray("\\Dir1\\Dir2\\..\\UPPER.TXT") << QByteArray("\\Dir1\\UPPER.TXT") << 1;
    QTest::newRow("either separator") << QByteArray("/Dir1/Dir2/../../lower.txt") << QByteArray("\\lower.txt") << 1;
    QTest::newRow("relative with dots") << QByteArray("Dir1\\.\\Dir2\\nested file.dat") << QByteArray("\\Dir1\\Dir2\\nested file.dat") << 1;
    QTest::newRow("above the root") << QByteArray("\\..\\lower.txt") << QByteArray() << -19;
    QTest::newRow("missing folder") << QByteArray("\\Nope\\lower.txt") << QByteArray() << -19;
    QTest::newRow("missing file") << QByteArray("\\Dir1\\lower.txt") << QByteArray() << -9;
}

void TestDfsExfat::namesAndDots()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, same);
    QFETCH(int, result);
    UseDiskImage(m_image);
    const int32_t h = OpenVolumeFile(path.constData());
    if (result < 0) {
        QCOMPARE(h, result);
        QCOMPARE(ClaimedFileSlots(), 0);
        return;
    }
    QVERIFY2(h > 0, GetErrorText(h));
    const int32_t h2 = OpenVolumeFile(same.constData());
    QVERIFY(h2 > 0);
    QCOMPARE(ReadAll(h, 1000), ReadAll(h2, 1000));
    QCOMPARE(CloseAllVolumeFiles(), 2);
}

void TestDfsExfat::charactersOutsideCp437()
{
    UseDiskImage(m_image);
    const int32_t h = OpenVolumeFile("\\lower.txt");
    QVERIFY(h > 0);
    DfsDrive* vol = g_driveFsData.drives + 2;
    QStringList names;
    LockDevice(vol->device);
    QCOMPARE(Try([&] {
        DirCursor cursor;
        char name[256];
        uint32_t missing = 0;
        for (uint8_t* e = OpenDirCursor(vol, uint32_t(vol->rootDir), 0, &cursor); e; e = NextDirEntry(vol, &cursor)) {
            if (e[0] == 0xC0) {
                missing = e[3];
                name[0] = 0;
            } else if (e[0] == 0xC1 && missing) {
                const uint32_t take = missing < 15 ? missing : 15;
                Utf16ToOem(name + std::strlen(name), name + sizeof name, reinterpret_cast<uint16_t*>(e + 2), take);
                missing -= take;
                if (!missing)
                    names << QString::fromLatin1(name);
            }
        }
    }), 0);
    UnlockDevice(vol->device);
    QVERIFY2(names.contains("__.txt"), qPrintable(names.join(',')));
    QVERIFY(names.contains(QString::fromLatin1("na\x8Bve_\xE1.txt")));
    QCOMPARE(CloseVolumeFile(h), 0);
    // Conversion stops when at most two bytes are left.
    const uint16_t text[] = {'a', 'b', 'c', 'd', 0x00E9, 0x65E5, 0};
    char out[8];
    QCOMPARE(Utf16ToOem(out, out + 8, text, 6), 1);
    QCOMPARE(QByteArray(out), QByteArray("abcd\x82_"));
    QCOMPARE(Utf16ToOem(out, out + 4, text, 6), 0);
    QCOMPARE(QByteArray(out), QByteArray("ab"));
}

void TestDfsExfat::damagedEntrySets_data()
{
    QTest::addColumn<int>("damage");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("debug");
    QTest::newRow("set checksum wrong") << 0 << -9 << "exFAT Dir entry checksum error";
    QTest::newRow("stream without AllocationPossible") << 1 << -39 << "";
    QTest::newRow("stream with unknown flags") << 2 << -39 << "";
    QTest::newRow("no up-case table") << 3 << -8 << "Failed to locate bitmap or upper case table on exFAT volume";
    QTest::newRow("directory cluster beyond the volume") << 4 << -39 << "";
}

void TestDfsExfat::damagedEntrySets()
{
    QFETCH(int, damage);
    QFETCH(int, result);
    QFETCH(QString, debug);
    QByteArray image = ImageBytes(m_image);
    const int name = NameEntryOffset(image, "lower.txt");
    QVERIFY(name > 64);
    const int stream = name - 32, file = name - 64;
    QCOMPARE(uint8_t(image[stream]), uint8_t(0xC0));
    QCOMPARE(uint8_t(image[file]), uint8_t(0x85));
    QByteArray path = "\\lower.txt";
    switch (damage) {
    case 0: image[file + 8] = char(image[file + 8] ^ 1); break;
    case 1: image[stream + 1] = char(image[stream + 1] & ~1); break;
    case 2: image[stream + 1] = char(image[stream + 1] | 0x10); break;
    case 3: {
        // Turn the up-case table entry (0x82) into an unused one.
        const int root = image.indexOf(QByteArray("\x82\0\0\0", 4), 2048 * 512);
        QVERIFY(root > 0);
        image[root] = char(0x02);
        // Asked on its letter: the default drive would fall back to "A".
        path = "C:\\lower.txt";
        break;
    }
    case 4: {
        const int dir = NameEntryOffset(image, "Dir1");
        QVERIFY(dir > 0);
        Put32(reinterpret_cast<uint8_t*>(image.data()) + dir - 32 + 20, 0x7FFFFFF0u);
        // Keep the set's checksum right so only the cluster is wrong.
        uint8_t* set = reinterpret_cast<uint8_t*>(image.data()) + dir - 64;
        uint16_t sum = ExfatEntrySetChecksum(set);
        for (int i = 1; i <= set[1]; ++i)
            sum = ExfatChecksumEntry(set + 32 * i, sum);
        Put16(set + 2, sum);
        path = "\\Dir1\\UPPER.TXT";
        break;
    }
    }
    const QString damaged = m_dir.filePath("damaged.img");
    QVERIFY(WriteBytes(damaged, image));
    UseDiskImage(damaged);
    s_debug.clear();
    QCOMPARE(OpenVolumeFile(path.constData()), result);
    if (!debug.isEmpty())
        QVERIFY2(s_debug.contains(debug), qPrintable(s_debug.join('|')));
    QCOMPARE(ClaimedFileSlots(), 0);
    // Other files stay readable when only one set is damaged.
    if (damage < 3) {
        const int32_t h = OpenVolumeFile("\\s513.bin");
        QVERIFY(h > 0);
        QCOMPARE(ReadAll(h, 100).size(), 513);
        QCOMPARE(CloseVolumeFile(h), 0);
    }
    ShutdownVolumeLibrary();
}

void TestDfsExfat::largeReadGoesAroundTheCache()
{
    MemDevices devs;
    const QByteArray image = ImageBytes(m_image);
    devs.disks[0].image.assign(image.begin(), image.end());
    devs.Start();
    const int32_t h = OpenVolumeFile("\\big.bin");
    QVERIFY(h > 0);
    DfsFile* slot = &g_driveFsData.files[h & 0xFFFF];
    QVERIFY(slot->entry[11] & ATTR_NOFATCHAIN);
    int64_t pos = 100;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    devs.disks[0].reads.clear();
    QByteArray buf(65536, 0);
    uint32_t got = 0;
    QCOMPARE(ReadVolumeFile(h, buf.data(), 65536, &got), 0);
    QCOMPARE(got, 65536u);
    const uint64_t first = ClusterToSector(slot->drive, EntryFirstCluster(slot->entry));
    // Head sector singly, then 127 sectors straight into the buffer, then the tail sector.
    QVERIFY(devs.disks[0].reads.size() >= 2);
    bool direct = false;
    for (const auto& r : devs.disks[0].reads)
        direct = direct || (r.first == first + 1 && r.second == 127);
    QVERIFY(direct);
    // The head sector was dropped from the cache again.
    bool headCached = false;
    for (uint32_t i = 0; i < g_driveFsData.bufferCount; ++i) {
        const DfsBuffer& b = g_driveFsData.bufferHeaders[i];
        headCached = headCached || (b.device == &devs.list[0] && b.sector == first && (b.flags & BUF_VALID));
    }
    QVERIFY(!headCached);
    const int32_t h2 = OpenVolumeFile("\\big.bin");
    QByteArray all = ReadAll(h2, 1 << 20);
    QCOMPARE(buf, all.mid(100, 65536));
    QCOMPARE(CloseAllVolumeFiles(), 2);
}

QTEST_GUILESS_MAIN(TestDfsExfat)
void TestDfsExfat::unreadableUpcaseTableFailsMount()
{
    MemDevices devs;
    const QByteArray image = ImageBytes(m_image);
    devs.disks[0].image.assign(image.begin(), image.end());
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.constData());
    const int entry = image.indexOf(QByteArray("\x82\0\0\0", 4), 2048 * 512);
    QVERIFY(entry > 0);
    const uint8_t* boot = bytes + 2048 * 512;
    const uint32_t cluster = Get32(bytes + entry + 20);
    devs.disks[0].failCode = -18;
    devs.disks[0].failSector = 2048 + Get32(boot + 88) + (uint64_t(cluster - 2) << boot[109]);
    // The read's code fails the mount (asked on its letter: the default
    // drive would fall back to "A"); the volume is not taken as mounted
    // without its up-case table.
    QCOMPARE(OpenVolumeFile("C:\\s513.bin"), -18);
    QVERIFY(g_driveFsData.drives[2].state < 4);
    QVERIFY(!g_driveFsData.drives[2].upcase);
    QCOMPARE(ClaimedFileSlots(), 0);
    // Once the sector reads, the next open mounts the volume.
    devs.disks[0].failCode = 0;
    const int32_t h = OpenVolumeFile("\\s513.bin");
    QVERIFY(h > 0);
    QVERIFY(g_driveFsData.drives[2].upcase);
    QCOMPARE(ReadAll(h, 100).size(), 513);
    QCOMPARE(CloseVolumeFile(h), 0);
}

// A file stored without a FAT chain claiming more clusters than lie between
// its first one and the end of the cluster heap is refused when opened,
// never read from other files' clusters; one that ends on the heap's last
// cluster opens. A folder making the same claim fails its lookups.
void TestDfsExfat::contiguousExtentPastTheHeap()
{
    const QByteArray original = ImageBytes(m_image);
    const auto* boot = reinterpret_cast<const uint8_t*>(original.constData()) + 2048 * 512;
    const uint32_t clusterCount = Get32(boot + 92);
    const int name = NameEntryOffset(original, "big.bin");
    QVERIFY(name > 64);
    const uint32_t first = Get32(reinterpret_cast<const uint8_t*>(original.constData()) + name - 32 + 20);
    QCOMPARE(uint8_t(original[name - 32 + 1]) & 2, 2);    // NoFatChain
    const uint64_t toHeapEnd = uint64_t(clusterCount + 2 - first) * 4096;
    struct Case {
        const char* what;
        QString entry;
        uint64_t length;
        QByteArray path;
        int32_t result;
    };
    const Case cases[] = {
        {"1 TiB file", "big.bin", uint64_t(1) << 40, "\\big.bin", DFS_E_BAD_DIR_ENTRY},
        {"one byte past the heap", "big.bin", toHeapEnd + 1, "\\big.bin", DFS_E_BAD_DIR_ENTRY},
        {"up to the heap's end", "big.bin", toHeapEnd, "\\big.bin", 1},
        {"1 TiB folder", "Dir1", uint64_t(1) << 40, "\\Dir1\\UPPER.TXT", DFS_E_BAD_DIR_ENTRY},
    };
    for (const Case& c : cases) {
        MemDevices devs;
        QByteArray image = original;
        SetStreamLength(image, c.entry, c.length);
        devs.disks[0].image.assign(image.begin(), image.end());
        const int32_t h = OpenVolumeFile(c.path.constData());
        if (c.result < 0) {
            QVERIFY2(h == c.result, c.what);
            QCOMPARE(ClaimedFileSlots(), 0);
        } else {
            QVERIFY2(h > 0, c.what);
            VolumeFileInfo info;
            QCOMPARE(GetVolumeFileInfo(h, &info), 0);
            QCOMPARE(info.size, c.length);
            int64_t pos = -1;
            QCOMPARE(SeekVolumeFile(h, &pos, 2), 0);
            char last = 0;
            uint32_t got = 0;
            QCOMPARE(ReadVolumeFile(h, &last, 1, &got), 0);
            QCOMPARE(got, 1u);
            QCOMPARE(CloseVolumeFile(h), 0);
        }
        // The rest of the volume reads as before.
        const int32_t other = OpenVolumeFile("\\s513.bin");
        QVERIFY(other > 0);
        QCOMPARE(ReadAll(other, 100).size(), 513);
        QCOMPARE(CloseVolumeFile(other), 0);
    }
}

#include "tst_dfsexfat.moc"
