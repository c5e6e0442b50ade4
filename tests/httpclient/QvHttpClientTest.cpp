#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestSupport.h"
#include "httpclient/QvHttpClient.h"

namespace {

// The value of a member of a request description (quoted or not).
std::string member(const std::u16string& reqInfo, const std::string& name)
{
    const std::string info = QvString(reqInfo).toUtf8();
    size_t begin = info.find("\"" + name + "\":") + name.size() + 3;
    begin += info[begin] == '"' ? 1 : 0;
    return info.substr(begin, info.find_first_of(",\"}", begin) - begin);
}

class QvHttpClientNetTest : public FixtureTest {
protected:
    void TearDown() override
    {
        m_server.openGate("hold");
        EXPECT_TRUE(QvHttpClient::getInstance().waitUntilIdle(kWaitMs)) << "requests still running at the end";
        QvHttpClient::releaseInstance();
        QvHttpClient::setDownloadCallback(nullptr);
        FixtureTest::TearDown();
    }

    int post(const std::string& path = "", const std::string& onlyReturn = "")
    {
        QvHttpForm form;
        form[qv("cmd")].set(0, qv("appverchk"));
        return client().postForm(qv(path), qv(""), form, qv(onlyReturn), &CallbackLog::callback, &m_log);
    }
    int download(std::initializer_list<std::string> names, const std::string& onlyReturn = "")
    {
        QvStringArray list;
        for (const std::string& n : names) {
            list.add(qv(n));
        }
        return client().GetFileDownload(list, qv(""), qv(onlyReturn), &m_log);
    }
    QvHttpClient& client() { return QvHttpClient::getInstance(); }

    CallbackLog m_log;
};

TEST_F(QvHttpClientNetTest, RequestsGoBelowTheirSessionsBaseUrlAndNeedNames)
{
    QvHttpClient::setDownloadCallback(&CallbackLog::callback);
    EXPECT_EQ(client().addSession(1, QvString(u"")), -1);
    EXPECT_EQ(client().addSession(1, QvString()), -1);
    EXPECT_EQ(post("appversion"), -1);
    EXPECT_EQ(client().addSession(1, qv("http://127.0.0.1:1")), 1);
    EXPECT_EQ(download({"setup/a.exe"}), -1);  // session 1 is not session 3
    EXPECT_EQ(client().addSession(3, qv(m_server.url(""))), 1);
    EXPECT_EQ(download({}), -1);
    EXPECT_EQ(client().itemCount(), 0);

    // An empty path posts to the base URL itself; a new base URL replaces the old one.
    EXPECT_EQ(client().addSession(1, qv(m_server.url("/svc"))), 1);
    EXPECT_EQ(post(""), 0);
    EXPECT_EQ(post("appversion"), 1);
    // Empty names are skipped and leave their item idle; the index is that of the last item.
    EXPECT_EQ(download({"bytes?size=1000", "", "bytes?size=20000"}, "dl"), 4);
    ASSERT_TRUE(m_log.waitForResults(4));
    std::map<std::string, std::string> byIndex;
    for (const auto& result : m_log.results()) {
        byIndex[member(result.reqInfo, "reqidx")] = result.bytes + QvString(result.text).toUtf8();
    }
    EXPECT_EQ(byIndex, (std::map<std::string, std::string>{
                           {"0", "ok"}, {"1", "ok"}, {"2", patternBytes(1000)}, {"4", patternBytes(20000)}}));
    std::set<std::string> targets;
    for (const auto& r : m_server.received()) {
        targets.insert(r.method + " " + r.target);
    }
    EXPECT_EQ(targets, (std::set<std::string>{"POST /svc", "POST /svc/appversion", "GET /bytes?size=1000",
                                              "GET /bytes?size=20000"}));
    EXPECT_EQ(download({""}), -1);
}

// Items are new up to index 256; then a form post finds none free, a download waits for one, and the
// lowest idle item is handed out first.
TEST_F(QvHttpClientNetTest, DownloadWaitsForAFreeItemWhenAllAreTakenAndTheLowestIdleComesFirst)
{
    QvHttpClient::setDownloadCallback(&CallbackLog::callback);
    client().addSession(1, qv(m_server.url("/gate?name=hold")));
    client().addSession(3, qv(m_server.url("")));
    for (int i = 0; i <= 256; ++i) {
        ASSERT_EQ(post(), i);
    }
    EXPECT_EQ(post(), -1);  // a form post does not wait

    std::future<int32_t> pending = std::async(std::launch::async, [&] { return download({"bytes?size=64"}, "late"); });
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    m_server.openGate("hold");
    ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    const int32_t index = pending.get();
    EXPECT_TRUE(index >= 0 && index <= 256) << index;
    ASSERT_TRUE(m_log.waitForResults(258));
    const auto results = m_log.results();
    const auto late = std::find_if(results.begin(), results.end(),
                                   [](const auto& r) { return member(r.reqInfo, "onlyreturn") == "late"; });
    ASSERT_NE(late, results.end());
    EXPECT_EQ(member(late->reqInfo, "reqidx"), std::to_string(index));
    EXPECT_EQ(late->bytes, patternBytes(64));
    ASSERT_TRUE(client().waitUntilIdle(kWaitMs));
    EXPECT_EQ(client().itemCount(), 257);
    EXPECT_EQ(post(), 0);
}

TEST_F(QvHttpClientNetTest, TheReturnedIndexIdentifiesTheAnswerEvenWithConcurrentCallers)
{
    client().addSession(1, qv(m_server.url("/text?body=x")));
    constexpr int kThreads = 4;
    constexpr int kPerThread = 40;
    std::mutex mutex;
    std::map<std::string, int> returned;  // onlyreturn tag -> index returned to its caller
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                int index = -1;
                while ((index = post("", tag)) < 0) {
                    client().waitUntilIdle(kWaitMs);
                }
                std::lock_guard<std::mutex> lock(mutex);
                returned[tag] = index;
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    ASSERT_TRUE(m_log.waitForResults(kThreads * kPerThread));
    const auto results = m_log.results();
    ASSERT_EQ(results.size(), size_t(kThreads * kPerThread));
    for (const auto& result : results) {
        const std::string tag = member(result.reqInfo, "onlyreturn");
        ASSERT_EQ(returned.count(tag), 1u) << tag;
        EXPECT_EQ(member(result.reqInfo, "reqidx"), std::to_string(returned[tag])) << tag;
    }
}

// Cached keep-alive connections go once their item has been idle for the (shortened) idle time.
TEST_F(QvHttpClientNetTest, IdleItemsFreeTheirConnectionsSoDescriptorsReturnToTheirBaseline)
{
    QvHttpClient::releaseInstance();
    QvHttpClient::setIdleCloseForTesting(300);
    client().addSession(1, qv(m_server.url("/text?body=x")));
    const size_t before = qvtest::countEntries("/proc/self/fd");
    for (int i = 0; i < 8; ++i) {
        ASSERT_GE(post(), 0);
    }
    ASSERT_TRUE(m_log.waitForResults(8));
    ASSERT_TRUE(client().waitUntilIdle(kWaitMs));
    EXPECT_GT(qvtest::countEntries("/proc/self/fd"), before);  // the connections are kept for reuse
    EXPECT_TRUE(qvtest::waitUntil([&] { return qvtest::countEntries("/proc/self/fd") == before; }));
    EXPECT_EQ(post(), 8);  // a freed item works again with a new session
    EXPECT_TRUE(m_log.waitForResults(9));
    QvHttpClient::setIdleCloseForTesting(0);
}

// A thousand requests take a while: labelled soak, left out of the quick run.
class QvHttpClientSoakTest : public QvHttpClientNetTest {};

TEST_F(QvHttpClientSoakTest, AThousandRequestsLeaveNoThreadsOrDescriptorsBehind)
{
    client().addSession(1, qv(m_server.url("/text?body=done&conn=close")));
    size_t sent = 0;
    auto sendAll = [&](int count) {
        for (int i = 0; i < count; ++i, ++sent) {
            while (post() < 0) {
                ASSERT_TRUE(client().waitUntilIdle(kWaitMs));  // every item is taken: let the queue drain
            }
        }
        ASSERT_TRUE(m_log.waitForResults(sent));
        ASSERT_TRUE(client().waitUntilIdle(kWaitMs));
    };
    sendAll(300);  // until the whole table exists, so every item's session is open before counting
    EXPECT_EQ(client().itemCount(), 257);
    const size_t threads = qvtest::countEntries("/proc/self/task");
    const size_t descriptors = qvtest::countEntries("/proc/self/fd");
    sendAll(1000);
    EXPECT_EQ(qvtest::countEntries("/proc/self/task"), threads);
    EXPECT_EQ(qvtest::countEntries("/proc/self/fd"), descriptors);
    for (const auto& result : m_log.results()) {
        ASSERT_EQ(result.text, u"done");
    }
    QvHttpClient::releaseInstance();
    EXPECT_EQ(qvtest::countEntries("/proc/self/task"), threads - 5);  // the dispatcher and the four workers
}

}  // namespace
