#pragma once

// Helpers of the HTTP client's tests: text conversions, the fixture's byte pattern, environment
// variables set for one test, a recorder of client callbacks, and a test case with the fixture running.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HttpFixture.h"
#include "Loopback.h"
#include "foundation/QvString.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

using qvtest::kWaitMs;

inline QvString qv(const std::string& utf8)
{
    return QvString::fromUtf8(utf8);
}
inline std::string utf8(const QvString& text)
{
    return text.toUtf8();
}

// The bytes the fixture serves for /bytes and /slow.
inline std::string patternBytes(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return out;
}

// Sets (or with null removes) environment variables and restores them when it goes.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values)
    {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            m_old.push_back({name, old != nullptr, old != nullptr ? old : ""});
            value != nullptr ? setenv(name, value, 1) : unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        for (const Old& old : m_old) {
            old.had ? setenv(old.name.c_str(), old.value.c_str(), 1) : unsetenv(old.name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    struct Old {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Old> m_old;
};

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
        int32_t dataType = 0;
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
        Call call{dataType, std::u16string(reqInfo, size_t(reqInfoLength)), step,
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

    // Every call, or the final results (step 0) only.
    std::vector<Call> calls(bool resultsOnly = false) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Call> out;
        std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(out),
                     [&](const Call& c) { return !resultsOnly || c.step == 0; });
        return out;
    }
    std::vector<Call> results() const { return calls(true); }
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

// A loopback server for answers the fixture cannot give: every request gets answer; then, after holdMs
// of silence (cut short by the destructor), tail; then the connection closes.
class CannedServer {
public:
    explicit CannedServer(std::string answer, int holdMs = 0, std::string tail = "")
        : m_answer(std::move(answer)), m_tail(std::move(tail)), m_holdMs(holdMs), m_thread([this] { serve(); })
    {
    }
    ~CannedServer()
    {
        m_stop.set();
        m_thread.join();
    }
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_listener.port()) + path;
    }

private:
    void serve()
    {
        while (!m_stop.isSet()) {
            const qvplat::SocketHandle socket = m_listener.accept(100);
            if (socket == qvplat::kInvalidSocket) {
                continue;
            }
            std::string request;
            char buffer[4096];
            const auto limit = qvtest::Clock::now() + std::chrono::milliseconds(kWaitMs);
            while (request.find("\r\n\r\n") == std::string::npos && qvtest::Clock::now() < limit) {
                const int ready = qvplat::waitReadable(socket, 100);
                const long got = ready == 1 ? qvplat::recvSome(socket, buffer, sizeof buffer) : 0;
                if (ready < 0 || (ready == 1 && got <= 0)) {
                    break;
                }
                request.append(buffer, static_cast<size_t>(got));
            }
            send(socket, m_answer);
            m_stop.wait(m_holdMs);
            send(socket, m_tail);
            qvplat::closeSocket(socket);
        }
    }
    static void send(qvplat::SocketHandle socket, const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size() && qvplat::waitWritable(socket, 1000) == 1;) {
            const long n = qvplat::sendSome(socket, bytes.data() + sent, bytes.size() - sent);
            if (n < 0 && qvplat::lastSendError() != qvplat::SendError::WouldBlock) {
                return;
            }
            sent += static_cast<size_t>(n > 0 ? n : 0);
        }
    }

    qvtest::Listener m_listener;  // declared before the thread that uses it
    std::string m_answer;
    std::string m_tail;
    int m_holdMs;
    qvplat::Event m_stop{true, false};
    std::thread m_thread;
};
