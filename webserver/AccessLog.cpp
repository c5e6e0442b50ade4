#include "webserver/AccessLog.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/LocalTime.h"

namespace {

std::mutex s_sinkMutex;
std::shared_ptr<IQvAccessLogSink> s_sink;

}  // namespace

void CQvAccessLog::setSink(std::shared_ptr<IQvAccessLogSink> sink)
{
    std::lock_guard lock(s_sinkMutex);
    s_sink = std::move(sink);
}

std::shared_ptr<IQvAccessLogSink> CQvAccessLog::sink()
{
    std::lock_guard lock(s_sinkMutex);
    return s_sink;
}

std::string CQvAccessLog::formatLine(const std::string& address, const qvplat::SystemTime& time, int utcOffsetMinutes,
                                     std::string_view requestLine, int status, long long bodyBytes)
{
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* month = time.month >= 1 && time.month <= 12 ? kMonths[time.month - 1] : "???";
    const int offset = std::abs(utcOffsetMinutes);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%02u/%s/%04u:%02u:%02u:%02u %c%02d%02d]", unsigned(time.day), month,
                  unsigned(time.year), unsigned(time.hour), unsigned(time.minute), unsigned(time.second),
                  utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);

    std::string line = address + " - - " + stamp + " \"";
    for (const char c : requestLine) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(byte));
            line += escaped;
        } else {
            line += c;
        }
    }
    line += "\" " + std::to_string(status) + ' ' + (bodyBytes > 0 ? std::to_string(bodyBytes) : std::string("-"));
    return line;
}
