#include "httpclient/QvHttpConnection.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "httpclient/HttpHeaderText.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/AsciiText.h"
#include "platform/HttpTransport.h"
#include "platform/ServiceContext.h"

namespace {

constexpr const char16_t* kUserAgent = u"QvHttpClient";
constexpr const char16_t* kVerbs[] = {u"GET", u"POST", u"PUT", u"DELETE"};

using ResponseBufferLimit = qvplat::ContextSetting<struct ResponseBufferLimitTag, uint32_t>;  // 0: none

std::unique_ptr<unsigned char[]> allocateZeroed(uint32_t bytes)
{
    const uint32_t limit = ResponseBufferLimit::get();
    if (limit != 0 && bytes > limit) {
        return nullptr;
    }
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]());
}

// The known verb that verb names in any case, or null.
const char16_t* canonicalVerb(const QvString& verb)
{
    for (const char16_t* known : kVerbs) {
        if (qvplat::equalsIgnoreAsciiCase(verb.view(), std::u16string_view(known))) {
            return known;
        }
    }
    return nullptr;
}

}  // namespace

// Receives one attempt's response for its connection: header analysis, then the body into one buffer
// that starts at 10,240 bytes and doubles, with the progress hook before every piece.
class QvHttpResponseReader final : public qvplat::IHttpResponseSink {
public:
    explicit QvHttpResponseReader(QvHttpConnection& connection) : m_connection(connection) {}

    bool onResponseHeaders(const std::string& rawHeaders) override
    {
        QvHttpConnection& c = m_connection;
        // Header bytes outside ASCII are Latin text by the protocol; the ANSI table keeps every byte.
        c.analyseHeaders(QvString(rawHeaders.data(), static_cast<int>(rawHeaders.size()), kCodePageAnsi));
        c.m_responseBytes.reset();
        c.m_responseCapacity = 0;
        c.m_responseLength = 0;
        c.m_responseBytes = allocateZeroed(QvHttpConnection::kInitialBufferBytes);
        if (!c.m_responseBytes) {
            m_firstBufferFailed = true;
            return false;
        }
        c.m_responseCapacity = QvHttpConnection::kInitialBufferBytes;
        return true;
    }

    bool onResponseBody(const unsigned char* data, size_t length) override
    {
        QvHttpConnection& c = m_connection;
        reportProgress();
        const uint64_t needed = uint64_t(m_total) + length;
        if (needed > c.m_responseCapacity) {
            uint64_t capacity = c.m_responseCapacity;
            while (capacity < needed) {
                capacity *= 2;
            }
            std::unique_ptr<unsigned char[]> grown =
                capacity > UINT32_MAX ? nullptr : allocateZeroed(static_cast<uint32_t>(capacity));
            if (!grown) {
                m_growFailed = true;
                return false;
            }
            std::memcpy(grown.get(), c.m_responseBytes.get(), m_total);
            c.m_responseBytes = std::move(grown);
            c.m_responseCapacity = static_cast<uint32_t>(capacity);
        }
        std::memcpy(c.m_responseBytes.get() + m_total, data, length);
        m_total += static_cast<uint32_t>(length);
        return true;
    }

    // Ends the read phase. A body that arrived whole gets the progress call of the final empty read.
    void finish(bool bodyComplete)
    {
        if (bodyComplete) {
            reportProgress();
        }
        reportProgress();
        m_connection.m_responseLength = m_total;
    }

    bool firstBufferFailed() const { return m_firstBufferFailed; }
    bool growFailed() const { return m_growFailed; }

private:
    void reportProgress() const
    {
        const QvHttpConnection& c = m_connection;
        if (c.m_owner != nullptr && c.m_progressHook != nullptr && c.m_contentLength != 0) {
            c.m_progressHook(c.m_owner, double(m_total) * 100.0 / double(c.m_contentLength));
        }
    }

    QvHttpConnection& m_connection;
    uint32_t m_total = 0;
    bool m_firstBufferFailed = false;
    bool m_growFailed = false;
};

QvHttpConnection::QvHttpConnection(QvString url, QvHttpWorkItem* owner)
    : m_url(std::move(url)), m_progressHook(&QvHttpWorkItem::forwardProgress), m_userAgent(kUserAgent), m_owner(owner)
{
}

QvHttpConnection::~QvHttpConnection() = default;

bool QvHttpConnection::setBody(const unsigned char* data, uint32_t length)
{
    if (data == nullptr) {
        return false;
    }
    m_body.reset();
    m_bodyLength = 0;
    if (length > 0) {
        m_body.reset(new unsigned char[length]);
        std::memcpy(m_body.get(), data, length);
        m_bodyLength = length;
    }
    return true;
}

void QvHttpConnection::clearBody()
{
    m_body.reset();
    m_bodyLength = 0;
}

bool QvHttpConnection::setExtraHeaders(const QvString& text)
{
    m_extraHeaders = text;
    return true;
}

void QvHttpConnection::setFixedCharset(const QvString& charset)
{
    m_charset = charset;
    m_charsetFixed = !charset.isEmpty();
}

void QvHttpConnection::setTimeouts(int32_t resolveMs, int32_t connectMs, int32_t sendMs, int32_t receiveMs)
{
    m_timeouts[0] = resolveMs;
    m_timeouts[1] = connectMs;
    m_timeouts[2] = sendMs;
    m_timeouts[3] = receiveMs;
}

bool QvHttpConnection::hasSession() const
{
    return m_session && m_session->isOpen();
}

const void* QvHttpConnection::getSessionId() const
{
    return m_session ? m_session->handleId() : nullptr;
}

void QvHttpConnection::closeSession()
{
    m_session.reset();
    m_responseBytes.reset();
    m_responseCapacity = 0;
    m_responseLength = 0;
}

void QvHttpConnection::setResponseBufferLimitForTesting(uint32_t limit)
{
    ResponseBufferLimit::set(limit);
}

int32_t QvHttpConnection::request(const QvString& verb, const QvString& sendHeaders, const unsigned char* optional,
                                  uint32_t optionalLength)
{
    if (m_url.isEmpty()) {
        return kResultUrlEmpty;
    }
    const char16_t* known = canonicalVerb(verb);
    if (known == nullptr) {
        return kResultBadVerb;
    }
    if (!m_session) {
        m_session = std::make_unique<qvplat::HttpSession>();
    }
    if (!m_session->open()) {
        return kResultOpenFailed;
    }
    qvplat::HttpExchange exchange;
    if (!prepareExchange(known, optional, optionalLength, exchange)) {
        return kResultUrlEmpty;
    }
    return performAttempts(exchange, qvhttp::splitHeaderLines(sendHeaders.toUtf8()), known == kVerbs[0]);
}

bool QvHttpConnection::prepareExchange(const char16_t* verb, const unsigned char* optional, uint32_t optionalLength,
                                       qvplat::HttpExchange& exchange)
{
    if (!qvplat::crackHttpUrl(m_url.toUtf8(), exchange.url)) {
        return false;
    }
    const QvString host = QvString::fromUtf8(exchange.url.host);
    if (host.length() >= kHostNameChars || QvString::fromUtf8(exchange.url.path).length() >= kUrlPathChars) {
        return false;
    }
    m_host = host;

    exchange.verb = QvString(verb).toUtf8();
    exchange.userAgent = m_userAgent.toUtf8();
    exchange.verifyCertificate = m_verifyCertificate;
    exchange.connectTimeoutMs = m_timeouts[1];
    exchange.sendTimeoutMs = m_timeouts[2];
    exchange.receiveTimeoutMs = m_timeouts[3];
    exchange.optional = optional;
    exchange.optionalLength = optional != nullptr ? optionalLength : 0;
    exchange.body = m_body.get();
    exchange.bodyLength = m_bodyLength;
    exchange.cancel = m_cancel;
    return true;
}

int32_t QvHttpConnection::performAttempts(qvplat::HttpExchange& exchange, const std::vector<std::string>& sendLines,
                                          bool isGet)
{
    qvhttp::HeaderList extraLines;  // lives for the whole request, like the request handle that holds them
    qvplat::HttpProxyConfig proxy;
    bool useProxy = false;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        // The extra headers are merged in again on every attempt, growing their values.
        if (!m_extraHeaders.isEmpty()) {
            qvhttp::coalesceHeaders(extraLines, m_extraHeaders.toUtf8());
        }
        exchange.headers.clear();
        for (const auto& [name, value] : extraLines) {
            exchange.headers.push_back(name + ": " + value);
        }
        exchange.headers.insert(exchange.headers.end(), sendLines.begin(), sendLines.end());
        exchange.proxy = useProxy ? proxy.proxy : std::string();
        exchange.proxyBypass = useProxy ? proxy.bypass : std::string();

        QvHttpResponseReader reader(*this);
        const qvplat::HttpExchangeResult sent = m_session->perform(exchange, reader);
        if (sent.cancelled) {
            return kResultNoResponse;
        }
        if (sent.status == qvplat::HttpExchangeStatus::kSendFailed) {
            // The first send goes direct; after a failed one the user's proxy is used by the next attempt.
            if (qvplat::getUserProxyConfig(exchange.url.secure, proxy)) {
                useProxy = true;
            }
            continue;
        }
        if (sent.status == qvplat::HttpExchangeStatus::kReceiveFailed) {
            continue;
        }
        const int32_t result = finishAttempt(reader, sent.bodyComplete, isGet);
        if (result != kAttemptFailed) {
            return result;
        }
    }
    return kResultNoResponse;
}

int32_t QvHttpConnection::finishAttempt(QvHttpResponseReader& reader, bool bodyComplete, bool isGet)
{
    if (reader.firstBufferFailed()) {
        return kResultNoResponse;
    }
    reader.finish(bodyComplete);
    decodeResponse();
    // A page cut off before its closing tag counts as a failed attempt.
    if (isGet && qvhttp::containsIgnoringCase(m_responseText, u"<html>") &&
        !qvhttp::containsIgnoringCase(m_responseText, u"</html>")) {
        return kAttemptFailed;
    }
    return reader.growFailed() ? kResultBufferFailed : kResultOk;
}

int32_t QvHttpConnection::receiveAnswerForTesting(const std::string& rawHeaders, const std::string& body,
                                                  size_t pieceBytes, bool isGet)
{
    QvHttpResponseReader reader(*this);
    bool bodyComplete = reader.onResponseHeaders(rawHeaders);
    const size_t piece = pieceBytes > 0 ? pieceBytes : body.size() + 1;
    for (size_t at = 0; bodyComplete && at < body.size(); at += piece) {
        bodyComplete = reader.onResponseBody(reinterpret_cast<const unsigned char*>(body.data()) + at,
                                             std::min(piece, body.size() - at));
    }
    return finishAttempt(reader, bodyComplete, isGet);
}

void QvHttpConnection::analyseHeaders(const QvString& rawHeaders)
{
    m_rawHeaders = rawHeaders;
    if (!m_charsetFixed) {
        const QvString charset = qvhttp::findCharset(rawHeaders);
        if (!charset.isEmpty()) {
            m_charset = charset;
        }
    }
    qvhttp::findContentLength(rawHeaders, m_contentLength);
}

void QvHttpConnection::decodeResponse()
{
    const bool utf8 = qvplat::equalsIgnoreAsciiCase(m_charset.view().substr(0, 5), std::u16string_view(u"UTF-8"));
    QvString text(reinterpret_cast<const char*>(m_responseBytes.get()), static_cast<int>(m_responseLength),
                  utf8 ? kCodePageUtf8 : kCodePageAnsi);
    // The converted text is a C string: it ends at the first zero byte of the body.
    const int zero = text.find(u'\0');
    if (zero >= 0) {
        text = text.mid(0, zero);
    }
    m_responseText = text.isNull() ? QvString(u"") : text;
}
