// The file row's item map: the key texts, the state and device numbers that
// maps and settings keep, and the row helpers.
#include <QStandardItemModel>
#include <QtTest>

#include "fileitemmap.h"

class TestFileItemMap : public QObject
{
    Q_OBJECT
private slots:
    // Rows, presets and the FTP settings carry these texts; a rename would
    // lose what they hold.
    void keyTexts_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const std::pair<const char*, const char*> keys[] = {
            {fileitem::kUuidKey, "uuid"},
            {fileitem::kFilenameKey, "filename"},
            {fileitem::kDisplayNameKey, "displayName"},
            {fileitem::kValidKey, "valid"},
            {fileitem::kVideoCodecKey, "videoCodec"},
            {fileitem::kVBitrateKey, "vBitrate"},
            {fileitem::kAudioCodecKey, "audioCodec"},
            {fileitem::kABitrateKey, "aBitrate"},
            {fileitem::kNumAudioStreamsKey, "numAudioStreams"},
            {fileitem::kNumVideoStreamsKey, "numVideoStreams"},
            {fileitem::kFramesKey, "frames"},
            {fileitem::kWidthKey, "width"},
            {fileitem::kHeightKey, "height"},
            {fileitem::kSamplerateKey, "samplerate"},
            {fileitem::kDurationKey, "duration"},
            {fileitem::kModeKey, "mode"},
            {fileitem::kBitrateTypeKey, "bitrateType"},
            {fileitem::kQFHDSplitSupportKey, "QFHDSplitSupport"},
            {fileitem::kTallSplitSupportKey, "TallSplitSupport"},
            {fileitem::kOutputFilenameKey, "outputFilename"},
            {fileitem::kQFHDQuadrantKey, "QFHDQuadrant"},
            {fileitem::kTallPartKey, "TallPart"},
            {fileitem::kIsEncodingKey, "isEncoding"},
            {fileitem::kEncodingProgressKey, "encodingProgress"},
            {fileitem::kEncodingErrorKey, "encodingError"},
            {fileitem::kUploadProgressKey, "uploadProgress"},
            {fileitem::kUploadProgressStringKey, "uploadProgressString"},
            {fileitem::kUploadErrorKey, "uploadError"},
            {fileitem::kCurUploadFileKey, "curUploadFile"},
            {fileitem::kPrimaryServerKey, "primaryServer"},
            {fileitem::kPrimaryPortKey, "primaryPort"},
            {fileitem::kPrimaryUsernameKey, "primaryUsername"},
            {fileitem::kPrimaryPasswordKey, "primaryPassword"},
            {fileitem::kSecondaryServerKey, "secondaryServer"},
            {fileitem::kSecondaryPortKey, "secondaryPort"},
            {fileitem::kSecondaryUsernameKey, "secondaryUsername"},
            {fileitem::kSecondaryPasswordKey, "secondaryPassword"},
            {fileitem::kFtpSetupButtonEnabledKey, "ftpSetupButtonEnabled"},
        };
        for (const auto& k : keys)
            QTest::newRow(k.second) << QString::fromLatin1(k.first) << QString::fromLatin1(k.second);
    }

    void keyTexts()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QCOMPARE(key, text);
    }

    // States are stored in the maps and device rows in the settings
    // ("lastProductIndex") as these numbers.
    void numbers()
    {
        const int states[] = {fileitem::kQueued,        fileitem::kEncoding,  fileitem::kSplitting,
                              fileitem::kEncoded,       fileitem::kEncodingError, fileitem::kUploading,
                              fileitem::kUploaded,      fileitem::kUploadError};
        for (int i = 0; i < 8; ++i)
            QCOMPARE(states[i], i);
        const int devices[] = {fileitem::kPln3300Device,     fileitem::kPln3200Device, fileitem::kPln3100Device,
                               fileitem::kUncompressedDevice, fileitem::kVerrinoHDDevice, fileitem::kVerrinoDevice,
                               fileitem::kKd2000Device,      fileitem::k4KDevice};
        for (int i = 0; i < 8; ++i)
            QCOMPARE(devices[i], i);
        QCOMPARE(int(fileitem::kDeviceCount), 8);
    }

    void stateIsStoredAsNumber()
    {
        QVariantMap map;
        QCOMPARE(fileitem::state(map), fileitem::kQueued);
        fileitem::setState(map, fileitem::kUploadError);
        QCOMPARE(map.value("isEncoding"), QVariant(7));
        QCOMPARE(map.value("isEncoding").userType(), int(QMetaType::Int));
        map.insert("isEncoding", 4);
        QVERIFY(fileitem::state(map) == fileitem::kEncodingError);
    }

    void rowHelpers()
    {
        QStandardItemModel model;
        auto* item = new QStandardItem;
        model.appendRow(item);
        fileitem::storeRowMap(item, {{"filename", "/in/a.mov"}, {"displayName", "a.mov"}});
        const QModelIndex row = model.index(0, 0);
        QCOMPARE(fileitem::text(fileitem::rowMap(row), fileitem::kFilenameKey), QString("/in/a.mov"));
        QCOMPARE(fileitem::rowMap(item), fileitem::rowMap(row));
        QCOMPARE(fileitem::text(fileitem::rowMap(row), fileitem::kOutputFilenameKey), QString());

        fileitem::setRowState(&model, row, fileitem::kSplitting);
        QCOMPARE(item->data(Qt::UserRole).toMap().value("isEncoding"), QVariant(2));
        QCOMPARE(item->data(Qt::UserRole).toMap().value("displayName").toString(), QString("a.mov"));

        QVariantMap map = fileitem::rowMap(row);
        map.insert("outputFilename", "/out/VID00001.mpg");
        fileitem::storeRowMap(&model, row, map);
        QCOMPARE(fileitem::rowMap(row), map);

        // A row removed meanwhile: its index is invalid and nothing is written.
        const QPersistentModelIndex gone(model.index(0, 0));
        model.removeRow(0);
        QVERIFY(!gone.isValid());
        fileitem::storeRowMap(&model, gone, map);
        fileitem::setRowState(&model, gone, fileitem::kEncoded);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(fileitem::rowMap(gone).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileItemMap)
#include "tst_fileitemmap.moc"
