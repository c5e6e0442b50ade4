#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/AsciiText.h"
#include "platform/HttpTransport.h"
#include "platform/ServiceContext.h"

namespace qvplat {

namespace {

constexpr long kMaxRedirects = 10;           // what the Windows engine follows by default
constexpr long kLowSpeedBytesPerSecond = 1;  // "stalled" means not a single byte in the window

using SessionOpenFailure = ContextSetting<struct SessionOpenFailureTag, bool>;
std::once_flag s_globalInitOnce;
bool s_globalInitOk = false;

bool ensureGlobalInit()
{
    // curl_global_init is not safe to race with other threads; do it once, whoever comes first.
    std::call_once(s_globalInitOnce, [] { s_globalInitOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return s_globalInitOk;
}

class UrlHandle {
public:
    UrlHandle() : m_handle(curl_url()) {}
    ~UrlHandle() { curl_url_cleanup(m_handle); }
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    CURLU* get() const { return m_handle; }

    bool part(CURLUPart which, unsigned flags, std::string& out) const
    {
        char* text = nullptr;
        if (curl_url_get(m_handle, which, &text, flags) != CURLUE_OK || text == nullptr) {
            return false;
        }
        out = text;
        curl_free(text);
        return true;
    }

private:
    CURLU* m_handle;
};

// The lower-case name of a "Name: value" line; empty when the line has no colon.
std::string headerName(std::string_view line)
{
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return {};
    }
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.remove_suffix(1);
    }
    return toLowerAscii(std::string(name));
}

const char* firstEnv(std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return nullptr;
}

}  // namespace

bool crackHttpUrl(const std::string& url, HttpUrlParts& out)
{
    ensureGlobalInit();
    UrlHandle handle;
    if (handle.get() == nullptr || url.empty()) {
        return false;
    }
    // Unsafe characters in the path are percent-encoded, as the Windows engine does before sending.
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_URLENCODE | CURLU_ALLOW_SPACE) != CURLUE_OK) {
        return false;
    }
    std::string scheme;
    if (!handle.part(CURLUPART_SCHEME, 0, scheme)) {
        return false;
    }
    scheme = toLowerAscii(std::move(scheme));
    if (scheme != "http" && scheme != "https") {
        return false;
    }
    HttpUrlParts parts;
    parts.secure = scheme == "https";
    std::string port;
    std::string path;
    if (!handle.part(CURLUPART_HOST, 0, parts.host) || parts.host.empty() ||
        !handle.part(CURLUPART_PORT, CURLU_DEFAULT_PORT, port) || !handle.part(CURLUPART_PATH, 0, path)) {
        return false;
    }
    parts.port = static_cast<unsigned>(std::strtoul(port.c_str(), nullptr, 10));
    std::string query;
    if (handle.part(CURLUPART_QUERY, 0, query)) {
        path += '?';
        path += query;
    }
    parts.path = path.empty() ? std::string("/") : path;
    // Credentials and the fragment are never sent.
    curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_FRAGMENT, nullptr, 0);
    if (!handle.part(CURLUPART_URL, 0, parts.url)) {
        return false;
    }
    out = std::move(parts);
    return true;
}

bool getUserProxyConfig(bool secure, HttpProxyConfig& out)
{
    // curl itself ignores upper-case HTTP_PROXY (a CGI program can be handed one by a client); so do we.
    const char* proxy = secure ? firstEnv({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
                               : firstEnv({"http_proxy", "all_proxy", "ALL_PROXY"});
    if (proxy == nullptr) {
        return false;
    }
    out.proxy = proxy;
    const char* bypass = firstEnv({"no_proxy", "NO_PROXY"});
    out.bypass = bypass != nullptr ? bypass : "";
    return true;
}

struct HttpSession::Impl {
    CURL* handle = nullptr;
    bool cookiesEnabled = false;

    // State of the exchange in progress.
    IHttpResponseSink* sink = nullptr;
    std::string headerBlock;
    bool headerBlockComplete = false;
    int headerBlockStatus = 0;
    bool headersDelivered = false;
    bool stoppedBySink = false;
    bool stalled = false;
    bool cancelled = false;
    const std::atomic<bool>* cancel = nullptr;
    // Once bytes have moved, the stall limit counts from the last one, either way. curl's own low-speed
    // check averages over several seconds, so after a burst it notices a stall seconds late; it still
    // covers the wait before the first byte.
    long stallMs = 0;
    bool moved = false;
    std::chrono::steady_clock::time_point lastActivity;
    curl_off_t lastUploaded = 0;
    std::string requestBody;
    char errorText[CURL_ERROR_SIZE] = {};

    bool deliverHeaders()
    {
        headersDelivered = true;
        if (!sink->onResponseHeaders(headerBlock)) {
            stoppedBySink = true;
            return false;
        }
        return true;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user)
    {
        auto* self = static_cast<Impl*>(user);
        const size_t length = size * count;
        const std::string_view line(data, length);
        if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
            // A new response (an interim 1xx, a redirect, a proxy's tunnel answer): only the last counts.
            self->headerBlock.clear();
            self->headerBlockComplete = false;
            const size_t space = line.find(' ');
            self->headerBlockStatus =
                space == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        }
        self->lastActivity = std::chrono::steady_clock::now();
        self->moved = true;
        if (self->headersDelivered) {
            return length;  // trailers after a chunked body belong to no header block
        }
        self->headerBlock.append(line);
        if (line == "\r\n" || line == "\n") {
            self->headerBlockComplete = true;
        }
        return length;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user)
    {
        auto* self = static_cast<Impl*>(user);
        const size_t length = size * count;
        self->lastActivity = std::chrono::steady_clock::now();
        self->moved = true;
        if (!self->headersDelivered && !self->deliverHeaders()) {
            return 0;  // anything but length makes the transfer fail with a write error
        }
        if (length > 0 && !self->sink->onResponseBody(reinterpret_cast<const unsigned char*>(data), length)) {
            self->stoppedBySink = true;
            return 0;
        }
        return length;
    }

    // Called about once a second while nothing moves, and after every piece that does.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
    {
        auto* self = static_cast<Impl*>(user);
        if (self->cancel != nullptr && self->cancel->load()) {
            self->cancelled = true;
            return 1;
        }
        const auto now = std::chrono::steady_clock::now();
        if (uploaded != self->lastUploaded) {
            self->lastUploaded = uploaded;
            self->lastActivity = now;
            self->moved = true;
        }
        if (self->moved && self->stallMs > 0 && now - self->lastActivity > std::chrono::milliseconds(self->stallMs)) {
            self->stalled = true;
            return 1;  // aborts the transfer
        }
        return 0;
    }

    // The last header block is a redirect that was never followed to its end: a loop, or a target that
    // did not answer. It is no answer of its own.
    bool isUnfollowedRedirect(CURLcode code) const
    {
        if (code == CURLE_OK || headersDelivered || headerBlockStatus < 300 || headerBlockStatus > 399) {
            return false;
        }
        return toLowerAscii(headerBlock).find("\nlocation:") != std::string::npos;
    }

    // Every option an exchange uses is set by the calls below each time, to its value or its
    // default, so nothing of the previous exchange carries over. (curl_easy_reset would do it too, but
    // loses track of the cookie engine's file list and leaks it.)
    void beginExchange(const HttpExchange& exchange, IHttpResponseSink& responseSink)
    {
        sink = &responseSink;
        headerBlock.clear();
        headerBlockComplete = false;
        headerBlockStatus = 0;
        headersDelivered = false;
        stoppedBySink = false;
        stalled = false;
        cancelled = false;
        cancel = exchange.cancel;
        moved = false;
        lastActivity = std::chrono::steady_clock::now();
        lastUploaded = 0;
        errorText[0] = '\0';
    }

    void setTransferOptions(const HttpExchange& exchange)
    {
        CURL* h = handle;
        curl_easy_setopt(h, CURLOPT_URL, exchange.url.url.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(h, CURLOPT_USERAGENT, exchange.userAgent.c_str());
        if (!cookiesEnabled) {
            // The session keeps cookies in memory, like the Windows engine. The jar outlives curl_easy_reset;
            // naming the (empty) cookie file again on every exchange would only pile up copies of the name.
            curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
            cookiesEnabled = true;
        }
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
        // Never follow a redirect from https down to http.
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, exchange.url.secure ? "https" : "http,https");
        curl_easy_setopt(h, CURLOPT_PROXY, exchange.proxy.c_str());  // "" also stops curl reading the environment
        curl_easy_setopt(h, CURLOPT_NOPROXY, exchange.proxyBypass.c_str());
        curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        const long verifyPeer = exchange.verifyCertificate ? 1L : 0L;
        const long verifyHost = exchange.verifyCertificate ? 2L : 0L;  // 2: the name must match
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verifyPeer);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verifyHost);
        curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, verifyPeer);
        curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, verifyHost);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::max(exchange.connectTimeoutMs, 0L));  // 0: curl's default
        stallMs = std::max(exchange.sendTimeoutMs, exchange.receiveTimeoutMs);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, stallMs > 0 ? kLowSpeedBytesPerSecond : 0L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallMs > 0 ? (stallMs + 999) / 1000 : 0L);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, std::max(exchange.deadlineMs, 0L));
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    }

    // Sets the verb and the body; true when the exchange sends a body (a POST, a PUT, or any bytes).
    bool setRequestBody(const HttpExchange& exchange)
    {
        const size_t bodyLength = exchange.optionalLength + exchange.bodyLength;
        const bool sendsBody = bodyLength > 0 || exchange.verb == "POST" || exchange.verb == "PUT";
        if (sendsBody) {
            requestBody.clear();
            if (exchange.optional != nullptr && exchange.optionalLength > 0) {
                requestBody.append(reinterpret_cast<const char*>(exchange.optional), exchange.optionalLength);
            }
            if (exchange.body != nullptr && exchange.bodyLength > 0) {
                requestBody.append(reinterpret_cast<const char*>(exchange.body), exchange.bodyLength);
            }
            curl_easy_setopt(handle, CURLOPT_POST, 1L);
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(requestBody.size()));
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, requestBody.data());
        } else {
            curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST,
                         exchange.verb != (sendsBody ? "POST" : "GET") ? exchange.verb.c_str() : nullptr);
        return sendsBody;
    }

    // Only the caller's header lines; curl's own Accept, Expect and form Content-Type are not sent.
    // The caller frees the list once the transfer is over.
    static curl_slist* headerList(const HttpExchange& exchange, bool sendsBody)
    {
        curl_slist* headers = nullptr;
        std::set<std::string> named;
        for (const std::string& line : exchange.headers) {
            const std::string name = headerName(line);
            if (name.empty()) {
                continue;
            }
            named.insert(name);
            headers = curl_slist_append(headers, line.c_str());
        }
        for (const char* suppressed : {"Accept:", "Expect:", "Content-Type:"}) {
            const std::string name = headerName(suppressed);
            if (named.count(name) == 0 && (sendsBody || name != "content-type")) {
                headers = curl_slist_append(headers, suppressed);
            }
        }
        return headers;
    }

    // Nothing may point at this call's buffers once it returns.
    void detachCallBuffers()
    {
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    }

    HttpExchangeResult outcome(CURLcode code, long requestBytes)
    {
        HttpExchangeResult result;
        if (code != CURLE_OK) {
            result.error = cancelled              ? std::string("cancelled")
                           : stalled              ? std::string("stalled")
                           : errorText[0] != '\0' ? std::string(errorText)
                                                  : std::string(curl_easy_strerror(code));
        }
        const bool finalHeaders =
            headersDelivered || (headerBlockComplete && headerBlockStatus >= 200 && !isUnfollowedRedirect(code));
        if (finalHeaders) {
            if (!headersDelivered) {
                deliverHeaders();
            }
            result.status = HttpExchangeStatus::kHeadersReceived;
            result.stoppedBySink = stoppedBySink;
            result.bodyComplete = code == CURLE_OK && !stoppedBySink;
        } else {
            result.status = requestBytes > 0 ? HttpExchangeStatus::kReceiveFailed : HttpExchangeStatus::kSendFailed;
        }
        result.cancelled = cancelled;
        return result;
    }

    void endExchange()
    {
        sink = nullptr;
        cancel = nullptr;
        requestBody.clear();
        requestBody.shrink_to_fit();
    }
};

HttpSession::HttpSession() : m_impl(std::make_unique<Impl>()) {}

HttpSession::~HttpSession()
{
    if (m_impl->handle != nullptr) {
        curl_easy_cleanup(m_impl->handle);
    }
}

bool HttpSession::open()
{
    if (m_impl->handle != nullptr) {
        return true;
    }
    if (SessionOpenFailure::get() || !ensureGlobalInit()) {
        return false;
    }
    m_impl->handle = curl_easy_init();
    return m_impl->handle != nullptr;
}

bool HttpSession::isOpen() const
{
    return m_impl->handle != nullptr;
}

const void* HttpSession::handleId() const
{
    return m_impl->handle;
}

HttpExchangeResult HttpSession::perform(const HttpExchange& exchange, IHttpResponseSink& sink)
{
    Impl& s = *m_impl;
    if (s.handle == nullptr) {
        HttpExchangeResult result;
        result.error = "session not open";
        return result;
    }
    CURL* h = s.handle;
    s.beginExchange(exchange, sink);
    s.setTransferOptions(exchange);
    const bool sendsBody = s.setRequestBody(exchange);
    curl_slist* headers = Impl::headerList(exchange, sendsBody);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &s);

    const CURLcode code = curl_easy_perform(h);

    long requestBytes = 0;
    curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &requestBytes);
    s.detachCallBuffers();
    curl_slist_free_all(headers);
    HttpExchangeResult result = s.outcome(code, requestBytes);
    s.endExchange();
    return result;
}

void setHttpSessionOpenFailureForTesting(bool fail)
{
    SessionOpenFailure::set(fail);
}

}  // namespace qvplat
