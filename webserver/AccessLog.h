#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace qvplat {
struct SystemTime;
}

// Where the web servers of this process report each answer they send. The log is off until a
// front sets a sink; connections accepted from then on report to it.
class IQvAccessLogSink {
public:
    virtual ~IQvAccessLogSink() = default;
    // One answer sent: the client's address, the request line as received (without its CR LF), the
    // status and the body bytes announced. Called on session threads, several at once.
    virtual void logAnswer(const std::string& address, std::string_view requestLine, int status,
                           long long bodyBytes) = 0;
};

// The process's access log switch and the line format its writers share.
class CQvAccessLog {
public:
    // Sets the sink the servers report to; null turns the log off. Any thread.
    static void setSink(std::shared_ptr<IQvAccessLogSink> sink);
    static std::shared_ptr<IQvAccessLogSink> sink();

    // One line of the common log format, `%h - - [%d/%b/%Y:%H:%M:%S %z] "%r" %>s %b`, without its
    // line end: English month abbreviations, "-" for an empty body, and the request line's bytes
    // outside printable ASCII (and '"', '\') escaped as \xhh, so a line stays one line.
    static std::string formatLine(const std::string& address, const qvplat::SystemTime& time, int utcOffsetMinutes,
                                  std::string_view requestLine, int status, long long bodyBytes);
};
