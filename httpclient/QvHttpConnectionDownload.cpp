// A download streamed into a file: what the connection does instead of holding the body in memory.
#include <chrono>
#include <cstdio>
#include <string>

#include "httpclient/HttpHeaderText.h"
#include "httpclient/QvHttpConnection.h"
#include "platform/FileSystem.h"
#include "platform/HttpTransport.h"

namespace {

constexpr int kHttpOk = 200;

}  // namespace

// Receives one attempt's response into the target file: the file is created only once the headers
// promise a whole answer (status 200, a Content-Length within the cap), and a body longer than
// promised stops the exchange. 64-bit counts throughout.
class QvHttpFileWriter final : public qvplat::IHttpResponseSink {
public:
    QvHttpFileWriter(QvHttpConnection& connection, const QvHttpFileTarget& target)
        : m_connection(connection), m_target(target)
    {
    }
    ~QvHttpFileWriter() override { finish(false); }
    QvHttpFileWriter(const QvHttpFileWriter&) = delete;
    QvHttpFileWriter& operator=(const QvHttpFileWriter&) = delete;

    bool onResponseHeaders(const std::string& rawHeaders) override
    {
        m_connection.analyseHeaders(QvString(rawHeaders.data(), static_cast<int>(rawHeaders.size()), kCodePageAnsi));
        if (qvhttp::parseStatusCode(rawHeaders) != kHttpOk || !qvhttp::findContentLength64(rawHeaders, m_length) ||
            m_length > m_target.maxBytes) {
            return false;
        }
        m_file = qvplat::createNewFile(m_target.path.toStd());
        return m_file != nullptr;
    }

    bool onResponseBody(const unsigned char* data, size_t length) override
    {
        if (m_file == nullptr || length > m_length - m_stored || std::fwrite(data, 1, length, m_file) != length) {
            return false;
        }
        m_stored += length;
        const int percent = static_cast<int>(m_stored * 100 / m_length);
        // One report per whole percent: a large file arrives in hundreds of thousands of pieces.
        if (percent != m_reported && m_connection.m_progressHook != nullptr && m_connection.m_owner != nullptr) {
            m_reported = percent;
            m_connection.m_progressHook(m_connection.m_owner, double(percent));
        }
        return true;
    }

    // Closes the file; true when it holds the whole promised body. Otherwise the file is removed.
    bool finish(bool bodyComplete)
    {
        if (m_file == nullptr) {
            return false;
        }
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        const bool whole = closed && bodyComplete && m_stored == m_length;
        if (!whole) {
            qvplat::removeFile(m_target.path.toStd());
        }
        return whole;
    }

private:
    QvHttpConnection& m_connection;
    const QvHttpFileTarget& m_target;
    std::FILE* m_file = nullptr;
    uint64_t m_length = 0;
    uint64_t m_stored = 0;
    int m_reported = -1;
};

int32_t QvHttpConnection::download(const QvHttpFileTarget& target)
{
    if (m_url.isEmpty()) {
        return kResultUrlEmpty;
    }
    if (!m_session) {
        m_session = std::make_unique<qvplat::HttpSession>();
    }
    if (!m_session->open()) {
        return kResultOpenFailed;
    }
    qvplat::HttpExchange exchange;
    if (!prepareExchange(u"GET", nullptr, 0, exchange)) {
        return kResultUrlEmpty;
    }
    exchange.headers.clear();
    if (!m_extraHeaders.isEmpty()) {
        qvhttp::HeaderList extraLines;
        qvhttp::coalesceHeaders(extraLines, m_extraHeaders.toUtf8());
        for (const auto& [name, value] : extraLines) {
            exchange.headers.push_back(name + ": " + value);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(target.deadlineMs);
    qvplat::HttpProxyConfig proxy;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (target.deadlineMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            exchange.deadlineMs = static_cast<long>(left.count());
        }
        QvHttpFileWriter writer(*this, target);
        const qvplat::HttpExchangeResult sent = m_session->perform(exchange, writer);
        if (sent.status == qvplat::HttpExchangeStatus::kHeadersReceived) {
            return writer.finish(sent.bodyComplete) ? kResultOk : kResultNotStored;
        }
        if (sent.cancelled) {
            break;
        }
        // Nothing was stored: the request or its answer's headers failed. As request() does, the
        // first send goes direct and a failed one sends the next attempt through the user's proxy.
        if (sent.status == qvplat::HttpExchangeStatus::kSendFailed &&
            qvplat::getUserProxyConfig(exchange.url.secure, proxy)) {
            exchange.proxy = proxy.proxy;
            exchange.proxyBypass = proxy.bypass;
        }
    }
    return kResultNoResponse;
}
