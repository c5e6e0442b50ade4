#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Loopback.h"
#include "RegistryFixture.h"
#include "registry/QvServerHost.h"

namespace {

using Code = QvHostResult::Code;
using Action = ServerEditAction;

// The host over a fresh "executable" folder: every registry rule a front relies on (the editing
// protocol, run control) is tested here, through the one entry point the fronts use.
class QvServerHostTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        ASSERT_TRUE(m_host.startup().ok());
    }
    void TearDown() override
    {
        m_host.shutdown();
        RegistryFixture::TearDown();
    }
    QvHostResult create(const char16_t* name, int port, Action action = Action::Confirm)
    {
        return edit(
            QvString(),
            [&](_tag_WebServerInfo& d) {
                d.name = name;
                d.port = port;
                d.basepath = QvString::fromUtf8(m_exe.dir.write("site/index.html", "hello").parent_path().string());
            },
            action);
    }
    // Finishes an edit of name (a create when empty) after change() altered the working copy.
    template <typename F>
    QvHostResult edit(const QvString& name, F change, Action action = Action::Confirm)
    {
        auto copy = m_host.beginEdit(name);
        change(*copy);
        return m_host.finishEdit(name, std::move(copy), action, &m_outcome);
    }
    QvServerRecord record(const char16_t* name) const
    {
        const std::vector<QvServerRecord> all = m_host.listServers();
        const auto it = std::find_if(all.begin(), all.end(), [&](const QvServerRecord& r) { return r.name == name; });
        return it == all.end() ? QvServerRecord{} : *it;
    }
    std::string stored(const std::string& name) const { return userValue("session.ini", name); }

    CQvServerHost m_host;
    ServerEditResult m_outcome = ServerEditResult::Cancelled;
};

TEST_F(QvServerHostTest, EditingProtocolLosesNoDefinition)
{
    ASSERT_TRUE(create(u"web", 8000).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Added);
    EXPECT_EQ(m_host.beginEdit(u"web")->basehtml, u"index.html");  // the default page, without a notice
    EXPECT_EQ(create(u"web", 9000).code, Code::NameTaken);
    EXPECT_EQ(create(u"WEB", 9000).code, Code::NameTaken);  // differs only in letter case
    EXPECT_TRUE(create(u"never", 1, Action::Delete).ok());  // Delete in a create is Cancel
    EXPECT_EQ(m_outcome, ServerEditResult::Cancelled);
    EXPECT_EQ(m_host.beginEdit(u"never"), nullptr);

    // How a modify merges the content types is the copy rule of the definition, tested with it.
    ASSERT_TRUE(edit(u"web", [](_tag_WebServerInfo& d) { d.port = 8100; }).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Updated);
    EXPECT_NE(stored("web").find("\"port\":8100"), std::string::npos);
    const auto portOne = [](_tag_WebServerInfo& d) { d.port = 1; };
    EXPECT_TRUE(edit(u"web", portOne, Action::Cancel).ok());
    EXPECT_EQ(record(u"web").port, 8100);

    // Renaming onto a registered name is refused before anything is deleted; onto its own name in
    // another letter case it is a rename.
    ASSERT_TRUE(create(u"two", 8002).ok());
    const QvHostResult clash = edit(u"web", [](_tag_WebServerInfo& d) { d.name = u"two"; });
    EXPECT_EQ(clash.message, u"A server named \"two\" already exists.");
    ASSERT_TRUE(edit(u"web", [](_tag_WebServerInfo& d) { d.name = u"Web"; }).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Renamed);
    EXPECT_EQ(stored("web") + stored("Web").substr(stored("Web").find("\"name\"")), "\"name\":\"Web\",\"port\":8100}");
    EXPECT_NE(stored("two").find("\"port\":8002"), std::string::npos);
    EXPECT_TRUE(edit(u"two", portOne, Action::Delete).ok());
    EXPECT_EQ(m_outcome, ServerEditResult::Deleted);
    EXPECT_EQ(stored("two"), "");
    EXPECT_EQ(m_host.beginEdit(u"two"), nullptr);
}

TEST_F(QvServerHostTest, RunReportsTheBoundPortAndAPortInUse)
{
    ASSERT_TRUE(create(u"any", 0).ok());
    for (int round = 0; round < 2; ++round) {  // a stopped server starts again
        ASSERT_TRUE(m_host.runServer(u"any").ok());
        EXPECT_EQ(loopback::bodyOf(loopback::httpGet(record(u"any").listeningPort, "/")), "hello");
        EXPECT_TRUE(m_host.stopServer(u"any").ok());
        EXPECT_TRUE(m_host.stopServer(u"any").ok());  // stopped already: no wait
        EXPECT_FALSE(record(u"any").running);
    }
    ASSERT_TRUE(m_host.runServer(u"any").ok());
    const int port = record(u"any").listeningPort;
    ASSERT_TRUE(create(u"other", 0).ok());
    ASSERT_TRUE(edit(u"other", [](_tag_WebServerInfo& d) { d.grpname = u"Team"; }).ok());
    ASSERT_TRUE(m_host.runServer(u"other").ok());
    EXPECT_EQ(userValue("session.ini", "LASTUSEDSESSION"), "Team`other");
    // Running a running server starts no second listener and still marks it last used.
    EXPECT_TRUE(m_host.runServer(u"any").ok());
    EXPECT_EQ(userValue("session.ini", "LASTUSEDSESSION"), "Default`any");

    ASSERT_TRUE(create(u"clash", port).ok());
    const QvHostResult clash = m_host.runServer(u"clash");
    const QvString expected =
        QvString::formatted(u"Could not start clash: port %d is already in use (Socket Bind Failed!!).", port);
    EXPECT_EQ(clash.code, Code::PortInUse);
    EXPECT_EQ(clash.message, expected);
    EXPECT_FALSE(record(u"clash").running);
    EXPECT_TRUE(edit(
                    u"any", [](_tag_WebServerInfo&) {}, Action::Delete)
                    .ok());  // stops it
    EXPECT_TRUE(loopback::httpGet(port, "/", 1000).empty());
    EXPECT_EQ(m_host.runServer(u"any").code, Code::UnknownServer);
    EXPECT_EQ(m_host.stopServer(u"any").code, Code::UnknownServer);
    ASSERT_TRUE(edit(u"clash", [](_tag_WebServerInfo& d) { d.basepath = u"/nonexistent/qv"; }).ok());
    const QvHostResult missing = m_host.runServer(u"clash");  // reported before anything starts
    EXPECT_EQ(missing.message, u"The folder of clash does not exist: /nonexistent/qv");
    EXPECT_EQ(missing.code, Code::FolderMissing);
}

}  // namespace
