#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "commlib/CPTBaseWorker.h"
#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"

namespace {

// A session that reports its destruction and whether its delegate heard anything.
class CountedSession : public CClientPerThread {
public:
    explicit CountedSession(std::atomic<int>& destroyed) : m_destroyed(destroyed) {}
    ~CountedSession() override { ++m_destroyed; }

private:
    std::atomic<int>& m_destroyed;
};

class HearingDelegate : public CCPTWorkDelegate {
public:
    void onClientRecv(int, int, const unsigned char*, int) override { ++m_heard; }
    std::atomic<int> m_heard{0};
};

class SocketClientMngrTest : public ::testing::Test {
protected:
    void SetUp() override { CSocketClientMngr::releaseInstance(); }
    void TearDown() override { CSocketClientMngr::releaseInstance(); }
};

TEST_F(SocketClientMngrTest, IdsStartAtZeroAreHandedOutOnceUnderConcurrencyAndNeverReused)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    std::atomic<int> destroyed{0};
    CCPTBaseWorker worker;
    EXPECT_EQ(manager->allocateClientId(), 0);
    auto* session = new CountedSession(destroyed);
    // One step allocates the next id and registers both.
    EXPECT_EQ(manager->addClient(session, &worker), 1);
    EXPECT_EQ(manager->findSession(1), session);
    EXPECT_EQ(manager->findWorker(1), &worker);
    manager->remove(1);
    EXPECT_EQ(destroyed.load(), 1);

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
    EXPECT_EQ(*all.begin(), 2);
    EXPECT_EQ(*all.rbegin(), kThreads * kPerThread + 1);
}

TEST_F(SocketClientMngrTest, RegistrationReplacesAndRemoveDestroysTheSessionSilentlyButNotTheWorker)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    std::atomic<int> destroyed{0};
    HearingDelegate delegate;
    auto* first = new CountedSession(destroyed);
    auto* second = new CountedSession(destroyed);
    second->setDelegate(&delegate);
    manager->registerSession(7, first);
    manager->registerSession(7, first);  // the same session again: nothing is destroyed
    EXPECT_EQ(destroyed.load(), 0);
    manager->registerSession(7, second);
    EXPECT_EQ(manager->findSession(7), second);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(manager->findSession(8), nullptr);

    CCPTBaseWorker workerA;
    CCPTBaseWorker workerB;
    workerB.setState(CCPTBaseWorker::kStateAnswered);
    manager->registerWorker(7, &workerA);
    manager->registerWorker(7, &workerB);
    EXPECT_EQ(manager->findWorker(7), &workerB);

    manager->remove(7);
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(manager->findSession(7), nullptr);
    EXPECT_EQ(manager->findWorker(7), nullptr);
    EXPECT_EQ(delegate.m_heard.load(), 0);  // the delegate was cleared before the stop
    EXPECT_EQ(workerB.getState(), CCPTBaseWorker::kStateAnswered);
    manager->remove(7);  // an unknown id changes nothing
    EXPECT_EQ(manager->sessionCount() + manager->workerCount(), 0);
}

}  // namespace
