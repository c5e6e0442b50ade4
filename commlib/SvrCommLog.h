#pragma once

#include <atomic>

#include "foundation/QvLogMng.h"

// Tag that starts every message of the socket framework.
inline constexpr const char16_t* kSvrCommTag = u"[QvSvrComm] ";

namespace qvsc {

// True while the logger's switch is on. While it is off, the first call computes a log path once
// (which creates the "Log" directory, as every log call would), so that a busy server does not pay
// a directory look-up per message.
inline bool isLogOn(const char16_t* prefix)
{
    if (CQvLogMng::getInstance()->isEnabled()) {
        return true;
    }
    static std::atomic<bool> s_logDirMade{false};
    if (!s_logDirMade.exchange(true)) {
        CQvLogMng::getLogFilePath(prefix);
    }
    return false;
}

// Writes one line to the dated log of prefix ("qvsc_", "http_").
template <class... A>
void writeLogTo(const char16_t* prefix, const char16_t* fmt, const A&... args)
{
    if (isLogOn(prefix)) {
        CQvLogMng::getInstance()->writeLog(CQvLogMng::getLogFilePath(prefix), fmt, args...);
    }
}

// The socket framework's own log file.
template <class... A>
void log(const char16_t* fmt, const A&... args)
{
    writeLogTo(u"qvsc_", fmt, args...);
}

// One line to the debug output.
template <class... A>
void debug(const char16_t* fmt, const A&... args)
{
    CQvLogMng::getInstance()->writeDebug(fmt, args...);
}

}  // namespace qvsc
