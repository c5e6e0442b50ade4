#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "commlib/CPTBaseWorker.h"
#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"

namespace {

// A session that counts its destruction; its delegate counts what it hears.
class CountedSession : public CClientPerThread, public CCPTWorkDelegate {
public:
    explicit CountedSession(std::atomic<int>& destroyed) : m_destroyed(destroyed) { setDelegate(this); }
    ~CountedSession() override { ++m_destroyed; }
    void onClientRecv(int, int, const unsigned char*, int) override { ++m_destroyed; }

private:
    std::atomic<int>& m_destroyed;
};

class SocketClientMngrTest : public ::testing::Test {
protected:
    void SetUp() override { CSocketClientMngr::releaseInstance(); }
    void TearDown() override { CSocketClientMngr::releaseInstance(); }
    std::atomic<int> m_destroyed{0};
};

TEST_F(SocketClientMngrTest, IdsAreHandedOutOnceUnderConcurrencyAndRemoveDestroysOnlyTheSession)
{
    CSocketClientMngr* manager = CSocketClientMngr::getInstance();
    CCPTBaseWorker worker;
    auto* session = new CountedSession(m_destroyed);
    EXPECT_EQ(manager->addClient(session, &worker), 0);  // registers both in one step
    EXPECT_EQ(manager->findSession(0), session);
    EXPECT_EQ(manager->workerCount(), 1);
    worker.setState(CCPTBaseWorker::kStateFinished);
    manager->remove(0);
    // The session goes silently (its delegate, cleared before the stop, heard nothing); the worker stays.
    EXPECT_EQ(m_destroyed.load(), 1);
    EXPECT_EQ(manager->findSession(0), nullptr);
    EXPECT_EQ(worker.getState(), CCPTBaseWorker::kStateFinished);
    manager->remove(0);  // an unknown id changes nothing
    EXPECT_EQ(manager->sessionCount() + manager->workerCount(), 0);

    std::vector<std::vector<int>> ids(4);
    std::vector<std::thread> threads;
    for (auto& list : ids) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                list.push_back(manager->addClient(new CountedSession(m_destroyed), &worker));
            }
        });
    }
    std::set<int> all;
    for (size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        all.insert(ids[t].begin(), ids[t].end());
    }
    EXPECT_EQ(all.size(), 2000u);
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), 2000);
    EXPECT_EQ(manager->sessionCount(), 2000);
}

}  // namespace
