// Load test of the local web server against nginx over loopback, both as child processes serving
// the same files, in alternating rounds of the same load: requests per second for a 1 KiB file (a
// new connection per request, 16 clients and 1 client; and keep-alive), a 1 MiB file; then the
// server's peak resident memory while 8 clients download a 1 GiB file, and its memory per idle
// connection with 1,000 held. Bounded in time and count; prints figures only.
//
//   web_bench [compare] [memory] [idle]   the parts to run (all when none is given); compare may be
//                                         narrowed to loads: small16 small1 large16 keepalive
//   web_bench serve FOLDER                runs the server alone on a free port (prints "port N pid P")

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "platform/Socket.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRoundSeconds = 2.0;  // one round of one server under one load
constexpr int kRounds = 3;             // per server and load, alternating
constexpr long kRoundMaxRequests = 200000;
constexpr int kAnswerTimeoutMs = 10000;
constexpr int kSettleMs = 1500;  // this server ends its connections about a second after the answer
constexpr int kIdleConnections = 1000;
constexpr int kDownloadClients = 8;
constexpr std::uint64_t kHugeBytes = std::uint64_t{1} << 30;
constexpr const char* kNginx = "/usr/sbin/nginx";

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A fresh folder below the temporary directory, removed on destruction.
class BenchDir {
public:
    BenchDir()
    {
        std::random_device seed;
        m_path = std::filesystem::temp_directory_path() / ("qvweb-bench-" + std::to_string(seed()));
        std::filesystem::create_directories(m_path / "site");
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec |
                                                 std::filesystem::perms::group_read |
                                                 std::filesystem::perms::others_read);
    }
    ~BenchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(m_path / "site" / name, std::ios::binary) << bytes;
    }
    // A sparse file: reads as zeros, takes no disk space.
    void writeSparse(const std::string& name, std::uint64_t bytes) const
    {
        std::ofstream(m_path / "site" / name, std::ios::binary).close();
        std::filesystem::resize_file(m_path / "site" / name, bytes);
    }
    std::filesystem::path site() const { return m_path / "site"; }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A field of /proc/PROCESS/status ("VmRSS" and "VmHWM" in kB, "Threads", "Pid"), or -1.
long statusField(const std::string& process, const std::string& field)
{
    std::ifstream in("/proc/" + process + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

long statusField(int pid, const std::string& field)
{
    return statusField(std::to_string(pid), field);
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

int freePort()
{
    qvplat::AddrInfo info;
    if (!qvplat::resolvePassive(0, info)) {
        return -1;
    }
    const qvplat::SocketHandle probe = qvplat::createSocket(info);
    int port = -1;
    if (qvplat::bindSocket(probe, info)) {
        port = qvplat::localPort(probe);
    }
    qvplat::closeSocket(probe);
    return port;
}

bool sendAll(qvplat::SocketHandle socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const long n = qvplat::sendSome(socket, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && qvplat::lastSendError() != qvplat::SendError::WouldBlock) {
            return false;
        } else if (qvplat::waitWritable(socket, kAnswerTimeoutMs) != 1) {
            return false;
        }
    }
    return true;
}

// Reads one answer on socket by its Content-Length. True when a whole 200 answer of expectedBody
// bytes arrived. leftover carries bytes past the answer (none with one request in flight).
bool readAnswer(qvplat::SocketHandle socket, std::uint64_t expectedBody, std::vector<char>& buffer)
{
    std::string header;
    std::uint64_t bodyRead = 0;
    std::uint64_t bodyLength = 0;
    bool haveHeader = false;
    for (;;) {
        if (qvplat::waitReadable(socket, kAnswerTimeoutMs) != 1) {
            return false;
        }
        const long n = qvplat::recvSome(socket, buffer.data(), buffer.size());
        if (n <= 0) {
            return false;
        }
        if (!haveHeader) {
            header.append(buffer.data(), static_cast<std::size_t>(n));
            const std::size_t end = header.find("\r\n\r\n");
            if (end == std::string::npos) {
                continue;
            }
            haveHeader = true;
            if (header.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) {
                return false;
            }
            const std::size_t at = header.find("Content-Length: ");
            bodyLength = at == std::string::npos ? 0 : std::stoull(header.substr(at + 16));
            bodyRead = header.size() - end - 4;
        } else {
            bodyRead += static_cast<std::uint64_t>(n);
        }
        if (bodyRead >= bodyLength) {
            return bodyLength == expectedBody && bodyRead == bodyLength;
        }
    }
}

struct Load {
    const char* key;  // picks the load on the command line
    const char* label;
    const char* target;
    std::uint64_t bodyBytes;
    int clients;
    bool keepAlive;
};

// Runs load against port for one round; returns answers per second.
double runRound(int port, const Load& load)
{
    const std::string request = std::string("GET ") + load.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::atomic<long> answered{0};
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kRoundSeconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < load.clients; ++c) {
        threads.emplace_back([&] {
            std::vector<char> buffer(256 * 1024);
            qvplat::SocketHandle socket = qvplat::kInvalidSocket;
            while (Clock::now() < deadline && answered.load() < kRoundMaxRequests) {
                if (socket == qvplat::kInvalidSocket) {
                    socket = qvplat::connectLoopback(port, kAnswerTimeoutMs);
                    if (socket == qvplat::kInvalidSocket) {
                        continue;
                    }
                }
                const bool ok = sendAll(socket, request) && readAnswer(socket, load.bodyBytes, buffer);
                if (ok) {
                    ++answered;
                }
                // A keep-alive connection the server ended is opened again; that costs the round.
                if (!ok || !load.keepAlive) {
                    qvplat::closeSocket(socket);
                    socket = qvplat::kInvalidSocket;
                }
            }
            qvplat::closeSocket(socket);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return static_cast<double>(answered.load()) / std::chrono::duration<double>(Clock::now() - start).count();
}

// A server under test, started as a child process.
struct Server {
    std::string name;
    int port = -1;
    int pid = -1;
    std::unique_ptr<ChildProcess> process;
};

bool startThisServer(const std::string& self, const BenchDir& dir, Server& server)
{
    server.name = "this";
    server.process = std::make_unique<ChildProcess>();
    const std::string log = (dir.path() / "this.out").string();
    if (!server.process->start(self, {"serve", dir.site().string()}, log) ||
        !server.process->waitForOutput("pid ", 10000)) {
        return false;
    }
    const std::string out = server.process->output();
    server.port = std::stoi(out.substr(out.find("port ") + 5));
    server.pid = std::stoi(out.substr(out.find("pid ") + 4));
    return server.port > 0;
}

bool startNginx(const BenchDir& dir, Server& server)
{
    server.name = "nginx";
    server.port = freePort();
    const std::filesystem::path conf = dir.path() / "nginx.conf";
    std::ofstream(conf) << "worker_processes auto;\n"
                           "pid "
                        << (dir.path() / "nginx.pid").string() << ";\n"
                        << "error_log " << (dir.path() / "nginx.err").string() << ";\n"
                        << "events { worker_connections 4096; }\n"
                           "http {\n"
                           "  access_log off;\n  sendfile on;\n  tcp_nopush on;\n  keepalive_requests 1000000;\n"
                           "  default_type application/octet-stream;\n"
                           "  client_body_temp_path "
                        << (dir.path() / "tmp").string() << ";\n"
                        << "  proxy_temp_path " << (dir.path() / "tmp").string() << ";\n"
                        << "  server { listen 127.0.0.1:" << server.port << "; root " << dir.site().string()
                        << "; }\n}\n";
    server.process = std::make_unique<ChildProcess>();
    if (!server.process->start(kNginx, {"-p", dir.path().string(), "-c", conf.string(), "-g", "daemon off;"},
                               (dir.path() / "nginx.out").string())) {
        return false;
    }
    // Ready once it accepts.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const qvplat::SocketHandle probe = qvplat::connectLoopback(server.port, 1000);
        if (probe != qvplat::kInvalidSocket) {
            qvplat::closeSocket(probe);
            server.pid = -1;
            return true;
        }
        sleepMs(50);
    }
    return false;
}

void compare(Server& ours, Server* nginx, const std::function<bool(const std::string&)>& picked)
{
    const Load loads[] = {
        {"small16", "1 KiB, new connection, 16 clients", "/small.bin", 1024, 16, false},
        {"small1", "1 KiB, new connection, 1 client", "/small.bin", 1024, 1, false},
        {"large16", "1 MiB, new connection, 16 clients", "/large.bin", 1024 * 1024, 16, false},
        {"keepalive", "1 KiB, keep-alive, 16 clients", "/small.bin", 1024, 16, true},
    };
    bool anyPicked = false;
    for (const Load& load : loads) {
        anyPicked = anyPicked || picked(load.key);
    }
    std::printf("%-36s %12s %12s %7s   (req/s per round, %d rounds of %.0f s, alternating)\n", "load", "this", "nginx",
                "ratio", kRounds, kRoundSeconds);
    for (const Load& load : loads) {
        if (anyPicked && !picked(load.key)) {
            continue;
        }
        double ourTotal = 0;
        double nginxTotal = 0;
        std::string rounds;
        for (int round = 0; round < kRounds; ++round) {
            // Who goes first alternates too, so that neither always meets a warmer machine.
            for (int turn = 0; turn < 2; ++turn) {
                const bool oursNow = (turn == 0) == (round % 2 == 0);
                Server* server = oursNow ? &ours : nginx;
                if (server == nullptr) {
                    continue;
                }
                const double rate = runRound(server->port, load);
                (oursNow ? ourTotal : nginxTotal) += rate;
                char text[64];
                std::snprintf(text, sizeof text, " %s %.0f", oursNow ? "this" : "nginx", rate);
                rounds += text;
                sleepMs(kSettleMs);
            }
        }
        std::printf("%-36s %12.0f %12.0f %7s  |%s\n", load.label, ourTotal / kRounds, nginxTotal / kRounds,
                    nginx != nullptr ? (std::to_string(ourTotal / nginxTotal).substr(0, 4) + "x").c_str() : "-",
                    rounds.c_str());
        std::fflush(stdout);
    }
    std::printf("targets: 1 KiB/16 >= 0.6x, 1 KiB/1 >= 0.8x, 1 MiB >= 0.9x, keep-alive >= 0.9x\n");
}

void measureDownloads(const Server& ours)
{
    const long before = statusField(ours.pid, "VmRSS");
    std::atomic<bool> done{false};
    long peak = before;
    std::thread sampler([&] {
        while (!done.load()) {
            peak = std::max(peak, statusField(ours.pid, "VmRSS"));
            sleepMs(10);
        }
    });
    std::atomic<int> complete{0};
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kDownloadClients; ++c) {
        clients.emplace_back([&] {
            std::vector<char> buffer(1024 * 1024);
            const qvplat::SocketHandle socket = qvplat::connectLoopback(ours.port, kAnswerTimeoutMs);
            if (sendAll(socket, "GET /huge.bin HTTP/1.1\r\n\r\n") && readAnswer(socket, kHugeBytes, buffer)) {
                ++complete;
            }
            qvplat::closeSocket(socket);
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    sampler.join();
    std::printf(
        "%d clients downloading 1 GiB: %d complete in %.1f s; server RSS %ld KiB before, peak %ld KiB "
        "(sampled), VmHWM %ld KiB (target < 65536)\n",
        kDownloadClients, complete.load(), seconds, before, peak, statusField(ours.pid, "VmHWM"));
}

void measureIdle(const Server& ours)
{
    sleepMs(kSettleMs);
    const long rssBefore = statusField(ours.pid, "VmRSS");
    const long threadsBefore = statusField(ours.pid, "Threads");
    std::vector<qvplat::SocketHandle> clients;
    for (int i = 0; i < kIdleConnections; ++i) {
        const qvplat::SocketHandle socket = qvplat::connectLoopback(ours.port, 5000);
        if (socket == qvplat::kInvalidSocket) {
            break;
        }
        clients.push_back(socket);
    }
    const int opened = static_cast<int>(clients.size());
    // Until every connection has its session thread (threads are the slow part), at most 20 s.
    for (int i = 0; i < 400 && statusField(ours.pid, "Threads") < threadsBefore + opened; ++i) {
        sleepMs(50);
    }
    sleepMs(1500);  // past the workers' first tick
    const long rssHeld = statusField(ours.pid, "VmRSS");
    const long threadsHeld = statusField(ours.pid, "Threads");
    for (const qvplat::SocketHandle socket : clients) {
        qvplat::closeSocket(socket);
    }
    std::printf(
        "idle connections: %d held; server threads %ld -> %ld, RSS %ld -> %ld KiB: %.1f KiB per idle "
        "connection (target < 100)\n",
        opened, threadsBefore, threadsHeld, rssBefore, rssHeld,
        opened > 0 ? static_cast<double>(rssHeld - rssBefore) / opened : 0.0);
}

int serve(const std::string& folder)
{
    auto* info = new _tag_WebServerInfo();
    info->name = u"Bench";
    info->basepath = QvString::fromUtf8(folder + "/");
    info->basehtml = u"index.html";
    info->contentstype.set(u"bin", u"application/octet-stream");
    CWebServer server(info);
    for (int attempt = 0; attempt < 5; ++attempt) {
        {
            const auto lock = server.getServerInfo()->writeLock();
            server.getServerInfo()->port = freePort();
        }
        if (server.startServer() && server.waitUntilListening(5000) == CConnWaitThread::ListenState::Listening) {
            std::printf("port %d pid %ld\n", server.getBoundPort(), statusField("self", "Pid"));
            std::fflush(stdout);
            for (;;) {
                sleepMs(3600 * 1000);  // until the bench ends this process
            }
        }
        server.stop();
    }
    std::printf("could not start the server\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> parts(argv + 1, argv + argc);
    if (parts.size() == 2 && parts[0] == "serve") {
        return serve(parts[1]);
    }
    const auto wanted = [&](const std::string& part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    BenchDir dir;
    std::filesystem::create_directories(dir.path() / "tmp");
    dir.write("small.bin", std::string(1024, 's'));
    dir.write("large.bin", std::string(1024 * 1024, 'L'));
    dir.write("index.html", "<html>bench</html>");
    dir.writeSparse("huge.bin", kHugeBytes);

    Server ours;
    if (!startThisServer(self, dir, ours)) {
        std::printf("could not start this server\n");
        return 1;
    }
    std::printf("this server on port %d (pid %d); %u hardware threads; load average %s\n", ours.port, ours.pid,
                std::thread::hardware_concurrency(), loadAverage().c_str());
    std::fflush(stdout);
    Server nginx;
    Server* nginxServer = nullptr;
    if (wanted("compare")) {
        if (!std::filesystem::exists(kNginx)) {
            std::printf("nginx not found at %s (Debian package nginx-light): comparison skipped\n", kNginx);
        } else if (!startNginx(dir, nginx)) {
            std::printf("nginx did not start (see %s): comparison skipped\n", (dir.path() / "nginx.err").c_str());
        } else {
            nginxServer = &nginx;
            std::printf("nginx on port %d\n", nginx.port);
            std::fflush(stdout);
        }
        compare(ours, nginxServer,
                [&](const std::string& key) { return std::find(parts.begin(), parts.end(), key) != parts.end(); });
    }
    if (nginxServer != nullptr) {
        nginx.process->signal(3);  // SIGQUIT: graceful stop
        nginx.process->wait(10000);
    }
    if (wanted("memory")) {
        measureDownloads(ours);
    }
    if (wanted("idle")) {
        measureIdle(ours);
    }
    std::printf("load average at the end %s\n", loadAverage().c_str());
    return 0;
}
