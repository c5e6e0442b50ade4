#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/QvString.h"

namespace qvplat {
class HttpSession;
struct HttpExchange;
}  // namespace qvplat

class QvHttpWorkItem;
class QvHttpResponseReader;
class QvHttpFileWriter;

// A download stored in a file instead of memory.
struct QvHttpFileTarget {
    QvString path;           // created new: never an existing file, never through a link
    uint64_t maxBytes = 0;   // a larger announced length is refused before a byte is stored
    int32_t deadlineMs = 0;  // for the whole download, every attempt included; 0 = no limit
};

// One outgoing HTTP or HTTPS exchange at a time, synchronous on the calling thread. The session
// (the transport's client handle, with its connection and cookie caches) is opened by the first
// request and kept until destruction; everything else lives for one request. Used only by the
// pool thread that runs its owner; holds no lock.
class QvHttpConnection {
public:
    // Receives the progress of a body read: percent of Content-Length. The return value is not used.
    using ProgressHook = bool (*)(QvHttpWorkItem* owner, double percent);

    // Results of request().
    static constexpr int32_t kResultOk = 1;
    static constexpr int32_t kResultUrlEmpty = -999;      // also: the URL cannot be taken apart
    static constexpr int32_t kResultBadVerb = -998;       // not GET, POST, PUT or DELETE
    static constexpr int32_t kResultOpenFailed = -997;    // the session could not be opened
    static constexpr int32_t kResultBufferFailed = -995;  // the response buffer could not grow
    static constexpr int32_t kResultNoResponse = -994;    // three attempts failed
    static constexpr int32_t kResultNotStored = -993;     // download(): answered, but not stored whole

    static constexpr int kMaxAttempts = 3;
    static constexpr uint32_t kInitialBufferBytes = 10240;  // first response buffer; doubles as needed
    // Component buffers of the URL cracker, in characters including the terminator.
    static constexpr int kHostNameChars = 260;
    static constexpr int kUrlPathChars = 1300;
    // Time-outs in milliseconds: name resolution without limit, connect 60 s, send and receive 30 s.
    static constexpr int32_t kResolveTimeoutMs = 0;
    static constexpr int32_t kConnectTimeoutMs = 60000;
    static constexpr int32_t kSendTimeoutMs = 30000;
    static constexpr int32_t kReceiveTimeoutMs = 30000;

    // Stores url and owner (not owned; may be null) and sets the defaults.
    QvHttpConnection(QvString url, QvHttpWorkItem* owner);
    ~QvHttpConnection();
    QvHttpConnection(const QvHttpConnection&) = delete;
    QvHttpConnection& operator=(const QvHttpConnection&) = delete;

    // Performs the exchange with up to three attempts: 1 on completion, else -999 .. -994 (see above).
    // sendHeaders are CRLF-separated lines sent with each attempt; optional (may be null) is sent as
    // the start of the request body, the stored body after it.
    int32_t request(const QvString& verb, const QvString& sendHeaders, const unsigned char* optional,
                    uint32_t optionalLength);

    // GETs the URL into target.path, streamed. It counts only with status 200, a Content-Length of at
    // most target.maxBytes, and exactly that many bytes stored: then kResultOk. Anything else leaves no
    // file behind and gives kResultNotStored, or the failure of request() when nothing came back.
    // Progress goes to the hook whenever the whole percentage changes.
    int32_t download(const QvHttpFileTarget& target);

    // Replaces the body by a copy of length bytes; false and no change when data is null.
    bool setBody(const unsigned char* data, uint32_t length);
    void clearBody();
    // Header lines added to every attempt, merged with semicolons into lines of the same name.
    bool setExtraHeaders(const QvString& text);

    QvString getResponseText() const { return m_responseText; }
    // The raw body of the last request; valid until the next request.
    const unsigned char* getResponseBytes() const { return m_responseBytes.get(); }
    uint32_t getResponseLength() const { return m_responseLength; }
    int32_t getContentLength() const { return m_contentLength; }
    QvString getRawHeaders() const { return m_rawHeaders; }
    QvString getCharset() const { return m_charset; }
    QvString getHost() const { return m_host; }

    const QvString& getUrl() const { return m_url; }
    void setUrl(const QvString& url) { m_url = url; }

    bool getVerifyCertificate() const { return m_verifyCertificate; }
    void setVerifyCertificate(bool verify) { m_verifyCertificate = verify; }
    // A fixed charset is used for every response instead of the one the headers name.
    void setFixedCharset(const QvString& charset);
    void setTimeouts(int32_t resolveMs, int32_t connectMs, int32_t sendMs, int32_t receiveMs);
    void setProgressHook(ProgressHook hook) { m_progressHook = hook; }
    QvHttpWorkItem* getOwner() const { return m_owner; }

    // True once a request has opened the session; its identity stays the same until it is closed.
    bool hasSession() const;
    const void* getSessionId() const;
    // Frees the session (its cached connections go with it) and the response buffer; the next
    // request opens a new session. For a connection nobody has used for a while.
    void closeSession();
    // While *flag is set (by any thread), exchanges end within about a second and no attempt follows.
    // The flag must outlive the connection; null detaches it.
    void setCancelFlag(const std::atomic<bool>* flag) { m_cancel = flag; }

    // Test seam: response buffers larger than limit bytes cannot be allocated in the current service
    // context (0 = no limit).
    static void setResponseBufferLimitForTesting(uint32_t limit);
    // Test seam for hostile answers without a network: one attempt's header analysis, body read (in
    // pieces of pieceBytes, 0 = one piece) and decoding. The attempt's result: 1, -995, -994, or 0
    // when the attempt failed (a GET page without its closing tag).
    int32_t receiveAnswerForTesting(const std::string& rawHeaders, const std::string& body, size_t pieceBytes,
                                    bool isGet);

private:
    friend class QvHttpResponseReader;
    friend class QvHttpFileWriter;

    // Takes the URL apart and fills the exchange; false when the URL cannot be used.
    bool prepareExchange(const char16_t* verb, const unsigned char* optional, uint32_t optionalLength,
                         qvplat::HttpExchange& exchange);
    // Up to kMaxAttempts sends of the prepared exchange; the result of request().
    int32_t performAttempts(qvplat::HttpExchange& exchange, const std::vector<std::string>& sendLines, bool isGet);
    // Ends an attempt whose headers arrived: the result of request(), or kAttemptFailed to try again.
    int32_t finishAttempt(QvHttpResponseReader& reader, bool bodyComplete, bool isGet);
    static constexpr int32_t kAttemptFailed = 0;
    void analyseHeaders(const QvString& rawHeaders);
    void decodeResponse();

    std::unique_ptr<qvplat::HttpSession> m_session;
    // HTTPS peers and their names are checked against the system's CA bundle; only a caller that
    // explicitly turns it off (nothing in the program does) accepts any certificate.
    bool m_verifyCertificate = true;
    QvString m_url;
    QvString m_host;
    QvString m_rawHeaders;
    QvString m_responseText;
    QvString m_charset;
    std::unique_ptr<unsigned char[]> m_responseBytes;
    uint32_t m_responseCapacity = 0;
    uint32_t m_responseLength = 0;
    ProgressHook m_progressHook = nullptr;
    int32_t m_contentLength = 0;
    std::unique_ptr<unsigned char[]> m_body;
    uint32_t m_bodyLength = 0;
    QvString m_extraHeaders;
    QvString m_userAgent;
    bool m_charsetFixed = false;
    int32_t m_timeouts[4] = {kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs};
    QvHttpWorkItem* m_owner;
    const std::atomic<bool>* m_cancel = nullptr;
};
