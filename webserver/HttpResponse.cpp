#include "webserver/HttpResponse.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/QvLogMng.h"
#include "platform/LocalTime.h"

namespace {

constexpr int kEnglish = 1;  // formatLocalTime's language selector

}  // namespace

const char16_t* CHttpResponse::reasonText(int status)
{
    switch (status) {
        case 200:
            return u"OK";
        case 400:
            return u"Bad Request";
        case 404:
            return u"Not Found";
        case 415:
            return u"Unsupported Media Type";
        default:
            return u"";
    }
}

std::string CHttpResponse::makeDateBytes()
{
    // The text changes once a second: it is formatted once per second for every thread. (Not per
    // thread: a thread-local string would need memory at a thread's first answer, and without it
    // the C library ends the whole process.)
    struct DateCache {
        std::mutex mutex;
        qvplat::SystemTime time{};
        std::string bytes;
    };
    static DateCache* s_cache = new DateCache();  // never destroyed: answers may run while the process ends
    const qvplat::SystemTime now = qvplat::getLocalTime();
    const auto sameSecond = [&now](const qvplat::SystemTime& time) {
        return now.year == time.year && now.month == time.month && now.day == time.day &&
               now.dayOfWeek == time.dayOfWeek && now.hour == time.hour && now.minute == time.minute &&
               now.second == time.second;
    };
    {
        std::lock_guard lock(s_cache->mutex);
        if (!s_cache->bytes.empty() && sameSecond(s_cache->time)) {
            return s_cache->bytes;
        }
    }
    QvString text;
    text.formatTime(kDateTemplate, kEnglish, now);
    std::string bytes = text.toUtf8();
    std::lock_guard lock(s_cache->mutex);
    s_cache->bytes = bytes;
    s_cache->time = now;
    return bytes;
}

std::string CHttpResponse::buildHeaderBytes(int status, const QvString& contentType, long long bodyLength,
                                            std::string_view dateBytes)
{
    // Written as bytes straight away: every answer pays for this, and all but the content type
    // and the date are ASCII.
    std::string header;
    header.reserve(192);
    header += "HTTP/1.1 ";
    header += std::to_string(status);
    header += ' ';
    for (const char16_t c : std::u16string_view(reasonText(status))) {
        header += static_cast<char>(c);  // the reason texts are ASCII
    }
    header += "\r\nDate: ";
    header += dateBytes;
    header += "\r\nServer: QvLocalWebSvr\r\n";
    // Announced although the worker closes the connection shortly after the answer.
    header += "Connection: Keep-Alive\r\nContent-Type: ";
    header += contentType.toUtf8();
    if (bodyLength != 0) {
        header += "\r\nContent-Length: ";
        header += std::to_string(bodyLength);
    }
    header += "\r\n\r\n";
    return header;
}

std::string CHttpResponse::buildHeaderBytes(int status, const QvString& contentType, long long bodyLength)
{
    std::string header = buildHeaderBytes(status, contentType, bodyLength, makeDateBytes());
    CQvLogMng* log = CQvLogMng::getInstance();
    if (log->isEnabled()) {
        log->writeDebug(u"Response >>>>>>\n%s\nResponse <<<<<<", QvString::fromUtf8(header));
    }
    return header;
}

int CHttpResponse::buildResponse(int status, const unsigned char* body, int bodyLength, const QvString& contentType,
                                 std::unique_ptr<unsigned char[]>& out)
{
    if (body == nullptr || bodyLength < 0) {
        bodyLength = 0;
    }
    const std::string headerBytes = buildHeaderBytes(status, contentType, bodyLength);
    const std::size_t total = headerBytes.size() + static_cast<std::size_t>(bodyLength);
    out = std::make_unique_for_overwrite<unsigned char[]>(total);
    std::memcpy(out.get(), headerBytes.data(), headerBytes.size());
    if (bodyLength > 0) {
        std::memcpy(out.get() + headerBytes.size(), body, static_cast<std::size_t>(bodyLength));
    }
    return static_cast<int>(total);
}
