#include "HttpFixture.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

#include "ChildProcess.h"
#include "Loopback.h"
#include "TempDir.h"

namespace {

constexpr int kReadyLimitMs = 30000;    // python start-up plus two certificates, on a loaded machine
constexpr int kControlLimitMs = 30000;  // one control request
constexpr int kTermGraceMs = 5000;      // after SIGTERM, before the destructor's SIGKILL
constexpr int kSigTerm = 15;

// "-" (empty) gives the empty string as well.
std::string fromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

int portOf(const std::string& line, const std::string& key)
{
    const size_t at = line.find(" " + key + "=");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + key.size() + 2);
}

}  // namespace

std::string HttpFixture::Received::path() const
{
    std::string rest = target;
    const size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        const size_t slash = rest.find('/', scheme + 3);
        rest = slash == std::string::npos ? "/" : rest.substr(slash);
    }
    return rest.substr(0, rest.find('?'));
}

std::string HttpFixture::Received::header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (lower(key) == lower(name)) {
            return value;
        }
    }
    return {};
}

bool HttpFixture::Received::hasHeader(const std::string& name) const
{
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return lower(h.first) == lower(name); });
}

HttpFixture::HttpFixture() = default;

HttpFixture::~HttpFixture()
{
    stop();
}

bool HttpFixture::start(std::string* error)
{
    m_dir = std::make_unique<TempDir>("qvfixture");
    m_process = std::make_unique<ChildProcess>();
    // The build names the script's absolute path: __FILE__ is relative when a compiler cache rewrites paths.
    const bool started =
        m_process->start("python3", {"-u", QV_HTTP_FIXTURE_SCRIPT}, (m_dir->path() / "output.txt").string());
    std::string line;  // "READY http=<port> https=<port> closed=<port>"
    qvtest::waitUntil(
        [&] {
            const std::string output = m_process->output();
            const size_t ready = output.find("READY ");
            const size_t end = ready == std::string::npos ? ready : output.find('\n', ready);
            if (end != std::string::npos) {
                line = output.substr(ready, end - ready);
                return true;
            }
            m_process->wait(0);  // notices a server that ended early
            return !m_process->isRunning();
        },
        started ? kReadyLimitMs : 0);
    m_httpPort = portOf(line, "http");
    m_httpsPort = portOf(line, "https");
    m_closedPort = portOf(line, "closed");
    if (m_httpPort != 0 && m_httpsPort != 0 && m_closedPort != 0) {
        return true;
    }
    if (error != nullptr) {
        *error = "no ready line from python3 " QV_HTTP_FIXTURE_SCRIPT "; output: " + m_process->output();
    }
    stop();
    return false;
}

void HttpFixture::stop()
{
    if (m_process) {
        m_process->signal(kSigTerm);  // nothing when it ended already
        m_process->wait(kTermGraceMs);
        m_process.reset();  // kills and reaps a server that ignored the signal
    }
    m_dir.reset();
}

std::string HttpFixture::control(const std::string& pathAndQuery) const
{
    // Every control answer closes its connection, which ends the read.
    return loopback::bodyOf(loopback::httpGet(m_httpPort, pathAndQuery, kControlLimitMs));
}

std::vector<HttpFixture::Received> HttpFixture::received(const std::string& path) const
{
    std::vector<Received> out;
    std::istringstream lines(control("/__requests"));
    std::string line;
    Received current;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "REQ") {
            current = Received();
            std::string target;
            words >> current.method >> target >> current.clientPort;
            current.target = fromHex(target);
        } else if (kind == "H") {
            std::string name;
            std::string value;
            words >> name >> value;
            current.headers.emplace_back(fromHex(name), fromHex(value));
        } else if (kind == "B") {
            std::string body;
            words >> body;
            current.body = fromHex(body);
        } else if (kind == "END" && (path.empty() || current.path() == path)) {
            out.push_back(current);
        }
    }
    return out;
}

std::string urlEncode(const std::string& text)
{
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}
