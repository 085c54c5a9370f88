// The eight FTP server keys of a file row's item map, in the order in which
// they travel everywhere: the server dialog, the saved settings array and the
// FTP preset file.
#pragma once

#include <QString>

#include "fileitemkeys.h"

namespace ftpsettings {

inline constexpr int kKeyCount = 8;
inline constexpr const char* kKeys[kKeyCount] = {
    fileitem::kPrimaryServerKey,   fileitem::kPrimaryPortKey,   fileitem::kPrimaryUsernameKey,
    fileitem::kPrimaryPasswordKey, fileitem::kSecondaryServerKey, fileitem::kSecondaryPortKey,
    fileitem::kSecondaryUsernameKey, fileitem::kSecondaryPasswordKey,
};

// The keys as the server dialog names their fields, for messages.
inline constexpr const char* kFieldNames[kKeyCount] = {
    "Primary Server Address", "Primary Port", "Primary Username", "Primary Password",
    "Secondary Server Address", "Secondary Port", "Secondary Username", "Secondary Password",
};

// A value as it may be stored: the preset file has one row a line, so a
// pasted line break would shift every later row onto other servers.
inline QString storable(QString value)
{
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    return value;
}

inline bool isAddressKey(const QString& key)
{
    return key == QLatin1String(kKeys[0]) || key == QLatin1String(kKeys[4]);
}

// A value as it goes into a row, from the server dialog, the saved settings
// or a preset: without line breaks, which would carry a second command to
// the server, and an address without the blanks around it.
inline QString rowValue(const QString& key, const QString& value)
{
    const QString stored = storable(value);
    return isAddressKey(key) ? stored.trimmed() : stored;
}

} // namespace ftpsettings
