#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qvplat {

// An absolute http:// or https:// URL taken apart. Texts are UTF-8.
struct HttpUrlParts {
    bool secure = false;  // https
    std::string host;     // as it stands in the URL (an IPv6 literal keeps its brackets)
    unsigned port = 0;    // the explicit port or the scheme's default
    std::string path;     // path and query, at least "/"; never the fragment
    std::string url;      // the whole URL as the transport will fetch it
};

// Takes url apart. False for anything but an absolute http or https URL with a host. Pure; any thread.
bool crackHttpUrl(const std::string& url, HttpUrlParts& out);

// The user's proxy configuration for one scheme, from the http_proxy / https_proxy (HTTPS_PROXY) and
// no_proxy (NO_PROXY) environment. False when no proxy is set for that scheme.
struct HttpProxyConfig {
    std::string proxy;   // "host:port" or a proxy URL
    std::string bypass;  // comma-separated hosts that go direct; may be empty
};
bool getUserProxyConfig(bool secure, HttpProxyConfig& out);

// What one exchange sends and how long it may take.
struct HttpExchange {
    std::string verb;                  // sent as given ("GET", "POST", ...)
    HttpUrlParts url;                  // from crackHttpUrl
    std::vector<std::string> headers;  // "Name: value" lines, in order
    // The request body: the optional data sent with the request, then the body written after it.
    const unsigned char* optional = nullptr;
    size_t optionalLength = 0;
    const unsigned char* body = nullptr;
    size_t bodyLength = 0;
    std::string userAgent;
    bool verifyCertificate = true;  // false: unknown issuers, expired certificates and wrong names pass
    std::string proxy;              // empty: direct
    std::string proxyBypass;
    // Milliseconds, 0 = no limit. Send and receive limit how long the exchange may stall without a byte
    // moving once connected; they are enforced with a one-second resolution.
    long connectTimeoutMs = 0;
    long sendTimeoutMs = 0;
    long receiveTimeoutMs = 0;
    // Milliseconds the whole exchange may take, 0 = no limit: ends a peer that trickles.
    long deadlineMs = 0;
    // When given, setting it ends the exchange within about a second, whatever it is waiting for.
    const std::atomic<bool>* cancel = nullptr;
};

// Receives the answer of one exchange, on the thread that performs it.
class IHttpResponseSink {
public:
    virtual ~IHttpResponseSink() = default;
    // The final response's status line and header lines, each ended by CRLF, then an empty line. Called
    // once, before any body bytes. False stops the exchange.
    virtual bool onResponseHeaders(const std::string& rawHeaders) = 0;
    // One piece of the body, in the sizes the network delivered. False stops reading.
    virtual bool onResponseBody(const unsigned char* data, size_t length) = 0;
};

enum class HttpExchangeStatus {
    kSendFailed,       // the request did not go out: name, connection, TLS handshake or certificate
    kReceiveFailed,    // sent, but no complete response header came back
    kHeadersReceived,  // the sink got the headers; the body may have been cut short (see bodyComplete)
};

struct HttpExchangeResult {
    HttpExchangeStatus status = HttpExchangeStatus::kSendFailed;
    bool bodyComplete = false;   // the body arrived whole (only with kHeadersReceived)
    bool stoppedBySink = false;  // a sink callback returned false
    bool cancelled = false;      // the exchange's cancel flag ended it
    std::string error;           // the transport's reason for a failure, for diagnostics
};

// An HTTP session: one client handle kept between exchanges, with its connection and cookie caches.
// Used by one thread at a time; exchanges are synchronous on the calling thread.
class HttpSession {
public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Creates the client handle; false when it cannot be made (or the failure seam is on).
    bool open();
    bool isOpen() const;
    // An identity of the open handle, stable until destruction; null while not open.
    const void* handleId() const;

    // Performs one exchange; the session must be open.
    HttpExchangeResult perform(const HttpExchange& exchange, IHttpResponseSink& sink);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Test seam: while on in the current service context, HttpSession::open() fails.
void setHttpSessionOpenFailureForTesting(bool fail);

}  // namespace qvplat
