#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HttpTestSupport.h"
#include "httpclient/QvHttpConnection.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/HttpTransport.h"

namespace {

// ---- request() without a server ---------------------------------------------------------------

TEST(QvHttpConnectionTest, EmptyUrlGivesMinus999WithoutOpeningASession)
{
    QvHttpConnection connection(QvString(u""), nullptr);
    EXPECT_EQ(connection.request(u"GET", QvString(u""), nullptr, 0), -999);
    EXPECT_FALSE(connection.hasSession());
    EXPECT_EQ(connection.getSessionId(), nullptr);
}

TEST(QvHttpConnectionTest, UnusableUrlsGiveMinus999)
{
    const std::string longHost(260, 'h');
    const std::string longPath(1300, 'p');
    const std::string urls[] = {
        "ftp://127.0.0.1/file",
        "not a url",
        "http://" + longHost + "/",
        "http://127.0.0.1/" + longPath,
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url.substr(0, 40));
        QvHttpConnection connection(qv(url), nullptr);
        EXPECT_EQ(connection.request(u"GET", QvString(u""), nullptr, 0), -999);
    }
}

TEST(QvHttpConnectionTest, SessionThatCannotOpenGivesMinus997)
{
    qvplat::setHttpSessionOpenFailureForTesting(true);
    QvHttpConnection connection(qv("http://127.0.0.1:1/"), nullptr);
    const int32_t result = connection.request(u"GET", QvString(u""), nullptr, 0);
    qvplat::setHttpSessionOpenFailureForTesting(false);
    EXPECT_EQ(result, -997);
    EXPECT_FALSE(connection.hasSession());
}

// ---- request() against the fixture ------------------------------------------------------------

std::vector<double> s_progress;

bool recordProgress(QvHttpWorkItem*, double percent)
{
    s_progress.push_back(percent);
    return true;
}

class QvHttpConnectionNetTest : public FixtureTest {
protected:
    void SetUp() override
    {
        FixtureTest::SetUp();
        s_progress.clear();
    }

    // A connection whose progress goes to s_progress (the hook runs only with an owner).
    std::unique_ptr<QvHttpConnection> connect(const std::string& url)
    {
        auto connection = std::make_unique<QvHttpConnection>(qv(url), &m_owner);
        connection->setProgressHook(&recordProgress);
        return connection;
    }

    static std::string responseBytes(const QvHttpConnection& c)
    {
        return std::string(reinterpret_cast<const char*>(c.getResponseBytes()), c.getResponseLength());
    }

    QvHttpWorkItem m_owner{0};
};

TEST_F(QvHttpConnectionNetTest, VerbIsMatchedWithoutCaseAndSentInUpperCase)
{
    const std::pair<const char16_t*, const char*> verbs[] = {
        {u"get", "GET"}, {u"Post", "POST"}, {u"put", "PUT"}, {u"dElEtE", "DELETE"}};
    for (const auto& [given, sent] : verbs) {
        auto connection = connect(m_server.url("/verb"));
        EXPECT_EQ(connection->request(given, QvString(u""), nullptr, 0), 1);
    }
    auto connection = connect(m_server.url("/verb"));
    EXPECT_EQ(connection->request(u"PATCH", QvString(u""), nullptr, 0), -998);
    EXPECT_EQ(connection->request(u"HEAD", QvString(u""), nullptr, 0), -998);
    EXPECT_FALSE(connection->hasSession());

    const auto received = m_server.received("/verb");
    ASSERT_EQ(received.size(), 4u);  // nothing went out for PATCH or HEAD
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_EQ(received[1].method, "POST");
    EXPECT_EQ(received[2].method, "PUT");
    EXPECT_EQ(received[3].method, "DELETE");
    for (const auto& r : received) {
        EXPECT_EQ(r.header("User-Agent"), "QvHttpClient");
        EXPECT_FALSE(r.hasHeader("Accept"));
        EXPECT_FALSE(r.hasHeader("Expect"));
    }
}

TEST_F(QvHttpConnectionNetTest, WithoutContentLengthThereIsNoProgressAndLengthStaysZero)
{
    for (const char* mode : {"chunked", "close"}) {
        SCOPED_TRACE(mode);
        s_progress.clear();
        auto connection = connect(m_server.url("/bytes?size=30000&mode=" + std::string(mode)));
        ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
        EXPECT_EQ(connection->getContentLength(), 0);
        EXPECT_TRUE(s_progress.empty());
        EXPECT_EQ(responseBytes(*connection), patternBytes(30000));
    }
}

TEST_F(QvHttpConnectionNetTest, ProgressReportsPercentOfContentLengthBeforeEachPieceAndTwiceAtTheEnd)
{
    auto connection = connect(m_server.url("/slow?size=8000&chunks=4&delay_ms=30"));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(connection->getContentLength(), 8000);
    ASSERT_GE(s_progress.size(), 3u);
    EXPECT_EQ(s_progress.front(), 0.0);
    EXPECT_EQ(s_progress[s_progress.size() - 1], 100.0);
    EXPECT_EQ(s_progress[s_progress.size() - 2], 100.0);
    for (size_t i = 1; i < s_progress.size(); ++i) {
        EXPECT_LE(s_progress[i - 1], s_progress[i]);
    }

    // Without an owner nobody is told.
    s_progress.clear();
    QvHttpConnection ownerless(qv(m_server.url("/bytes?size=100")), nullptr);
    ownerless.setProgressHook(&recordProgress);
    ASSERT_EQ(ownerless.request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_TRUE(s_progress.empty());
}

TEST_F(QvHttpConnectionNetTest, ContentLengthOfAnEarlierResponseStaysWhenTheNextHasNone)
{
    auto connection = connect(m_server.url("/bytes?size=1000"));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(connection->getContentLength(), 1000);
    connection->setUrl(qv(m_server.url("/bytes?size=3000&mode=chunked")));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(connection->getContentLength(), 1000);
    EXPECT_EQ(responseBytes(*connection), patternBytes(3000));
}

TEST_F(QvHttpConnectionNetTest, UnclosedHtmlPageIsRequestedThreeTimesThenFails)
{
    auto cut = connect(m_server.url("/text?body=" + urlEncode("<HTML><body>cut short")));
    EXPECT_EQ(cut->request(u"GET", QvString(u""), nullptr, 0), -994);
    EXPECT_EQ(m_server.received("/text").size(), 3u);

    m_server.clearReceived();
    auto whole = connect(m_server.url("/text?body=" + urlEncode("<HTML><body>whole</body></Html>")));
    EXPECT_EQ(whole->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(m_server.received("/text").size(), 1u);

    // Only GET pages are held to it.
    m_server.clearReceived();
    auto posted = connect(m_server.url("/text?body=" + urlEncode("<html>no end")));
    EXPECT_EQ(posted->request(u"POST", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(utf8(posted->getResponseText()), "<html>no end");
    EXPECT_EQ(m_server.received("/text").size(), 1u);
}

TEST_F(QvHttpConnectionNetTest, BodyIsDecodedByTheResponseCharset)
{
    const std::string text = "h\xC3\xA9llo \xE2\x82\xAC";  // "héllo €" in UTF-8
    auto utf8Answer = connect(m_server.url("/text?charset=UTF-8&body=" + urlEncode(text)));
    ASSERT_EQ(utf8Answer->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(utf8(utf8Answer->getCharset()), "UTF-8");
    EXPECT_EQ(utf8Answer->getResponseText().toStd(), u"h\u00e9llo \u20ac");

    // The same bytes without a charset are read in the ANSI code page (Windows-1252).
    auto noCharset = connect(m_server.url("/text?body=" + urlEncode(text)));
    ASSERT_EQ(noCharset->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(noCharset->getResponseText().toStd(), u"h\u00c3\u00a9llo \u00e2\u201a\u00ac");

    auto ansi = connect(m_server.url("/text?enc=cp1252&body=" + urlEncode("caf\xC3\xA9 \xE2\x82\xAC")));
    ASSERT_EQ(ansi->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(ansi->getResponseText().toStd(), u"caf\u00e9 \u20ac");

    // "utf-8" is recognised by its first five characters, in any case.
    auto lower = connect(m_server.url("/text?charset=utf-8x&body=" + urlEncode(text)));
    ASSERT_EQ(lower->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(lower->getResponseText().toStd(), u"h\u00e9llo \u20ac");

    // A fixed charset wins over the headers.
    auto fixed = connect(m_server.url("/text?charset=UTF-8&body=" + urlEncode(text)));
    fixed->setFixedCharset(QvString(u"windows-1252"));
    ASSERT_EQ(fixed->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(fixed->getResponseText().toStd(), u"h\u00c3\u00a9llo \u00e2\u201a\u00ac");
}

TEST_F(QvHttpConnectionNetTest, TextEndsAtTheFirstZeroByteButBytesAreWhole)
{
    auto connection = connect(m_server.url("/text?body=ab%00cd"));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(connection->getResponseText().toStd(), u"ab");
    EXPECT_EQ(responseBytes(*connection), std::string("ab\0cd", 5));
}

TEST_F(QvHttpConnectionNetTest, FiftyThousandByteBodyArrivesWhole)
{
    for (const char* mode : {"length", "chunked"}) {
        SCOPED_TRACE(mode);
        auto connection = connect(m_server.url("/bytes?size=50000&mode=" + std::string(mode)));
        ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
        EXPECT_EQ(connection->getResponseLength(), 50000u);
        EXPECT_EQ(responseBytes(*connection), patternBytes(50000));
    }
}

TEST_F(QvHttpConnectionNetTest, ResponseBufferThatCannotGrowGivesMinus995AndOneThatCannotStartMinus994)
{
    // A buffer that cannot grow keeps what fits; the attempt still counts as complete.
    QvHttpConnection::setResponseBufferLimitForTesting(20480);
    auto grown = connect(m_server.url("/bytes?size=50000"));
    const int32_t grownResult = grown->request(u"GET", QvString(u""), nullptr, 0);
    // A first buffer that cannot be allocated ends the attempts at once.
    QvHttpConnection::setResponseBufferLimitForTesting(1000);
    auto first = connect(m_server.url("/bytes?size=10"));
    const int32_t firstResult = first->request(u"GET", QvString(u""), nullptr, 0);
    QvHttpConnection::setResponseBufferLimitForTesting(0);

    EXPECT_EQ(grownResult, -995);
    const std::string got = responseBytes(*grown);
    EXPECT_LE(got.size(), 20480u);
    EXPECT_EQ(got, patternBytes(50000).substr(0, got.size()));
    EXPECT_EQ(firstResult, -994);
    EXPECT_EQ(m_server.received("/bytes").size(), 2u);  // one attempt each
}

TEST_F(QvHttpConnectionNetTest, SelfSignedAndExpiredCertificatesAreAccepted)
{
    auto selfSigned = connect(m_server.httpsUrl("/text?body=secure"));
    ASSERT_EQ(selfSigned->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(selfSigned->getResponseText().toStd(), u"secure");

    auto expired = connect(m_server.expiredUrl("/text?body=stale"));
    ASSERT_EQ(expired->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(expired->getResponseText().toStd(), u"stale");

    // They are real certificate errors: checked, neither gets through.
    m_server.clearReceived();
    for (const std::string& url : {m_server.httpsUrl("/text"), m_server.expiredUrl("/text")}) {
        auto verifying = connect(url);
        verifying->setVerifyCertificate(true);
        EXPECT_EQ(verifying->request(u"GET", QvString(u""), nullptr, 0), -994);
    }
    EXPECT_TRUE(m_server.received().empty());
}

TEST_F(QvHttpConnectionNetTest, SecondRequestReusesTheSessionAndItsConnection)
{
    auto connection = connect(m_server.url("/text?body=one"));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    ASSERT_TRUE(connection->hasSession());
    const void* session = connection->getSessionId();
    EXPECT_EQ(utf8(connection->getHost()), "127.0.0.1");

    connection->setUrl(qv(m_server.url("/text?body=two")));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(connection->getSessionId(), session);
    EXPECT_EQ(connection->getResponseText().toStd(), u"two");

    const auto received = m_server.received("/text");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].clientPort, received[1].clientPort);  // the same kept-alive connection
}

TEST_F(QvHttpConnectionNetTest, SessionKeepsCookies)
{
    auto connection = connect(m_server.url("/text?setcookie=sid%3D42"));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    connection->setUrl(qv(m_server.url("/echo")));
    ASSERT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    const auto received = m_server.received("/echo");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].header("Cookie"), "sid=42");
}

TEST_F(QvHttpConnectionNetTest, RefusedConnectionFailsAfterThreeAttempts)
{
    NoProxyEnvironment noProxy;
    auto connection = connect("http://127.0.0.1:" + std::to_string(m_server.closedPort()) + "/");
    EXPECT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), -994);
    EXPECT_TRUE(connection->hasSession());
}

TEST_F(QvHttpConnectionNetTest, FailedSendFallsBackToTheUsersProxy)
{
    const std::string proxy = "http://127.0.0.1:" + std::to_string(m_server.httpPort());
    NoProxyEnvironment clean;
    ScopedEnv useProxy("http_proxy", proxy.c_str());
    ScopedEnv noBypass("no_proxy", nullptr);
    ScopedEnv noBypassUpper("NO_PROXY", nullptr);
    const std::string target = "http://127.0.0.1:" + std::to_string(m_server.closedPort()) + "/text?body=proxied";
    auto connection = connect(target);
    const int32_t result = connection->request(u"GET", QvString(u""), nullptr, 0);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(connection->getResponseText().toStd(), u"proxied");
    const auto received = m_server.received("/text");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].target, target);  // the absolute form a proxy gets
}

TEST_F(QvHttpConnectionNetTest, ExtraHeadersAreAddedAgainOnEveryAttemptMergedWithSemicolons)
{
    auto connection = connect(m_server.url("/flaky?key=merge&fails=2"));
    connection->setExtraHeaders(QvString(u"X-Qv-Test: one\r\nX-Qv-Other: two"));
    ASSERT_EQ(connection->request(u"GET", QvString(u"X-Sent: yes"), nullptr, 0), 1);
    EXPECT_EQ(connection->getResponseText().toStd(), u"<html>recovered</html>");
    const auto received = m_server.received("/flaky");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].header("X-Qv-Test"), "one");
    EXPECT_EQ(received[1].header("X-Qv-Test"), "one; one");
    EXPECT_EQ(received[2].header("X-Qv-Test"), "one; one; one");
    EXPECT_EQ(received[2].header("X-Qv-Other"), "two; two; two");
    EXPECT_EQ(received[2].header("X-Sent"), "yes");
}

// Waits out a receive time-out: labelled soak, left out of the quick run.
class QvHttpConnectionSoakTest : public QvHttpConnectionNetTest {};

TEST_F(QvHttpConnectionSoakTest, StalledAnswerEndsTheAttemptAfterTheReceiveTimeout)
{
    auto stalled = connect(m_server.url("/stall?ms=4000"));
    stalled->setTimeouts(0, 60000, 1000, 1000);
    EXPECT_EQ(stalled->request(u"GET", QvString(u""), nullptr, 0), -994);
    EXPECT_EQ(m_server.received("/stall").size(), 3u);

    // A slow answer that keeps moving is not a stall.
    auto slow = connect(m_server.url("/slow?size=2000&chunks=5&delay_ms=200"));
    slow->setTimeouts(0, 60000, 1000, 1000);
    EXPECT_EQ(slow->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(responseBytes(*slow), patternBytes(2000));
}

TEST_F(QvHttpConnectionNetTest, DroppedConnectionIsRetried)
{
    auto connection = connect(m_server.url("/flaky?key=drop&fails=1"));
    EXPECT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(m_server.received("/flaky").size(), 2u);

    auto never = connect(m_server.url("/drop"));
    EXPECT_EQ(never->request(u"POST", QvString(u""), nullptr, 0), -994);
    EXPECT_EQ(m_server.received("/drop").size(), 3u);
}

TEST_F(QvHttpConnectionNetTest, OptionalDataAndBodyFormTheRequestBody)
{
    auto connection = connect(m_server.url("/echo"));
    const unsigned char body[] = {'d', 'e', 'f', 0, 'g'};
    ASSERT_TRUE(connection->setBody(body, sizeof body));
    const unsigned char optional[] = {'a', 'b', 'c'};
    ASSERT_EQ(connection->request(u"POST", QvString(u"X-Sent: 1"), optional, sizeof optional), 1);
    const auto received = m_server.received("/echo");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].body, std::string("abcdef\0g", 8));
    EXPECT_EQ(received[0].header("Content-Length"), "8");
    EXPECT_FALSE(received[0].hasHeader("Content-Type"));  // none unless the caller sends one
    EXPECT_EQ(responseBytes(*connection), std::string("abcdef\0g", 8));
}

TEST_F(QvHttpConnectionNetTest, StatusErrorsAndRedirectsAreCompletedExchanges)
{
    auto failing = connect(m_server.url("/text?status=500&body=broken"));
    ASSERT_EQ(failing->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(failing->getResponseText().toStd(), u"broken");
    EXPECT_EQ(utf8(failing->getRawHeaders()).rfind("HTTP/1.1 500", 0), 0u);

    auto moved =
        connect(m_server.url("/text?status=302&body=old&location=" + urlEncode("/text?body=new&charset=UTF-8")));
    ASSERT_EQ(moved->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(moved->getResponseText().toStd(), u"new");
    EXPECT_EQ(responseBytes(*moved), "new");
    const std::string headers = utf8(moved->getRawHeaders());
    EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(headers.find("Content-Type: text/html; charset=UTF-8\r\n"), std::string::npos);
    EXPECT_EQ(headers.substr(headers.size() - 4), "\r\n\r\n");
}

TEST_F(QvHttpConnectionNetTest, RedirectThatCannotBeFollowedIsAFailedReceive)
{
    NoProxyEnvironment noProxy;
    // Every answer points back at itself: curl gives up after its redirect limit, on every attempt.
    CannedServer loop(
        "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:{port}/loop\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n");
    auto looping = connect(loop.url("/loop"));
    EXPECT_EQ(looping->request(u"GET", QvString(u""), nullptr, 0), -994);
    EXPECT_EQ(loop.requests() % 3, 0);
    EXPECT_GT(loop.requests(), 3);

    const std::string closed = "http://127.0.0.1:" + std::to_string(m_server.closedPort()) + "/gone";
    auto nowhere = connect(m_server.url("/text?status=302&body=moved&location=" + urlEncode(closed)));
    EXPECT_EQ(nowhere->request(u"GET", QvString(u""), nullptr, 0), -994);
    EXPECT_EQ(m_server.received("/text").size(), 3u);
}

TEST_F(QvHttpConnectionNetTest, BodyThatStallsEndsTheAttemptWithTheReceiveTimeout)
{
    // Half the body, then silence for longer than the time-out, then the rest: the rest must not count.
    const std::string body = patternBytes(1000);
    CannedServer stalling("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 500), 5000,
                          body.substr(500));
    auto connection = connect(stalling.url("/half"));
    connection->setTimeouts(0, 60000, 2000, 2000);
    EXPECT_EQ(connection->request(u"GET", QvString(u""), nullptr, 0), 1);
    EXPECT_EQ(responseBytes(*connection), body.substr(0, 500));
}

}  // namespace
