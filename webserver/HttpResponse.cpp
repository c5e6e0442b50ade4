#include "webserver/HttpResponse.h"

#include <cstring>
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
    // The text changes once a second: each thread formats it once per second it answers in.
    const qvplat::SystemTime now = qvplat::getLocalTime();
    thread_local qvplat::SystemTime t_time{};
    thread_local std::string t_bytes;
    const auto sameSecond = [&] {
        return now.year == t_time.year && now.month == t_time.month && now.day == t_time.day &&
               now.dayOfWeek == t_time.dayOfWeek && now.hour == t_time.hour && now.minute == t_time.minute &&
               now.second == t_time.second;
    };
    if (t_bytes.empty() || !sameSecond()) {
        QvString text;
        text.formatTime(kDateTemplate, kEnglish, now);
        t_bytes = text.toUtf8();
        t_time = now;
    }
    return t_bytes;
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
    header += QvString(reasonText(status)).toUtf8();
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
