// Load test of the local web server against nginx over loopback, both as child processes serving
// the same files, in alternating rounds of the same load. Each server is pinned to one core (nginx
// with one worker), the load generators to the others, and the server's processor time per answer
// is read from /proc/PID/stat around every round. Loads: a new connection per request for a 1 KiB
// and a 1 MiB file with 16 clients, and keep-alive 1 KiB with 16 and 256 connections. Then the
// server's peak resident memory while 8 clients download a 1 GiB file, and the cost of 10,000
// silent connections held for 30 s. Errors (failed connects, wrong or missing answers) are counted
// beside the answers; every target is checked and printed. Bounded in time and count.
//
//   web_bench [compare] [memory] [idle [N]]   the parts to run (all when none is given); compare may
//                                             be narrowed to loads: small16 large16 keep16 keep256
//   web_bench serve FOLDER                    runs the server alone on a free port ("port N pid P")

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
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
constexpr int kIdleConnections = 10000;
constexpr int kIdleHoldSeconds = 30;
constexpr int kConnectBackoffFirstMs = 1;  // a refused connect waits, doubling up to the last
constexpr int kConnectBackoffLastMs = 64;
constexpr int kDownloadClients = 8;
constexpr std::uint64_t kHugeBytes = std::uint64_t{1} << 30;
constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kWrk = "/usr/bin/wrk";

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

// Processor time (user + system) of process pid and its children so far, in seconds: fields 14
// and 15 of /proc/PID/stat, after the command name, which may hold blanks; children from
// /proc/PID/task/PID/children (nginx's worker).
double cpuSeconds(int pid)
{
    double seconds = ChildProcess::cpuSeconds(pid);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (int child = 0; children >> child;) {
        seconds += cpuSeconds(child);
    }
    return seconds;
}

// The processors this process may use, in order.
std::vector<int> allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                cpus.push_back(cpu);
            }
        }
    }
    return cpus;
}

// Pins the calling thread, and so every process and thread it starts afterwards, to cpus.
bool pinTo(const std::vector<int>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int cpu : cpus) {
        CPU_SET(cpu, &set);
    }
    return !cpus.empty() && ::sched_setaffinity(0, sizeof set, &set) == 0;
}

int freePort()
{
    qvplat::AddrInfo info;
    qvplat::SocketHandle probe = qvplat::kInvalidSocket;
    if (qvplat::resolvePassive(0, info).failed() || qvplat::createSocket(info, probe).failed()) {
        return -1;
    }
    int port = -1;
    if (!qvplat::bindSocket(probe, info).failed()) {
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

enum class Answer {
    Whole,   // a 200 answer of the expected length
    Closed,  // the connection ended (or stayed silent) before a byte of the answer
    Wrong,   // another status or length, or cut short
};

// Reads one answer on socket by its Content-Length (one request in flight, so nothing follows it).
Answer readAnswer(qvplat::SocketHandle socket, std::uint64_t expectedBody, std::vector<char>& buffer)
{
    std::string header;
    std::uint64_t bodyRead = 0;
    std::uint64_t bodyLength = 0;
    bool haveHeader = false;
    for (;;) {
        const long n = qvplat::waitReadable(socket, kAnswerTimeoutMs) == 1
                           ? qvplat::recvSome(socket, buffer.data(), buffer.size())
                           : -1;
        if (n <= 0) {
            return header.empty() ? Answer::Closed : Answer::Wrong;
        }
        if (!haveHeader) {
            header.append(buffer.data(), static_cast<std::size_t>(n));
            const std::size_t end = header.find("\r\n\r\n");
            if (end == std::string::npos) {
                continue;
            }
            haveHeader = true;
            if (header.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) {
                return Answer::Wrong;
            }
            const std::size_t at = header.find("Content-Length: ");
            bodyLength = at == std::string::npos ? 0 : std::stoull(header.substr(at + 16));
            bodyRead = header.size() - end - 4;
        } else {
            bodyRead += static_cast<std::uint64_t>(n);
        }
        if (bodyRead >= bodyLength) {
            return bodyLength == expectedBody && bodyRead == bodyLength ? Answer::Whole : Answer::Wrong;
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

struct Round {
    long answered = 0;
    long connectFailures = 0;
    long closed = 0;        // ended or silent before the answer: a keep-alive connection the server gave up
    long wrongAnswers = 0;  // not 200, another length, or cut short
    double seconds = 0;
    double cpuSeconds = 0;  // the server's
};

// Runs load against the server at port (process pid) for one round.
Round runRound(int port, int pid, const Load& load)
{
    const std::string request = std::string("GET ") + load.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::atomic<long> answered{0};
    std::atomic<long> connectFailures{0};
    std::atomic<long> closed{0};
    std::atomic<long> wrongAnswers{0};
    const double cpuBefore = cpuSeconds(pid);
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kRoundSeconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < load.clients; ++c) {
        threads.emplace_back([&] {
            std::vector<char> buffer(256 * 1024);
            qvplat::SocketHandle socket = qvplat::kInvalidSocket;
            int backoffMs = kConnectBackoffFirstMs;
            while (Clock::now() < deadline && answered.load() < kRoundMaxRequests) {
                if (socket == qvplat::kInvalidSocket) {
                    socket = qvplat::connectLoopback(port, kAnswerTimeoutMs);
                    if (socket == qvplat::kInvalidSocket) {
                        ++connectFailures;
                        sleepMs(backoffMs);
                        backoffMs = std::min(backoffMs * 2, kConnectBackoffLastMs);
                        continue;
                    }
                    backoffMs = kConnectBackoffFirstMs;
                }
                const Answer answer =
                    sendAll(socket, request) ? readAnswer(socket, load.bodyBytes, buffer) : Answer::Closed;
                ++(answer == Answer::Whole ? answered : answer == Answer::Closed ? closed : wrongAnswers);
                // A keep-alive connection the server ended is opened again; that costs the round.
                if (answer != Answer::Whole || !load.keepAlive) {
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
    Round round;
    round.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    round.cpuSeconds = cpuSeconds(pid) - cpuBefore;
    round.answered = answered.load();
    round.connectFailures = connectFailures.load();
    round.closed = closed.load();
    round.wrongAnswers = wrongAnswers.load();
    return round;
}

// One round of a keep-alive load by wrk (Debian package wrk, an event-driven generator) with one
// thread per load processor. False when wrk did not run or said nothing readable.
bool runWrkRound(int port, int pid, const Load& load, int threads, Round& round)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + load.target;
    const double cpuBefore = cpuSeconds(pid);
    std::string out;
    const int code = ChildProcess::run(
        kWrk,
        {"-t", std::to_string(std::clamp(threads, 1, load.clients)), "-c", std::to_string(load.clients), "-d",
         std::to_string(static_cast<int>(kRoundSeconds)) + "s", "--timeout", "10s", url},
        out, 60000);
    round.cpuSeconds = cpuSeconds(pid) - cpuBefore;
    // "  N requests in 2.00s, ...", "Socket errors: connect C, read R, write W, timeout T",
    // "Non-2xx or 3xx responses: N", "Requests/sec: X"
    const auto number = [&](const std::string& label) {
        const std::size_t at = out.find(label);
        return at == std::string::npos ? 0L : std::strtol(out.c_str() + at + label.size(), nullptr, 10);
    };
    const std::size_t in = out.find(" requests in ");
    const std::size_t rate = out.find("Requests/sec:");
    if (code != 0 || in == std::string::npos || rate == std::string::npos) {
        return false;
    }
    const std::size_t lineStart = out.rfind('\n', in) == std::string::npos ? 0 : out.rfind('\n', in) + 1;
    const long total = std::stol(out.substr(lineStart, in - lineStart));
    const double perSecond = std::strtod(out.c_str() + rate + 13, nullptr);
    round.wrongAnswers = number("Non-2xx or 3xx responses:");
    round.answered = total - round.wrongAnswers;
    round.seconds = perSecond > 0 ? static_cast<double>(total) / perSecond : kRoundSeconds;
    round.connectFailures = number("Socket errors: connect ");
    round.closed = number(", read ") + number(", write ") + number(", timeout ");
    return true;
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
    std::ofstream(conf) << "worker_processes 1;\n"
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
            server.pid = server.process->pid();
            return true;
        }
        sleepMs(50);
    }
    return false;
}

// Sums of one server's rounds under one load.
struct Totals {
    long answered = 0;
    long connectFailures = 0;
    long closed = 0;
    long wrongAnswers = 0;
    double seconds = 0;
    double cpuSeconds = 0;

    void add(const Round& round)
    {
        answered += round.answered;
        connectFailures += round.connectFailures;
        closed += round.closed;
        wrongAnswers += round.wrongAnswers;
        seconds += round.seconds;
        cpuSeconds += round.cpuSeconds;
    }
    double perSecond() const { return seconds > 0 ? static_cast<double>(answered) / seconds : 0; }
    double microsPerAnswer() const { return answered > 0 ? cpuSeconds * 1e6 / static_cast<double>(answered) : 0; }
    std::string errors() const
    {
        return std::to_string(connectFailures) + "/" + std::to_string(closed) + "/" + std::to_string(wrongAnswers);
    }
};

const char* verdict(bool holds)
{
    return holds ? "holds" : "FAILS";
}

void compare(Server& ours, Server* nginx, const std::function<bool(const std::string&)>& picked)
{
    struct Target {
        const Load load;
        double minRatio;  // ours/nginx answers per second
    };
    const Target targets[] = {
        {{"small16", "new connection, 1 KiB, 16 clients", "/small.bin", 1024, 16, false}, 0.95},
        {{"large16", "new connection, 1 MiB, 16 clients", "/large.bin", 1024 * 1024, 16, false}, 0.95},
        {{"keep16", "keep-alive 1 KiB, 16 connections", "/small.bin", 1024, 16, true}, 0.9},
        {{"keep256", "keep-alive 1 KiB, 256 connections", "/small.bin", 1024, 256, true}, 0.9},
    };
    constexpr double kMaxCpuRatio = 1.15;  // ours/nginx processor time per answer
    bool anyPicked = false;
    for (const Target& target : targets) {
        anyPicked = anyPicked || picked(target.load.key);
    }
    const bool wrk = std::filesystem::exists(kWrk);
    const int loadThreads = static_cast<int>(allowedCpus().size());
    std::printf("keep-alive load by %s\n",
                wrk ? "wrk" : "this bench's own clients (no /usr/bin/wrk: Debian package wrk)");
    std::printf(
        "%d rounds of %.0f s per server and load, alternating; errors are failed connects/connections ended before the "
        "answer/wrong answers\n",
        kRounds, kRoundSeconds);
    std::printf("| %-36s | %11s | %10s | %10s | %12s | %11s | %12s | %11s |\n", "workload", "nginx req/s", "ours req/s",
                "ours/nginx", "nginx us/req", "ours us/req", "nginx errors", "ours errors");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(38, '-').c_str(), std::string(13, '-').c_str(),
                std::string(12, '-').c_str(), std::string(12, '-').c_str(), std::string(14, '-').c_str(),
                std::string(13, '-').c_str(), std::string(14, '-').c_str(), std::string(13, '-').c_str());
    std::string verdicts;
    for (const Target& target : targets) {
        if (anyPicked && !picked(target.load.key)) {
            continue;
        }
        Totals our;
        Totals their;
        for (int round = 0; round < kRounds; ++round) {
            // Who goes first alternates too, so that neither always meets a warmer machine.
            for (int turn = 0; turn < 2; ++turn) {
                const bool oursNow = (turn == 0) == (round % 2 == 0);
                Server* server = oursNow ? &ours : nginx;
                if (server != nullptr) {
                    Round result;
                    if (!(wrk && target.load.keepAlive &&
                          runWrkRound(server->port, server->pid, target.load, loadThreads, result))) {
                        result = runRound(server->port, server->pid, target.load);
                    }
                    // The settling counts too: work a round leaves behind (our ticks that end its
                    // connections a second later) is part of what its answers cost.
                    const double cpuAtEnd = cpuSeconds(server->pid);
                    sleepMs(kSettleMs);
                    result.cpuSeconds += cpuSeconds(server->pid) - cpuAtEnd;
                    (oursNow ? our : their).add(result);
                }
            }
        }
        char row[512];
        if (nginx != nullptr) {
            const double ratio = their.perSecond() > 0 ? our.perSecond() / their.perSecond() : 0;
            const double cpuRatio = their.microsPerAnswer() > 0 ? our.microsPerAnswer() / their.microsPerAnswer() : 0;
            std::snprintf(row, sizeof row, "| %-36s | %11.0f | %10.0f | %10.2f | %12.1f | %11.1f | %12s | %11s |\n",
                          target.load.label, their.perSecond(), our.perSecond(), ratio, their.microsPerAnswer(),
                          our.microsPerAnswer(), their.errors().c_str(), our.errors().c_str());
            char line[256];
            std::snprintf(line, sizeof line, "  %-36s req/s ratio %.2f >= %.2f %s; us/req ratio %.2f <= %.2f %s\n",
                          target.load.label, ratio, target.minRatio, verdict(ratio >= target.minRatio), cpuRatio,
                          kMaxCpuRatio, verdict(cpuRatio > 0 && cpuRatio <= kMaxCpuRatio));
            verdicts += line;
        } else {
            std::snprintf(row, sizeof row, "| %-36s | %11s | %10.0f | %10s | %12s | %11.1f | %12s | %11s |\n",
                          target.load.label, "-", our.perSecond(), "-", "-", our.microsPerAnswer(), "-",
                          our.errors().c_str());
        }
        std::printf("%s", row);
        std::fflush(stdout);
    }
    if (nginx != nullptr) {
        std::printf("targets (ours/nginx):\n%s", verdicts.c_str());
    } else {
        std::printf("targets (ours/nginx): not checked, nginx is not installed\n");
    }
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
            if (sendAll(socket, "GET /huge.bin HTTP/1.1\r\n\r\n") &&
                readAnswer(socket, kHugeBytes, buffer) == Answer::Whole) {
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
    constexpr long kMaxPeakKib = 64 * 1024;
    const long hwm = statusField(ours.pid, "VmHWM");
    std::printf(
        "%d clients downloading 1 GiB: %d complete, %d failed, in %.1f s; server RSS %ld KiB before, peak %ld KiB "
        "(sampled), VmHWM %ld KiB: target < %ld KiB %s\n",
        kDownloadClients, complete.load(), kDownloadClients - complete.load(), seconds, before, peak, hwm, kMaxPeakKib,
        verdict(hwm > 0 && hwm < kMaxPeakKib && complete.load() == kDownloadClients));
}

void measureIdle(const Server& ours, int count)
{
    constexpr long kMaxRssKib = 100 * 1024;
    constexpr long kMaxThreads = 64;
    sleepMs(kSettleMs);
    const long rssBefore = statusField(ours.pid, "VmRSS");
    const long threadsBefore = statusField(ours.pid, "Threads");
    std::vector<qvplat::SocketHandle> clients;
    int failed = 0;
    for (int i = 0; i < count && failed < 16; ++i) {
        const qvplat::SocketHandle socket = qvplat::connectLoopback(ours.port, 5000);
        if (socket == qvplat::kInvalidSocket) {
            ++failed;
            sleepMs(kConnectBackoffLastMs);
        } else {
            clients.push_back(socket);
        }
    }
    const int opened = static_cast<int>(clients.size());
    // Silent for the whole hold; what counts is the worst moment.
    long rssPeak = rssBefore;
    long threadsPeak = threadsBefore;
    for (int second = 0; second < kIdleHoldSeconds; ++second) {
        sleepMs(1000);
        rssPeak = std::max(rssPeak, statusField(ours.pid, "VmRSS"));
        threadsPeak = std::max(threadsPeak, statusField(ours.pid, "Threads"));
    }
    // Still held: a server that dropped them shows it here.
    int open = 0;
    for (const qvplat::SocketHandle socket : clients) {
        open += qvplat::waitReadable(socket, 0) == 0 ? 1 : 0;
        qvplat::closeSocket(socket);
    }
    std::printf(
        "silent connections: %d opened (%d connects failed), %d still open after %d s; server threads %ld -> peak "
        "%ld, RSS %ld -> peak %ld KiB (%.1f KiB per connection): target %d held, RSS < %ld KiB, threads < %ld %s\n",
        opened, failed, open, kIdleHoldSeconds, threadsBefore, threadsPeak, rssBefore, rssPeak,
        opened > 0 ? static_cast<double>(rssPeak - rssBefore) / opened : 0.0, kIdleConnections, kMaxRssKib, kMaxThreads,
        verdict(open == kIdleConnections && rssPeak < kMaxRssKib && threadsPeak < kMaxThreads));
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
    int idleCount = kIdleConnections;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "idle" && !parts[i + 1].empty() &&
            parts[i + 1].find_first_not_of("0123456789") == std::string::npos) {
            idleCount = std::stoi(parts[i + 1]);
        }
    }
    // Room for the silent connections, in this process and (inherited) in the servers.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    BenchDir dir;
    std::filesystem::create_directories(dir.path() / "tmp");
    dir.write("small.bin", std::string(1024, 's'));
    dir.write("large.bin", std::string(1024 * 1024, 'L'));
    dir.write("index.html", "<html>bench</html>");
    dir.writeSparse("huge.bin", kHugeBytes);

    // The servers start pinned to the first core (their processes and threads inherit it); the
    // load generators, started later, run on the others.
    const std::vector<int> cpus = allowedCpus();
    const bool pinned = cpus.size() >= 2 && pinTo({cpus.front()});
    Server ours;
    Server nginx;
    Server* nginxServer = nullptr;
    const bool started = startThisServer(self, dir, ours);
    std::string nginxNote;
    if (started && wanted("compare")) {
        if (!std::filesystem::exists(kNginx)) {
            nginxNote = std::string("nginx not found at ") + kNginx +
                        " (Debian package nginx-light): our figures alone, targets not checked";
        } else if (!startNginx(dir, nginx)) {
            nginxNote = "nginx did not start (see " + (dir.path() / "nginx.err").string() + "): our figures alone";
        } else {
            nginxServer = &nginx;
            nginxNote = "nginx (one worker, sendfile on) on port " + std::to_string(nginx.port) + " (pid " +
                        std::to_string(nginx.pid) + ")";
        }
    }
    if (pinned) {
        pinTo(std::vector<int>(cpus.begin() + 1, cpus.end()));
    }
    if (!started) {
        std::printf("could not start this server\n");
        return 1;
    }
    std::printf("this server on port %d (pid %d); %u hardware threads; %s; load average %s\n", ours.port, ours.pid,
                std::thread::hardware_concurrency(),
                pinned ? ("servers pinned to cpu " + std::to_string(cpus.front()) + ", load on the others").c_str()
                       : "not pinned (fewer than two cpus allowed)",
                loadAverage().c_str());
    if (!nginxNote.empty()) {
        std::printf("%s\n", nginxNote.c_str());
    }
    std::fflush(stdout);
    if (wanted("compare")) {
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
        measureIdle(ours, idleCount);
    }
    std::printf("load average at the end %s\n", loadAverage().c_str());
    return 0;
}
