#include "httpclient/QvHttpConnection.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/QvHttpWorkItem.h"
#include "platform/HttpTransport.h"

namespace {

constexpr const char16_t* kCharsetPattern = u"charset={[A-Za-z0-9\\-_]+}";
constexpr const char16_t* kContentLengthPattern = u"Content-Length: {[0-9]+}";
constexpr const char16_t* kHtmlOpenPattern = u"{<html>}";
constexpr const char16_t* kHtmlClosePattern = u"{</html>}";
constexpr const char16_t* kUserAgent = u"QvHttpClient";
constexpr const char16_t* kVerbs[] = {u"GET", u"POST", u"PUT", u"DELETE"};

std::atomic<uint32_t> s_bufferLimit{0};

std::unique_ptr<unsigned char[]> allocateZeroed(uint32_t bytes)
{
    const uint32_t limit = s_bufferLimit.load();
    if (limit != 0 && bytes > limit) {
        return nullptr;
    }
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]());
}

char16_t upperAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool equalsIgnoreCase(const QvString& left, const char16_t* right)
{
    const int length = left.length();
    int i = 0;
    for (; i < length && right[i] != u'\0'; ++i) {
        if (upperAscii(left.at(i)) != upperAscii(right[i])) {
            return false;
        }
    }
    return i == length && right[i] == u'\0';
}

std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string trimBlanks(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The non-empty lines of a CRLF (or LF) separated header text.
std::vector<std::string> splitHeaderLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!trimBlanks(line).empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Adds header lines the way the Windows engine does with "coalesce with semicolon": a line whose name
// is already present extends that line's value; lines without a name are left out.
void coalesceHeaders(HeaderList& headers, const std::string& text)
{
    for (const std::string& line : splitHeaderLines(text)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = trimBlanks(line.substr(0, colon));
        std::string value = trimBlanks(line.substr(colon + 1));
        if (name.empty()) {
            continue;
        }
        bool merged = false;
        for (auto& [present, presentValue] : headers) {
            if (lowerAscii(present) == lowerAscii(name)) {
                presentValue += "; ";
                presentValue += value;
                merged = true;
                break;
            }
        }
        if (!merged) {
            headers.emplace_back(std::move(name), std::move(value));
        }
    }
}

// The header matcher's pattern language: literal characters, "." for any character, [classes] with
// ranges (a backslash makes the next character literal, "\-" a hyphen), the repeats "+", "*" and "?",
// and one pair of braces around the text to capture. Matching ignores ASCII case.
class HeaderPattern {
public:
    // False when the pattern does not parse.
    bool parse(const std::u16string& pattern)
    {
        m_atoms.clear();
        m_captureOpen = m_captureClose = -1;
        for (size_t i = 0; i < pattern.size(); ++i) {
            const char16_t c = pattern[i];
            if (c == u'{') {
                if (m_captureOpen >= 0) {
                    return false;
                }
                m_captureOpen = static_cast<int>(m_atoms.size());
                continue;
            }
            if (c == u'}') {
                if (m_captureOpen < 0 || m_captureClose >= 0) {
                    return false;
                }
                m_captureClose = static_cast<int>(m_atoms.size());
                continue;
            }
            Atom atom;
            if (c == u'+' || c == u'*' || c == u'?' || c == u']' || c == u'(' || c == u')' || c == u'|') {
                return false;  // a repeat with nothing before it, or syntax this matcher does not know
            }
            if (c == u'.') {
                atom.any = true;
            } else if (c == u'[') {
                if (!parseClass(pattern, i, atom)) {
                    return false;
                }
            } else if (c == u'\\') {
                if (++i >= pattern.size()) {
                    return false;
                }
                atom.ranges.emplace_back(fold(pattern[i]), fold(pattern[i]));
            } else {
                atom.ranges.emplace_back(fold(c), fold(c));
            }
            if (i + 1 < pattern.size()) {
                const char16_t repeat = pattern[i + 1];
                if (repeat == u'+' || repeat == u'*' || repeat == u'?') {
                    atom.min = repeat == u'+' ? 1 : 0;
                    atom.max = repeat == u'?' ? 1 : SIZE_MAX;
                    ++i;
                }
            }
            m_atoms.push_back(std::move(atom));
        }
        return m_captureOpen < 0 || m_captureClose >= 0;
    }

    // The first match at or after from: [start, end) of the match and of the capture.
    bool search(const std::u16string& text, size_t from, size_t& matchStart, size_t& matchEnd, size_t& captureStart,
                size_t& captureEnd) const
    {
        std::vector<size_t> positions(m_atoms.size() + 1);
        for (size_t start = from; start <= text.size(); ++start) {
            if (matchAt(text, 0, start, positions)) {
                matchStart = start;
                matchEnd = positions[m_atoms.size()];
                captureStart = m_captureOpen >= 0 ? positions[static_cast<size_t>(m_captureOpen)] : start;
                captureEnd = m_captureOpen >= 0 ? positions[static_cast<size_t>(m_captureClose)] : start;
                return true;
            }
        }
        return false;
    }

    bool hasCapture() const { return m_captureOpen >= 0; }

private:
    struct Atom {
        bool any = false;
        bool negated = false;
        std::vector<std::pair<char16_t, char16_t>> ranges;
        size_t min = 1;
        size_t max = 1;
    };

    static char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

    static bool parseClass(const std::u16string& pattern, size_t& i, Atom& atom)
    {
        ++i;
        if (i < pattern.size() && pattern[i] == u'^') {
            atom.negated = true;
            ++i;
        }
        std::vector<char16_t> pending;
        bool closed = false;
        for (; i < pattern.size(); ++i) {
            char16_t c = pattern[i];
            if (c == u']') {
                closed = true;
                break;
            }
            if (c == u'\\') {
                if (++i >= pattern.size()) {
                    return false;
                }
                c = pattern[i];
            } else if (c == u'-' && i + 1 < pattern.size() && pattern[i + 1] != u']' && !pending.empty()) {
                char16_t high = pattern[++i];
                if (high == u'\\') {
                    if (++i >= pattern.size()) {
                        return false;
                    }
                    high = pattern[i];
                }
                const char16_t low = pending.back();
                pending.pop_back();
                if (high < low) {
                    return false;
                }
                atom.ranges.emplace_back(low, high);
                continue;
            }
            pending.push_back(c);
        }
        for (const char16_t c : pending) {
            atom.ranges.emplace_back(c, c);
        }
        return closed && !atom.ranges.empty();
    }

    static bool inRange(char16_t c, const std::pair<char16_t, char16_t>& range)
    {
        return c >= range.first && c <= range.second;
    }

    bool accepts(const Atom& atom, char16_t c) const
    {
        if (atom.any) {
            return true;
        }
        const char16_t lowerC = fold(c);
        const char16_t upperC = (lowerC >= u'a' && lowerC <= u'z') ? static_cast<char16_t>(lowerC - 32) : lowerC;
        bool found = false;
        for (const auto& range : atom.ranges) {
            if (inRange(lowerC, range) || inRange(upperC, range)) {
                found = true;
                break;
            }
        }
        return found != atom.negated;
    }

    // Greedy with backtracking; the recursion is as deep as the pattern is long, never the text.
    bool matchAt(const std::u16string& text, size_t index, size_t at, std::vector<size_t>& positions) const
    {
        positions[index] = at;
        if (index == m_atoms.size()) {
            return true;
        }
        const Atom& atom = m_atoms[index];
        size_t count = 0;
        while (count < atom.max && at + count < text.size() && accepts(atom, text[at + count])) {
            ++count;
        }
        for (size_t n = count + 1; n-- > atom.min;) {
            if (matchAt(text, index + 1, at + n, positions)) {
                return true;
            }
        }
        return false;
    }

    std::vector<Atom> m_atoms;
    int m_captureOpen = -1;
    int m_captureClose = -1;
};

std::u16string lowerAscii16(std::u16string text)
{
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + 32);
        }
    }
    return text;
}

void addDistinct(QvStringArray& out, const std::u16string& capture)
{
    const std::u16string key = lowerAscii16(capture);
    for (const QvString& present : out) {
        if (lowerAscii16(present.toStd()) == key) {
            return;
        }
    }
    out.add(QvString(capture));
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

QvHttpConnection::QvHttpConnection(const QvString& url, QvHttpWorkItem* owner)
    : m_url(url), m_progressHook(&QvHttpWorkItem::forwardProgress), m_userAgent(kUserAgent), m_owner(owner)
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

void QvHttpConnection::setResponseBufferLimitForTesting(uint32_t limit)
{
    s_bufferLimit.store(limit);
}

int32_t QvHttpConnection::request(const QvString& verb, const QvString& sendHeaders, const unsigned char* optional,
                                  uint32_t optionalLength)
{
    if (m_url.isEmpty()) {
        return kResultUrlEmpty;
    }
    const char16_t* canonicalVerb = nullptr;
    bool isGet = false;
    for (const char16_t* known : kVerbs) {
        if (equalsIgnoreCase(verb, known)) {
            canonicalVerb = known;
            isGet = known == kVerbs[0];
            break;
        }
    }
    if (canonicalVerb == nullptr) {
        return kResultBadVerb;
    }
    if (!m_session) {
        m_session = std::make_unique<qvplat::HttpSession>();
    }
    if (!m_session->open()) {
        return kResultOpenFailed;
    }

    qvplat::HttpExchange exchange;
    if (!qvplat::crackHttpUrl(m_url.toUtf8(), exchange.url)) {
        return kResultUrlEmpty;
    }
    const QvString host = QvString::fromUtf8(exchange.url.host);
    if (host.length() >= kHostNameChars || QvString::fromUtf8(exchange.url.path).length() >= kUrlPathChars) {
        return kResultUrlEmpty;
    }
    m_host = host;

    exchange.verb = QvString(canonicalVerb).toUtf8();
    exchange.userAgent = m_userAgent.toUtf8();
    exchange.verifyCertificate = m_verifyCertificate;
    exchange.connectTimeoutMs = m_timeouts[1];
    exchange.sendTimeoutMs = m_timeouts[2];
    exchange.receiveTimeoutMs = m_timeouts[3];
    exchange.optional = optional;
    exchange.optionalLength = optional != nullptr ? optionalLength : 0;
    exchange.body = m_body.get();
    exchange.bodyLength = m_bodyLength;

    const std::vector<std::string> sendLines = splitHeaderLines(sendHeaders.toUtf8());
    HeaderList extraLines;  // lives for the whole request, like the request handle that holds them
    qvplat::HttpProxyConfig proxy;
    bool useProxy = false;
    bool completed = false;
    bool growFailed = false;

    for (int attempt = 0; attempt < kMaxAttempts && !completed; ++attempt) {
        if (!m_extraHeaders.isEmpty()) {
            coalesceHeaders(extraLines, m_extraHeaders.toUtf8());
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
        if (reader.firstBufferFailed()) {
            return kResultNoResponse;
        }
        reader.finish(sent.bodyComplete);
        growFailed = reader.growFailed();
        decodeResponse();

        if (isGet) {
            // A page cut off before its closing tag counts as a failed attempt.
            QvStringArray opening;
            QvStringArray closing;
            findAllMatches(kHtmlOpenPattern, m_responseText, opening);
            findAllMatches(kHtmlClosePattern, m_responseText, closing);
            if (opening.size() > 0 && closing.size() == 0) {
                continue;
            }
        }
        completed = true;
    }
    if (!completed) {
        return kResultNoResponse;
    }
    return growFailed ? kResultBufferFailed : kResultOk;
}

void QvHttpConnection::analyseHeaders(const QvString& rawHeaders)
{
    m_rawHeaders = rawHeaders;
    QvStringArray found;
    if (!m_charsetFixed && findAllMatches(kCharsetPattern, rawHeaders, found) && found.size() > 0) {
        m_charset = found[0];
    }
    if (findAllMatches(kContentLengthPattern, rawHeaders, found) && found.size() > 0) {
        // Leading digits only; a value beyond the 32-bit range stops at its largest value.
        int64_t value = 0;
        const QvString& digits = found[0];
        for (int i = 0; i < digits.length() && digits.at(i) >= u'0' && digits.at(i) <= u'9'; ++i) {
            value = value * 10 + (digits.at(i) - u'0');
            if (value > INT32_MAX) {
                value = INT32_MAX;
                break;
            }
        }
        m_contentLength = static_cast<int32_t>(value);
    }
}

void QvHttpConnection::decodeResponse()
{
    const bool utf8 = m_charset.length() >= 5 && equalsIgnoreCase(m_charset.mid(0, 5), u"UTF-8");
    QvString text(reinterpret_cast<const char*>(m_responseBytes.get()), static_cast<int>(m_responseLength),
                  utf8 ? kCodePageUtf8 : kCodePageAnsi);
    // The converted text is a C string: it ends at the first zero byte of the body.
    const int zero = text.find(u'\0');
    if (zero >= 0) {
        text = text.mid(0, zero);
    }
    m_responseText = text.isNull() ? QvString(u"") : text;
}

bool QvHttpConnection::findAllMatches(const QvString& pattern, const QvString& text, QvStringArray& out)
{
    out.clear();
    if (pattern.isEmpty() || text.isEmpty()) {
        return false;
    }
    HeaderPattern matcher;
    if (!matcher.parse(pattern.toStd())) {
        return false;
    }
    const std::u16string subject = text.toStd();
    size_t from = 0;
    size_t start = 0;
    size_t end = 0;
    size_t captureStart = 0;
    size_t captureEnd = 0;
    while (from <= subject.size() && matcher.search(subject, from, start, end, captureStart, captureEnd)) {
        if (matcher.hasCapture()) {
            addDistinct(out, subject.substr(captureStart, captureEnd - captureStart));
        }
        // The next search resumes where this match ended; an empty match moves on by one.
        from = end > start ? end : start + 1;
    }
    return true;
}
