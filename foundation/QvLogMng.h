#pragma once

#include <cstddef>

#include "foundation/QvFormat.h"
#include "foundation/QvString.h"
#include "platform/LocalTime.h"

// The process-wide diagnostic logger: a file writer (one time-stamped line appended to a named
// file) and a debugger writer (one time-stamped line to the debug output). Its switch is set at
// creation from the build option QV_LOG and never changes: in the shipped build both writers
// return at once, before formatting. Any thread may call the writers.
class CQvLogMng {
public:
    // The message buffer holds 1,024 characters including its terminator; longer text is cut.
    static constexpr size_t kMessageBufferChars = 1024;
    static constexpr size_t kMessageMaxChars = kMessageBufferChars - 1;
#ifdef QV_LOG_ENABLED
    static constexpr bool kSwitchAtCreation = true;
#else
    static constexpr bool kSwitchAtCreation = false;
#endif

    static CQvLogMng* getInstance();
    static void releaseInstance();

    virtual ~CQvLogMng();
    CQvLogMng(const CQvLogMng&) = delete;
    CQvLogMng& operator=(const CQvLogMng&) = delete;

    bool isEnabled() const
    {
        return m_enabled;
    }

    // Appends "[yyyy/mm/dd][hh:mm:ss:mmm] message\n" to path (opened and closed per line).
    // An empty path or a file that cannot be opened writes nothing and reports nothing.
    template <class... A>
    void writeLog(const QvString& path, const char16_t* fmt, const A&... args) const
    {
        if (!m_enabled) {
            return;
        }
        const QvString message = formatMessage(fmt, args...);
        appendFileLine(path, makeFileLine(qvplat::getLocalTime(), message));
    }

    // Sends "[hh:mm:ss:mmm]:message\n" to the debug output.
    template <class... A>
    void writeDebug(const char16_t* fmt, const A&... args) const
    {
        if (!m_enabled) {
            return;
        }
        const QvString message = formatMessage(fmt, args...);
        sendDebugLine(makeDebugLine(qvplat::getLocalTime(), message));
    }

    // The message as the writers format it: at most kMessageMaxChars characters.
    template <class... A>
    static QvString formatMessage(const char16_t* fmt, const A&... args)
    {
        return QvString(qvFormat(kMessageMaxChars, fmt, args...));
    }

    // The dated log file below "Log" beside the executable for prefix ("qvsc_" -> .../Log/qvsc_20261204.log).
    // Creates the "Log" directory (even while the switch is off); empty when it cannot.
    static QvString getLogFilePath(const QvString& prefix);
    // Off: log paths are computed without making the "Log" directory, for a process that must
    // leave no folder behind (the command line's one-shot serve). On by default.
    static void setLogFolderMade(bool make);

    static QvString makeFileLine(const qvplat::SystemTime& time, const QvString& message);
    static QvString makeDebugLine(const qvplat::SystemTime& time, const QvString& message);
    // Opens path for appending, writes line as UTF-8, flushes and closes; false when nothing was written.
    static bool appendFileLine(const QvString& path, const QvString& line);
    static void sendDebugLine(const QvString& line);

private:
    CQvLogMng();

    const bool m_enabled;
};
