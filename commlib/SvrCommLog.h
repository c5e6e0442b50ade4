#pragma once

#include <atomic>
#include <exception>

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

// Inside a catch-all: logs what was caught (the exception's what(), or that it had no standard
// type) and the step that threw it. Never throws: the handler that calls it must not fail in turn.
inline void logCaught(const char16_t* step) noexcept
{
    try {
        try {
            throw;
        } catch (const std::exception& caught) {
            log(u"%s%s Failed: %s", kSvrCommTag, step, QvString::fromUtf8(caught.what()));
        } catch (...) {
            log(u"%s%s Failed: exception of unknown type", kSvrCommTag, step);
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to report a failed log line with
    }
}

// One line to the debug output.
template <class... A>
void debug(const char16_t* fmt, const A&... args)
{
    CQvLogMng::getInstance()->writeDebug(fmt, args...);
}

}  // namespace qvsc
