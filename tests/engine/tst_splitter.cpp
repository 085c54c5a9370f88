// FileSplitter on real files, including a file system that runs out of space.
#include "filesplitter.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {
QByteArray randomBytes(qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(QRandomGenerator::global()->bounded(256));
    return data;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() && f.flush();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray concatenated(const QStringList& parts)
{
    QByteArray all;
    for (const QString& p : parts)
        all += readFile(p);
    return all;
}

// A tmpfs of a few pages, mounted for one test and always unmounted.
class SmallMount
{
public:
    bool mount(int kib)
    {
        if (!dir.isValid())
            return false;
        mounted = testutil::run("mount", {"-t", "tmpfs", "-o", QString("size=%1k").arg(kib),
                                          "quorvel-split-test", dir.path()})
                      .ok();
        return mounted;
    }
    ~SmallMount()
    {
        if (mounted)
            testutil::run("umount", {dir.path()});
    }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    bool mounted = false;
};
} // namespace

class TestFileSplitter : public QObject
{
    Q_OBJECT
private slots:
    void sizeBoundaries_data();
    void sizeBoundaries();
    void namesAndFolders();
    void thousandsOfParts();
    void partSizeNotWholeBlocks();
    void eventLoopRunsDuringSplit();
    void fullFileSystemKeepsSource();
    void unreadableSourceKeepsSource();
    void fileSizeLimitNamesTheReason_data();
    void fileSizeLimitNamesTheReason();
    void benchmarkSplit();
};

void TestFileSplitter::sizeBoundaries_data()
{
    QTest::addColumn<qint64>("partSize");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<qint64>>("partSizes"); // empty: not split

    const qint64 p = 4096;
    QTest::newRow("empty") << p << qint64(0) << QList<qint64>{};
    QTest::newRow("one byte") << p << qint64(1) << QList<qint64>{};
    QTest::newRow("exactly one part") << p << p << QList<qint64>{};
    QTest::newRow("one byte over") << p << p + 1 << QList<qint64>{p, 1};
    QTest::newRow("exactly two parts") << p << 2 * p << QList<qint64>{p, p};
    QTest::newRow("three and a bit") << p << 3 * p + 5 << QList<qint64>{p, p, p, 5};
    QTest::newRow("block boundary") << qint64(1024) << qint64(1025) << QList<qint64>{1024, 1};
}

void TestFileSplitter::sizeBoundaries()
{
    QFETCH(qint64, partSize);
    QFETCH(qint64, size);
    QFETCH(QList<qint64>, partSizes);

    QTemporaryDir dir;
    const QString source = dir.filePath("clip.mpg");
    const QByteArray data = randomBytes(size);
    QVERIFY(writeFile(source, data));

    FileSplitter splitter;
    QSignalSpy done(&splitter, &FileSplitter::splitDone);
    const QStringList result = splitter.split(source, partSize);
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toStringList(), result);
    QCOMPARE(readFile(source), data); // the source is never changed

    if (partSizes.isEmpty()) {
        QCOMPARE(result, QStringList{source});
        QVERIFY(!QFileInfo::exists(dir.filePath("clipmpg")));
        return;
    }
    QStringList expected{dir.filePath("clipmpg/clip.mpg")};
    for (int i = 1; i < partSizes.count(); ++i)
        expected << dir.filePath(QString("clipmpg/clip.%1").arg(i, 3, 10, QChar('0')));
    QCOMPARE(result, expected);
    for (int i = 0; i < partSizes.count(); ++i)
        QCOMPARE(QFileInfo(result.at(i)).size(), partSizes.at(i));
    QCOMPARE(QDir(dir.filePath("clipmpg")).entryList(QDir::Files).count(), partSizes.count());
    QCOMPARE(concatenated(result), data);
}

void TestFileSplitter::namesAndFolders()
{
    QTemporaryDir dir;
    const QString source = dir.filePath("show.final.mpg");
    const QByteArray data = randomBytes(2500);
    QVERIFY(writeFile(source, data));

    FileSplitter splitter;
    const QStringList first = splitter.split(source, 1024);
    QCOMPARE(first, QStringList({dir.filePath("show.finalmpg/show.mpg"),
                                 dir.filePath("show.finalmpg/show.001"),
                                 dir.filePath("show.finalmpg/show.002")}));
    QCOMPARE(concatenated(first), data);

    // Existing folders are never reused: the next free numbered variant is.
    const QStringList second = splitter.split(source, 1024);
    QCOMPARE(second.first(), dir.filePath("show.finalmpg0/show.mpg"));
    QVERIFY(QDir().mkdir(dir.filePath("show.finalmpg1")));
    const QStringList third = splitter.split(source, 1024);
    QCOMPARE(third.first(), dir.filePath("show.finalmpg2/show.mpg"));
    QCOMPARE(concatenated(third), data);
    QVERIFY(QDir(dir.filePath("show.finalmpg1")).isEmpty());
    QCOMPARE(concatenated(first), data); // the first split was left alone

    // A relative path still places the folder next to the file.
    QVERIFY(QDir::setCurrent(dir.path()));
    const QStringList relative = splitter.split("show.final.mpg", 2048);
    QCOMPARE(relative, QStringList({dir.filePath("show.finalmpg3/show.mpg"),
                                    dir.filePath("show.finalmpg3/show.001")}));
}

void TestFileSplitter::thousandsOfParts()
{
    QTemporaryDir dir;
    const QString source = dir.filePath("long.mpg");
    const QByteArray data = randomBytes(1001 * 1024 + 1);
    QVERIFY(writeFile(source, data));
    const QStringList parts = FileSplitter().split(source, 1024);
    QCOMPARE(parts.count(), 1002);
    QCOMPARE(QFileInfo(parts.at(999)).fileName(), QString("long.999"));
    QCOMPARE(QFileInfo(parts.at(1000)).fileName(), QString("long.1000"));
    QCOMPARE(QFileInfo(parts.at(1001)).fileName(), QString("long.1001"));
    QCOMPARE(QFileInfo(parts.last()).size(), qint64(1));
    QCOMPARE(concatenated(parts), data);
}

void TestFileSplitter::partSizeNotWholeBlocks()
{
    // No part may exceed the size the caller split for, and every listed
    // part must exist.
    QTemporaryDir dir;
    const QString source = dir.filePath("odd.mpg");
    const QByteArray data = randomBytes(4000);
    QVERIFY(writeFile(source, data));
    const QStringList parts = FileSplitter().split(source, 1500);
    QCOMPARE(parts.count(), 3);
    QCOMPARE(QFileInfo(parts.at(0)).size(), qint64(1500));
    QCOMPARE(QFileInfo(parts.at(1)).size(), qint64(1500));
    QCOMPARE(QFileInfo(parts.at(2)).size(), qint64(1000));
    QCOMPARE(concatenated(parts), data);

    QCOMPARE(FileSplitter().split(source, 0), QStringList{source});
    QCOMPARE(FileSplitter().split(source, -5), QStringList{source});
}

void TestFileSplitter::eventLoopRunsDuringSplit()
{
    QTemporaryDir dir;
    const QString source = dir.filePath("busy.mpg");
    QVERIFY(writeFile(source, randomBytes(64 * 1024)));
    int ticks = 0;
    QTimer timer;
    timer.setInterval(0);
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    const QStringList parts = FileSplitter().split(source, 16 * 1024);
    timer.stop();
    QCOMPARE(parts.count(), 4);
    // One chance per 1 KiB block: far more than a handful of ticks.
    QVERIFY2(ticks >= 32, qPrintable(QString::number(ticks)));
}

void TestFileSplitter::fullFileSystemKeepsSource()
{
    SmallMount small;
    if (!small.mount(256))
        QSKIP("could not mount a small tmpfs (needs root and mount)");
    const QString source = small.path() + "/big.mpg";
    const QByteArray data = randomBytes(160 * 1024);
    QVERIFY(writeFile(source, data));

    FileSplitter splitter;
    QSignalSpy done(&splitter, &FileSplitter::splitDone);
    // 160 KiB of parts cannot fit in the ~96 KiB left.
    const QStringList result = splitter.split(source, 32 * 1024);
    QCOMPARE(result, QStringList{source});
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toStringList(), result);
    QCOMPARE(readFile(source), data);
    QCOMPARE(QDir(small.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"big.mpg"});

    // With the space back, the same split succeeds in a folder of the plain name.
    const QString smaller = small.path() + "/small.mpg";
    QVERIFY(QFile::remove(source));
    const QByteArray part = randomBytes(80 * 1024);
    QVERIFY(writeFile(smaller, part));
    const QStringList parts = splitter.split(smaller, 32 * 1024);
    QCOMPARE(parts.count(), 3);
    QCOMPARE(parts.first(), small.path() + "/smallmpg/small.mpg");
    QCOMPARE(concatenated(parts), part);
}

void TestFileSplitter::unreadableSourceKeepsSource()
{
    // A directory has a size but no bytes to read.
    QTemporaryDir dir;
    const QString source = dir.filePath("notafile.mpg");
    QVERIFY(QDir().mkdir(source));
    const qint64 size = QFileInfo(source).size();
    if (size <= 1024)
        QSKIP("directory size too small on this file system");
    const QStringList result = FileSplitter().split(source, 1024);
    QCOMPARE(result, QStringList{source});
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"notafile.mpg"});
}

void TestFileSplitter::fileSizeLimitNamesTheReason_data()
{
    QTest::addColumn<qint64>("limit");
    // Limits that stop a part inside a write, at a write's end and at the
    // very start: each failure names the system's reason.
    QTest::newRow("inside the first write") << qint64(1000);
    QTest::newRow("at 48 KiB") << qint64(49152);
    QTest::newRow("50000 bytes") << qint64(50000);
    QTest::newRow("at 64 KiB") << qint64(65536);
    QTest::newRow("past 64 KiB") << qint64(70001);
}

void TestFileSplitter::fileSizeLimitNamesTheReason()
{
    QFETCH(qint64, limit);
    QTemporaryDir dir;
    const QString source = dir.filePath("limited.mpg");
    const QByteArray data = randomBytes(160 * 1024);
    QVERIFY(writeFile(source, data));

    // The limit holds for this process only while it splits; an ignored
    // SIGXFSZ lets the write that crosses it fail with EFBIG.
    FileSplitter splitter;
    QStringList result;
    {
        struct rlimit old;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        struct rlimit limited = old;
        limited.rlim_cur = rlim_t(limit);
        void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        result = splitter.split(source, 100 * 1024);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, oldHandler);
    }
    QCOMPARE(result, QStringList{source});
    QCOMPARE(splitter.errorString(), QString::fromLocal8Bit(std::strerror(EFBIG)));
    QCOMPARE(readFile(source), data);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"limited.mpg"});

    // Without the limit the same split succeeds and clears the reason.
    const QStringList parts = splitter.split(source, 100 * 1024);
    QCOMPARE(parts.count(), 2);
    QVERIFY(splitter.errorString().isEmpty());
    QCOMPARE(concatenated(parts), data);
}

// Run by bench/split.sh: splits QUORVEL_BENCH_SPLIT_FILE into parts of
// QUORVEL_BENCH_PART_SIZE bytes and prints the time taken.
void TestFileSplitter::benchmarkSplit()
{
    const QString file = QString::fromLocal8Bit(qgetenv("QUORVEL_BENCH_SPLIT_FILE"));
    const qint64 partSize = qgetenv("QUORVEL_BENCH_PART_SIZE").toLongLong();
    if (file.isEmpty() || partSize <= 0)
        QSKIP("benchmark only (bench/split.sh)");
    QElapsedTimer timer;
    timer.start();
    const QStringList parts = FileSplitter().split(file, partSize);
    const qint64 ms = timer.elapsed();
    QVERIFY(parts.count() > 1);
    fprintf(stderr, "BENCH_MS %lld\nBENCH_DIR %s\n", static_cast<long long>(ms),
            qPrintable(QFileInfo(parts.first()).absolutePath()));
}

QTEST_GUILESS_MAIN(TestFileSplitter)
#include "tst_splitter.moc"
