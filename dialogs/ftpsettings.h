// The eight FTP server keys of a file row's item map, in the order in which
// they travel everywhere: the server dialog, the saved settings array and the
// FTP preset file.
#pragma once

#include <QString>

namespace ftpsettings {

inline constexpr int kKeyCount = 8;
inline constexpr const char* kKeys[kKeyCount] = {
    "primaryServer",   "primaryPort",   "primaryUsername",   "primaryPassword",
    "secondaryServer", "secondaryPort", "secondaryUsername", "secondaryPassword",
};

// A value as it may be stored: the preset file has one row a line, so a
// pasted line break would shift every later row onto other servers.
inline QString storable(QString value)
{
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    return value;
}

} // namespace ftpsettings
