#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Loopback.h"
#include "RegistryFixture.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace {

class QvServerHostTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        m_site = QvString::fromUtf8(m_exeDir.write("site/index.html", "<html>hello</html>").parent_path().string());
        ASSERT_TRUE(m_host.startup().ok());
    }
    void TearDown() override
    {
        m_host.shutdown();
        RegistryFixture::TearDown();
    }

    QvHostResult create(const char16_t* name, int port, const char16_t* page = u"")
    {
        auto d = m_host.beginEdit(QvString());
        d->name = name;
        d->port = port;
        d->basepath = m_site;
        d->basehtml = page;
        return m_host.finishEdit(QvString(), std::move(d), ServerEditAction::Confirm);
    }
    QvServerRecord record(const char16_t* name) const
    {
        for (const QvServerRecord& r : m_host.listServers()) {
            if (r.name == name) {
                return r;
            }
        }
        return {};
    }

    QvString m_site;
    CQvServerHost m_host;
};

TEST_F(QvServerHostTest, EditsAreCheckedBeforeTheRegistryAndClashesLoseNothing)
{
    ASSERT_TRUE(create(u"site", 8001).ok());
    EXPECT_EQ(m_host.beginEdit(u"site")->basehtml, u"index.html");  // set without a notice
    EXPECT_EQ(m_host.beginEdit(u"site")->grpname, u"None");

    const QvHostResult invalid = create(u"SITE", 8002);
    EXPECT_EQ(invalid.code, QvHostResult::Code::Invalid);
    EXPECT_EQ(invalid.message, u"The Local WebServer name \"SITE\" differs from \"site\" only in letter case!");

    ASSERT_TRUE(create(u"other", 8002).ok());
    auto copy = m_host.beginEdit(u"other");
    copy->name = u"site";
    ServerEditResult outcome = ServerEditResult::Added;
    const QvHostResult taken = m_host.finishEdit(u"other", std::move(copy), ServerEditAction::Confirm, &outcome);
    EXPECT_EQ(taken.code, QvHostResult::Code::NameTaken);
    EXPECT_EQ(taken.message, u"A server named \"site\" already exists.");
    EXPECT_EQ(outcome, ServerEditResult::NameTaken);
    EXPECT_EQ(record(u"other").port, 8002);

    // Renaming a server onto its own name in another letter case is not a clash.
    copy = m_host.beginEdit(u"other");
    copy->name = u"Other";
    EXPECT_TRUE(m_host.finishEdit(u"other", std::move(copy), ServerEditAction::Confirm, &outcome).ok());
    EXPECT_EQ(outcome, ServerEditResult::Renamed);
    EXPECT_EQ(m_host.beginEdit(u"other"), nullptr);
}

TEST_F(QvServerHostTest, RunReportsTheBoundPortAPortInUseAndEveryListenerState)
{
    std::mutex mutex;
    std::vector<std::u16string> events;
    m_host.setListenCallback([&](const QvString& name, CQvServerHost::ListenEvent event, const QvString& message) {
        static const char16_t* const kNames[] = {u"Listening", u"SetupFailed", u"Ended"};
        std::lock_guard lock(mutex);
        events.push_back(name.toStd() + u" " + kNames[static_cast<int>(event)] + u" " + message.toStd());
    });
    ASSERT_TRUE(create(u"any", 0).ok());
    ASSERT_TRUE(m_host.runServer(u"any").ok());
    const QvServerRecord any = record(u"any");
    EXPECT_TRUE(any.running);
    ASSERT_GT(any.listeningPort, 0);
    EXPECT_EQ(loopback::bodyOf(loopback::httpGet(any.listeningPort, "/")), "<html>hello</html>");

    ASSERT_TRUE(create(u"clash", any.listeningPort).ok());
    const QvHostResult clash = m_host.runServer(u"clash");
    EXPECT_EQ(clash.code, QvHostResult::Code::PortInUse);
    const QvString expected = QvString::formatted(
        u"Could not start clash: port %d is already in use (Socket Bind Failed!!).", any.listeningPort);
    EXPECT_EQ(clash.message, expected);
    EXPECT_FALSE(record(u"clash").running);
    EXPECT_EQ(record(u"clash").listeningPort, -1);

    EXPECT_TRUE(m_host.stopServer(u"any").ok());
    EXPECT_EQ(m_host.stopServer(u"none").code, QvHostResult::Code::UnknownServer);
    EXPECT_EQ(m_host.runServer(u"none").code, QvHostResult::Code::UnknownServer);
    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::u16string>{u"any Listening ", u"clash SetupFailed " + expected.toStd(),
                                                   u"any Ended "}));
}

TEST_F(QvServerHostTest, AMissingFolderIsReportedBeforeAnythingStarts)
{
    auto d = m_host.beginEdit(QvString());
    d->name = u"gone";
    d->basepath = u"/nonexistent/qv-folder";
    ASSERT_TRUE(m_host.finishEdit(QvString(), std::move(d), ServerEditAction::Confirm).ok());
    const QvHostResult result = m_host.runServer(u"gone");
    EXPECT_EQ(result.code, QvHostResult::Code::FolderMissing);
    EXPECT_EQ(result.message, u"The folder of gone does not exist: /nonexistent/qv-folder");
    EXPECT_FALSE(record(u"gone").running);
}

}  // namespace
