// How long an FTP server may keep us waiting, for the uploads and for the
// server dialog's login test alike: a test never hangs where an upload fails.
// Tests shorten both through the environment.
#pragma once

#include <QtGlobal>

namespace ftplimits {

inline long seconds(const char* variable, long fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(variable, &ok);
    return ok && value > 0 ? value : fallback;
}

// A connection not made within this many seconds fails.
inline long connectSeconds() { return seconds("QUORVEL_FTP_CONNECT_SECONDS", 30); }

// A reply, or progress of a transfer, not come within this many seconds fails.
inline long stallSeconds() { return seconds("QUORVEL_FTP_STALL_SECONDS", 60); }

} // namespace ftplimits
