#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Loopback.h"
#include "RegistryFixture.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace {

using Code = QvHostResult::Code;

// The host over a fresh "executable" folder: every registry rule a front relies on (the editing
// protocol, run control) is tested here, through the one entry point the fronts use.
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

    QvHostResult create(const char16_t* name, int port, ServerEditAction action = ServerEditAction::Confirm)
    {
        auto d = m_host.beginEdit(QvString());
        d->name = name;
        d->port = port;
        d->basepath = m_site;
        d->contentstype.set(u"html", u"text/html");
        d->contentstype.set(u"png", u"image/png");
        return m_host.finishEdit(QvString(), std::move(d), action, &m_outcome);
    }
    // Confirms an edit of name after change() altered the working copy.
    template <typename F>
    QvHostResult edit(const char16_t* name, F change, ServerEditAction action = ServerEditAction::Confirm)
    {
        auto copy = m_host.beginEdit(name);
        change(*copy);
        return m_host.finishEdit(name, std::move(copy), action, &m_outcome);
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
    std::string stored(const std::string& name) const { return userValue("session.ini", "WEBSVRLIST", name); }

    QvString m_site;
    CQvServerHost m_host;
    ServerEditResult m_outcome = ServerEditResult::Cancelled;
};

TEST_F(QvServerHostTest, EditingProtocolLosesNoDefinition)
{
    ASSERT_TRUE(create(u"web", 8000).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Added);
    EXPECT_EQ(m_host.beginEdit(u"web")->basehtml, u"index.html");  // the default page, without a notice
    EXPECT_EQ(create(u"web", 9000).code, Code::NameTaken);
    const QvHostResult caseOnly = create(u"WEB", 9000);
    EXPECT_EQ(caseOnly.code, Code::Invalid);
    EXPECT_EQ(caseOnly.message, u"The Local WebServer name \"WEB\" differs from \"web\" only in letter case!");
    EXPECT_TRUE(create(u"never", 1, ServerEditAction::Delete).ok());  // Delete in a create is Cancel
    EXPECT_EQ(m_outcome, ServerEditResult::Cancelled);
    EXPECT_EQ(m_host.beginEdit(u"never"), nullptr);

    // A modify merges content types: a type removed in the copy stays registered.
    ASSERT_TRUE(edit(u"web", [](_tag_WebServerInfo& d) {
                    d.port = 8100;
                    d.contentstype.erase(u"png");
                    d.contentstype.set(u"html", u"text/html; charset=UTF-8");
                }).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Updated);
    auto now = m_host.beginEdit(u"web");
    EXPECT_EQ(*now->contentstype.find(u"html"), u"text/html; charset=UTF-8");
    EXPECT_NE(now->contentstype.find(u"png"), nullptr);
    EXPECT_NE(stored("web").find("\"port\":8100"), std::string::npos);
    EXPECT_TRUE(edit(
                    u"web", [](_tag_WebServerInfo& d) { d.port = 1; }, ServerEditAction::Cancel)
                    .ok());
    EXPECT_EQ(record(u"web").port, 8100);

    // Renaming onto a registered name is refused before anything is deleted; onto its own name
    // in another letter case it is a rename.
    ASSERT_TRUE(create(u"two", 8002).ok());
    const QvHostResult clash = edit(u"web", [](_tag_WebServerInfo& d) { d.name = u"two"; });
    EXPECT_EQ(clash.code, Code::NameTaken);
    EXPECT_EQ(clash.message, u"A server named \"two\" already exists.");
    ASSERT_TRUE(edit(u"web", [](_tag_WebServerInfo& d) { d.name = u"Web"; }).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Renamed);
    EXPECT_EQ(stored("web"), "");
    EXPECT_NE(stored("Web").find("\"name\":\"Web\""), std::string::npos);
    EXPECT_NE(stored("two").find("\"port\":8002"), std::string::npos);

    EXPECT_TRUE(edit(
                    u"two", [](_tag_WebServerInfo&) {}, ServerEditAction::Delete)
                    .ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Deleted);
    EXPECT_EQ(stored("two"), "");
    EXPECT_EQ(m_host.beginEdit(u"two"), nullptr);
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
    for (int round = 0; round < 2; ++round) {  // a stopped server starts again
        ASSERT_TRUE(m_host.runServer(u"any").ok());
        ASSERT_GT(record(u"any").listeningPort, 0);
        EXPECT_EQ(loopback::bodyOf(loopback::httpGet(record(u"any").listeningPort, "/")), "<html>hello</html>");
        EXPECT_TRUE(m_host.stopServer(u"any").ok());
        EXPECT_TRUE(m_host.stopServer(u"any").ok());  // stopped already: no wait
        EXPECT_FALSE(record(u"any").running);
    }
    ASSERT_TRUE(m_host.runServer(u"any").ok());
    const int port = record(u"any").listeningPort;
    ASSERT_TRUE(create(u"other", 0).ok());
    ASSERT_TRUE(edit(u"other", [](_tag_WebServerInfo& d) { d.grpname = u"Team"; }).ok());
    ASSERT_TRUE(m_host.runServer(u"other").ok());
    EXPECT_EQ(userValue("session.ini", "ETC", "LASTUSEDSESSION"), "Team`other");
    // Running a running server starts no second listener and still marks it last used.
    EXPECT_TRUE(m_host.runServer(u"any").ok());
    EXPECT_EQ(userValue("session.ini", "ETC", "LASTUSEDSESSION"), "Default`any");

    ASSERT_TRUE(create(u"clash", port).ok());
    const QvHostResult clash = m_host.runServer(u"clash");
    const QvString expected =
        QvString::formatted(u"Could not start clash: port %d is already in use (Socket Bind Failed!!).", port);
    EXPECT_EQ(clash.code, Code::PortInUse);
    EXPECT_EQ(clash.message, expected);
    EXPECT_FALSE(record(u"clash").running);

    // Deleting a running server stops it.
    EXPECT_TRUE(edit(
                    u"any", [](_tag_WebServerInfo&) {}, ServerEditAction::Delete)
                    .ok());
    EXPECT_TRUE(loopback::httpGet(port, "/", 1000).empty());
    EXPECT_EQ(m_host.runServer(u"any").code, Code::UnknownServer);
    EXPECT_EQ(m_host.stopServer(u"any").code, Code::UnknownServer);

    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::u16string>{u"any Listening ", u"any Ended ", u"any Listening ", u"any Ended ",
                                                   u"any Listening ", u"other Listening ",
                                                   u"clash SetupFailed " + expected.toStd(), u"any Ended "}));
}

TEST_F(QvServerHostTest, AMissingFolderIsReportedBeforeAnythingStarts)
{
    auto d = m_host.beginEdit(QvString());
    d->name = u"gone";
    d->basepath = u"/nonexistent/qv-folder";
    ASSERT_TRUE(m_host.finishEdit(QvString(), std::move(d), ServerEditAction::Confirm).ok());
    const QvHostResult result = m_host.runServer(u"gone");
    EXPECT_EQ(result.code, Code::FolderMissing);
    EXPECT_EQ(result.message, u"The folder of gone does not exist: /nonexistent/qv-folder");
    EXPECT_FALSE(record(u"gone").running);
}

}  // namespace
