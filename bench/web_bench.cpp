// Load test of one local web server over loopback: requests per second and latency for a 1 KiB
// and a 1 MiB file with 1, 16 and 64 concurrent clients (a new connection per request), then the
// resident memory per idle open connection with 1,000 idle connections. Bounded in time and count;
// prints figures only.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commlib/SocketClientMngr.h"
#include "platform/Socket.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPhaseSeconds = 3.0;      // each throughput phase runs this long at most
constexpr long kPhaseMaxRequests = 60000;  // ... or until this many requests were answered
constexpr int kIdleConnections = 1000;
constexpr int kDrainTimeoutMs = 30000;  // connections end about a second after their answer
constexpr int kAnswerTimeoutMs = 10000;
constexpr std::size_t kSmallBytes = 1024;
constexpr std::size_t kLargeBytes = 1024 * 1024;

// A fresh folder below the temporary directory, removed on destruction.
class BenchDir {
public:
    BenchDir()
    {
        std::random_device seed;
        m_path = std::filesystem::temp_directory_path() / ("qvweb-bench-" + std::to_string(seed()));
        std::filesystem::create_directories(m_path);
    }
    ~BenchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(m_path / name, std::ios::binary) << bytes;
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A field of /proc/self/status in kB ("VmRSS"), or -1.
long statusKb(const std::string& field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// The soft limit of open files from /proc/self/limits, or -1 when unlimited or unknown.
long openFileLimit()
{
    std::ifstream in("/proc/self/limits");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft;
            fields >> soft;
            return soft == "unlimited" ? -1 : std::stol(soft);
        }
    }
    return -1;
}

std::size_t countThreads()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool drainConnections()
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    return waitUntil([&] { return manager->sessionCount() == 0 && manager->workerCount() == 0; }, kDrainTimeoutMs);
}

// One request on a new connection: connect, send, read the header and Content-Length bytes,
// close. True when the whole 200 answer of expectedBody bytes arrived.
bool fetchOnce(int port, const std::string& request, std::size_t expectedBody, std::vector<char>& buffer)
{
    const qvplat::SocketHandle socket = qvplat::connectLoopback(port, kAnswerTimeoutMs);
    if (socket == qvplat::kInvalidSocket) {
        return false;
    }
    bool ok = false;
    std::size_t sent = 0;
    while (sent < request.size()) {
        const long n = qvplat::sendSome(socket, request.data() + sent, request.size() - sent);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    if (sent == request.size()) {
        std::string header;
        std::size_t bodyRead = 0;
        std::size_t bodyLength = 0;
        bool haveHeader = false;
        for (;;) {
            if (qvplat::waitReadable(socket, kAnswerTimeoutMs) != 1) {
                break;
            }
            const long n = qvplat::recvSome(socket, buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            if (!haveHeader) {
                header.append(buffer.data(), static_cast<std::size_t>(n));
                const std::size_t end = header.find("\r\n\r\n");
                if (end == std::string::npos) {
                    continue;
                }
                haveHeader = true;
                const std::size_t at = header.find("Content-Length: ");
                bodyLength = at == std::string::npos ? 0 : std::stoul(header.substr(at + 16));
                bodyRead = header.size() - end - 4;
                if (header.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) {
                    break;
                }
            } else {
                bodyRead += static_cast<std::size_t>(n);
            }
            if (bodyRead >= bodyLength) {
                ok = bodyLength == expectedBody && bodyRead == bodyLength;
                break;
            }
        }
    }
    qvplat::closeSocket(socket);
    return ok;
}

struct PhaseResult {
    long answered = 0;
    long failed = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

PhaseResult runPhase(int port, const std::string& target, std::size_t bodyBytes, int clients)
{
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::atomic<long> issued{0};
    std::atomic<long> failed{0};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kPhaseSeconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<char> buffer(256 * 1024);
            auto& mine = latencies[static_cast<std::size_t>(c)];
            while (Clock::now() < deadline && issued.fetch_add(1) < kPhaseMaxRequests) {
                const auto begin = Clock::now();
                if (fetchOnce(port, request, bodyBytes, buffer)) {
                    mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
                } else {
                    ++failed;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    PhaseResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& list : latencies) {
        all.insert(all.end(), list.begin(), list.end());
    }
    std::sort(all.begin(), all.end());
    result.answered = static_cast<long>(all.size());
    result.failed = failed.load();
    if (!all.empty()) {
        result.p50Ms = all[all.size() / 2];
        result.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return result;
}

int startServer(CWebServer& server)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = -1;
        {
            qvplat::AddrInfo info;
            if (!qvplat::resolvePassive(0, info)) {
                continue;
            }
            const qvplat::SocketHandle probe = qvplat::createSocket(info);
            if (qvplat::bindSocket(probe, info)) {
                port = qvplat::localPort(probe);
            }
            qvplat::closeSocket(probe);
        }
        if (port <= 0) {
            continue;
        }
        {
            const auto lock = server.getServerInfo()->writeLock();
            server.getServerInfo()->port = port;
        }
        if (server.startServer() && server.waitUntilListening(5000) == CConnWaitThread::ListenState::Listening) {
            return port;
        }
        server.stop();
    }
    return -1;
}

void measureIdleConnections(int port)
{
    int wanted = kIdleConnections;
    const long limit = openFileLimit();
    // Each idle connection holds two descriptors here (client and server end).
    if (limit > 0 && limit < 2L * wanted + 200) {
        wanted = static_cast<int>((limit - 200) / 2);
        std::printf("note: open-file limit %ld allows only %d idle connections\n", limit, wanted);
    }
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    const long rssBefore = statusKb("VmRSS");
    const std::size_t threadsBefore = countThreads();
    std::vector<qvplat::SocketHandle> clients;
    clients.reserve(static_cast<std::size_t>(wanted));
    for (int i = 0; i < wanted; ++i) {
        const qvplat::SocketHandle socket = qvplat::connectLoopback(port, 5000);
        if (socket == qvplat::kInvalidSocket) {
            break;
        }
        clients.push_back(socket);
    }
    const int opened = static_cast<int>(clients.size());
    const bool registered = waitUntil([&] { return manager->sessionCount() >= opened; }, 20000);
    // Let every session thread reach its receive poll before memory is read.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long rssHeld = statusKb("VmRSS");
    const std::size_t threadsHeld = countThreads();
    int stillOpen = 0;
    for (const qvplat::SocketHandle socket : clients) {
        if (qvplat::waitReadable(socket, 0) == 0) {
            ++stillOpen;  // no close, no data: the server holds it open
        }
    }
    for (const qvplat::SocketHandle socket : clients) {
        qvplat::closeSocket(socket);
    }
    const bool drained = drainConnections();
    std::printf("idle connections: %d opened, %d registered, %d still open after the first ticks%s\n", opened,
                registered ? opened : manager->sessionCount(), stillOpen, drained ? "" : " (drain timed out)");
    std::printf("  threads %zu -> %zu, RSS %ld KiB -> %ld KiB: %.1f KiB per idle connection (target < 100)\n",
                threadsBefore, threadsHeld, rssBefore, rssHeld,
                opened > 0 ? static_cast<double>(rssHeld - rssBefore) / opened : 0.0);
}

}  // namespace

// Arguments pick parts: "1k", "1m", "idle" (all when none is given).
int main(int argc, char** argv)
{
    std::vector<std::string> parts(argv + 1, argv + argc);
    const auto wanted = [&](const std::string& part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    BenchDir dir;
    dir.write("small.bin", std::string(kSmallBytes, 's'));
    dir.write("large.bin", std::string(kLargeBytes, 'L'));
    dir.write("index.html", "<html>bench</html>");

    auto* info = new _tag_WebServerInfo();
    info->name = u"Bench";
    info->basepath = QvString::fromUtf8(dir.path().string());
    info->basehtml = u"index.html";
    info->contentstype.set(u"bin", u"application/octet-stream");
    CWebServer server(info);
    const int port = startServer(server);
    if (port <= 0) {
        std::printf("could not start the server\n");
        return 1;
    }
    std::printf("web server on 127.0.0.1:%d, %u hardware threads; phases of at most %.0f s / %ld requests\n", port,
                std::thread::hardware_concurrency(), kPhaseSeconds, kPhaseMaxRequests);
    std::printf("%-8s %7s %9s %9s %10s %9s %9s %8s\n", "file", "clients", "answered", "failed", "req/s", "MiB/s",
                "p50 ms", "p99 ms");

    struct File {
        const char* label;
        const char* target;
        std::size_t bytes;
    };
    const File files[] = {{"1 KiB", "/small.bin", kSmallBytes}, {"1 MiB", "/large.bin", kLargeBytes}};
    for (const File& file : files) {
        if (!wanted(file.bytes == kSmallBytes ? "1k" : "1m")) {
            continue;
        }
        for (const int clients : {1, 16, 64}) {
            const PhaseResult r = runPhase(port, file.target, file.bytes, clients);
            const double rate = r.answered / r.seconds;
            std::printf("%-8s %7d %9ld %9ld %10.0f %9.1f %9.3f %8.3f\n", file.label, clients, r.answered, r.failed,
                        rate, rate * static_cast<double>(file.bytes) / (1024.0 * 1024.0), r.p50Ms, r.p99Ms);
            std::fflush(stdout);
            if (!drainConnections()) {
                std::printf("  connections did not drain in time\n");
            }
        }
    }
    std::printf("targets: >= 5000 req/s for 1 KiB with 16 clients; 1 MiB limited by memory bandwidth\n");

    if (wanted("idle")) {
        measureIdleConnections(port);
    }
    server.stop();
    return 0;
}
