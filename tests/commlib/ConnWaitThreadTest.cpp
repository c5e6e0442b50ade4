#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "Loopback.h"
#include "commlib/ConnWaitThread.h"

namespace {

using qvtest::Clock;
using ListenState = CConnWaitThread::ListenState;

// Records what the listener hands over; accepts or refuses as told.
class RecordingListener : public CConnWaitThread {
public:
    ~RecordingListener() override
    {
        stop();
        for (qvplat::SocketHandle socket : m_sockets) {
            qvplat::closeSocket(socket);
        }
    }

    bool processClientBindBefore() override
    {
        ++m_before;
        return m_accept.load();
    }
    void processClientBind(qvplat::SocketHandle socket) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_sockets.push_back(socket);
        }
        m_changed.notify_all();
    }
    void processStop(int code, const QvString& message) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stops.emplace_back(code, message.toUtf8());
        }
        m_changed.notify_all();
    }

    // The next handed-over socket (owned by the caller), or invalid after timeoutMs.
    qvplat::SocketHandle takeSocket(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_sockets.empty(); })) {
            return qvplat::kInvalidSocket;
        }
        const qvplat::SocketHandle socket = m_sockets.front();
        m_sockets.pop_front();
        return socket;
    }
    std::vector<std::pair<int, std::string>> stops()
    {
        std::lock_guard lock(m_mutex);
        return m_stops;
    }

    std::atomic<bool> m_accept{true};
    std::atomic<int> m_before{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<qvplat::SocketHandle> m_sockets;
    std::vector<std::pair<int, std::string>> m_stops;
};

// Starts the listener on port 0; the port the OS chose, or -1.
int startOnFreePort(RecordingListener& listener)
{
    if (!listener.initStart(0) || listener.waitUntilListening(5000) != ListenState::Listening) {
        return -1;
    }
    return listener.getBoundPort();
}

TEST(ConnWaitThreadNetTest, AcceptedConnectionIsHandedOverAndCarriesData)
{
    RecordingListener listener;
    const int port = startOnFreePort(listener);
    ASSERT_GT(port, 0);
    EXPECT_TRUE(listener.isRunning());

    qvtest::RawClient client(port);
    ASSERT_TRUE(client.isConnected());
    const qvplat::SocketHandle served = listener.takeSocket(5000);
    ASSERT_NE(served, qvplat::kInvalidSocket);
    EXPECT_EQ(listener.m_before.load(), 1);

    ASSERT_TRUE(client.sendAll("ping"));
    ASSERT_EQ(qvplat::waitReadable(served, 5000), 1);
    char buffer[8] = {};
    EXPECT_EQ(qvplat::recvSome(served, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    qvplat::closeSocket(served);
    EXPECT_TRUE(listener.stops().empty());
}

TEST(ConnWaitThreadNetTest, RefusedConnectionIsClosedAtOnceAndTheLoopGoesOn)
{
    RecordingListener listener;
    listener.m_accept = false;
    const int port = startOnFreePort(listener);
    ASSERT_GT(port, 0);

    qvtest::RawClient refused(port);
    ASSERT_TRUE(refused.isConnected());
    const qvtest::ReadResult result = refused.readToEnd(5000);
    EXPECT_TRUE(result.closed || result.reset);
    EXPECT_TRUE(result.bytes.empty());
    EXPECT_FALSE(result.timedOut);

    listener.m_accept = true;
    qvtest::RawClient accepted(port);
    ASSERT_TRUE(accepted.isConnected());
    const qvplat::SocketHandle served = listener.takeSocket(5000);
    EXPECT_NE(served, qvplat::kInvalidSocket);
    qvplat::closeSocket(served);
    EXPECT_EQ(listener.m_before.load(), 2);
}

TEST(ConnWaitThreadNetTest, PortHeldByAnotherListenerFailsAtBindAndLeavesRunningSet)
{
    qvtest::Listener holder;
    ASSERT_TRUE(holder.isValid());
    RecordingListener listener;
    ASSERT_TRUE(listener.initStart(holder.port()));
    EXPECT_EQ(listener.waitUntilListening(5000), ListenState::SetupFailed);

    const auto stops = listener.stops();
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].first, -2);
    EXPECT_EQ(stops[0].second, "Socket Bind Failed!!");
    // Run control keeps showing the server as running until it is stopped.
    EXPECT_TRUE(listener.isRunning());
    listener.stop();
    EXPECT_FALSE(listener.isRunning());
    // The holder still owns the port.
    qvtest::RawClient client(holder.port());
    EXPECT_TRUE(client.isConnected());
}

TEST(ConnWaitThreadNetTest, StoppingAnIdleListenerReturnsWithinAboutOnePoll)
{
    RecordingListener listener;
    const int port = startOnFreePort(listener);
    ASSERT_GT(port, 0);
    const auto start = Clock::now();
    listener.stop();
    const double seconds = qvtest::secondsSince(start);
    EXPECT_LT(seconds, 3.0);  // one 1 s poll plus generous scheduling room
    EXPECT_FALSE(listener.isRunning());
    EXPECT_EQ(listener.getListenState(), ListenState::Ended);
    // The port is free again.
    qvtest::RawClient client;
    EXPECT_FALSE(client.connect(port));
}

TEST(ConnWaitThreadNetTest, ListenerCanBeStartedAgainOnTheSamePortAfterAStop)
{
    RecordingListener listener;
    const int port = startOnFreePort(listener);
    ASSERT_GT(port, 0);
    {
        qvtest::RawClient client(port);
        qvplat::closeSocket(listener.takeSocket(5000));
    }
    listener.stop();
    ASSERT_TRUE(listener.initStart(port));
    ASSERT_EQ(listener.waitUntilListening(5000), ListenState::Listening);
    qvtest::RawClient again(port);
    ASSERT_TRUE(again.isConnected());
    const qvplat::SocketHandle served = listener.takeSocket(5000);
    EXPECT_NE(served, qvplat::kInvalidSocket);
    qvplat::closeSocket(served);
    // A second start while the listener lives is refused.
    EXPECT_FALSE(listener.initStart(port));
}

}  // namespace
