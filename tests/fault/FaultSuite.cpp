// Attacks a running `qvwebserver-cli run` from outside, as broken or hostile clients and a crashing
// machine would, and checks that the server goes on serving everyone else and gives back every
// descriptor and thread it took. Each attack prints what it measured (run the binary, or ctest -V).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Loopback.h"
#include "TempDir.h"
#include "commlib/SessionThreadPool.h"
#include "platform/Limits.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Clock;
using qvtest::RawClient;

constexpr std::size_t kBigSize = 20u * 1024 * 1024;

// What a process holds, from /proc.
struct Holdings {
    int fds = 0;
    int threads = 0;
    long rssKiB = 0;
    double cpuSeconds = 0;
};

Holdings holdingsOf(int pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    long pages = 0;
    std::ifstream(proc + "/statm") >> pages >> pages;  // size, then resident
    return {static_cast<int>(qvtest::countEntries(proc + "/fd")),
            static_cast<int>(qvtest::countEntries(proc + "/task")), pages * (sysconf(_SC_PAGESIZE) / 1024),
            ChildProcess::cpuSeconds(pid)};
}

std::string describe(const Holdings& h)
{
    return "fds=" + std::to_string(h.fds) + " threads=" + std::to_string(h.threads) +
           " rss=" + std::to_string(h.rssKiB) + "KiB";
}

// One GET over a fresh connection, read by its Content-Length (the server keeps connections open).
std::string fetch(int port, const std::string& target)
{
    RawClient client(port);
    if (!client.isConnected() || !client.sendAll("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
        return {};
    }
    return client.readHttpAnswer(10000);
}

// Fetches /index.html over a new connection per request until stopped, timing each answer.
class NormalClient {
public:
    NormalClient(int port, std::string expectedBody)
        : m_thread([this, port, body = std::move(expectedBody)] {
              while (!m_stop) {
                  const auto start = Clock::now();
                  const std::string answer = fetch(port, "/index.html");
                  const double ms = qvtest::secondsSince(start) * 1000;
                  if (answer.rfind("HTTP/1.1 200", 0) == 0 && loopback::bodyOf(answer) == body) {
                      m_latencies.push_back(ms);
                      ++m_served;
                  } else {
                      ++m_failures;
                  }
              }
          })
    {
    }
    ~NormalClient() { finish(); }

    // Stops and returns "served=N failures=F p99=Xms".
    std::string finish()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        std::sort(m_latencies.begin(), m_latencies.end());
        const double p99 = m_latencies.empty() ? 0 : m_latencies[(m_latencies.size() - 1) * 99 / 100];
        char text[96];
        std::snprintf(text, sizeof text, "served=%zu failures=%d p99=%.1fms", m_latencies.size(), m_failures.load(),
                      p99);
        return text;
    }
    std::size_t served() const { return m_served; }
    int failures() const { return m_failures; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_failures{0};
    std::atomic<std::size_t> m_served{0};
    std::vector<double> m_latencies;  // written by the thread only, read after join
    std::thread m_thread;
};

// Sends a reset instead of an orderly close.
void abortConnection(RawClient& client)
{
    const linger hard{1, 0};
    setsockopt(client.socket(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.close();
}

// How many of the connections the peer has neither closed nor reset.
long stillOpen(const std::vector<std::unique_ptr<RawClient>>& clients)
{
    return std::count_if(clients.begin(), clients.end(), [](const auto& client) {
        char byte;
        return recv(client->socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
               (errno == EAGAIN || errno == EWOULDBLOCK);
    });
}

class FaultSoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qvplat::raiseDescriptorLimit();  // the clients' side; the server inherits it
        m_cli = (m_dir / "qvwebserver-cli").string();
        fs::copy_file(QV_CLI_PATH, m_cli);
        fs::create_directories(m_dir / "config");
        fs::copy_file(QV_CONFIG_JSON, m_dir / "config/config.json");
        m_index = std::string(1024, 'i');
        m_site = m_dir.write("site/index.html", m_index).parent_path().string();
        m_big = qvtest::patternBytes(kBigSize);
        m_dir.write("site/big.bin", m_big);
    }

    // Defines a server of the site on a port the system picks at each start.
    void add(const std::string& name)
    {
        std::string out;
        ASSERT_EQ(ChildProcess::run(m_cli, {"add", "--name", name, "--port", "0", "--folder", m_site}, out), 0) << out;
    }

    // Starts `run name` (through a shell running setUp first when given, to set limits) and returns its
    // port.
    int start(ChildProcess& server, const std::string& name, const std::string& setUp = "")
    {
        const std::string log = (m_dir / (name + ".log")).string();
        const bool started =
            !setUp.empty() ? server.start("/bin/sh", {"-c", setUp + " && exec \"$0\" run \"$1\"", m_cli, name}, log)
                           : server.start(m_cli, {"run", name}, log);
        if (!started || !server.waitForOutput("Press Ctrl-C to stop.", 30000)) {
            ADD_FAILURE() << "run " << name << " did not start: " << server.output();
            return 0;
        }
        std::smatch match;
        const std::string output = server.output();
        return std::regex_search(output, match, std::regex("on port (\\d+)")) ? std::stoi(match[1]) : 0;
    }

    // A server of its own on a system-chosen port, with its holdings before any attack.
    int startSite()
    {
        add("site");
        const int port = start(m_server, "site");
        EXPECT_EQ(loopback::bodyOf(fetch(port, "/index.html")), m_index);  // warm
        m_baseline = settled();
        return port;
    }

    // The server's holdings once they have not changed for two seconds (a closed connection's
    // thread ends on the next timer ticks).
    Holdings settled()
    {
        Holdings last = holdingsOf(m_server.pid());
        auto since = Clock::now();
        qvtest::waitUntil(
            [&] {
                const Holdings now = holdingsOf(m_server.pid());
                if (now.fds != last.fds || now.threads != last.threads) {
                    last = now;
                    since = Clock::now();
                }
                return qvtest::secondsSince(since) >= 2;
            },
            30000);
        return last;
    }

    // The server gives back every descriptor and every thread the attack took, but for the session
    // threads it parks for later connections; prints the figures.
    void expectBackToBaseline(const char* attack, const Holdings& during, const std::string& extra)
    {
        const Holdings after = settled();
        std::printf("[%s] before: %s | during: %s | after: %s | %s\n", attack, describe(m_baseline).c_str(),
                    describe(during).c_str(), describe(after).c_str(), extra.c_str());
        EXPECT_LE(after.fds, m_baseline.fds) << attack;
        EXPECT_LE(after.threads, m_baseline.threads + CSessionThreadPool::kMaxParked) << attack;
    }

    void TearDown() override
    {
        if (m_server.isRunning()) {
            m_server.signal(SIGTERM);
            EXPECT_EQ(m_server.wait(30000), 0) << m_server.output();
        }
    }

    std::string bigRequest() const { return "GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

    TempDir m_dir{"qvfault"};
    std::string m_cli;
    std::string m_site;
    std::string m_index;
    std::string m_big;
    ChildProcess m_server;
    Holdings m_baseline;
};

TEST_F(FaultSoakTest, ClientsThatResetHalfCloseOrStopReadingHarmNoOneElse)
{
    const int port = startSite();
    NormalClient normal(port, m_index);

    // Resets in the middle of a 20 MiB answer.
    for (int round = 0; round < 8; ++round) {
        RawClient client(port);
        ASSERT_TRUE(client.sendAll(bigRequest()));
        const auto partial = client.readToEnd(10000, 256 * 1024);
        ASSERT_GE(partial.bytes.size(), 256u * 1024);
        abortConnection(client);
    }
    // Half-closes right after its request: still gets the whole answer, byte for byte.
    {
        RawClient client(port);
        ASSERT_TRUE(client.sendAll(bigRequest()));
        shutdown(client.socket(), SHUT_WR);
        const auto answer = client.readToEnd(60000);
        EXPECT_TRUE(answer.closed);
        EXPECT_TRUE(loopback::bodyOf(answer.bytes) == m_big) << answer.bytes.size() << " bytes";
    }
    // Never reads its answer, holding the connection for a while.
    std::vector<std::unique_ptr<RawClient>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(stalled.back()->sendAll(bigRequest()));
    }
    const std::size_t servedBefore = normal.served();
    ASSERT_TRUE(qvtest::waitUntil([&] { return normal.served() >= servedBefore + 50; }));
    const Holdings during = holdingsOf(m_server.pid());
    stalled.clear();

    const std::string figures = normal.finish();
    EXPECT_EQ(normal.failures(), 0) << figures;
    expectBackToBaseline("reset/half-close/stalled reader", during, figures);
}

TEST_F(FaultSoakTest, TwoThousandIdleConnectionsDoNotStopTheNormalClient)
{
    // The server inherits this process's limit; each side holds one descriptor per connection.
    const int count = static_cast<int>(std::min<long long>(2000, qvplat::descriptorLimits().soft - 100));
    if (count < 2000) {
        std::printf("descriptor limit allows only %d idle connections\n", count);
    }
    const int port = startSite();
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < count; ++i) {
        idle.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(idle.back()->isConnected()) << "connection " << i;
    }
    NormalClient normal(port, m_index);
    ASSERT_TRUE(qvtest::waitUntil([&] { return normal.served() >= 200 || normal.failures() > 0; }));
    const Holdings during = holdingsOf(m_server.pid());
    const long held = stillOpen(idle);
    const std::string figures = normal.finish();
    EXPECT_EQ(normal.failures(), 0) << figures;
    idle.clear();
    expectBackToBaseline("idle connections", during,
                         "count=" + std::to_string(count) + " held=" + std::to_string(held) + " " + figures);
}

TEST_F(FaultSoakTest, SlowlorisConnectionsDoNotStopTheNormalClient)
{
    const int port = startSite();
    const std::string request = "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 300; ++i) {
        slow.push_back(std::make_unique<RawClient>(port));
    }
    NormalClient normal(port, m_index);
    Holdings during;
    for (std::size_t byte = 0; byte < 6; ++byte) {  // one byte a second on every connection
        for (auto& client : slow) {
            send(client->socket(), &request[byte], 1, MSG_NOSIGNAL);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        during = holdingsOf(m_server.pid());
    }
    const long held = stillOpen(slow);
    const std::string figures = normal.finish();
    EXPECT_EQ(normal.failures(), 0) << figures;
    EXPECT_GT(normal.served(), 0u);
    slow.clear();
    expectBackToBaseline("slowloris x300", during, "held=" + std::to_string(held) + " " + figures);
}

// With too few descriptors the server refuses connections, does not spin, and recovers once the
// descriptors are free again.
TEST_F(FaultSoakTest, DescriptorExhaustionIsSurvived)
{
    add("site");
    const int port = start(m_server, "site", "ulimit -n 64");
    ASSERT_GT(port, 0);
    std::vector<std::unique_ptr<RawClient>> hogs;
    for (int i = 0; i < 120; ++i) {
        hogs.push_back(std::make_unique<RawClient>(port));
        hogs.back()->sendAll("GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n");  // never finished
    }
    const Holdings start = holdingsOf(m_server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const Holdings during = holdingsOf(m_server.pid());
    const double cpu = during.cpuSeconds - start.cpuSeconds;
    std::printf("[descriptor exhaustion] %s, cpu %.2fs in 2s while exhausted\n", describe(during).c_str(), cpu);
    EXPECT_LT(cpu, 1.5) << "the server spins while it cannot accept";
    hogs.clear();
    EXPECT_TRUE(qvtest::waitUntil([&] { return loopback::bodyOf(fetch(port, "/index.html")) == m_index; }));
}

// Silent connections beyond the descriptor limit (soft = hard = 256) leave a normal client answered.
TEST_F(FaultSoakTest, SilentConnectionsBeyondTheDescriptorLimitLeaveRoomForANormalClient)
{
    add("site");
    const int port = start(m_server, "site", "ulimit -n 256");
    ASSERT_GT(port, 0);
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 1100; ++i) {
        silent.push_back(std::make_unique<RawClient>(port));
    }
    std::string answer;
    EXPECT_TRUE(
        qvtest::waitUntil([&] { return loopback::bodyOf(answer = fetch(port, "/index.html")) == m_index; }, 30000))
        << answer;
    std::printf("[1,100 silent at 256 descriptors] still open=%ld, %s\n", stillOpen(silent),
                describe(holdingsOf(m_server.pid())).c_str());
}

// Memory that cannot be had costs connections, never the process (half the requests are for 20 MiB).
TEST_F(FaultSoakTest, BurstsUnderAMemoryLimitLeaveTheServerAnswering)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit the limit";
#endif
    add("site");
    const int port = start(m_server, "site", "ulimit -v 200000");
    ASSERT_GT(port, 0);
    for (int burst = 0; burst < 3; ++burst) {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 400; ++i) {
            clients.push_back(std::make_unique<RawClient>(port));
            clients.back()->sendAll(i % 2 == 0 ? bigRequest() : "GET /index.html HTTP/1.1\r\n\r\n", 1000);
        }
        const Holdings during = holdingsOf(m_server.pid());
        clients.clear();
        EXPECT_TRUE(qvtest::waitUntil([&] { return loopback::bodyOf(fetch(port, "/index.html")) == m_index; }, 30000))
            << "after burst " << burst;
        std::printf("[burst %d of 400 under ulimit -v 200000] during: %s\n", burst, describe(during).c_str());
    }
}  // TearDown: the server still ends with exit code 0

TEST_F(FaultSoakTest, RequestLineCutAcrossSegmentsIsAnsweredWhole)
{
    m_dir.write("site/index.html.bak", "backup");
    const int port = startSite();
    RawClient client(port);
    ASSERT_TRUE(client.sendAll("GET /index.ht"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the attack's pause, not a wait for the server
    ASSERT_TRUE(client.sendAll("ml.bak HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(loopback::bodyOf(client.readHttpAnswer(10000)), "backup");
}

// A server started and stopped over and over while 64 clients hammer it and a steady neighbour:
// the neighbour answers every request; the flapping one answers right or not at all. The flapping
// server takes a system-chosen port at each start (a guessed one may be a client's ephemeral port).
TEST_F(FaultSoakTest, ServersStartedAndStoppedUnderLoad)
{
    const int steadyPort = startSite();
    add("flap");
    std::atomic<bool> stop{false};
    std::atomic<int> flapPort{0};  // 0 while the flapping server is down
    std::atomic<int> steadyFailures{0}, flapWrong{0}, flapServed{0}, steadyServed{0};
    {
        std::vector<std::thread> clients;
        // Joins the clients however the block ends, so no assertion returns while they run.
        struct JoinOnExit {
            std::atomic<bool>& stop;
            std::vector<std::thread>& threads;
            ~JoinOnExit()
            {
                stop = true;
                for (auto& thread : threads) {
                    thread.join();
                }
            }
        } joinClients{stop, clients};
        for (int i = 0; i < 64; ++i) {
            clients.emplace_back([&, i] {
                const bool toSteady = i % 2 == 0;
                while (!stop) {
                    const int port = toSteady ? steadyPort : flapPort.load();
                    const std::string answer = port > 0 ? fetch(port, "/index.html") : std::string();
                    const bool right = answer.rfind("HTTP/1.1 200", 0) == 0 && loopback::bodyOf(answer) == m_index;
                    if (toSteady) {
                        ++(right ? steadyServed : steadyFailures);
                    } else if (right) {
                        ++flapServed;
                    } else if (!answer.empty()) {
                        ++flapWrong;
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // refused while stopped
                    }
                }
            });
        }
        for (int cycle = 0; cycle < 10; ++cycle) {
            ChildProcess flap;
            const int port = start(flap, "flap");
            ASSERT_GT(port, 0);
            flapPort = port;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            flapPort = 0;
            flap.signal(SIGTERM);
            EXPECT_EQ(flap.wait(30000), 0) << flap.output();
        }
    }  // the clients are joined here
    std::printf("[start/stop x10 under 64 clients] steady served=%d failures=%d, flapping served=%d wrong=%d\n",
                steadyServed.load(), steadyFailures.load(), flapServed.load(), flapWrong.load());
    EXPECT_EQ(steadyFailures, 0);
    EXPECT_EQ(flapWrong, 0);
    EXPECT_GT(flapServed, 0);
}

// Settings saves killed at random moments: every later command reads the files, and they hold the
// definitions from before the killed command, or with its change.
TEST_F(FaultSoakTest, SavesKilledAtRandomMomentsLoseNothingSaved)
{
    const auto listed = [&] {
        std::string out;
        EXPECT_EQ(ChildProcess::run(m_cli, {"list"}, out), 0) << out;
        std::set<std::string> names;
        const std::regex name("^\\S+ +(s\\d+) ", std::regex::multiline);
        for (std::sregex_iterator it(out.begin(), out.end(), name), end; it != end; ++it) {
            names.insert((*it)[1]);
        }
        return names;
    };
    // Kill moments spread over twice the time one whole save takes.
    std::string out;
    const auto timed = Clock::now();
    ASSERT_EQ(ChildProcess::run(m_cli, {"add", "--name", "s", "--port", "0", "--folder", m_site}, out), 0) << out;
    const auto spanUs = static_cast<unsigned>(qvtest::secondsSince(timed) * 2e6) + 1;
    ASSERT_EQ(ChildProcess::run(m_cli, {"remove", "s"}, out), 0) << out;
    std::mt19937 random(11);
    std::set<std::string> saved;
    int killed = 0;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "s" + std::to_string(i);
        ChildProcess add;
        ASSERT_TRUE(add.start(m_cli, {"add", "--name", name, "--port", "0", "--folder", m_site, "--group", "G" + name},
                              (m_dir / "add.log").string()));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % spanUs));
        add.signal(SIGKILL);
        const int code = add.wait(30000);
        killed += code != 0;
        std::set<std::string> now = listed();
        std::set<std::string> withNew = saved;
        withNew.insert(name);
        ASSERT_TRUE(now == saved || now == withNew) << "after the " << name << " save was killed";
        if (code == 0) {
            ASSERT_EQ(now, withNew);
        }
        saved = now;
    }
    std::printf("[saves killed] %d of 40 killed, %zu definitions kept\n", killed, saved.size());
}

}  // namespace
