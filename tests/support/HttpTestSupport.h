#pragma once

// Helpers of the HTTP client's tests: a text conversion, environment variables set for one test, a
// recorder of client callbacks, and a test case with the fixture running.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HttpFixture.h"
#include "Loopback.h"
#include "ScopedEnv.h"
#include "foundation/QvString.h"

using qvtest::kWaitMs;
using qvtest::patternBytes;  // what the fixture serves for /bytes and /slow

inline QvString qv(const std::string& utf8)
{
    return QvString::fromUtf8(utf8);
}

// Without any proxy variable, so that a failed send has no proxy to fall back on.
struct NoProxyEnvironment {
    ScopedEnv env{{"http_proxy", nullptr},
                  {"https_proxy", nullptr},
                  {"HTTPS_PROXY", nullptr},
                  {"all_proxy", nullptr},
                  {"ALL_PROXY", nullptr}};
};

// Collects the calls of a QvHttpCallback; pass the object as the context.
class CallbackLog {
public:
    struct Call {
        std::u16string reqInfo;
        int32_t step = 0;
        std::string data;
        bool hasResult = false;
        std::string bytes;    // the result of a File download
        std::u16string text;  // any other result
        int32_t resultLength = 0;
    };

    static int callback(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                        int32_t reqInfoLength, int32_t step, const unsigned char* data, uint32_t dataLength,
                        const void* result, int32_t resultLength)
    {
        auto* log = static_cast<CallbackLog*>(context);
        Call call{std::u16string(reqInfo, size_t(reqInfoLength)), step,
                  data != nullptr ? std::string(reinterpret_cast<const char*>(data), dataLength) : std::string(),
                  result != nullptr};
        call.resultLength = resultLength;
        if (result != nullptr && step == 0 && reqType == 0 && dataType == 3) {
            call.bytes.assign(static_cast<const char*>(result), size_t(resultLength));
        } else if (result != nullptr && step == 0) {
            call.text.assign(static_cast<const char16_t*>(result), size_t(resultLength));
        }
        std::lock_guard<std::mutex> lock(log->m_mutex);
        log->m_calls.push_back(call);
        log->m_changed.notify_all();
        return 0;
    }

    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // The final results (step 0) only.
    std::vector<Call> results() const
    {
        std::vector<Call> out = calls();
        std::erase_if(out, [](const Call& c) { return c.step != 0; });
        return out;
    }
    bool waitForResults(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
            return size_t(std::count_if(m_calls.begin(), m_calls.end(), [](const Call& c) { return c.step == 0; })) >=
                   count;
        });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;
};

// A test case with the fixture server running; the server is ended and reaped in TearDown.
class FixtureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_server.start(&error)) << error;
    }
    void TearDown() override { m_server.stop(); }

    std::string closedUrl(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_server.closedPort()) + path;
    }

    HttpFixture m_server;
};
