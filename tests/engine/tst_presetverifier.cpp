// PresetVerifier against the committed Presets/ folder and altered copies.
#include "presetverifier.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// The preset files the program ships, in sorted order.
const QStringList kShipped = {
    "1080i_ntsc_h264_high.mps", "1080i_ntsc_h264_low.mps", "1080i_ntsc_h264_medium.mps",
    "1080i_ntsc_mpeg2_high.mps", "1080i_ntsc_mpeg2_low.mps", "1080i_ntsc_mpeg2_medium.mps",
    "1080i_pal_h264_high.mps", "1080i_pal_h264_low.mps", "1080i_pal_h264_medium.mps",
    "1080i_pal_mpeg2_high.mps", "1080i_pal_mpeg2_low.mps", "1080i_pal_mpeg2_medium.mps",
    "1080p_23976_h264_high.mps", "1080p_23976_h264_low.mps", "1080p_23976_h264_medium.mps",
    "1080p_23976_mpeg2_high.mps", "1080p_23976_mpeg2_low.mps", "1080p_23976_mpeg2_medium.mps",
    "1080p_5994_h264_high.mps", "1080p_5994_h264_high3.mps", "1080p_5994_h264_high_old.mps",
    "1080p_5994_h264_low.mps", "1080p_5994_h264_medium.mps", "1080p_5994_h264_medium3.mps",
    "1080p_5994_h264_medium_old.mps", "1080p_ntsc_h264_high.mps", "1080p_ntsc_h264_low.mps",
    "1080p_ntsc_h264_medium.mps", "1080p_ntsc_mpeg2_high.mps", "1080p_ntsc_mpeg2_low.mps",
    "1080p_ntsc_mpeg2_medium.mps", "1080p_pal_h264_high.mps", "1080p_pal_h264_low.mps",
    "1080p_pal_h264_medium.mps", "1080p_pal_mpeg2_high.mps", "1080p_pal_mpeg2_low.mps",
    "1080p_pal_mpeg2_medium.mps", "480i_ntsc_h264_high.mps", "480i_ntsc_h264_low.mps",
    "480i_ntsc_h264_medium.mps", "480i_ntsc_mpeg2_high.mps", "480i_ntsc_mpeg2_low.mps",
    "480i_ntsc_mpeg2_medium.mps", "480i_ps_ntsc_mpeg2_high.mps", "480i_ps_ntsc_mpeg2_low.mps",
    "480i_ps_ntsc_mpeg2_medium.mps", "480p_ntsc_h264_high.mps", "480p_ntsc_h264_low.mps",
    "480p_ntsc_h264_medium.mps", "480p_ntsc_mpeg2_high.mps", "480p_ntsc_mpeg2_low.mps",
    "480p_ntsc_mpeg2_medium.mps", "480p_ps_ntsc_mpeg2_high.mps", "480p_ps_ntsc_mpeg2_low.mps",
    "480p_ps_ntsc_mpeg2_medium.mps", "576i_pal_h264_high.mps", "576i_pal_h264_low.mps",
    "576i_pal_h264_medium.mps", "576i_pal_mpeg2_high.mps", "576i_pal_mpeg2_low.mps",
    "576i_pal_mpeg2_medium.mps", "576i_ps_pal_mpeg2_high.mps", "576i_ps_pal_mpeg2_low.mps",
    "576i_ps_pal_mpeg2_medium.mps", "576p_pal_h264_high.mps", "576p_pal_h264_low.mps",
    "576p_pal_h264_medium.mps", "576p_pal_mpeg2_high.mps", "576p_pal_mpeg2_low.mps",
    "576p_pal_mpeg2_medium.mps", "576p_ps_pal_mpeg2_high.mps", "576p_ps_pal_mpeg2_low.mps",
    "576p_ps_pal_mpeg2_medium.mps", "720p_ntsc_h264_high.mps", "720p_ntsc_h264_low.mps",
    "720p_ntsc_h264_medium.mps", "720p_ntsc_mpeg2_high.mps", "720p_ntsc_mpeg2_low.mps",
    "720p_ntsc_mpeg2_medium.mps", "720p_pal_h264_high.mps", "720p_pal_h264_low.mps",
    "720p_pal_h264_medium.mps", "720p_pal_mpeg2_high.mps", "720p_pal_mpeg2_low.mps",
    "720p_pal_mpeg2_medium.mps",
};

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("QUORVEL_SOURCE_DIR"));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

bool copyPresets(const QString& from, const QString& to)
{
    for (const QString& name : kShipped)
        if (!QFile::copy(from + "/" + name, to + "/" + name))
            return false;
    return true;
}

bool verifies(const QString& folder)
{
    return PresetVerifier(QDir(folder)).verify();
}
} // namespace

class TestPresetVerifier : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void digestTableMatchesCommittedPresets();
    void shippedFolderVerifies();
    void everyShippedFileIsKnownAndChecked();
    void changedByteFails();
    void extraPresetFails();
    void otherFilesAndMissingPresetsPass();

private:
    QString presets; // the committed folder
};

void TestPresetVerifier::initTestCase()
{
    QVERIFY2(!sourceDir().isEmpty(), "QUORVEL_SOURCE_DIR not set");
    presets = sourceDir() + "/Presets";
    QCOMPARE(kShipped.count(), 85);
}

// The compiled-in table is generated from Presets/ by tools/preset_digests.sh:
// recompute every digest so that the two cannot drift apart unnoticed.
void TestPresetVerifier::digestTableMatchesCommittedPresets()
{
    const QByteArray table = readFile(sourceDir() + "/engine/presetdigests.inc");
    QVERIFY(!table.isEmpty());
    const QRegularExpression row(
        R"re(\{QStringLiteral\("([^"]+)"\), QStringLiteral\("([0-9a-f]{32})"\)\},)re");
    QMap<QString, QString> fromTable;
    auto it = row.globalMatch(QString::fromUtf8(table));
    while (it.hasNext()) {
        const auto m = it.next();
        fromTable.insert(m.captured(1), m.captured(2));
    }
    QMap<QString, QString> fromFiles;
    for (const QString& name : QDir(presets).entryList({"*.mps"}, QDir::Files))
        fromFiles.insert(name, QString::fromLatin1(QCryptographicHash::hash(
            readFile(presets + "/" + name), QCryptographicHash::Md5).toHex()));
    QCOMPARE(fromFiles.keys(), kShipped);
    QCOMPARE(fromTable.keys(), kShipped);
    for (const QString& name : kShipped)
        QVERIFY2(fromTable.value(name) == fromFiles.value(name),
                 qPrintable(name + ": run tools/preset_digests.sh"));
}

void TestPresetVerifier::shippedFolderVerifies()
{
    QVERIFY(verifies(presets));
    // The copy the program reads from its current folder.
    QVERIFY(PresetVerifier(QDir(QDir::currentPath() + "/Presets/")).verify());
}

// Each shipped name is in the compiled table with the digest of its file:
// alone in a folder it passes, and with one byte changed it fails.
void TestPresetVerifier::everyShippedFileIsKnownAndChecked()
{
    for (const QString& name : kShipped) {
        QTemporaryDir dir;
        QByteArray data = readFile(presets + "/" + name);
        QVERIFY(!data.isEmpty());
        QVERIFY(writeFile(dir.filePath(name), data));
        QVERIFY2(verifies(dir.path()), qPrintable(name));
        data[data.size() / 2] = char(data[data.size() / 2] ^ 0x01);
        QVERIFY(writeFile(dir.filePath(name), data));
        QVERIFY2(!verifies(dir.path()), qPrintable(name));
    }
}

void TestPresetVerifier::changedByteFails()
{
    QTemporaryDir dir;
    QVERIFY(copyPresets(presets, dir.path()));
    QVERIFY(verifies(dir.path()));
    const QString victim = dir.filePath("720p_pal_mpeg2_medium.mps");
    QByteArray data = readFile(victim);
    data[0] = char(data[0] + 1);
    QVERIFY(writeFile(victim, data));
    QVERIFY(!verifies(dir.path()));

    // Truncated to nothing.
    QTemporaryDir emptied;
    QVERIFY(copyPresets(presets, emptied.path()));
    QVERIFY(writeFile(emptied.filePath("1080i_ntsc_h264_high.mps"), QByteArray()));
    QVERIFY(!verifies(emptied.path()));
}

void TestPresetVerifier::extraPresetFails()
{
    QTemporaryDir dir;
    QVERIFY(copyPresets(presets, dir.path()));
    // Even a copy of a shipped preset under another name is unknown.
    QVERIFY(QFile::copy(dir.filePath("480i_ntsc_h264_low.mps"), dir.filePath("extra.mps")));
    QVERIFY(!verifies(dir.path()));
    QVERIFY(QFile::remove(dir.filePath("extra.mps")));
    QVERIFY(verifies(dir.path()));
    QVERIFY(writeFile(dir.filePath("1080p_5994_h264_high_new.mps"), "preset"));
    QVERIFY(!verifies(dir.path()));
}

void TestPresetVerifier::otherFilesAndMissingPresetsPass()
{
    QTemporaryDir dir;
    QVERIFY(verifies(dir.path())); // empty folder
    QVERIFY(copyPresets(presets, dir.path()));
    QVERIFY(writeFile(dir.filePath("readme.txt"), "not a preset"));
    QVERIFY(writeFile(dir.filePath("720p_pal_mpeg2_medium.mps.bak"), "old"));
    QVERIFY(verifies(dir.path()));
    // Missing presets are left to the encoder, which reports the file it lacks.
    QVERIFY(QFile::remove(dir.filePath("576p_pal_h264_low.mps")));
    QVERIFY(verifies(dir.path()));
}

QTEST_GUILESS_MAIN(TestPresetVerifier)
#include "tst_presetverifier.moc"
