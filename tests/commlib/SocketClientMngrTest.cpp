#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "commlib/CPTBaseWorker.h"
#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"

namespace {

// A session that reports its destruction.
class CountedSession : public CClientPerThread {
public:
    explicit CountedSession(std::atomic<int>& destroyed) : m_destroyed(destroyed) {}
    ~CountedSession() override { ++m_destroyed; }

private:
    std::atomic<int>& m_destroyed;
};

class RecordingDelegate : public CCPTWorkDelegate {
public:
    void onClientRecv(int, int status, const unsigned char*, int) override
    {
        std::lock_guard lock(m_mutex);
        m_statuses.push_back(status);
    }
    std::vector<int> statuses()
    {
        std::lock_guard lock(m_mutex);
        return m_statuses;
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_statuses;
};

class SocketClientMngrTest : public ::testing::Test {
protected:
    void SetUp() override { CSocketClientMngr::releaseInstance(); }
    void TearDown() override { CSocketClientMngr::releaseInstance(); }
};

TEST_F(SocketClientMngrTest, IdsStartAtZeroRiseByOneAndAreNeverReused)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    EXPECT_EQ(manager->allocateClientId(), 0);
    EXPECT_EQ(manager->allocateClientId(), 1);
    CCPTBaseWorker worker;
    manager->registerWorker(1, &worker);
    manager->remove(1);
    EXPECT_EQ(manager->allocateClientId(), 2);
}

TEST_F(SocketClientMngrTest, ConcurrentAllocationsHandOutEveryIdOnce)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<int>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                ids[static_cast<size_t>(t)].push_back(manager->allocateClientId());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<int> all;
    for (const auto& list : ids) {
        all.insert(list.begin(), list.end());
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(*all.begin(), 0);
    EXPECT_EQ(*all.rbegin(), kThreads * kPerThread - 1);
}

TEST_F(SocketClientMngrTest, RegistrationFindsReplacesAndDestroysTheReplacedSession)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    std::atomic<int> destroyed{0};
    auto* first = new CountedSession(destroyed);
    auto* second = new CountedSession(destroyed);
    manager->registerSession(7, first);
    EXPECT_EQ(manager->findSession(7), first);
    EXPECT_EQ(manager->findSession(8), nullptr);
    manager->registerSession(7, first);  // the same session again: nothing is destroyed
    EXPECT_EQ(destroyed.load(), 0);
    manager->registerSession(7, second);
    EXPECT_EQ(manager->findSession(7), second);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(manager->sessionCount(), 1);

    CCPTBaseWorker workerA;
    CCPTBaseWorker workerB;
    manager->registerWorker(7, &workerA);
    manager->registerWorker(7, &workerB);
    EXPECT_EQ(manager->findWorker(7), &workerB);
    manager->remove(7);
    EXPECT_EQ(destroyed.load(), 2);
}

TEST_F(SocketClientMngrTest, RemoveDestroysTheSessionSilentlyAndForgetsTheWorkerWithoutDestroyingIt)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    std::atomic<int> destroyed{0};
    RecordingDelegate delegate;
    auto* session = new CountedSession(destroyed);
    session->setDelegate(&delegate);
    CCPTBaseWorker worker;
    worker.setState(CCPTBaseWorker::kStateAnswered);
    manager->registerSession(3, session);
    manager->registerWorker(3, &worker);

    manager->remove(3);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(manager->findSession(3), nullptr);
    EXPECT_EQ(manager->findWorker(3), nullptr);
    // The delegate was cleared before the stop: nobody hears of the session's end.
    EXPECT_TRUE(delegate.statuses().empty());
    // The worker is untouched and still usable.
    EXPECT_EQ(worker.getState(), CCPTBaseWorker::kStateAnswered);

    manager->remove(3);  // an unknown id changes nothing
    manager->remove(-5);
    EXPECT_EQ(manager->sessionCount(), 0);
    EXPECT_EQ(manager->workerCount(), 0);
}

TEST_F(SocketClientMngrTest, ReleasingTheInstanceDestroysRemainingSessionsAndRestartsIds)
{
    std::atomic<int> destroyed{0};
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    manager->allocateClientId();
    manager->registerSession(0, new CountedSession(destroyed));
    manager->registerSession(1, new CountedSession(destroyed));
    CSocketClientMngr::releaseInstance();
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(CSocketClientMngr::getInstance()->allocateClientId(), 0);
}

}  // namespace
