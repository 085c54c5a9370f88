// Reads of damaged copies of real FAT12/16/32 and exFAT images, held against
// the files' true bytes: chain entries set to 0, 1, bad, reserved, past the
// volume or back into the chain, and FAT sectors that fail to read.
#include <QtTest>

#include <random>

#include "dfstest.h"
#include "fuzz/dfs_differential.h"
#include "testutil.h"

using namespace dfstest;

namespace {

// Random seeks (often onto and around cluster boundaries) and reads of
// random sizes.
std::vector<dfsdiff::Op> RandomOps(std::mt19937& rng, uint64_t size, uint32_t cluster, int count)
{
    std::vector<dfsdiff::Op> ops;
    const int64_t s = int64_t(size);
    auto below = [&](int64_t n) { return n > 0 ? int64_t(rng() % uint64_t(n)) : 0; };
    for (int i = 0; i < count; ++i) {
        const uint32_t pick = rng() % 20;
        if (pick < 11) {
            const int64_t n = pick < 5 ? 1 + below(3 * cluster) : pick < 8 ? below(s + 1) : pick < 10 ? cluster : below(40);
            ops.push_back({dfsdiff::Read, n});
        } else if (pick < 15) {
            const int64_t boundary = below(s / cluster + 2) * cluster;
            ops.push_back({dfsdiff::SeekStart, rng() % 4 == 0 ? below(s + 1) : boundary + int64_t(rng() % 3) - 1});
        } else if (pick < 18) {
            ops.push_back({dfsdiff::SeekCurrent, below(2 * s + 1) - s});
        } else {
            ops.push_back({dfsdiff::SeekEnd, -below(s + 2)});
        }
    }
    return ops;
}

QByteArray Sha256Of(const std::vector<uint8_t>& bytes)
{
    return Sha256(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
}

bool LoadFile(const QString& path, std::vector<uint8_t>* bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = f.readAll();
    bytes->assign(all.begin(), all.end());
    return !bytes->empty();
}

} // namespace

class TestDfsDifferential : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void damagedChains_data();
    void damagedChains();
    void failedReadThenNextRead();
    void fuzzInputs();

private:
    QTemporaryDir m_dir;
    std::vector<dfsdiff::Image> m_images;
};

void TestDfsDifferential::initTestCase()
{
    const QString missing = MissingTool({"mkfs.vfat", "mcopy", "sfdisk", "gzip"});
    if (!missing.isEmpty())
        QSKIP(qPrintable("missing tool: " + missing));
    const QByteArray error = MakeFatImages(m_dir.path());
    QVERIFY2(error.isEmpty(), error.constData());
    struct Source {
        QString name, manifest;
        std::vector<uint8_t> bytes;
    };
    std::vector<Source> sources;
    for (const char* kind : {"fat12", "fat16", "fat32"}) {
        Source s {kind, m_dir.filePath(QString(kind) + ".manifest"), {}};
        QVERIFY(LoadFile(m_dir.filePath(QString(kind) + ".img"), &s.bytes));
        sources.push_back(std::move(s));
    }
    const QByteArray& exfat = CommittedExfatImage();
    QVERIFY(!exfat.isEmpty());
    sources.push_back({"exfat", testutil::testsDir() + "/drivefs/images/exfat.manifest",
                       std::vector<uint8_t>(exfat.begin(), exfat.end())});

    for (Source& s : sources) {
        dfsdiff::Image image;
        image.name = s.name.toStdString();
        image.bytes.swap(s.bytes);
        QVERIFY2(dfsdiff::Prepare(image, dfsdiff::CandidatePaths()), qPrintable(s.name));
        // The bytes the runs hold reads against are the ones the image was made with.
        const QList<ManifestEntry> manifest = LoadManifest(s.manifest);
        QVERIFY(!manifest.isEmpty());
        int chained = 0;
        for (const dfsdiff::Target& t : image.targets) {
            bool listed = false;
            for (const ManifestEntry& e : manifest) {
                if (LibraryPath(e.path) == QByteArray::fromStdString(t.path)) {
                    listed = true;
                    QCOMPARE(Sha256Of(t.truth), e.sha256);
                }
            }
            QVERIFY2(listed, t.path.c_str());
            chained += !t.contiguous && t.clusters.size() > 1 ? 1 : 0;
        }
        QVERIFY2(image.targets.size() >= 5, qPrintable(s.name));
        QVERIFY2(chained >= 1, qPrintable(s.name));
        m_images.push_back(std::move(image));
    }
}

void TestDfsDifferential::cleanupTestCase()
{
    ShutdownVolumeLibrary();
    SetDeviceList(nullptr);
}

void TestDfsDifferential::damagedChains_data()
{
    QTest::addColumn<int>("kind");
    for (int kind = dfsdiff::None; kind < dfsdiff::DamageKindCount; ++kind)
        QTest::newRow(dfsdiff::DamageName(kind)) << kind;
}

void TestDfsDifferential::damagedChains()
{
    QFETCH(int, kind);
    std::mt19937 rng(uint32_t(kind * 7919 + 1));
    static const int32_t codes[] = {DFS_E_BAD_SECTOR, DFS_E_GENERAL_FAILURE, DFS_E_DATA, DFS_E_CRC};
    int runs = 0;
    for (dfsdiff::Image& image : m_images) {
        for (size_t t = 0; t < image.targets.size(); ++t) {
            const uint32_t n = uint32_t(image.targets[t].clusters.size());
            if (n == 0)
                continue;
            // The first, middle, second-last and last links of the chain.
            std::vector<uint32_t> places {0, n / 2, n > 1 ? n - 2 : 0, n - 1};
            if (kind == dfsdiff::None)
                places.resize(1);
            for (uint32_t at : places) {
                dfsdiff::Damage damage;
                damage.kind = kind;
                damage.at = at;
                damage.variant = rng();
                damage.failCode = codes[rng() % 4];
                const std::vector<dfsdiff::Op> ops =
                    RandomOps(rng, image.targets[t].truth.size(), image.bytesPerCluster, 120);
                const std::string error = dfsdiff::Run(image, t, damage, ops);
                QVERIFY2(error.empty(), error.c_str());
                ++runs;
            }
        }
    }
    QVERIFY(runs >= 20);
}

// The case that was found: a FAT16 volume with 2 KiB clusters, a 50,000-byte
// file, the FAT entry of its third cluster set to 1, read 1,000 bytes at a time.
void TestDfsDifferential::failedReadThenNextRead()
{
    const QString img = m_dir.filePath("repro.img");
    QVERIFY(testutil::run("mkfs.vfat", {"-C", "-F", "16", "-s", "4", img, "16384"}).ok());
    QByteArray content(50000, 0);
    for (int i = 0; i < content.size(); i += 4)
        qToLittleEndian<quint32>(quint32(i), content.data() + i);
    const QString src = m_dir.filePath("file.bin");
    QFile f(src);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    QVERIFY(testutil::run("mcopy", {"-i", img, src, "::/FILE.BIN"}, 60000, {}, env).ok());

    dfsdiff::Image image;
    image.name = "repro";
    QVERIFY(LoadFile(img, &image.bytes));
    QVERIFY(dfsdiff::Prepare(image, {"\\FILE.BIN"}));
    QCOMPARE(int(image.targets.size()), 1);
    QCOMPARE(image.bytesPerCluster, 2048u);
    dfsdiff::Patch patch;
    dfsdiff::SetFatEntry(image, image.bytes, patch, image.targets[0].clusters[2], 1);

    MemDevices devs(1, 1);
    devs.disks[0].image = image.bytes;
    const int32_t h = OpenVolumeFile("\\FILE.BIN");
    QVERIFY(h > 0);
    QByteArray buf(1000, 0);
    uint32_t got = 0;
    for (int offset = 0; offset < 6000; offset += 1000) {
        QCOMPARE(ReadVolumeFile(h, buf.data(), 1000, &got), 0);
        QCOMPARE(buf, content.mid(offset, 1000));
    }
    // The read reaching 6,144 stops where the chain does; every later read
    // fails instead of returning bytes from 4,096 on.
    QCOMPARE(ReadVolumeFile(h, buf.data(), 1000, &got), int(DFS_E_FAT_ALLOCATION));
    QCOMPARE(got, 144u);
    QCOMPARE(buf.left(144), content.mid(6000, 144));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ReadVolumeFile(h, buf.data(), 1000, &got), int(DFS_E_FAT_ALLOCATION));
        QCOMPARE(got, 0u);
    }
    VolumeFileInfo info;
    QCOMPARE(GetVolumeFileInfo(h, &info), 0);
    QCOMPARE(info.position, uint64_t(6144));
    // Back before the damage the bytes are right again; past it seeks fail.
    int64_t pos = 5000;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), 0);
    QCOMPARE(ReadVolumeFile(h, buf.data(), 1000, &got), 0);
    QCOMPARE(buf, content.mid(5000, 1000));
    pos = 7000;
    QCOMPARE(SeekVolumeFile(h, &pos, 0), int(DFS_E_FAT_ALLOCATION));
    QCOMPARE(GetVolumeFileInfo(h, &info), 0);
    QCOMPARE(info.position, uint64_t(6000));
    QCOMPARE(CloseVolumeFile(h), 0);
}

// The fuzz target's runs over its seed images, from random inputs.
void TestDfsDifferential::fuzzInputs()
{
    std::vector<dfsdiff::Image> seeds;
    const QDir dir(testutil::testsDir() + "/drivefs/fuzz/seeds");
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        dfsdiff::Image image;
        image.name = name.toStdString();
        QVERIFY(LoadFile(dir.filePath(name), &image.bytes));
        image.diskSectors = 131072;
        QVERIFY2(dfsdiff::Prepare(image, dfsdiff::CandidatePaths()), qPrintable(name));
        QVERIFY2(!image.targets.empty(), qPrintable(name));
        seeds.push_back(std::move(image));
    }
    QVERIFY(seeds.size() >= 4);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> input(7 + 3 * (rng() % 80));
        for (uint8_t& b : input)
            b = uint8_t(rng());
        const std::string error = dfsdiff::RunInput(seeds, input.data(), input.size());
        QVERIFY2(error.empty(), error.c_str());
    }
}

QTEST_GUILESS_MAIN(TestDfsDifferential)
#include "tst_dfsdifferential.moc"
