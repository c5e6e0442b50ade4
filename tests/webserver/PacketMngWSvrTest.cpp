#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/LocalTime.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/PacketMngWSvr.h"
#include "webserver/WebServerInfo.h"

namespace {

std::string utf8(const QvString& text)
{
    return text.toUtf8();
}

TEST(RequestLineTest, OnlyAGetWithATargetIsAnswered)
{
    struct Case {
        const char16_t* request;
        bool answered;
        const char16_t* target;
    };
    const Case cases[] = {
        {u"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, u"/"},
        {u"GET /a/b.css HTTP/1.0\r\n\r\n", true, u"/a/b.css"},
        {u"GET /no-version", true, u"/no-version"},
        {u"GET /x  HTTP/1.1\r\n", true, u"/x"},
        {u"GET  HTTP/1.1\r\n", true, u""},             // two blanks: an empty target
        {u"GET /a\nHost: b\r\n", true, u"/a\nHost:"},  // only CRLF ends a line
        {u"get / HTTP/1.1\r\n", false, nullptr},
        {u"Get / HTTP/1.1\r\n", false, nullptr},
        {u"POST / HTTP/1.1\r\n\r\n", false, nullptr},
        {u"HEAD / HTTP/1.1\r\n", false, nullptr},
        {u"GET", false, nullptr},
        {u"GET ", false, nullptr},
        {u"", false, nullptr},
        {u"\r\nGET / HTTP/1.1\r\n", false, nullptr},
        {u" GET / HTTP/1.1", false, nullptr},
    };
    for (const Case& c : cases) {
        QvString target;
        const bool answered = CPacketMngWSvr::parseRequestTarget(c.request, target);
        EXPECT_EQ(answered, c.answered) << utf8(c.request);
        if (c.answered && answered) {
            EXPECT_EQ(target, QvString(c.target)) << utf8(c.request);
        }
    }
}

TEST(TargetMappingTest, TargetsMapBelowTheBasePathWithTheirExtension)
{
    struct Case {
        const char16_t* target;
        const char16_t* path;
        const char16_t* extension;
    };
    const Case cases[] = {
        {u"/", u"/srv/site/index.html", u"html"},
        {u"/img/logo.png?v=3", u"/srv/site/img/logo.png", u"png"},
        {u"/INDEX.HTML", u"/srv/site/INDEX.HTML", u"HTML"},
        {u"/?x=1", u"/srv/site/", u""},
        {u"/a%20b.txt", u"/srv/site/a%20b.txt", u"txt"},
        {u"/readme", u"/srv/site/readme", u""},
        {u"/a.b/c", u"/srv/site/a.b/c", u"b/c"},  // the last "." of the whole target
        {u"/archive.tar.gz", u"/srv/site/archive.tar.gz", u"gz"},
        {u"/a/../b.txt", u"/srv/site/a/../b.txt", u"txt"},  // stays inside the base
        {u"/..%2f..", u"/srv/site/..%2f..", u""},           // no decoding: a plain name
        {u"//etc/passwd", u"/srv/site//etc/passwd", u""},
        {u"", u"/srv/site", u""},
        {u"/q?a=1?b=2", u"/srv/site/q", u""},
    };
    for (const Case& c : cases) {
        const QvTargetMapping mapping = CPacketMngWSvr::mapRequestTarget(c.target, u"/srv/site", u"index.html");
        EXPECT_FALSE(mapping.refused) << utf8(c.target);
        EXPECT_EQ(mapping.filePath, QvString(c.path)) << utf8(c.target);
        EXPECT_EQ(mapping.extension, QvString(c.extension)) << utf8(c.target);
    }
}

TEST(TargetMappingTest, TargetsThatWouldLeaveTheBasePathAreRefused)
{
    const std::u16string withNul(u"/index.html\0/../../../etc/passwd", 32);
    const std::u16string nulThenClimb(u"/x/../..\0y", 10);
    const QvString refused[] = {
        u"/..",
        u"/../",
        u"/../../etc/passwd",
        u"/a/../../x",
        u"/./a/./../..",
        u"/a/b/../../../c",
        u"2/secret.txt",   // would be /srv/site2/secret.txt
        u"../etc/passwd",  // would be /srv/site../etc/passwd beside the base
        u"http://host/index.html",
        u"*",
        QvString(withNul),
        QvString(nulThenClimb),
    };
    for (const QvString& target : refused) {
        EXPECT_TRUE(CPacketMngWSvr::mapRequestTarget(target, u"/srv/site", u"index.html").refused) << utf8(target);
    }
    // With a trailing separator a target without one stays inside.
    const QvTargetMapping inside = CPacketMngWSvr::mapRequestTarget(u"x.txt", u"/srv/site/", u"index.html");
    EXPECT_FALSE(inside.refused);
    EXPECT_EQ(inside.filePath, QvString(u"/srv/site/x.txt"));
    // Without a base path nothing below "/" is served.
    EXPECT_TRUE(CPacketMngWSvr::mapRequestTarget(u"/etc/passwd", u"", u"index.html").refused);
    // An 8 KB target is mapped whole: no cut that could end in a "..".
    QvString longTarget(u"/");
    longTarget.append(QvString(std::u16string(8190, u'a')));
    longTarget.append(u"/..");
    const QvTargetMapping longMapping = CPacketMngWSvr::mapRequestTarget(longTarget, u"/srv/site", u"i.html");
    EXPECT_FALSE(longMapping.refused);
    EXPECT_EQ(longMapping.filePath.length(), 9 + longTarget.length());
}

TEST(TargetMappingTest, ClimbCheckCountsSegments)
{
    struct Case {
        const char16_t* target;
        bool climbs;
    };
    const Case cases[] = {
        {u"", false},     {u"/", false},         {u"/a/..", false},       {u"/a/../..", true},
        {u"..", true},    {u"/...", false},      {u"/..a", false},        {u"/a..", false},
        {u"/./.", false}, {u"/a/./../b", false}, {u"a/b/../../..", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CPacketMngWSvr::climbsAboveBase(c.target), c.climbs) << utf8(c.target);
    }
}

TEST(TargetMappingTest, BareBaseHtmlNameLivesInTheBasePath)
{
    EXPECT_EQ(CPacketMngWSvr::resolveBaseHtml(u"/srv/site", u"index.html"), QvString(u"/srv/site/index.html"));
    EXPECT_EQ(CPacketMngWSvr::resolveBaseHtml(u"/srv/site/", u"index.html"), QvString(u"/srv/site/index.html"));
    EXPECT_EQ(CPacketMngWSvr::resolveBaseHtml(u"/srv/site", u"/other/page.htm"), QvString(u"/other/page.htm"));
    EXPECT_EQ(CPacketMngWSvr::resolveBaseHtml(u"", u"index.html"), QvString(u"index.html"));
    // A full page path of another extension is still "/" with the html entry.
    const QvTargetMapping root = CPacketMngWSvr::mapRequestTarget(u"/", u"/srv/site", u"/srv/site/start.htm");
    EXPECT_EQ(root.filePath, QvString(u"/srv/site/start.htm"));
    EXPECT_EQ(root.extension, QvString(u"html"));
}

// A worker whose answers are captured instead of sent.
class CapturingWorker : public CCPTWorkerWS {
public:
    bool sendClientData(const unsigned char* data, int length) override
    {
        m_sent.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        return true;
    }
    void onRecvWorkerData(int status, const unsigned char*, int) override { m_workerData.push_back(status); }

    std::vector<std::string> m_sent;
    std::vector<int> m_workerData;
};

class RequestProcessingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qvplat::setLocalTimeSource([] { return qvplat::SystemTime{2026, 12, 5, 4, 9, 5, 7, 0}; });
        auto info = std::make_shared<_tag_WebServerInfo>();
        info->basepath = QvString::fromUtf8((m_dir / "site").string());
        info->basehtml = u"index.html";
        info->contentstype.set(u"html", u"text/html");
        info->contentstype.set(u"png", u"image/png");
        m_dir.write("site/index.html", "<p>hi</p>");
        m_dir.write("site/img/logo.png", std::string("\x89PNG\0\x01", 6));
        m_worker.setClientId(5);
        m_worker.setServerInfo(info);
    }
    void TearDown() override { qvplat::setLocalTimeSource({}); }

    void receive(const std::string& bytes)
    {
        m_worker.onClientRecv(5, 0, reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<int>(bytes.size()));
    }

    static constexpr const char* kHeaderStart =
        "Date: Fri, 4 Dec 2026 09:05:07\r\n"
        "Server: QvLocalWebSvr\r\nConnection: Keep-Alive\r\n";
    TempDir m_dir{"qvweb-req"};
    CapturingWorker m_worker;
};

TEST_F(RequestProcessingTest, LargeRequestIsCopiedOutWhole)
{
    std::string request = "GET /" + std::string(5000, 'b') + " HTTP/1.1\r\n\r\n";
    receive(request);
    ASSERT_EQ(m_worker.m_sent.size(), 1u);
    EXPECT_EQ(m_worker.m_sent[0].rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(m_worker.getRecvBuffer().size(), 0u);
}

TEST_F(RequestProcessingTest, ReportsOfOtherClientsAndErrorsChangeNothing)
{
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    m_worker.onClientRecv(6, 0, reinterpret_cast<const unsigned char*>(request.data()),
                          static_cast<int>(request.size()));
    m_worker.onClientRecv(5, 98, nullptr, 0);
    EXPECT_TRUE(m_worker.m_sent.empty());
    EXPECT_EQ(m_worker.getState(), CCPTBaseWorker::kStateIdle);
    m_worker.onClientRecv(5, 99, nullptr, 0);
    EXPECT_EQ(m_worker.getState(), CCPTBaseWorker::kStateClosed);
    EXPECT_EQ(m_worker.m_workerData, std::vector<int>{1});
}

}  // namespace
