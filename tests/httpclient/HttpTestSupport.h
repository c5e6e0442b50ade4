#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpFixture.h"
#include "Loopback.h"
#include "foundation/QvString.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

using qvtest::kWaitMs;

inline std::u16string u16(const std::string& utf8)
{
    return QvString::fromUtf8(utf8).toStd();
}
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

// Restores one environment variable when the test ends.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
            m_had = true;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        if (m_had) {
            setenv(m_name.c_str(), m_old.c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Without any proxy variable, so that a failed send has no proxy to fall back on.
struct NoProxyEnvironment {
    ScopedEnv a{"http_proxy", nullptr};
    ScopedEnv b{"https_proxy", nullptr};
    ScopedEnv c{"HTTPS_PROXY", nullptr};
    ScopedEnv d{"all_proxy", nullptr};
    ScopedEnv e{"ALL_PROXY", nullptr};
};

// Collects the calls of a QvHttpCallback; pass the object as the context.
class CallbackLog {
public:
    struct Call {
        int32_t reqType = 0;
        int32_t dataType = 0;
        std::u16string reqInfo;
        int32_t step = 0;
        std::string data;
        bool hasResult = false;
        std::string bytes;    // the result as bytes (File downloads)
        std::u16string text;  // the result as text (everything else)
        int32_t resultLength = 0;
        std::thread::id thread;
    };

    static int callback(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                        int32_t reqInfoLength, int32_t step, const unsigned char* data, uint32_t dataLength,
                        const void* result, int32_t resultLength)
    {
        auto* log = static_cast<CallbackLog*>(context);
        Call call;
        call.reqType = reqType;
        call.dataType = dataType;
        call.reqInfo.assign(reqInfo, static_cast<size_t>(reqInfoLength));
        call.step = step;
        if (data != nullptr) {
            call.data.assign(reinterpret_cast<const char*>(data), dataLength);
        }
        call.hasResult = result != nullptr;
        call.resultLength = resultLength;
        if (result != nullptr && step == 0) {
            if (reqType == 0 && dataType == 3) {
                call.bytes.assign(static_cast<const char*>(result), static_cast<size_t>(resultLength));
            } else {
                call.text.assign(static_cast<const char16_t*>(result), static_cast<size_t>(resultLength));
            }
        }
        call.thread = std::this_thread::get_id();
        if (log->m_onCall) {
            log->m_onCall(call);
        }
        {
            std::lock_guard<std::mutex> lock(log->m_mutex);
            log->m_calls.push_back(call);
        }
        log->m_changed.notify_all();
        return 0;
    }

    // Runs on the pool thread for every call, before it is recorded.
    void onCall(std::function<void(const Call&)> hook) { m_onCall = std::move(hook); }

    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::vector<Call> results() const
    {
        std::vector<Call> out;
        for (const Call& c : calls()) {
            if (c.step == 0) {
                out.push_back(c);
            }
        }
        return out;
    }
    // Waits until count final results (step 0) have arrived.
    bool waitForResults(size_t count, int limitMs = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
            size_t n = 0;
            for (const Call& c : m_calls) {
                n += c.step == 0 ? 1 : 0;
            }
            return n >= count;
        });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;
    std::function<void(const Call&)> m_onCall;
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

    HttpFixture m_server;
};

// A loopback server for answers the fixture cannot give: every request gets answer ("{port}" becomes
// the server's own port); then, after holdMs of silence (cut short by the destructor), tail; then the
// connection closes.
class CannedServer {
public:
    explicit CannedServer(std::string answer, int holdMs = 0, std::string tail = "")
        : m_answer(std::move(answer)), m_tail(std::move(tail)), m_holdMs(holdMs)
    {
        const std::string port = std::to_string(m_listener.port());
        for (size_t at = m_answer.find("{port}"); at != std::string::npos; at = m_answer.find("{port}")) {
            m_answer.replace(at, 6, port);
        }
        m_thread = std::thread([this] { serve(); });
    }
    ~CannedServer()
    {
        m_stop.set();
        m_thread.join();
    }
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    int port() const { return m_listener.port(); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }
    int requests() const { return m_requests.load(); }

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
            ++m_requests;
            send(socket, m_answer);
            if (m_holdMs > 0) {
                m_stop.wait(m_holdMs);
            }
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

    qvtest::Listener m_listener;
    std::string m_answer;
    std::string m_tail;
    int m_holdMs;
    std::atomic<int> m_requests{0};
    qvplat::Event m_stop{true, false};
    std::thread m_thread;
};
