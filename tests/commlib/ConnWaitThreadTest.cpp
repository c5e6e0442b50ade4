#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "Loopback.h"
#include "commlib/ConnWaitThread.h"

namespace {

using ListenState = CConnWaitThread::ListenState;

// Counts what the listener hands over (and closes it); accepts or refuses as told.
class RecordingListener : public CConnWaitThread {
public:
    ~RecordingListener() override { stop(); }
    bool processClientBindBefore() override
    {
        ++m_before;
        return m_accept.load();
    }
    void processClientBind(qvplat::SocketHandle socket) override
    {
        qvplat::closeSocket(socket);
        ++m_bound;
    }
    void processStop(int code, const QvString& message) override { m_stops.emplace_back(code, message.toUtf8()); }
    // Starts on port (0: the OS chooses); the bound port, or -1.
    int startOn(int port)
    {
        return initStart(port) && waitUntilListening(5000) == ListenState::Listening ? getBoundPort() : -1;
    }
    bool boundCountReaches(int count)
    {
        return qvtest::waitUntil([&] { return m_bound.load() >= count; }, 5000);
    }

    std::atomic<bool> m_accept{true};
    std::atomic<int> m_before{0};
    std::atomic<int> m_bound{0};
    std::vector<std::pair<int, std::string>> m_stops;  // listening thread; read after stop
};

TEST(ConnWaitThreadNetTest, RefusedConnectionIsClosedAtOnceABurstIsHandedOverAndStopFreesThePort)
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
    constexpr int kBurst = 50;  // queued together before the first is taken
    std::vector<std::unique_ptr<qvtest::RawClient>> clients;
    for (int i = 0; i < kBurst; ++i) {
        clients.push_back(std::make_unique<qvtest::RawClient>(port));
        ASSERT_TRUE(clients.back()->isConnected());
    }
    ASSERT_TRUE(listener.boundCountReaches(kBurst));
    EXPECT_EQ(listener.m_before.load(), kBurst + 1);
    listener.stop();
    EXPECT_TRUE(listener.m_stops.empty());
    EXPECT_EQ(listener.getListenState(), ListenState::Ended);
    qvtest::RawClient late;  // the stopped listener has freed its port
    EXPECT_FALSE(late.connect(port));
}

}  // namespace
