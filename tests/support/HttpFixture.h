#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

class ChildProcess;
class TempDir;

// Percent-encodes text for a query value.
std::string urlEncode(const std::string& text);

// The loopback HTTP/HTTPS test server (http_fixture.py beside this file) as a child process. start()
// waits for its ready line; stop() (and the destructor) ends it and reaps it. Control requests go over a
// plain loopback socket, so they never depend on the HTTP client under test.
class HttpFixture {
public:
    // One request as the server received it.
    struct Received {
        std::string method;
        std::string target;  // as on the request line (absolute when it came through as a proxy)
        int clientPort = 0;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        // The target without the scheme and authority of a proxy request, and without the query.
        std::string path() const;
        // The value of the first header of that name (any case); empty when absent.
        std::string header(const std::string& name) const;
        bool hasHeader(const std::string& name) const;
    };

    HttpFixture();
    ~HttpFixture();
    HttpFixture(const HttpFixture&) = delete;
    HttpFixture& operator=(const HttpFixture&) = delete;

    // Starts the server; false (with a reason) when it did not report ready within 30 s.
    bool start(std::string* error = nullptr);
    void stop();

    int closedPort() const { return m_closedPort; }

    // "http://127.0.0.1:<port>" + path (with its query), and the same for the TLS listener.
    std::string url(const std::string& p) const { return "http://127.0.0.1:" + std::to_string(m_httpPort) + p; }
    std::string httpsUrl(const std::string& p) const { return "https://127.0.0.1:" + std::to_string(m_httpsPort) + p; }

    // Every request received since start or the last clear whose path() is path (any path when
    // empty), oldest first.
    std::vector<Received> received(const std::string& path = {}) const;
    void clearReceived() const { control("/__clear"); }
    void openGate(const std::string& name) const { control("/__open?name=" + urlEncode(name)); }

private:
    // A GET over a fresh loopback connection; the response body, empty on failure.
    std::string control(const std::string& pathAndQuery) const;

    std::unique_ptr<TempDir> m_dir;  // holds the server's output file
    std::unique_ptr<ChildProcess> m_process;
    int m_httpPort = 0;
    int m_httpsPort = 0;
    int m_closedPort = 0;
};
