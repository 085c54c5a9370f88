// The item map of a file row: the QVariantMap under Qt::UserRole of each row
// of the main window's file, output and progress lists. Its keys, the states
// a row goes through while encoding and the device rows are named here once.
#pragma once

#include <QAbstractItemModel>
#include <QStandardItem>
#include <QString>
#include <QVariantMap>

#include "ftpsettings.h"

namespace fileitem {

// Set when the file is added.
inline constexpr const char* kUuidKey = "uuid";
inline constexpr const char* kFilenameKey = "filename";
inline constexpr const char* kDisplayNameKey = "displayName";

// Set by the probe. These carry the probe's own names
// (TranscodeEngine::probeFile), so the probe is read by them.
inline constexpr const char* kValidKey = "valid";
inline constexpr const char* kVideoCodecKey = "videoCodec";
inline constexpr const char* kVBitrateKey = "vBitrate";
inline constexpr const char* kAudioCodecKey = "audioCodec";
inline constexpr const char* kABitrateKey = "aBitrate";
inline constexpr const char* kNumAudioStreamsKey = "numAudioStreams";
inline constexpr const char* kNumVideoStreamsKey = "numVideoStreams";
inline constexpr const char* kFramesKey = "frames";
inline constexpr const char* kWidthKey = "width";
inline constexpr const char* kHeightKey = "height";
inline constexpr const char* kSamplerateKey = "samplerate";
// Set from the probe in the row's own words.
inline constexpr const char* kDurationKey = "duration";
inline constexpr const char* kModeKey = "mode";
inline constexpr const char* kBitrateTypeKey = "bitrateType";
inline constexpr const char* kQFHDSplitSupportKey = "QFHDSplitSupport";
inline constexpr const char* kTallSplitSupportKey = "TallSplitSupport";

// Set when the outputs are named; a quadrant or part row is a copy of its
// source row with the number of its piece.
inline constexpr const char* kOutputFilenameKey = "outputFilename";
inline constexpr const char* kQFHDQuadrantKey = "QFHDQuadrant";
inline constexpr const char* kTallPartKey = "TallPart";

// Set by the encode loop and the uploads. kIsEncodingKey holds an EncodingState.
inline constexpr const char* kIsEncodingKey = "isEncoding";
inline constexpr const char* kEncodingProgressKey = "encodingProgress";
inline constexpr const char* kEncodingErrorKey = "encodingError";
inline constexpr const char* kUploadProgressKey = "uploadProgress";
inline constexpr const char* kUploadProgressStringKey = "uploadProgressString";
inline constexpr const char* kUploadErrorKey = "uploadError";
inline constexpr const char* kCurUploadFileKey = "curUploadFile";

// The FTP servers of the row, as the FTP dialogs write them.
inline constexpr const char* kPrimaryServerKey = ftpsettings::kKeys[0];
inline constexpr const char* kPrimaryPortKey = ftpsettings::kKeys[1];
inline constexpr const char* kPrimaryUsernameKey = ftpsettings::kKeys[2];
inline constexpr const char* kPrimaryPasswordKey = ftpsettings::kKeys[3];
inline constexpr const char* kSecondaryServerKey = ftpsettings::kKeys[4];
inline constexpr const char* kSecondaryPortKey = ftpsettings::kKeys[5];
inline constexpr const char* kSecondaryUsernameKey = ftpsettings::kKeys[6];
inline constexpr const char* kSecondaryPasswordKey = ftpsettings::kKeys[7];
inline constexpr const char* kFtpSetupButtonEnabledKey = "ftpSetupButtonEnabled";

// The values of kIsEncodingKey. They are stored in the maps as numbers.
enum EncodingState : int {
    kQueued = 0,
    kEncoding = 1,
    kSplitting = 2,
    kEncoded = 3,
    kEncodingError = 4,
    kUploading = 5,
    kUploaded = 6,
    kUploadError = 7,
};

// The rows of the device list. The index is saved in the settings
// ("lastProductIndex"), so a device keeps its number.
enum Device : int {
    kPln3300Device = 0,
    kPln3200Device = 1,
    kPln3100Device = 2,
    kUncompressedDevice = 3,
    kVerrinoHDDevice = 4,
    kVerrinoDevice = 5,
    kKd2000Device = 6,
    k4KDevice = 7,
    kDeviceCount = 8,
};

inline QVariantMap rowMap(const QModelIndex& index)
{
    return index.data(Qt::UserRole).toMap();
}

inline QVariantMap rowMap(const QStandardItem* item)
{
    return item->data(Qt::UserRole).toMap();
}

// A row removed meanwhile has an invalid index and is left alone.
inline void storeRowMap(QAbstractItemModel* model, const QModelIndex& index, const QVariantMap& map)
{
    if (index.isValid())
        model->setData(index, map, Qt::UserRole);
}

inline void storeRowMap(QStandardItem* item, const QVariantMap& map)
{
    item->setData(map, Qt::UserRole);
}

inline EncodingState state(const QVariantMap& map)
{
    return EncodingState(map.value(QLatin1String(kIsEncodingKey)).toInt());
}

inline void setState(QVariantMap& map, EncodingState state)
{
    map.insert(QLatin1String(kIsEncodingKey), int(state));
}

inline void setRowState(QAbstractItemModel* model, const QModelIndex& index, EncodingState state)
{
    if (!index.isValid())
        return;
    QVariantMap map = rowMap(index);
    setState(map, state);
    storeRowMap(model, index, map);
}

// The value under key as text, empty when there is none.
inline QString text(const QVariantMap& map, const char* key)
{
    return map.value(QLatin1String(key)).toString();
}

} // namespace fileitem
