// The index builder over committed player-drive images (exFAT in an MBR
// partition, filled through exfat-fuse), checked by an independent checker.
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "dfs_internal.h"
#include "index/loopmount.h"
#include "indexbuilder.h"
#include "testutil.h"

namespace {

QString fixtureDir()
{
    return testutil::testsDir() + "/drivefs/index";
}

const QString kPython = "/usr/bin/python3";

// Uncompresses a committed image into dir.
QString unpack(const QString& name, const QString& dir)
{
    const auto r = testutil::run("gzip", {"-dc", fixtureDir() + "/" + name + ".img.gz"});
    if (!r.ok())
        return QString();
    const QString path = dir + "/" + name + ".img";
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(r.out) != r.out.size())
        return QString();
    return path;
}

struct BuildResult {
    int code = 1;
    QByteArray index;
};

BuildResult build(const QString& image, qint64 volumeOffset = -1, std::vector<IndexProblem>* problems = nullptr)
{
    static std::unique_ptr<uint8_t[]> buffer(new uint8_t[kIndexImageSize]);
    BuildResult result;
    DriveFsDiskDevice()->unit = RegisterPhysicalDisk(QFile::encodeName(image).toStdString());
    InitIndexImage(buffer.get());
    uint32_t length = 0;
    result.code = IndexVolume("", buffer.get(), &length, volumeOffset, problems);
    if (result.code == 0)
        result.index = QByteArray(reinterpret_cast<const char*>(buffer.get()), int(length));
    return result;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Runs the independent checker; returns its report, empty when the index is right.
QString check(const QString& image, const QByteArray& index, const QString& layout, const QString& dir)
{
    const QString indexPath = dir + "/index.dat";
    if (!writeFile(indexPath, index))
        return "cannot write " + indexPath;
    QStringList args{fixtureDir() + "/indexfixture.py", "check", image, indexPath};
    if (!layout.isEmpty())
        args << layout;
    const auto r = testutil::run(kPython, args);
    if (r.ok())
        return QString();
    return QString("checker exit %1: %2 %3").arg(r.exitCode).arg(QString::fromLocal8Bit(r.out),
                                                                    QString::fromLocal8Bit(r.err));
}

quint32 u32(const QByteArray& data, qsizetype offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

quint32 record(const QByteArray& index, int clip, int field)
{
    return u32(index, kIndexHeaderSize + clip * kClipRecordSize + field);
}

quint32 entry(const QByteArray& index, quint32 i)
{
    return u32(index, kFrameTableOffset + i * kFrameEntrySize);
}

QByteArray readAt(const QString& image, qint64 offset, int length)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return QByteArray();
    return f.read(length);
}

} // namespace

class TestIndexBuilder : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_standard;

    static QString manyClipsMissing()
    {
        const QString missing = LoopMount::missing();
        return missing.isEmpty() ? QString() : "making a drive of 120 clip folders needs " + missing;
    }

    // The drive of 120 clip folders at path, made once; empty when it is
    // there, else what failed.
    static QString makeManyClips(const QString& path)
    {
        if (QFileInfo::exists(path))
            return QString();
        const auto made = testutil::run(kPython, {fixtureDir() + "/indexfixture.py", "make", "manyclips",
                                                  path + ".tmp", "T9PW_1"}, 300000);
        if (!made.ok())
            return QString::fromLocal8Bit(made.out + made.err);
        return QFile::rename(path + ".tmp", path) ? QString() : "cannot rename " + path + ".tmp";
    }

    // Copies source to image and damages the copy with the fixture's fault;
    // empty when done, else what failed.
    static QString corruptCopy(const QString& source, const QString& fault, const QString& image)
    {
        QFile::remove(image);
        if (!QFile::copy(source, image))
            return "cannot copy " + source;
        const auto r =
            testutil::run(kPython, {fixtureDir() + "/indexfixture.py", "corrupt", image, fault}, 300000);
        return r.ok() ? QString() : QString::fromLocal8Bit(r.out + r.err);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        if (!QFileInfo::exists(kPython))
            QSKIP("missing /usr/bin/python3 (the index checker)");
        REQUIRE_TOOL("gzip");
        m_standard = unpack("standard", m_work.path());
        QVERIFY(!m_standard.isEmpty());
    }

    void frameFileKind()
    {
        QCOMPARE(FrameFileKind("A00001.tga", 10), 1);
        QCOMPARE(FrameFileKind("A00001.krx", 10), 2);
        QCOMPARE(FrameFileKind("A00001.TGA", 10), 0);
        QCOMPARE(FrameFileKind("A00001.Krx", 10), 0);
        QCOMPARE(FrameFileKind("A00001.png", 10), 0);
        QCOMPARE(FrameFileKind("A00001.tga.bak", 10), 1);  // only the characters before length count
        QCOMPARE(FrameFileKind(".tg", 3), 0);
    }

    void numbers()
    {
        size_t count = 99;
        QCOMPARE(TrailingDigitCount("clip_00042", 10), size_t(5));
        QCOMPARE(TrailingDigitCount("clip_00042", 8), size_t(3));
        QCOMPARE(TrailingDigitCount("clip", 4), size_t(0));
        QCOMPARE(ParseTrailingNumber(&count, "Show_f59_00007", 14), 7);
        QCOMPARE(count, size_t(5));
        QCOMPARE(ParseTrailingNumber(&count, "Notes", 5), 0);
        QCOMPARE(count, size_t(0));
        QCOMPARE(ParseTrailingNumber(&count, "x0", 2), 0);
        QCOMPARE(count, size_t(1));
        QCOMPARE(ParseDigits(&count, "123abc", 6), 123);
        QCOMPARE(count, size_t(3));
        QCOMPARE(ParseDigits(&count, "2147483647", 10), INT32_MAX);
        // Long numbers saturate instead of wrapping into a small clip or frame number.
        QCOMPARE(ParseDigits(&count, "4294967297", 10), INT32_MAX);
        QCOMPARE(count, size_t(10));
        QCOMPARE(ParseTrailingNumber(&count, "G000000000001", 13), 1);   // leading zeros are no long number
        QCOMPARE(count, size_t(12));
        QCOMPARE(ParseTrailingNumber(&count, "G0000000002147483648", 20), INT32_MAX);
        QCOMPARE(ParseDigits(&count, "000000001", 9), 1);
        QCOMPARE(ParseDigits(&count, "99999999999999999999", 20), INT32_MAX);
        QCOMPARE(ParseSignedDigits(&count, "-42x", 4), -42);
        QCOMPARE(count, size_t(3));
        QCOMPARE(ParseSignedDigits(&count, "-", 1), 0);
        QCOMPARE(count, size_t(0));
        QCOMPARE(ParseSignedDigits(&count, "-99999999999", 12), INT32_MIN);
        QCOMPARE(ParseSignedDigits(&count, "17", 2), 17);
    }

    void crc16Umts()
    {
        uint16_t table[256];
        Crc16BuildTable(table);
        QCOMPARE(table[1], uint16_t(0x8005));
        const char* check = "123456789";
        QCOMPARE(Crc16Update(0, table, reinterpret_cast<const uint8_t*>(check), 9), uint16_t(0xFEE8));
        // Feeding in two pieces gives the same register.
        const uint16_t first = Crc16Update(0, table, reinterpret_cast<const uint8_t*>(check), 4);
        QCOMPARE(Crc16Update(first, table, reinterpret_cast<const uint8_t*>(check) + 4, 5), uint16_t(0xFEE8));

        // The jump over a run of equal bytes agrees with stepping through it.
        const QByteArray run(200003, char(0xFF));
        const QByteArray zeros(4097, '\0');
        for (uint16_t start : {uint16_t(0), uint16_t(0x1234), uint16_t(0xFFFF)}) {
            for (int n : {0, 1, 2, 3, 255, 4096, 200003}) {
                QCOMPARE(Crc16Repeat(start, table, 0xFF, n),
                         Crc16Update(start, table, reinterpret_cast<const uint8_t*>(run.constData()), n));
            }
            QCOMPARE(Crc16Repeat(start, table, 0, 4097),
                     Crc16Update(start, table, reinterpret_cast<const uint8_t*>(zeros.constData()), 4097));
        }
    }

    void freshImage()
    {
        std::unique_ptr<uint8_t[]> image(new uint8_t[kIndexImageSize]);
        std::memset(image.get(), 0x55, kIndexImageSize);
        InitIndexImage(image.get());
        QCOMPARE(kReservedOffset, size_t(559960));
        QCOMPARE(kFrameTableOffset, size_t(687960));
        QCOMPARE(kIndexImageSize, size_t(111279960));
        for (size_t i = 0; i < kReservedOffset; ++i)
            QVERIFY(image[i] == 0);
        for (size_t i = kReservedOffset; i < kIndexImageSize; ++i)
            QVERIFY(image[i] == 0xFF);

        // The CRC with its jump over the unused table equals the plain one.
        uint16_t table[256];
        Crc16BuildTable(table);
        image[100] = 7;
        image[kFrameTableOffset + 5] = 0x12;
        const size_t length = kFrameTableOffset + 16;
        QCOMPARE(IndexImageCrc(image.get(), length),
                 Crc16Update(0, table, image.get() + 16, kIndexImageSize - 16));
    }

    void standardDrive()
    {
        const BuildResult r = build(m_standard);
        QCOMPARE(r.code, 0);
        const QString report = check(m_standard, r.index, "standard", m_work.path());
        QVERIFY2(report.isEmpty(), qPrintable(report));

        // A few facts spelled out beside the checker's full comparison.
        QCOMPARE(u32(r.index, 0), quint32(0x00D00DAD));
        QCOMPARE(u32(r.index, 4), quint32(2));
        QCOMPARE(u32(r.index, 8), quint32(4096));
        // Clip 3 comes first in the root and takes entries 0..10; clip 1 (frames
        // 1..100) follows with 101 entries, its entry 0 and the gap at 50 unused.
        QCOMPARE(record(r.index, 1, ClipFirstEntry), quint32(11));
        QCOMPARE(record(r.index, 1, ClipLastEntry), quint32(111));
        QCOMPARE(entry(r.index, 11), 0xFFFFFFFFu);
        QCOMPARE(entry(r.index, 11 + 50), 0xFFFFFFFFu);
        QVERIFY(entry(r.index, 11 + 49) != 0xFFFFFFFFu);
        // The KRX entry points one sector past its 512-byte header.
        const quint32 krx = entry(r.index, 12);
        QCOMPARE(readAt(m_standard, qint64(krx - 1) * 512, 4), QByteArray("KRX_"));
        QCOMPARE(record(r.index, 1, ClipFrameKind), 2u);
        // The few-hundred-frame folder is stored without a FAT chain over 8
        // clusters; its last frame is found too.
        const quint32 gammaFirst = record(r.index, 7, ClipFirstEntry);
        QCOMPARE(record(r.index, 7, ClipLastEntry) - gammaFirst + 1, 310u);
        QVERIFY(entry(r.index, gammaFirst + 309) != 0xFFFFFFFFu);
        QCOMPARE(record(r.index, 7, ClipBitsPerPixel), 24u);
        QCOMPARE(record(r.index, 7, ClipComponentCode), 3u);
        QCOMPARE(record(r.index, 7, ClipExtraBits), 8u);
        QCOMPARE(record(r.index, 7, ClipTargaLayout), 2u);
        QCOMPARE(record(r.index, 12, ClipTargaLayout), 3u);     // bottom-up RLE
        // Folders numbered 9999 or not numbered are no clips; the empty first
        // file of clip 0 has no sector.
        QCOMPARE(record(r.index, 0, ClipFrameKind), 1u);
        QCOMPARE(entry(r.index, record(r.index, 0, ClipFirstEntry)), 0xFFFFFFFFu);
        // Twelve-digit frame names with leading zeros are frames 0 and 1.
        QCOMPARE(record(r.index, 41, ClipLastEntry) - record(r.index, 41, ClipFirstEntry) + 1, 2u);
        QCOMPARE(record(r.index, 41, ClipFrameKind), 1u);

        // Same drive, same bytes; choosing the volume by its start gives the same.
        QCOMPARE(build(m_standard).index, r.index);
        QCOMPARE(build(m_standard, 2048 * 512).index, r.index);
        QCOMPARE(build(m_standard, 4096 * 512).code, int(DFS_E_DRIVE_NOT_FOUND));
    }

    // The same volume formatted on the whole disk, without a partition table
    // (mkfs.exfat on a device): its one volume starts at sector 0, and every
    // frame sector is 2048 lower than on the partitioned disk.
    void wholeDiskDrive()
    {
        QFile partitioned(m_standard);
        QVERIFY(partitioned.open(QIODevice::ReadOnly) && partitioned.seek(2048 * 512));
        const QString whole = m_work.filePath("whole.img");
        QVERIFY(writeFile(whole, partitioned.readAll()));
        partitioned.close();
        const BuildResult r = build(whole);
        QCOMPARE(r.code, 0);
        const QString report = check(whole, r.index, "standard", m_work.path());
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(build(whole, 0).index, r.index);
        const BuildResult onPartition = build(m_standard);
        QCOMPARE(entry(r.index, 12), entry(onPartition.index, 12) - 2048);
        QCOMPARE(r.index.mid(16, 687960 - 16), onPartition.index.mid(16, 687960 - 16));
    }

    void checkerFindsFaults()
    {
        const BuildResult good = build(m_standard);
        QCOMPARE(good.code, 0);
        auto mutated = [&](qsizetype offset, quint32 value) {
            QByteArray bad = good.index;
            char bytes[4];
            qToLittleEndian<quint32>(value, bytes);
            return bad.replace(offset, 4, bytes, 4);
        };
        const qsizetype frame = kFrameTableOffset + 20 * kFrameEntrySize;
        const QList<QByteArray> faults{
            mutated(frame, u32(good.index, frame) + 8),                 // next cluster: other bytes
            mutated(kIndexHeaderSize + 7 * kClipRecordSize + ClipWidth, 41),
            mutated(8, 512),
            mutated(12, u32(good.index, 12) ^ 1),
            good.index.left(good.index.size() - 8),
        };
        for (const QByteArray& bad : faults)
            QVERIFY(!check(m_standard, bad, "standard", m_work.path()).isEmpty());
    }

    void emptyDrive()
    {
        const QString image = unpack("empty", m_work.path());
        QVERIFY(!image.isEmpty());
        const BuildResult r = build(image);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.index.size(), 687960);
        QVERIFY(r.index.mid(16, 559944) == QByteArray(559944, '\0'));
        const QString report = check(image, r.index, "empty", m_work.path());
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(build(image).index, r.index);
    }

    void hostileDrives_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("code");
        QTest::newRow("frame past the heap") << "frame-past-heap" << 0;
        QTest::newRow("looping folder chain") << "dir-loop" << 0;
        QTest::newRow("folder at cluster 1") << "bad-dir-cluster" << int(DFS_E_BAD_DIR_ENTRY);
        // Refused and named, the other clips listed.
        QTest::newRow("folder past the heap") << "dir-past-heap" << int(DFS_E_DATA);
        QTest::newRow("not exFAT") << "not-exfat" << int(DFS_E_INVALID_FS);
    }

    void hostileDrives()
    {
        QFETCH(QString, fault);
        QFETCH(int, code);
        const QString image = m_work.filePath(fault + ".img");
        const QString damaged = corruptCopy(m_standard, fault, image);
        QVERIFY2(damaged.isEmpty(), qPrintable(damaged));
        const BuildResult built = build(image, 2048 * 512);
        QCOMPARE(built.code, code);
        if (code == 0) {
            const QString report = check(image, built.index, "standard", m_work.path());
            QVERIFY2(report.isEmpty(), qPrintable(report));
        }
    }

    // A root directory whose chain is cut after its first cluster (a drive
    // damaged while mounted): the out-of-range error, never an index of the
    // clips that came before the cut.
    void cutRootChain_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("link past the volume") << "root-link-past-heap";
        QTest::newRow("link to a free cluster") << "root-link-free";
    }

    void cutRootChain()
    {
        QFETCH(QString, fault);
        SKIP_WHEN(manyClipsMissing());
        const QString many = m_work.filePath("manyclips.img");
        const QString made = makeManyClips(many);
        QVERIFY2(made.isEmpty(), qPrintable(made));
        const BuildResult whole = build(many);
        QCOMPARE(whole.code, 0);
        QVERIFY(record(whole.index, 120, ClipLastEntry) != 0);
        const QString report = check(many, whole.index, "manyclips", m_work.path());
        QVERIFY2(report.isEmpty(), qPrintable(report));

        const QString image = m_work.filePath(fault + ".img");
        const QString damaged = corruptCopy(many, fault, image);
        QVERIFY2(damaged.isEmpty(), qPrintable(damaged));
        QCOMPARE(build(image).code, int(DFS_E_FAT_ALLOCATION));
    }

    // Clip folders that each claim one contiguous directory as long as the
    // volume: each cluster is read once, every folder is refused by name and
    // the index of the rest is whole; a second run says the same.
    void foldersClaimingTheVolume()
    {
        SKIP_WHEN(manyClipsMissing());
        const QString many = m_work.filePath("manyclips.img");
        const QString made = makeManyClips(many);
        QVERIFY2(made.isEmpty(), qPrintable(made));
        const QString image = m_work.filePath("wholevolume.img");
        const QString damaged = corruptCopy(many, "dirs-whole-volume", image);
        QVERIFY2(damaged.isEmpty(), qPrintable(damaged));
        for (int run = 0; run < 2; ++run) {
            std::vector<IndexProblem> problems;
            const BuildResult built = build(image, -1, &problems);
            QCOMPARE(built.code, int(DFS_E_DATA));
            QCOMPARE(int(problems.size()), 120);
            QStringList named;
            for (const IndexProblem& p : problems) {
                QCOMPARE(int(p.kind), int(IndexProblem::RefusedDirectory));
                named << QString::fromStdU16String(p.folder);
            }
            named.sort();
            QCOMPARE(named.first(), QString("Many_f25_00001"));
            QCOMPARE(named.last(), QString("Many_f25_00120"));
            QCOMPARE(int(named.removeDuplicates()), 0);
        }
    }

    // Random damage to the directories and the FAT: any result, but an answer.
    void damagedDirectories()
    {
        const QString image = m_work.filePath("damaged.img");
        const QByteArray boot = readAt(m_standard, 2048 * 512, 512);
        const auto* b = reinterpret_cast<const uint8_t*>(boot.constData());
        const qint64 fatStart = (2048 + qint64(Get32(b + 80))) * 512;
        const qint64 heapStart = (2048 + qint64(Get32(b + 88))) * 512;
        const qint64 clusterBytes = 512LL << b[109];
        std::mt19937 random(20261209);
        for (int round = 0; round < 20; ++round) {
            QFile::remove(image);
            QVERIFY(QFile::copy(m_standard, image));
            QFile f(image);
            QVERIFY(f.open(QIODevice::ReadWrite));
            for (int i = 0; i < 24; ++i) {
                // Root directory and the first folders lie in the first clusters of
                // the heap; the FAT covers the chains.
                const bool fat = random() % 4 == 0;
                const qint64 span = fat ? 4 * 600 : clusterBytes * 130;
                const qint64 at = (fat ? fatStart : heapStart + 3 * clusterBytes) + qint64(random() % span);
                f.seek(at);
                const char byte = char(random());
                f.write(&byte, 1);
            }
            f.close();
            const BuildResult r = build(image);
            QVERIFY(r.code <= 0);
            if (r.code == 0)
                QVERIFY(r.index.size() >= int(kFrameTableOffset));
        }
    }

    // Not a check: bench/index.sh times the builder through this on a large image.
    void timeLargeImage()
    {
        const QString image = QString::fromLocal8Bit(qgetenv("QUORVEL_INDEX_BENCH_IMAGE"));
        if (image.isEmpty())
            QSKIP("set QUORVEL_INDEX_BENCH_IMAGE to time the builder on an image");
        const int runs = qMax(1, qEnvironmentVariableIntValue("QUORVEL_INDEX_BENCH_RUNS"));
        qint64 best = -1;
        BuildResult r;
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            r = build(image, 2048 * 512);
            const qint64 ns = timer.nsecsElapsed();
            QCOMPARE(r.code, 0);
            best = best < 0 ? ns : qMin(best, ns);
        }
        std::printf("index-seconds %.3f entries %d\n", double(best) / 1e9,
                    int((r.index.size() - kFrameTableOffset) / kFrameEntrySize));
    }
};

QTEST_GUILESS_MAIN(TestIndexBuilder)
#include "tst_indexbuilder.moc"
