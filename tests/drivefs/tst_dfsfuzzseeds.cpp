// The fuzz target's walk over its seed images and over fixed mutations of
// them: every run ends with codes, never a crash or a hang.
#include <QtTest>

#include <QDir>
#include <random>

#include "fuzz/dfs_fuzzwalk.h"
#include "testutil.h"

class TestDfsFuzzSeeds : public QObject {
    Q_OBJECT

private slots:
    void seeds_data();
    void seeds();
};

void TestDfsFuzzSeeds::seeds_data()
{
    QTest::addColumn<QString>("file");
    const QDir dir(testutil::testsDir() + "/drivefs/fuzz/seeds");
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 4);
    for (const QString& f : files)
        QTest::newRow(qPrintable(f)) << dir.filePath(f);
}

void TestDfsFuzzSeeds::seeds()
{
    QFETCH(QString, file);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray seed = f.readAll();
    const auto* bytes = reinterpret_cast<const uint8_t*>(seed.constData());
    // The seed itself mounts: its files and its clip folder's frames open.
    QVERIFY(dfsfuzz::Walk(bytes, size_t(seed.size())) >= 6);
    // Fixed mutations of the first sectors, where the structures are.
    std::mt19937 rng(uint32_t(qHash(file)));
    const int limit = seed.size() < 64 * 1024 ? seed.size() : 64 * 1024;
    for (int round = 0; round < 150; ++round) {
        QByteArray m = seed;
        const int flips = 1 + int(rng() % 8);
        for (int i = 0; i < flips; ++i)
            m[int(rng() % uint32_t(limit))] = char(rng());
        if (round % 10 == 9)
            m.truncate(int(rng() % uint32_t(m.size())));
        dfsfuzz::Walk(reinterpret_cast<const uint8_t*>(m.constData()), size_t(m.size()));
    }
}

QTEST_GUILESS_MAIN(TestDfsFuzzSeeds)
#include "tst_dfsfuzzseeds.moc"
