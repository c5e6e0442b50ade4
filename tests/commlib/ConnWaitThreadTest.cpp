#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Loopback.h"
#include "commlib/ConnWaitThread.h"

namespace {

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
        std::lock_guard lock(m_mutex);
        m_sockets.push_back(socket);
        m_changed.notify_all();
    }
    void processStop(int code, const QvString& message) override
    {
        std::lock_guard lock(m_mutex);
        m_stops.emplace_back(code, message.toUtf8());
    }
    // The next handed-over socket (owned by the caller), or invalid after 5 s.
    qvplat::SocketHandle takeSocket()
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return !m_sockets.empty(); })) {
            return qvplat::kInvalidSocket;
        }
        const qvplat::SocketHandle socket = m_sockets.front();
        m_sockets.pop_front();
        return socket;
    }
    // Starts on port (0: the OS chooses); the bound port, or -1.
    int startOn(int port)
    {
        return initStart(port) && waitUntilListening(5000) == ListenState::Listening ? getBoundPort() : -1;
    }

    std::atomic<bool> m_accept{true};
    std::atomic<int> m_before{0};
    std::vector<std::pair<int, std::string>> m_stops;  // read after stop

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<qvplat::SocketHandle> m_sockets;
};

TEST(ConnWaitThreadNetTest, EveryConnectionOfABurstIsHandedOverAndCarriesData)
{
    RecordingListener listener;
    const int port = listener.startOn(0);
    ASSERT_GT(port, 0);
    constexpr int kBurst = 50;  // queued together, taken in one round of accepts
    std::vector<std::unique_ptr<qvtest::RawClient>> clients;
    for (int i = 0; i < kBurst; ++i) {
        clients.push_back(std::make_unique<qvtest::RawClient>(port));
        ASSERT_TRUE(clients.back()->isConnected());
    }
    for (int i = 0; i < kBurst; ++i) {
        const qvplat::SocketHandle served = listener.takeSocket();
        ASSERT_NE(served, qvplat::kInvalidSocket) << i;
        qvplat::closeSocket(served);
    }
    EXPECT_EQ(listener.m_before.load(), kBurst);

    qvtest::RawClient client(port);
    ASSERT_TRUE(client.sendAll("ping"));
    const qvplat::SocketHandle served = listener.takeSocket();
    ASSERT_EQ(qvplat::waitReadable(served, 5000), 1);
    char buffer[8] = {};
    EXPECT_EQ(qvplat::recvSome(served, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    qvplat::closeSocket(served);
    listener.stop();
    EXPECT_TRUE(listener.m_stops.empty());
}

TEST(ConnWaitThreadNetTest, RefusedConnectionIsClosedAtOnceAndTheLoopGoesOn)
{
    RecordingListener listener;
    listener.m_accept = false;
    const int port = listener.startOn(0);
    ASSERT_GT(port, 0);
    qvtest::RawClient refused(port);
    const qvtest::ReadResult result = refused.readToEnd(5000);
    EXPECT_TRUE(result.closed || result.reset);
    EXPECT_TRUE(result.bytes.empty());

    listener.m_accept = true;
    qvtest::RawClient accepted(port);
    const qvplat::SocketHandle served = listener.takeSocket();
    EXPECT_NE(served, qvplat::kInvalidSocket);
    qvplat::closeSocket(served);
}

TEST(ConnWaitThreadNetTest, PortHeldByAnotherListenerFailsAtBindAndLeavesRunningSet)
{
    qvtest::Listener holder;
    ASSERT_TRUE(holder.isValid());
    RecordingListener listener;
    ASSERT_TRUE(listener.initStart(holder.port()));
    EXPECT_EQ(listener.waitUntilListening(5000), ListenState::SetupFailed);
    EXPECT_TRUE(listener.isRunning());  // run control shows the server as running until stopped
    listener.stop();
    EXPECT_FALSE(listener.isRunning());
    ASSERT_EQ(listener.m_stops.size(), 1u);
    EXPECT_EQ(listener.m_stops[0], std::make_pair(-2, std::string("Socket Bind Failed!!")));
    qvtest::RawClient client(holder.port());  // the holder still owns the port
    EXPECT_TRUE(client.isConnected());
}

TEST(ConnWaitThreadNetTest, StoppedListenerFreesItsPortWithinAboutOnePollAndStartsAgainOnIt)
{
    RecordingListener listener;
    const int port = listener.startOn(0);
    ASSERT_GT(port, 0);
    const auto start = qvtest::Clock::now();
    listener.stop();
    EXPECT_LT(qvtest::secondsSince(start), 3.0);  // one 1 s poll plus generous scheduling room
    EXPECT_EQ(listener.getListenState(), ListenState::Ended);
    qvtest::RawClient refused;
    EXPECT_FALSE(refused.connect(port));

    ASSERT_EQ(listener.startOn(port), port);
    qvtest::RawClient again(port);
    const qvplat::SocketHandle served = listener.takeSocket();
    EXPECT_NE(served, qvplat::kInvalidSocket);
    qvplat::closeSocket(served);
    EXPECT_FALSE(listener.initStart(port));  // a second start while the listener lives
}

}  // namespace
