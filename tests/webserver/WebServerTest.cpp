#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Loopback.h"
#include "TempDir.h"
#include "commlib/ClientPerThread.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SocketClientMngr.h"
#include "platform/LocalTime.h"
#include "platform/Thread.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

using qvtest::Clock;
using qvtest::RawClient;

constexpr int kAnswerTimeoutMs = 5000;
constexpr const char* kFixedHeader =
    "Date: Fri, 4 Dec 2026 09:05:07\r\n"
    "Server: QvLocalWebSvr\r\n"
    "Connection: Keep-Alive\r\n";
constexpr const char* kSecret = "TOP SECRET, NEVER SERVED";

// Starts server on port 0; the port the OS chose, or -1.
int startOnFreePort(CWebServer& server)
{
    {
        const auto lock = server.getServerInfo()->writeLock();
        server.getServerInfo()->port = 0;
    }
    if (!server.startServer() || server.waitUntilListening(5000) != CConnWaitThread::ListenState::Listening) {
        return -1;
    }
    return server.getBoundPort();
}

// Waits until every connection the test opened has been torn down by its worker.
bool waitForConnectionsToEnd(int sessions, int workers, int timeoutMs)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    return qvtest::waitUntil([&] { return manager->sessionCount() <= sessions && manager->workerCount() <= workers; },
                             timeoutMs);
}

class WebServerNetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qvplat::setLocalTimeSource([] { return qvplat::SystemTime{2026, 12, 5, 4, 9, 5, 7, 0}; });
        m_sessionsBefore = CSocketClientMngr::getInstance()->sessionCount();
        m_workersBefore = CSocketClientMngr::getInstance()->workerCount();

        m_dir.write("secret.txt", kSecret);
        m_dir.write("site2/secret.txt", kSecret);
        m_dir.write("site/index.html", "<html>hello</html>");
        m_dir.write("site/page.htm", "<p>htm page</p>");
        m_dir.write("site/INDEX.HTML", "UPPER");
        m_dir.write("site/img/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
        m_dir.write("site/a%20b.txt", "percent");
        m_dir.write("site/a b.txt", "space");
        m_dir.write("site/readme", "plain readme");
        m_dir.write("site/empty.txt", "");
        m_basePath = (m_dir / "site").string();

        auto* info = new _tag_WebServerInfo();
        info->name = u"Test";
        info->basepath = QvString::fromUtf8(m_basePath);
        info->basehtml = u"index.html";
        info->contentstype.set(u"html", u"text/html");
        info->contentstype.set(u"htm", u"text/html; charset=x");
        info->contentstype.set(u"png", u"image/png");
        info->contentstype.set(u"txt", u"text/plain");
        m_server = std::make_unique<CWebServer>(info);
        m_port = startOnFreePort(*m_server);
        ASSERT_GT(m_port, 0);
    }

    void TearDown() override
    {
        qvplat::setThreadCreationFailureForTesting(false);
        m_server.reset();
        // Workers end their connections on their own; the folder goes only after they are gone.
        EXPECT_TRUE(waitForConnectionsToEnd(m_sessionsBefore, m_workersBefore, 20000));
        qvplat::setLocalTimeSource({});
    }

    // One request on a new connection; the answer, or "" when none arrived in time.
    std::string request(const std::string& bytes) const
    {
        RawClient client(m_port);
        if (!client.isConnected() || !client.sendAll(bytes)) {
            return "<no connection>";
        }
        return client.readHttpAnswer(kAnswerTimeoutMs);
    }
    std::string get(const std::string& target) const { return request("GET " + target + " HTTP/1.1\r\n\r\n"); }

    static std::string header(const std::string& status, const std::string& type, int length = -1)
    {
        std::string text = "HTTP/1.1 " + status + "\r\n" + kFixedHeader + "Content-Type: " + type + "\r\n";
        if (length >= 0) {
            text += "Content-Length: " + std::to_string(length) + "\r\n";
        }
        return text + "\r\n";
    }

    TempDir m_dir{"qvweb-net"};
    std::string m_basePath;
    std::unique_ptr<CWebServer> m_server;
    int m_port = -1;
    int m_sessionsBefore = 0;
    int m_workersBefore = 0;
};

TEST_F(WebServerNetTest, AnswersCarryTheExactBytesOf200And404And400)
{
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
    EXPECT_EQ(get("/missing.txt"), header("404 Not Found", "text/plain"));
    EXPECT_EQ(get("/empty.txt"), header("400 Bad Request", "text/plain"));
}

TEST_F(WebServerNetTest, RootIsTheBaseHtmlPageWithTheHtmlType)
{
    EXPECT_EQ(request("GET / HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n"),
              header("200 OK", "text/html", 18) + "<html>hello</html>");
    // A page of another extension, given as a full path while the server runs, keeps the html type.
    {
        const auto lock = m_server->getServerInfo()->writeLock();
        m_server->getServerInfo()->basehtml = QvString::fromUtf8(m_basePath + "/page.htm");
    }
    EXPECT_EQ(get("/"), header("200 OK", "text/html", 15) + "<p>htm page</p>");
}

TEST_F(WebServerNetTest, QueryIsCutAndTheExtensionPicksTheType)
{
    EXPECT_EQ(get("/img/logo.png?v=3"),
              header("200 OK", "image/png", 16) + std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    EXPECT_EQ(get("/INDEX.HTML"), header("200 OK", "application/octet-stream", 5) + "UPPER");
    EXPECT_EQ(get("/readme"), header("200 OK", "application/octet-stream", 12) + "plain readme");
    EXPECT_EQ(get("/?x=1"), header("404 Not Found", "application/octet-stream"));
    EXPECT_EQ(get("/img"), header("404 Not Found", "application/octet-stream"));
    // Percent escapes are not decoded.
    EXPECT_EQ(get("/a%20b.txt"), header("200 OK", "text/plain", 7) + "percent");
}

TEST_F(WebServerNetTest, OtherMethodsAreUnansweredAndTheConnectionIsClosed)
{
    const std::vector<std::string> methods = {"POST", "get", "Get", "HEAD", "PUT"};
    std::vector<std::unique_ptr<RawClient>> clients;
    for (const std::string& method : methods) {
        clients.push_back(std::make_unique<RawClient>(m_port));
        ASSERT_TRUE(clients.back()->sendAll(method + " /index.html HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
    }
    for (size_t i = 0; i < methods.size(); ++i) {
        const qvtest::ReadResult result = clients[i]->readToEnd(10000);
        EXPECT_TRUE(result.closed) << methods[i];
        EXPECT_EQ(result.bytes, "") << methods[i];
    }
}

TEST_F(WebServerNetTest, SplitRequestIsAnsweredFromItsFirstChunkOnly)
{
    RawClient client(m_port);
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\nHo"));
    EXPECT_EQ(client.readHttpAnswer(kAnswerTimeoutMs), header("200 OK", "text/html", 18) + "<html>hello</html>");
    ASSERT_TRUE(client.sendAll("st: localhost\r\n\r\n"));
    const qvtest::ReadResult rest = client.readToEnd(10000);
    EXPECT_TRUE(rest.closed);
    EXPECT_EQ(client.pending() + rest.bytes, "");
}

TEST_F(WebServerNetTest, ServerClosesTheConnectionAboutOneSecondAfterItStarted)
{
    const auto connected = Clock::now();
    RawClient client(m_port);
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(client.readHttpAnswer(kAnswerTimeoutMs).empty());
    const qvtest::ReadResult rest = client.readToEnd(10000);
    const double seconds = qvtest::secondsSince(connected);
    RecordProperty("closedAfterMs", static_cast<int>(seconds * 1000));
    EXPECT_TRUE(rest.closed);
    EXPECT_FALSE(rest.reset);
    EXPECT_GE(seconds, 1.0);  // the first timer tick
    EXPECT_LT(seconds, 3.0);  // about 1.2 s; generous for a loaded machine
}

TEST_F(WebServerNetTest, IdleConnectionIsLeftOpenAndStillServed)
{
    RawClient client(m_port);
    ASSERT_TRUE(client.isConnected());
    // Several timer ticks pass without the connection being closed.
    EXPECT_EQ(qvplat::waitReadable(client.socket(), 2500), 0);
    ASSERT_TRUE(client.sendAll("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.readHttpAnswer(kAnswerTimeoutMs), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

TEST_F(WebServerNetTest, ClientIdsAreConsecutiveAcrossTwoServers)
{
    auto* otherInfo = new _tag_WebServerInfo();
    otherInfo->basepath = QvString::fromUtf8(m_basePath);
    CWebServer other(otherInfo);
    const int otherPort = startOnFreePort(other);
    ASSERT_GT(otherPort, 0);

    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    const int before = manager->allocateClientId();
    RawClient first(m_port);
    ASSERT_TRUE(qvtest::waitUntil([&] { return manager->findWorker(before + 1) != nullptr; }, 5000));
    RawClient second(otherPort);
    ASSERT_TRUE(qvtest::waitUntil([&] { return manager->findWorker(before + 2) != nullptr; }, 5000));
    // Both connections are idle and open, so their workers stay alive while looked at.
    auto* firstWorker = dynamic_cast<CCPTWorkerWS*>(manager->findWorker(before + 1));
    auto* secondWorker = dynamic_cast<CCPTWorkerWS*>(manager->findWorker(before + 2));
    ASSERT_NE(firstWorker, nullptr);
    ASSERT_NE(secondWorker, nullptr);
    EXPECT_EQ(firstWorker->getServerInfo(), m_server->getServerInfo());
    EXPECT_EQ(secondWorker->getServerInfo(), other.getServerInfo());
    EXPECT_EQ(firstWorker->getClientId(), before + 1);
    EXPECT_EQ(manager->findSession(before + 2)->getClientId(), before + 2);
}

TEST_F(WebServerNetTest, HostileTargetsNeverReachFilesOutsideTheBasePath)
{
    const std::string absoluteSecret = (m_dir / "secret.txt").string();
    std::vector<std::string> requests = {
        "GET /../secret.txt HTTP/1.1\r\n\r\n",
        "GET /../../etc/passwd HTTP/1.1\r\n\r\n",
        "GET /a/../../secret.txt HTTP/1.1\r\n\r\n",
        "GET /img/../../secret.txt HTTP/1.1\r\n\r\n",
        "GET /..%2f..%2fsecret.txt HTTP/1.1\r\n\r\n",
        "GET /..%2fsecret.txt HTTP/1.1\r\n\r\n",
        "GET /%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
        "GET 2/secret.txt HTTP/1.1\r\n\r\n",
        "GET ../secret.txt HTTP/1.1\r\n\r\n",
        "GET " + absoluteSecret + " HTTP/1.1\r\n\r\n",
        "GET /" + absoluteSecret + " HTTP/1.1\r\n\r\n",
        "GET /etc/passwd HTTP/1.1\r\n\r\n",
        "GET http://127.0.0.1/../secret.txt HTTP/1.1\r\n\r\n",
        "GET /" + std::string(8192, 'a') + " HTTP/1.1\r\n\r\n",
        "GET /" + std::string(4000, 'a') + "/../../secret.txt HTTP/1.1\r\n\r\n",
        std::string("GET /index.html\0/../../secret.txt HTTP/1.1\r\n\r\n", 46),
        std::string("GET /x/../..\0/secret.txt HTTP/1.1\r\n\r\n", 38),
        "GET /\xff\xfe\xc0\xaf../secret.txt HTTP/1.1\r\n\r\n",
        "GET /\\..\\secret.txt HTTP/1.1\r\n\r\n",
    };
    std::mt19937 random(1234);
    for (int i = 0; i < 3; ++i) {
        std::string garbage(4096, '\0');
        for (char& c : garbage) {
            c = static_cast<char>(random());
        }
        requests.push_back(garbage);
        requests.push_back("GET /" + garbage.substr(0, 300) + " HTTP/1.1\r\n\r\n");
    }
    // All at once: each connection only ends with its worker's first tick, about a second later.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (const std::string& bytes : requests) {
        clients.push_back(std::make_unique<RawClient>(m_port));
        ASSERT_TRUE(clients.back()->sendAll(bytes));
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        const qvtest::ReadResult result = clients[i]->readToEnd(10000);
        const std::string shown = requests[i].substr(0, 80);
        EXPECT_TRUE(result.closed) << shown;
        EXPECT_EQ(result.bytes.find("TOP SECRET"), std::string::npos) << shown;
        EXPECT_EQ(result.bytes.find(" 200 OK"), std::string::npos) << shown;
    }
    // The server is still there and still answers.
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

TEST_F(WebServerNetTest, FoldersFifosAndDevicesAreNotFoundWithoutBlocking)
{
    const std::filesystem::path fifo = m_dir / "site" / "pipe.txt";
    ASSERT_EQ(std::system(("mkfifo '" + fifo.string() + "'").c_str()), 0);
    EXPECT_EQ(get("/pipe.txt"), header("404 Not Found", "text/plain"));
    EXPECT_EQ(get("/img/"), header("404 Not Found", "application/octet-stream"));
    {
        const auto lock = m_server->getServerInfo()->writeLock();
        m_server->getServerInfo()->basehtml = u"/dev/zero";
    }
    EXPECT_EQ(get("/"), header("404 Not Found", "text/html"));
}

TEST_F(WebServerNetTest, ClientResettingMidAnswerLeavesTheServerServing)
{
    m_dir.write("site/big.bin", std::string(16 * 1024 * 1024, 'B'));
    for (int i = 0; i < 3; ++i) {
        RawClient client(m_port);
        ASSERT_TRUE(client.sendAll("GET /big.bin HTTP/1.1\r\n\r\n"));
        ASSERT_TRUE(qvtest::waitUntil([&] { return qvplat::bytesAvailable(client.socket()) > 0; }, 10000));
        client.close();  // unread data: the close is a reset while the server still sends
    }
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

TEST_F(WebServerNetTest, ClientThatNeverReadsDoesNotHoldItsSessionForever)
{
    m_dir.write("site/big.bin", std::string(32 * 1024 * 1024, 'S'));
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    const int before = manager->allocateClientId();
    RawClient client(m_port);
    ASSERT_TRUE(client.sendAll("GET /big.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(qvtest::waitUntil([&] { return manager->findWorker(before + 1) != nullptr; }, 5000));
    // The send gives up after about 2 s without progress, the worker ends the connection and
    // the session goes, all while the client reads nothing.
    EXPECT_TRUE(qvtest::waitUntil([&] { return manager->findSession(before + 1) == nullptr; }, 20000));
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

TEST_F(WebServerNetTest, ThreadCreationFailureRefusesOnlyThatConnection)
{
    // The timer service and this listener exist already; only the next session's thread fails.
    EXPECT_FALSE(get("/index.html").empty());
    qvplat::setThreadCreationFailureForTesting(true);
    {
        RawClient refused(m_port);
        ASSERT_TRUE(refused.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
        const qvtest::ReadResult result = refused.readToEnd(10000);
        EXPECT_TRUE(result.closed);
        EXPECT_EQ(result.bytes, "");
    }
    qvplat::setThreadCreationFailureForTesting(false);
    EXPECT_TRUE(m_server->isRunning());
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

TEST_F(WebServerNetTest, StoppedServerLetsAcceptedConnectionsFinishAndCanRestart)
{
    RawClient client(m_port);
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(qvtest::waitUntil([&] { return manager->sessionCount() > m_sessionsBefore; }, 5000));
    m_server->stop();
    EXPECT_FALSE(m_server->isRunning());
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.readHttpAnswer(kAnswerTimeoutMs), header("200 OK", "text/html", 18) + "<html>hello</html>");
    EXPECT_TRUE(client.readToEnd(10000).closed);

    ASSERT_TRUE(m_server->restartServer());
    ASSERT_EQ(m_server->waitUntilListening(5000), CConnWaitThread::ListenState::Listening);
    m_port = m_server->getBoundPort();
    EXPECT_EQ(get("/index.html"), header("200 OK", "text/html", 18) + "<html>hello</html>");
}

// Entries of a /proc/self folder: open descriptors or threads of this process.
size_t countEntries(const char* folder)
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

// Over a minute of connections: labelled soak, left out of the quick run.
class WebServerSoakTest : public WebServerNetTest {};

TEST_F(WebServerSoakTest, TenThousandSequentialConnectionsLeaveNoThreadOrDescriptorBehind)
{
    constexpr int kConnections = 10000;
    constexpr int kMaxLiveSessions = 1000;  // each connection lives about a second on the server
    constexpr double kTimeBudgetSeconds = 240.0;
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();

    // Warm up, so that the timer service and its threads exist before counting.
    EXPECT_FALSE(get("/index.html").empty());
    ASSERT_TRUE(waitForConnectionsToEnd(m_sessionsBefore, m_workersBefore, 20000));
    const size_t threadsBefore = countEntries("/proc/self/task");
    const size_t descriptorsBefore = countEntries("/proc/self/fd");

    const auto start = Clock::now();
    int answered = 0;
    for (int i = 0; i < kConnections && qvtest::secondsSince(start) < kTimeBudgetSeconds; ++i) {
        if (manager->sessionCount() > kMaxLiveSessions) {
            ASSERT_TRUE(qvtest::waitUntil([&] { return manager->sessionCount() <= kMaxLiveSessions / 2; }, 20000));
        }
        RawClient client(m_port);
        ASSERT_TRUE(client.isConnected()) << i;
        ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
        if (client.readHttpAnswer(kAnswerTimeoutMs).size() == header("200 OK", "text/html", 18).size() + 18) {
            ++answered;
        }
    }
    EXPECT_EQ(answered, kConnections);
    ASSERT_TRUE(waitForConnectionsToEnd(m_sessionsBefore, m_workersBefore, 30000));
    // Session threads park for later connections, within their bound.
    EXPECT_LE(countEntries("/proc/self/task"), threadsBefore + CSessionThreadPool::kMaxParked);
    EXPECT_EQ(countEntries("/proc/self/fd"), descriptorsBefore);
}

}  // namespace
