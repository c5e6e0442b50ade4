#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "Loopback.h"
#include "commlib/CPTBaseWorker.h"
#include "platform/TimerService.h"

namespace {

using qvtest::Clock;

class TickingWorker : public CCPTBaseWorker {
public:
    void onTimerCheck() override
    {
        std::lock_guard lock(m_mutex);
        m_ticks.push_back(Clock::now());
    }
    std::vector<Clock::time_point> ticks()
    {
        std::lock_guard lock(m_mutex);
        return m_ticks;
    }

private:
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_ticks;
};

// Destroys itself on its second tick, as a web worker does after the close.
class SelfDestroyingWorker : public CCPTBaseWorker {
public:
    explicit SelfDestroyingWorker(std::atomic<bool>& destroyed) : m_destroyed(destroyed) {}
    ~SelfDestroyingWorker() override { m_destroyed = true; }
    void onTimerCheck() override
    {
        if (++m_ticks == 2) {
            delete this;
        }
    }

private:
    std::atomic<bool>& m_destroyed;
    int m_ticks = 0;
};

TEST(CPTBaseWorkerTest, TimerFirstTicksAfterOneSecondThenKeepsTicking)
{
    TickingWorker worker;
    const auto bound = Clock::now();
    worker.doBindClientAfter();
    ASSERT_TRUE(worker.hasTimer());
    ASSERT_TRUE(qvtest::waitUntil([&] { return worker.ticks().size() >= 4; }, 10000));
    const auto ticks = worker.ticks();
    EXPECT_GE(std::chrono::duration<double>(ticks[0] - bound).count(), 0.99);
    for (size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GT(ticks[i], ticks[i - 1]);
    }
    // Three periods of 200 ms cannot pass in less than about half a second.
    EXPECT_GE(std::chrono::duration<double>(ticks[3] - ticks[0]).count(), 0.5);
}

TEST(CPTBaseWorkerTest, WorkerMayDestroyItselfInsideItsOwnTick)
{
    std::atomic<bool> destroyed{false};
    auto* worker = new SelfDestroyingWorker(destroyed);
    worker->doBindClientAfter();
    EXPECT_TRUE(qvtest::waitUntil([&] { return destroyed.load(); }, 10000));
}

TEST(CPTBaseWorkerTest, FailedTimerCreationLeavesTheWorkerWithoutTicks)
{
    qvplat::setTimerCreationFailureForTesting(true);
    TickingWorker worker;
    worker.doBindClientAfter();
    qvplat::setTimerCreationFailureForTesting(false);
    EXPECT_FALSE(worker.hasTimer());
}

}  // namespace
