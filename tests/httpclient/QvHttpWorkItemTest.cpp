#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "HttpTestSupport.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/HttpTransport.h"

namespace {

class QvHttpWorkItemNetTest : public FixtureTest {
protected:
    void prepare(QvHttpWorkItem& item, const std::string& path, int32_t reqType, int32_t dataType,
                 const std::string& data = "", const std::string& headers = "")
    {
        item.setRequest(qv(m_server.url(path)), qv(headers), reqType, dataType,
                        data.empty() ? nullptr : reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<uint32_t>(data.size()), qv(""), &CallbackLog::callback, &m_log);
    }

    CallbackLog m_log;
};

TEST_F(QvHttpWorkItemNetTest, EachRequestTypeSendsItsVerbHeadersAndDataAndReportsText)
{
    struct Case {
        int32_t reqType;
        int32_t dataType;
        const char* path;
        const char* headers;
        const char* method;
        std::u16string text;
    };
    const Case cases[] = {
        {1, 1, "/echo", "Content-Type: application/json", "POST", u"{\"a\":1}"},
        {2, 0, "/echo", "Content-Type: application/json", "PUT", u"{\"a\":1}"},
        {3, 0, "/text?body=gone", "", "DELETE", u"gone"},
        // A GET of data type String is the decoded text, not the bytes.
        {0, 0, "/text?charset=UTF-8&body=%ED%95%9C%EA%B8%80", "", "GET", u"\ud55c\uae00"},
    };
    const std::string data = "{\"a\":1}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        m_server.clearReceived();
        QvHttpWorkItem item(0);
        prepare(item, c.path, c.reqType, c.dataType, c.reqType == 1 || c.reqType == 2 ? data : "", c.headers);
        EXPECT_TRUE(item.execute());
        const auto received = m_server.received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].method, c.method);
        if (*c.headers != '\0') {
            EXPECT_EQ(received[0].body, data);
            EXPECT_EQ(received[0].header("Content-Type"), "application/json");
        }
        const auto results = m_log.results();
        ASSERT_FALSE(results.empty());
        EXPECT_EQ(results.back().text, c.text);
        EXPECT_EQ(results.back().resultLength, static_cast<int32_t>(c.text.size()));
        EXPECT_EQ(results.back().data, *c.headers != '\0' ? data : "");  // the item's data travels along
    }
}

TEST_F(QvHttpWorkItemNetTest, DownloadGivesTheAnnouncedBytesWithProgressAsStepOne)
{
    QvHttpWorkItem item(3);
    prepare(item, "/slow?size=9000&chunks=3&delay_ms=30", 0, 3);
    EXPECT_TRUE(item.execute());
    QvHttpWorkItem chunked(1);
    prepare(chunked, "/bytes?size=5000&mode=chunked", 0, 3);
    EXPECT_TRUE(chunked.execute());

    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].bytes, patternBytes(9000));
    EXPECT_TRUE(results[1].bytes.empty());  // no Content-Length, no bytes
    EXPECT_EQ(results[1].resultLength, 0);

    std::vector<int32_t> percents;  // of the download with a length only
    for (const auto& call : m_log.calls()) {
        if (call.step == 1 && !call.hasResult && call.reqInfo == results[0].reqInfo) {
            percents.push_back(call.resultLength);
        }
    }
    EXPECT_EQ(percents.size() + 2, m_log.calls().size());  // the download without a length reports none
    ASSERT_GE(percents.size(), 3u);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.front() + percents.back(), 100);
}

TEST_F(QvHttpWorkItemNetTest, FailureReachesTheCallbackAsAnEnvelopeAndSilentItemsReportNothing)
{
    QvHttpWorkItem item(0);
    prepare(item, "/text", 0, 0);
    qvplat::setHttpSessionOpenFailureForTesting(true);
    const bool completed = item.execute();
    qvplat::setHttpSessionOpenFailureForTesting(false);
    EXPECT_FALSE(completed);
    const auto calls = m_log.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].step, 0);
    EXPECT_EQ(calls[0].text,
              u"{\"lang\":\"kr\", \"msg\":\"URL Open Error!\", \"msgcode\":\"-997\", \"nextflag\":\"L\"}");

    QvHttpWorkItem noContext(1);
    noContext.setRequest(qv(m_server.url("/text")), qv(""), 0, 0, nullptr, 0, qv(""), &CallbackLog::callback, nullptr);
    EXPECT_TRUE(noContext.execute());
    QvHttpWorkItem unknownType(2);
    prepare(unknownType, "/text", 9, 0);
    EXPECT_FALSE(unknownType.execute());
    EXPECT_EQ(m_log.calls().size(), 1u);
    EXPECT_EQ(m_server.received().size(), 1u);  // the unknown type sent nothing
}

// The part layout of a form body is QvHttpWorkItemBodyTest's; here its boundary and length on the wire.
TEST_F(QvHttpWorkItemNetTest, FormPostSendsItsBoundaryAndLengthOnceAndPreparingAgainDropsTheBody)
{
    QvHttpForm form;
    form[qv("k")].set(0, qv("v"));
    QvHttpWorkItem item(0);
    item.setFormRequest(qv(m_server.url("/echo?a")), qv(""), 1, 4, form, qv(""), &CallbackLog::callback, &m_log);
    ASSERT_TRUE(item.execute());
    item.setRequest(qv(m_server.url("/echo?b")), qv(""), 0, 0, nullptr, 0, qv(""), nullptr, nullptr);
    ASSERT_TRUE(item.execute());

    const auto echoes = m_server.received("/echo");
    ASSERT_EQ(echoes.size(), 2u);
    const std::string type = echoes[0].header("Content-Type");
    ASSERT_EQ(type.rfind("multipart/form-data; boundary=", 0), 0u);
    EXPECT_EQ(echoes[0].body.rfind("--" + type.substr(30) + "\r\n", 0), 0u);
    EXPECT_EQ(std::count_if(echoes[0].headers.begin(), echoes[0].headers.end(),
                            [](const auto& h) { return h.first == "Content-Length"; }),
              1);
    EXPECT_EQ(echoes[0].header("Content-Length"), std::to_string(echoes[0].body.size()));
    EXPECT_NE(echoes[0].body.find("name=\"k\""), std::string::npos);
    ASSERT_EQ(m_log.results().size(), 1u);
    EXPECT_EQ(m_log.results()[0].text, qv(echoes[0].body).toStd());  // the echoed body is the result
    EXPECT_EQ(echoes[1].method + " " + echoes[1].target, "GET /echo?b");
    EXPECT_TRUE(echoes[1].body.empty());
    EXPECT_EQ(echoes[0].clientPort, echoes[1].clientPort);  // the same kept-alive connection
}

}  // namespace
