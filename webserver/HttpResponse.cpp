#include "webserver/HttpResponse.h"

#include <cstring>
#include <string>

#include "foundation/QvLogMng.h"
#include "foundation/QvStringArray.h"
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

QvString CHttpResponse::makeDateText()
{
    // The text changes once a second: each thread formats it once per second it answers in.
    const qvplat::SystemTime now = qvplat::getLocalTime();
    thread_local qvplat::SystemTime t_time{};
    thread_local QvString t_text;
    const auto sameSecond = [&] {
        return now.year == t_time.year && now.month == t_time.month && now.day == t_time.day &&
               now.dayOfWeek == t_time.dayOfWeek && now.hour == t_time.hour && now.minute == t_time.minute &&
               now.second == t_time.second;
    };
    if (t_text.isEmpty() || !sameSecond()) {
        QvString text;
        text.formatTime(kDateTemplate, kEnglish, now);
        t_text = text;
        t_time = now;
    }
    return QvString(t_text.view());
}

QvString CHttpResponse::buildHeaderText(int status, const QvString& contentType, long long bodyLength,
                                        const QvString& dateText)
{
    QvStringArray lines;
    lines.addFormat(u"HTTP/1.1 %d %s", status, reasonText(status));
    lines.addFormat(u"Date: %s", dateText);
    lines.add(u"Server: QvLocalWebSvr");
    // Announced although the worker closes the connection shortly after the answer.
    lines.add(u"Connection: Keep-Alive");
    lines.addFormat(u"Content-Type: %s", contentType);
    if (bodyLength != 0) {
        lines.addFormat(u"Content-Length: %d", bodyLength);
    }
    QvString header = lines.join(u"\r\n");
    header.append(u"\r\n\r\n");
    return header;
}

std::string CHttpResponse::buildHeaderBytes(int status, const QvString& contentType, long long bodyLength)
{
    const QvString header = buildHeaderText(status, contentType, bodyLength, makeDateText());
    CQvLogMng::getInstance()->writeDebug(u"Response >>>>>>\n%s\nResponse <<<<<<", header);
    return header.toUtf8();
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
