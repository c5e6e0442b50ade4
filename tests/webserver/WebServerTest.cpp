#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Loopback.h"
#include "TempDir.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SocketClientMngr.h"
#include "platform/Thread.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

using qvtest::RawClient;

constexpr int kAnswerTimeoutMs = 5000;
constexpr const char* kHello = "<html>hello</html>";

// A server on a port the OS chooses, serving folder with its index.html as the base page.
std::unique_ptr<CWebServer> startServer(const std::filesystem::path& folder)
{
    auto* info = new _tag_WebServerInfo();
    info->basepath = QvString::fromUtf8(folder.string());
    info->basehtml = u"index.html";
    info->port = 0;
    auto server = std::make_unique<CWebServer>(info);
    const bool listening =
        server->startServer() && server->waitUntilListening(5000) == CConnWaitThread::ListenState::Listening;
    return listening ? std::move(server) : nullptr;
}

// What a client sees of a server: answers are checked to the byte by the request processor's
// tests; here what matters is the connection's life.
class WebServerNetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir.write("site/index.html", kHello);
        m_server = startServer(m_dir / "site");
        ASSERT_NE(m_server, nullptr);
        m_port = m_server->getBoundPort();
    }
    void TearDown() override
    {
        qvplat::setThreadCreationFailureForTesting(false);
        m_server.reset();
        // Workers end their connections on their own; the folder goes only after they are gone.
        EXPECT_TRUE(waitForConnectionsToEnd(30000));
    }
    static bool waitForConnectionsToEnd(int timeoutMs)
    {
        CSocketClientMngr* manager = CSocketClientMngr::getInstance();
        return qvtest::waitUntil([&] { return manager->sessionCount() == 0 && manager->workerCount() == 0; },
                                 timeoutMs);
    }
    // The body of the answer to one GET on a new connection; "<none>" when no answer came.
    std::string getBody(const std::string& target) const
    {
        RawClient client(m_port);
        const std::string answer =
            client.sendAll("GET " + target + " HTTP/1.1\r\n\r\n") ? client.readHttpAnswer(kAnswerTimeoutMs) : "";
        return answer.empty() ? "<none>" : loopback::bodyOf(answer);
    }

    TempDir m_dir{"qvweb-net"};
    std::unique_ptr<CWebServer> m_server;
    int m_port = -1;
};

TEST_F(WebServerNetTest, AnsweredConnectionIsClosedOnTheFirstTickAfterAboutASecond)
{
    const auto connected = qvtest::Clock::now();
    RawClient client(m_port);
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\nHo"));  // a request cut in two chunks
    EXPECT_EQ(loopback::bodyOf(client.readHttpAnswer(kAnswerTimeoutMs)), kHello);
    ASSERT_TRUE(client.sendAll("st: localhost\r\n\r\n"));  // its second chunk gets no answer
    const qvtest::ReadResult rest = client.readToEnd(10000);
    const double seconds = qvtest::secondsSince(connected);
    EXPECT_TRUE(rest.closed);
    EXPECT_FALSE(rest.reset);
    EXPECT_EQ(client.pending() + rest.bytes, "");
    EXPECT_GE(seconds, 1.0);  // the first timer tick
    EXPECT_LT(seconds, 3.0);  // about 1.2 s; generous for a loaded machine
}

// Looking for the close before each next request, as curl and browsers do, must find it there.
TEST_F(WebServerNetTest, KeepAliveClientSeesTheCloseBeforeItsNextRequest)
{
    constexpr int kThinkMs = 50;  // the client's pause between requests, well below a receive poll
    RawClient client(m_port);
    int answered = 0;
    for (; answered < 200; ++answered) {  // the close comes after about 1.2 s, some 24 requests
        if (qvplat::waitReadable(client.socket(), answered == 0 ? 0 : kThinkMs) != 0) {
            break;
        }
        ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
        ASSERT_EQ(loopback::bodyOf(client.readHttpAnswer(kAnswerTimeoutMs)), kHello) << "request " << answered;
    }
    const qvtest::ReadResult rest = client.readToEnd(10000);
    EXPECT_GT(answered, 1);
    EXPECT_TRUE(rest.closed);
    EXPECT_EQ(client.pending() + rest.bytes, "");
}

TEST_F(WebServerNetTest, RequestLineNeverFinishedIsClosedUnanswered)
{
    RawClient client(m_port);
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1"));
    const qvtest::ReadResult result = client.readToEnd(20000);
    EXPECT_TRUE(result.closed);
    EXPECT_EQ(result.bytes, "");
}

TEST_F(WebServerNetTest, ConnectionsNeedNoThreadOfTheirOwn)
{
    EXPECT_EQ(getBody("/index.html"), kHello);  // the timer service, the listener and the loops exist
    ASSERT_TRUE(waitForConnectionsToEnd(20000));
    CSessionThreadPool::getInstance()->releaseParked();
    qvplat::setThreadCreationFailureForTesting(true);
    const std::string body = getBody("/index.html");
    qvplat::setThreadCreationFailureForTesting(false);
    EXPECT_EQ(body, kHello);
    EXPECT_TRUE(m_server->isRunning());
}

TEST_F(WebServerNetTest, EachServerHandsItsOwnDefinitionToItsConnections)
{
    TempDir otherDir("qvweb-other");
    otherDir.write("index.html", "other");
    const auto other = startServer(otherDir.path());
    ASSERT_NE(other, nullptr);
    RawClient first(m_port);
    RawClient second(other->getBoundPort());
    ASSERT_TRUE(second.sendAll("GET / HTTP/1.1\r\n\r\n") && first.sendAll("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(loopback::bodyOf(first.readHttpAnswer(kAnswerTimeoutMs)), kHello);
    EXPECT_EQ(loopback::bodyOf(second.readHttpAnswer(kAnswerTimeoutMs)), "other");
}

TEST_F(WebServerNetTest, IdleConnectionIsLeftOpenAndServedAfterTheServerStopped)
{
    RawClient client(m_port);
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    ASSERT_TRUE(qvtest::waitUntil([&] { return manager->sessionCount() > 0; }, 5000));
    m_server->stop();
    EXPECT_FALSE(m_server->isRunning());
    EXPECT_EQ(qvplat::waitReadable(client.socket(), 2500), 0);  // several ticks pass without a close
    ASSERT_TRUE(client.sendAll("GET /index.html HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(loopback::bodyOf(client.readHttpAnswer(kAnswerTimeoutMs)), kHello);
    EXPECT_TRUE(client.readToEnd(10000).closed);
}

}  // namespace
