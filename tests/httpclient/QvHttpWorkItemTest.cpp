#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "HttpTestSupport.h"
#include "TempDir.h"
#include "httpclient/QvHttpConnection.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/HttpTransport.h"

namespace {

// The boundary a multipart request announced in its Content-Type header.
std::string announcedBoundary(const HttpFixture::Received& r)
{
    const std::string type = r.header("Content-Type");
    const std::string key = "boundary=";
    const size_t at = type.find(key);
    return at == std::string::npos ? std::string() : type.substr(at + key.size(), 16);
}

class QvHttpWorkItemNetTest : public FixtureTest {
protected:
    CallbackLog m_log;
};

TEST_F(QvHttpWorkItemNetTest, FormPostSendsTheExactMultipartBytes)
{
    const std::string input = "{\"appname\":\"QvWebServer\",\"appos\":\"Window\"}\n";
    QvHttpForm form;
    form[qv("cmd")].set(0, qv("appfileurl"));
    form[qv("input")].set(1, qv(input));
    QvHttpWorkItem item(7);
    item.setFormRequest(qv(m_server.url("/text?body=" + urlEncode("{\"msgcode\":\"0000\"}"))), qv(""), 1, 4, form,
                        qv("tag"), &CallbackLog::callback, &m_log);
    EXPECT_TRUE(item.execute());
    EXPECT_FALSE(item.isBusy());

    const auto received = m_server.received("/text");
    ASSERT_EQ(received.size(), 1u);
    const HttpFixture::Received& r = received[0];
    EXPECT_EQ(r.method, "POST");
    const std::string b = announcedBoundary(r);
    ASSERT_EQ(b.size(), 16u);
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=" + b);
    const std::string expected = "--" + b + "\r\nContent-Disposition: form-data; name=\"cmd\"\r\n\r\nappfileurl" +
                                 "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"input\"\r\n\r\n" + input +
                                 "\r\n--" + b + "--\r\n";
    EXPECT_EQ(r.body, expected);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(std::count_if(r.headers.begin(), r.headers.end(),
                            [](const auto& h) { return h.first == "Content-Length" || h.first == "content-length"; }),
              1);

    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, u"{\"msgcode\":\"0000\"}");
    EXPECT_EQ(results[0].reqType, 1);
    EXPECT_EQ(results[0].dataType, 4);
    EXPECT_EQ(results[0].reqInfo, item.getReqInfo().toStd());
    EXPECT_NE(results[0].reqInfo.find(u"\"reqidx\":7,"), std::u16string::npos);
    EXPECT_NE(results[0].reqInfo.find(u"\"onlyreturn\":\"tag\""), std::u16string::npos);
}

TEST_F(QvHttpWorkItemNetTest, FilePostUploadsEveryReadableFile)
{
    TempDir dir("qvitem");
    const auto first = dir.write("first.bin", patternBytes(3000));
    const auto second = dir.write("second.txt", "second");
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/echo")), qv(""), 1, 3, nullptr, 0, qv(""), &CallbackLog::callback, &m_log);
    item.addFile(qv(first.string()));
    item.addFile(qv(second.string()));
    EXPECT_TRUE(item.execute());

    const auto received = m_server.received("/echo");
    ASSERT_EQ(received.size(), 1u);
    const std::string b = announcedBoundary(received[0]);
    const std::string head = "Content-Type: application/octect-stream\r\n\r\n";
    EXPECT_EQ(received[0].body, "--" + b +
                                    "\r\nContent-Disposition: form-data; name=\"file[]\"; filename=\"first.bin\"\r\n" +
                                    head + patternBytes(3000) + "\r\n--" + b +
                                    "\r\nContent-Disposition: form-data; name=\"file[]\"; filename=\"second.txt\"\r\n" +
                                    head + "second" + "\r\n--" + b + "--\r\n");
}

TEST_F(QvHttpWorkItemNetTest, PlainPostSendsDataWithTheCallersHeaders)
{
    const std::string json = "{\"a\":1}";
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/echo")), qv("Content-Type: application/json"), 1, 1,
                    reinterpret_cast<const unsigned char*>(json.data()), static_cast<uint32_t>(json.size()), qv(""),
                    &CallbackLog::callback, &m_log);
    EXPECT_TRUE(item.execute());
    const auto received = m_server.received("/echo");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].body, json);
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, u"{\"a\":1}");
    EXPECT_EQ(results[0].data, json);  // the item's data travels with every callback
}

TEST_F(QvHttpWorkItemNetTest, PutAndDeleteUseTheirVerbs)
{
    const std::string data = "payload";
    QvHttpWorkItem put(0);
    put.setRequest(qv(m_server.url("/echo")), qv("X-Put: 1"), 2, 0, reinterpret_cast<const unsigned char*>(data.data()),
                   static_cast<uint32_t>(data.size()), qv(""), &CallbackLog::callback, &m_log);
    EXPECT_TRUE(put.execute());
    QvHttpWorkItem del(1);
    del.setRequest(qv(m_server.url("/text?body=gone")), qv(""), 3, 0, nullptr, 0, qv(""), &CallbackLog::callback,
                   &m_log);
    EXPECT_TRUE(del.execute());

    const auto received = m_server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].method, "PUT");
    EXPECT_EQ(received[0].body, data);
    EXPECT_EQ(received[0].header("X-Put"), "1");
    EXPECT_EQ(received[1].method, "DELETE");
    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].text, u"payload");
    EXPECT_EQ(results[1].text, u"gone");
}

TEST_F(QvHttpWorkItemNetTest, GetStringGivesTheDecodedText)
{
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/text?charset=UTF-8&body=" + urlEncode("\xED\x95\x9C\xEA\xB8\x80"))), qv(""), 0, 0,
                    nullptr, 0, qv(""), &CallbackLog::callback, &m_log);
    EXPECT_TRUE(item.execute());
    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, u"\ud55c\uae00");
    EXPECT_EQ(results[0].resultLength, 2);
}

TEST_F(QvHttpWorkItemNetTest, DownloadGivesTheAnnouncedBytesAndNothingWithoutContentLength)
{
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/bytes?size=50000")), qv(""), 0, 3, nullptr, 0, qv(""), &CallbackLog::callback,
                    &m_log);
    EXPECT_TRUE(item.execute());

    QvHttpWorkItem chunked(1);
    chunked.setRequest(qv(m_server.url("/bytes?size=5000&mode=chunked")), qv(""), 0, 3, nullptr, 0, qv(""),
                       &CallbackLog::callback, &m_log);
    EXPECT_TRUE(chunked.execute());

    const auto results = m_log.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].bytes, patternBytes(50000));
    EXPECT_EQ(results[0].resultLength, 50000);
    EXPECT_EQ(results[1].resultLength, 0);
    EXPECT_TRUE(results[1].bytes.empty());
}

TEST_F(QvHttpWorkItemNetTest, ProgressArrivesAsStepOneWithTheWholePercent)
{
    QvHttpWorkItem item(3);
    item.setRequest(qv(m_server.url("/slow?size=9000&chunks=3&delay_ms=30")), qv(""), 0, 3, nullptr, 0, qv(""),
                    &CallbackLog::callback, &m_log);
    EXPECT_TRUE(item.execute());
    const auto calls = m_log.calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls.back().step, 0);
    int last = -1;
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        EXPECT_EQ(calls[i].step, 1);
        EXPECT_FALSE(calls[i].hasResult);
        EXPECT_EQ(calls[i].reqInfo, calls.back().reqInfo);
        EXPECT_GE(calls[i].resultLength, last);
        last = calls[i].resultLength;
    }
    EXPECT_EQ(calls.front().resultLength, 0);
    EXPECT_EQ(last, 100);
}

TEST_F(QvHttpWorkItemNetTest, RefusedConnectionReachesTheCallbackAsAnEnvelopeWithStepZero)
{
    NoProxyEnvironment noProxy;
    QvHttpWorkItem item(0);
    QvHttpForm form;
    form[qv("cmd")].set(0, qv("appverchk"));
    item.setFormRequest(qv("http://127.0.0.1:" + std::to_string(m_server.closedPort()) + "/appversion"), qv(""), 1, 4,
                        form, qv(""), &CallbackLog::callback, &m_log);
    EXPECT_FALSE(item.execute());
    const auto calls = m_log.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].step, 0);
    EXPECT_EQ(calls[0].text,
              u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"-994\", \"nextflag\":\"L\"}");
    EXPECT_EQ(item.getResultText().toStd(), calls[0].text);
}

TEST_F(QvHttpWorkItemNetTest, SessionThatCannotOpenReachesTheCallbackAsUrlOpenError)
{
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/text")), qv(""), 0, 0, nullptr, 0, qv(""), &CallbackLog::callback, &m_log);
    qvplat::setHttpSessionOpenFailureForTesting(true);
    const bool completed = item.execute();
    qvplat::setHttpSessionOpenFailureForTesting(false);
    EXPECT_FALSE(completed);
    const auto calls = m_log.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].step, 0);
    EXPECT_EQ(calls[0].text,
              u"{\"lang\":\"kr\", \"msg\":\"URL Open Error!\", \"msgcode\":\"-997\", \"nextflag\":\"L\"}");
    EXPECT_TRUE(m_server.received().empty());
}

TEST_F(QvHttpWorkItemNetTest, WithoutCallbackOrContextNothingIsReported)
{
    QvHttpWorkItem noContext(0);
    noContext.setRequest(qv(m_server.url("/text")), qv(""), 0, 0, nullptr, 0, qv(""), &CallbackLog::callback, nullptr);
    EXPECT_TRUE(noContext.execute());
    QvHttpWorkItem unknownType(1);
    unknownType.setRequest(qv(m_server.url("/text")), qv(""), 9, 0, nullptr, 0, qv(""), &CallbackLog::callback, &m_log);
    EXPECT_FALSE(unknownType.execute());
    EXPECT_TRUE(m_log.calls().empty());
    EXPECT_EQ(m_server.received().size(), 1u);  // the unknown type sent nothing
}

TEST_F(QvHttpWorkItemNetTest, PreparingAgainKeepsTheConnectionAndItsSession)
{
    QvHttpWorkItem item(0);
    const QvString url = qv(m_server.url("/text?body=a"));
    item.setRequest(url, qv(""), 0, 0, nullptr, 0, qv(""), nullptr, nullptr);
    QvHttpConnection* connection = item.getConnection();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(item.execute());
    const void* session = connection->getSessionId();

    item.setRequest(url, qv(""), 0, 0, nullptr, 0, qv(""), nullptr, nullptr);
    EXPECT_EQ(item.getConnection(), connection);
    ASSERT_TRUE(item.execute());
    EXPECT_EQ(connection->getSessionId(), session);

    // A new URL goes to the same connection, whose body from the last post is dropped.
    const std::string data = "old body";
    item.setRequest(qv(m_server.url("/echo")), qv(""), 1, 0, reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<uint32_t>(data.size()), qv(""), nullptr, nullptr);
    QvHttpForm form;
    form[qv("k")].set(0, qv("v"));
    item.setFormRequest(qv(m_server.url("/echo")), qv(""), 1, 4, form, qv(""), nullptr, nullptr);
    ASSERT_TRUE(item.execute());
    item.setRequest(qv(m_server.url("/echo?second")), qv(""), 0, 0, nullptr, 0, qv(""), nullptr, nullptr);
    EXPECT_EQ(item.getConnection(), connection);
    EXPECT_EQ(utf8(connection->getUrl()), m_server.url("/echo?second"));
    ASSERT_TRUE(item.execute());
    EXPECT_EQ(connection->getSessionId(), session);

    const auto echoes = m_server.received("/echo");
    ASSERT_EQ(echoes.size(), 2u);
    EXPECT_EQ(echoes[1].method, "GET");
    EXPECT_TRUE(echoes[1].body.empty());
    const auto texts = m_server.received("/text");
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].clientPort, texts[1].clientPort);
}

TEST_F(QvHttpWorkItemNetTest, DownloadWhoseRedirectLeadsNowhereReportsTheFailure)
{
    NoProxyEnvironment noProxy;
    const std::string closed = "http://127.0.0.1:" + std::to_string(m_server.closedPort()) + "/setup.exe";
    QvHttpWorkItem item(0);
    item.setRequest(qv(m_server.url("/text?status=302&location=" + urlEncode(closed))), qv(""), 0, 3, nullptr, 0,
                    qv(""), &CallbackLog::callback, &m_log);
    EXPECT_FALSE(item.execute());
    EXPECT_EQ(m_log.results().size(), 1u);
    EXPECT_EQ(item.getResultText().toStd(),
              u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"-994\", \"nextflag\":\"L\"}");
}

}  // namespace
