#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "HttpTestSupport.h"
#include "httpclient/QvHttpConnection.h"
#include "httpclient/QvHttpWorkItem.h"

namespace {

TEST(QvHttpConnectionTest, UnusableUrlsGiveMinus999)
{
    const std::string urls[] = {"", "ftp://127.0.0.1/file", "not a url", "http://" + std::string(260, 'h') + "/",
                                "http://127.0.0.1/" + std::string(1300, 'p')};
    for (const std::string& url : urls) {
        QvHttpConnection connection(qv(url), nullptr);
        EXPECT_EQ(connection.request(u"GET", QvString(u""), nullptr, 0), -999) << url.substr(0, 40);
    }
}

class QvHttpConnectionNetTest : public FixtureTest {
protected:
    std::unique_ptr<QvHttpConnection> connect(const std::string& url)
    {
        return std::make_unique<QvHttpConnection>(qv(url), &m_owner);
    }
    static int32_t get(QvHttpConnection& c, const char16_t* verb = u"GET")
    {
        return c.request(verb, QvString(u""), nullptr, 0);
    }
    static std::string bytesOf(const QvHttpConnection& c)
    {
        return std::string(reinterpret_cast<const char*>(c.getResponseBytes()), c.getResponseLength());
    }

    QvHttpWorkItem m_owner{0};
};

TEST_F(QvHttpConnectionNetTest, BodyArrivesWholeWithOrWithoutItsLength)
{
    const std::string urls[] = {m_server.url("/slow?size=50000&chunks=4&delay_ms=30"),
                                m_server.url("/bytes?size=50000&mode=chunked"),
                                m_server.url("/bytes?size=50000&mode=close")};
    for (const std::string& url : urls) {
        auto connection = connect(url);
        ASSERT_EQ(get(*connection), 1) << url;
        EXPECT_EQ(bytesOf(*connection), patternBytes(50000));  // the buffer grew past 10,240 bytes
        EXPECT_EQ(connection->getContentLength(), url == urls[0] ? 50000 : 0);
    }
}

// One exchange: the verb, what the fixture answers, and what comes of it: result, decoded text (null:
// not checked) and how many requests went out. The verb is matched without regard to case and sent in
// upper case.
struct ExchangeCase {
    const char* name;
    const char16_t* verb;
    std::string url;
    int32_t result;
    const char16_t* text;
    size_t requests;
};

TEST_F(QvHttpConnectionNetTest, ExchangesEndInTheirResultsAfterTheirAttempts)
{
    NoProxyEnvironment noProxy;
    const std::string text = urlEncode("h\xC3\xA9llo \xE2\x82\xAC");  // "héllo €" in UTF-8
    // The final answer's headers count: its charset decodes the text.
    const std::string moved = urlEncode("/text?charset=UTF-8&body=" + text);
    const ExchangeCase cases[] = {
        {"delete", u"dElEtE", m_server.url("/"), 1, u"ok", 1},
        {"head", u"HEAD", m_server.url("/"), -998, nullptr, 0},
        {"utf8", u"GET", m_server.url("/text?charset=UTF-8&body=" + text), 1, u"h\u00e9llo \u20ac", 1},
        {"utf8 by its first five characters", u"GET", m_server.url("/text?charset=utf-8x&body=" + text), 1,
         u"h\u00e9llo \u20ac", 1},
        // Without a charset the ANSI code page (Windows-1252) reads the bytes.
        {"no charset", u"GET", m_server.url("/text?body=" + text), 1, u"h\u00c3\u00a9llo \u00e2\u201a\u00ac", 1},
        {"cp1252", u"GET", m_server.url("/text?enc=cp1252&body=caf%C3%A9%20%E2%82%AC"), 1, u"caf\u00e9 \u20ac", 1},
        {"zero byte ends the text", u"GET", m_server.url("/text?body=ab%00cd"), 1, u"ab", 1},
        // A GET page cut before its closing tag is a failed attempt; other verbs are not held to it.
        {"unclosed page", u"GET", m_server.url("/text?body=%3CHTML%3Ecut"), -994, nullptr, 3},
        {"closed page", u"GET", m_server.url("/text?body=%3CHTML%3Ewhole%3C%2FHtml%3E"), 1, nullptr, 1},
        {"unclosed post", u"POST", m_server.url("/text?body=%3Chtml%3Eno%20end"), 1, u"<html>no end", 1},
        // Status errors and followed redirects are completed exchanges.
        {"status 500", u"GET", m_server.url("/text?status=500&body=broken"), 1, u"broken", 1},
        {"redirect", u"GET", m_server.url("/text?status=302&body=old&location=" + moved), 1, u"h\u00e9llo \u20ac", 2},
        // Failed sends and receives are retried: a refused port, a dropped connection, a redirect that
        // cannot be followed; a connection dropped once recovers.
        {"refused", u"GET", closedUrl("/"), -994, nullptr, 0},
        {"dropped", u"POST", m_server.url("/drop"), -994, nullptr, 3},
        {"redirect to a refused port", u"GET",
         m_server.url("/text?status=302&location=" + urlEncode(closedUrl("/gone"))), -994, nullptr, 3},
        {"dropped once", u"GET", m_server.url("/flaky?key=drop&fails=1"), 1, u"<html>recovered</html>", 2},
        // Certificates are verified: one of an unknown issuer never gets the request.
        {"self-signed", u"GET", m_server.httpsUrl("/text?body=secure"), -994, nullptr, 0},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_server.clearReceived();
        auto connection = connect(c.url);
        EXPECT_EQ(get(*connection, c.verb), c.result);
        if (c.text != nullptr) {
            EXPECT_EQ(connection->getResponseText().toStd(), c.text);
        }
        const auto received = m_server.received();
        ASSERT_EQ(received.size(), c.requests);
        for (const auto& r : received) {
            std::u16string verb(c.verb);
            std::transform(verb.begin(), verb.end(), verb.begin(), [](char16_t ch) { return ch & ~0x20; });
            EXPECT_EQ(qv(r.method).toStd(), verb);
            EXPECT_EQ(r.header("User-Agent"), "QvHttpClient");
            EXPECT_FALSE(r.hasHeader("Accept") || r.hasHeader("Expect"));
        }
    }
    // Only when a caller turns verification off explicitly does any certificate pass.
    auto trusting = connect(m_server.httpsUrl("/text?body=secure"));
    trusting->setVerifyCertificate(false);
    ASSERT_EQ(get(*trusting), 1);
    EXPECT_EQ(trusting->getResponseText().toStd(), u"secure");
}

TEST_F(QvHttpConnectionNetTest, ResponseBufferThatCannotGrowGivesMinus995AndOneThatCannotStartMinus994)
{
    QvHttpConnection::setResponseBufferLimitForTesting(20480);
    auto grown = connect(m_server.url("/bytes?size=50000"));
    const int32_t grownResult = get(*grown);
    QvHttpConnection::setResponseBufferLimitForTesting(1000);
    auto first = connect(m_server.url("/bytes?size=10"));
    const int32_t firstResult = get(*first);
    QvHttpConnection::setResponseBufferLimitForTesting(0);

    // What fits is kept and the attempt still counts as complete; a first buffer that cannot be
    // allocated ends the attempts at once.
    EXPECT_EQ(grownResult, -995);
    const std::string got = bytesOf(*grown);
    EXPECT_LE(got.size(), 20480u);
    EXPECT_EQ(got, patternBytes(50000).substr(0, got.size()));
    EXPECT_EQ(firstResult, -994);
    EXPECT_EQ(m_server.received("/bytes").size(), 2u);
}

TEST_F(QvHttpConnectionNetTest, SecondRequestReusesTheConnectionAndItsCookies)
{
    auto connection = connect(m_server.url("/text?body=one&setcookie=sid%3D42"));
    ASSERT_EQ(get(*connection), 1);
    connection->setUrl(qv(m_server.url("/text?status=302&location=%2Fecho")));  // through a followed redirect
    ASSERT_EQ(get(*connection), 1);
    const auto received = m_server.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].clientPort, received[2].clientPort);  // the same kept-alive connection
    EXPECT_EQ(received[2].header("Cookie"), "sid=42");
}

TEST_F(QvHttpConnectionNetTest, FailedSendFallsBackToTheUsersProxy)
{
    NoProxyEnvironment clean;
    const std::string proxy = m_server.url("");
    ScopedEnv useProxy{{"http_proxy", proxy.c_str()}, {"no_proxy", nullptr}, {"NO_PROXY", nullptr}};
    const std::string target = closedUrl("/text?body=proxied");
    auto connection = connect(target);
    EXPECT_EQ(get(*connection), 1);
    EXPECT_EQ(connection->getResponseText().toStd(), u"proxied");
    const auto received = m_server.received("/text");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].target, target);  // the absolute form a proxy gets
}

TEST_F(QvHttpConnectionNetTest, EveryAttemptSendsOptionalDataAndBodyAndMergesTheExtraHeadersAgain)
{
    auto connection = connect(m_server.url("/flaky?key=merge&fails=2"));
    const unsigned char body[] = {'d', 'e', 'f', 0, 'g'};
    ASSERT_TRUE(connection->setBody(body, sizeof body));
    connection->setExtraHeaders(QvString(u"X-Qv-Test: one\r\nX-Qv-Other: two"));
    const unsigned char optional[] = {'a', 'b', 'c'};
    ASSERT_EQ(connection->request(u"POST", QvString(u"X-Sent: yes"), optional, sizeof optional), 1);
    const auto received = m_server.received("/flaky");
    ASSERT_EQ(received.size(), 3u);
    const char* merged[] = {"one", "one; one", "one; one; one"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(received[i].header("X-Qv-Test"), merged[i]);
        EXPECT_EQ(received[i].header("X-Sent"), "yes");
        EXPECT_EQ(received[i].body, std::string("abcdef\0g", 8));
        EXPECT_EQ(received[i].header("Content-Length"), "8");
        EXPECT_FALSE(received[i].hasHeader("Content-Type"));  // none unless the caller sends one
    }
    EXPECT_EQ(received[2].header("X-Qv-Other"), "two; two; two");
}

// Waits out receive time-outs: labelled soak, left out of the quick run.
class QvHttpConnectionSoakTest : public QvHttpConnectionNetTest {};

TEST_F(QvHttpConnectionSoakTest, SilenceLongerThanTheReceiveTimeoutEndsTheAttempt)
{
    const std::tuple<std::string, int, int32_t, std::string> cases[] = {
        {m_server.url("/stall?ms=4000"), 1000, -994, ""},  // no answer at all: three failed attempts
        // Half the body at once, then silence: the rest is too late.
        {m_server.url("/slow?size=1000&chunks=2&first_ms=0&delay_ms=5000"), 2000, 1, patternBytes(500)},
        {m_server.url("/slow?size=2000&chunks=5&delay_ms=200"), 1000, 1, patternBytes(2000)},  // slow but moving
    };
    for (const auto& [url, timeoutMs, result, bytes] : cases) {
        auto connection = connect(url);
        connection->setTimeouts(0, 60000, timeoutMs, timeoutMs);
        EXPECT_EQ(get(*connection), result) << url;
        EXPECT_EQ(bytesOf(*connection).substr(0, result == 1 ? std::string::npos : 0), bytes) << url;
    }
    EXPECT_EQ(m_server.received("/stall").size(), 3u);
}

}  // namespace
