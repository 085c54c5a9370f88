// The item map of a file row: its keys (fileitemkeys.h), the states a row
// goes through while encoding, the device rows, and the small helpers that
// read and write a row.
#pragma once

#include <QAbstractItemModel>
#include <QStandardItem>
#include <QString>
#include <QVariantMap>

#include "fileitemkeys.h"

namespace fileitem {

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
