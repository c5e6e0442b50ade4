#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "Loopback.h"
#include "RegistryFixture.h"
#include "foundation/EnvMng.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

class RunControlTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        m_site = m_exeDir.write("site/index.html", "<html>hello</html>").parent_path().string();
        m_port = loopback::findFreePort();
        ASSERT_GT(m_port, 0);
        auto d = makeDefinition(u"web1", u"None", m_port);
        d->basepath = QvString::fromUtf8(m_site);
        d->contentstype.set(u"html", u"text/html");
        ASSERT_TRUE(CQvWebServerMngr::getInstance()->addServer(d.get()));
        d.release();
    }

    static size_t threadCount()
    {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                 std::filesystem::directory_iterator()));
    }

    std::string m_site;
    int m_port = 0;
};

TEST_F(RunControlTest, UnknownNamesAreRefused)
{
    EXPECT_FALSE(CQvWebServerMngr::getInstance()->runServer(u"nope"));
    EXPECT_FALSE(CQvWebServerMngr::getInstance()->stopServer(u"nope"));
    EXPECT_TRUE(CQvWebServerMngr::getInstance()->stopServer(u"web1"));  // stopped already: true, no wait
}

TEST_F(RunControlTest, RunningTwiceStartsOneListenerAndStillMarksLastUsed)
{
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    ASSERT_TRUE(registry->runServer(u"web1"));
    ASSERT_EQ(registry->getServer(u"web1")->waitUntilListening(5000), CConnWaitThread::ListenState::Listening);
    const size_t threads = threadCount();
    EXPECT_EQ(userValue("session.ini", "ETC", "LASTUSEDSESSION"), "Default`web1");

    CEnvMng::getInstance()->setString(2, u"ETC", u"LASTUSEDSESSION", u"x");
    EXPECT_TRUE(registry->runServer(u"web1"));
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(userValue("session.ini", "ETC", "LASTUSEDSESSION"), "Default`web1");

    QvStringArray lines;
    registry->listServers(lines);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QvString::formatted(u"None`web1`%d`Run", m_port));
    EXPECT_TRUE(registry->stopServer(u"web1"));
}

TEST_F(RunControlTest, StoppedServerStartsAgainAndServes)
{
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(registry->runServer(u"web1"));
        ASSERT_EQ(registry->getServer(u"web1")->waitUntilListening(5000), CConnWaitThread::ListenState::Listening);
        const std::string answer = loopback::httpGet(m_port, "/");
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
        EXPECT_EQ(loopback::bodyOf(answer), "<html>hello</html>");
        EXPECT_TRUE(registry->stopServer(u"web1"));
        EXPECT_FALSE(registry->isRunning(u"web1"));
        EXPECT_TRUE(loopback::httpGet(m_port, "/", 1000).empty());
    }
}

TEST_F(RunControlTest, DeletingARunningServerStopsIt)
{
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    ASSERT_TRUE(registry->runServer(u"web1"));
    ASSERT_EQ(registry->getServer(u"web1")->waitUntilListening(5000), CConnWaitThread::ListenState::Listening);
    EXPECT_TRUE(registry->deleteServer(u"web1"));
    EXPECT_TRUE(loopback::httpGet(m_port, "/", 1000).empty());
}

}  // namespace
