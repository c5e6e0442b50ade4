#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Sync.h"
#include "platform/TimerService.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLongWaitMs = 20000;  // only reached when something is broken

class TimerServiceTest : public ::testing::Test {
protected:
    void TearDown() override { qvplat::setTimerCreationFailureForTesting(false); }
};

// Waits for a later timer to have fired, as a point after which an earlier one-shot timer would
// have fired again if it were going to.
void waitForLaterTimer(int delayMs)
{
    qvplat::Event fired(true, false);
    const qvplat::TimerId id = qvplat::createTimer(delayMs, 0, [&] { fired.set(); });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(fired.wait(kLongWaitMs));
    qvplat::deleteTimer(id);
}

TEST_F(TimerServiceTest, OneShotFiresOnceNotBeforeItsDelay)
{
    std::atomic<int> calls{0};
    qvplat::Event fired(true, false);
    Clock::time_point firedAt;
    const auto created = Clock::now();
    const qvplat::TimerId id = qvplat::createTimer(100, 0, [&] {
        firedAt = Clock::now();
        ++calls;
        fired.set();
    });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(fired.wait(kLongWaitMs));
    EXPECT_GE(firedAt - created, milliseconds(100));
    waitForLaterTimer(300);
    EXPECT_EQ(calls.load(), 1);
    qvplat::deleteTimer(id);  // harmless after it fired
}

TEST_F(TimerServiceTest, PeriodicTimerKeepsFirstDelayThenPeriod)
{
    constexpr int kFirstMs = 150;
    constexpr int kPeriodMs = 40;
    constexpr int kTicks = 6;
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;
    qvplat::Event done(true, false);
    const auto created = Clock::now();
    const qvplat::TimerId id = qvplat::createTimer(kFirstMs, kPeriodMs, [&] {
        std::lock_guard lock(mutex);
        ticks.push_back(Clock::now());
        if (ticks.size() == kTicks) {
            done.set();
        }
    });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(done.wait(kLongWaitMs));
    qvplat::deleteTimer(id);
    std::lock_guard lock(mutex);
    // Tick k is due at first + k * period after creation; it may be late, never early.
    for (int k = 0; k < kTicks; ++k) {
        EXPECT_GE(ticks[k] - created, milliseconds(kFirstMs + k * kPeriodMs)) << "tick " << k;
    }
}

TEST_F(TimerServiceTest, TimersFireInOrderOfTheirDueTimes)
{
    std::mutex mutex;
    std::vector<int> order;
    qvplat::Event done(true, false);
    const auto record = [&](int which) {
        return [&, which] {
            std::lock_guard lock(mutex);
            order.push_back(which);
            if (order.size() == 3) {
                done.set();
            }
        };
    };
    const qvplat::TimerId late = qvplat::createTimer(900, 0, record(3));
    const qvplat::TimerId early = qvplat::createTimer(100, 0, record(1));
    const qvplat::TimerId middle = qvplat::createTimer(500, 0, record(2));
    ASSERT_TRUE(done.wait(kLongWaitMs));
    for (const auto id : {late, early, middle}) {
        qvplat::deleteTimer(id);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(TimerServiceTest, DeletedBeforeDueNeverFires)
{
    std::atomic<int> calls{0};
    const qvplat::TimerId id = qvplat::createTimer(200, 10, [&] { ++calls; });
    qvplat::deleteTimer(id);
    waitForLaterTimer(400);
    EXPECT_EQ(calls.load(), 0);
}

// An owner that ends its own life from inside its timer's callback, as a self-destroying worker does.
struct SelfDestroyingOwner {
    explicit SelfDestroyingOwner(qvplat::Event& destroyed, std::atomic<int>& calls)
        : m_destroyed(destroyed), m_calls(calls)
    {
        // The callback asks for its own id: a member set from createTimer's result may still be unset
        // when the callback first runs.
        EXPECT_NE(qvplat::createTimer(10, 10, [this] { onTick(); }), 0u);
    }
    ~SelfDestroyingOwner() { m_destroyed.set(); }

    void onTick()
    {
        ++m_calls;
        if (++m_ticks == 3) {
            qvplat::deleteTimer(qvplat::currentTimer());
            delete this;
        }
    }

    qvplat::Event& m_destroyed;
    std::atomic<int>& m_calls;
    int m_ticks = 0;
    std::vector<char> m_payload = std::vector<char>(4096, 'x');  // freed memory ASan would catch a touch of
};

TEST_F(TimerServiceTest, CallbackMayDeleteItsTimerAndItsOwner)
{
    qvplat::Event destroyed(true, false);
    std::atomic<int> calls{0};
    new SelfDestroyingOwner(destroyed, calls);
    ASSERT_TRUE(destroyed.wait(kLongWaitMs));
    waitForLaterTimer(100);
    EXPECT_EQ(calls.load(), 3);
}

TEST_F(TimerServiceTest, DeleteFromAnotherThreadWaitsForTheRunningCallback)
{
    qvplat::Event entered(true, false);
    qvplat::Event release(true, false);
    std::atomic<bool> callbackDone{false};
    const qvplat::TimerId id = qvplat::createTimer(0, 0, [&] {
        entered.set();
        release.wait(kLongWaitMs);
        callbackDone = true;
    });
    ASSERT_TRUE(entered.wait(kLongWaitMs));

    qvplat::Event deleteReturned(true, false);
    std::atomic<bool> doneWhenDeleteReturned{false};
    std::thread deleter([&] {
        qvplat::deleteTimer(id);
        doneWhenDeleteReturned = callbackDone.load();
        deleteReturned.set();
    });
    EXPECT_FALSE(deleteReturned.wait(100)) << "deleteTimer returned while the callback still ran";
    release.set();
    ASSERT_TRUE(deleteReturned.wait(kLongWaitMs));
    deleter.join();
    EXPECT_TRUE(doneWhenDeleteReturned.load());
}

TEST_F(TimerServiceTest, ACallbackNeverOverlapsItself)
{
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> calls{0};
    qvplat::Event done(true, false);
    const qvplat::TimerId id = qvplat::createTimer(0, 1, [&] {
        const int now = ++inside;
        maxInside = std::max(maxInside.load(), now);
        std::this_thread::sleep_for(milliseconds(3));  // longer than the period
        --inside;
        if (++calls == 20) {
            done.set();
        }
    });
    ASSERT_TRUE(done.wait(kLongWaitMs));
    qvplat::deleteTimer(id);
    EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(TimerServiceTest, SlowCallbackDoesNotStopOtherTimers)
{
    qvplat::Event release(true, false);
    qvplat::Event slowEntered(true, false);
    const qvplat::TimerId slow = qvplat::createTimer(0, 0, [&] {
        slowEntered.set();
        release.wait(kLongWaitMs);
    });
    ASSERT_TRUE(slowEntered.wait(kLongWaitMs));

    std::atomic<int> ticks{0};
    qvplat::Event ticked(true, false);
    const qvplat::TimerId fast = qvplat::createTimer(0, 5, [&] {
        if (++ticks == 5) {
            ticked.set();
        }
    });
    const bool otherTimerRan = ticked.wait(kLongWaitMs);
    release.set();
    qvplat::deleteTimer(fast);
    qvplat::deleteTimer(slow);
    EXPECT_TRUE(otherTimerRan);
}

TEST_F(TimerServiceTest, CurrentTimerNamesTheRunningTimer)
{
    std::atomic<qvplat::TimerId> seen{0};
    qvplat::Event fired(true, false);
    const qvplat::TimerId id = qvplat::createTimer(0, 0, [&] {
        seen = qvplat::currentTimer();
        fired.set();
    });
    ASSERT_TRUE(fired.wait(kLongWaitMs));
    EXPECT_EQ(seen.load(), id);
    EXPECT_EQ(qvplat::currentTimer(), 0u);
}

TEST_F(TimerServiceTest, CreationFailureSeamAndHarmlessDeletes)
{
    qvplat::setTimerCreationFailureForTesting(true);
    EXPECT_EQ(qvplat::createTimer(0, 10, [] {}), 0u);
    qvplat::setTimerCreationFailureForTesting(false);
    EXPECT_EQ(qvplat::createTimer(0, 10, nullptr), 0u);
    qvplat::deleteTimer(0);
    qvplat::deleteTimer(0xFFFFFFFFFFull);
}

TEST_F(TimerServiceTest, CallbackMayCreateAndDeleteOtherTimers)
{
    qvplat::Event childFired(true, false);
    std::atomic<qvplat::TimerId> child{0};
    const qvplat::TimerId parent =
        qvplat::createTimer(0, 0, [&] { child = qvplat::createTimer(0, 0, [&] { childFired.set(); }); });
    ASSERT_TRUE(childFired.wait(kLongWaitMs));
    qvplat::deleteTimer(child.load());
    qvplat::deleteTimer(parent);
}

TEST_F(TimerServiceTest, ManyTimersCreatedAndDeletedFromManyThreads)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<qvplat::TimerId> ids;
            for (int i = 0; i < kRounds; ++i) {
                ids.push_back(qvplat::createTimer(i % 3, 1, [&] { ++calls; }));
                if (ids.size() > 20) {
                    qvplat::deleteTimer(ids.front());
                    ids.erase(ids.begin());
                }
            }
            for (const auto id : ids) {
                qvplat::deleteTimer(id);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    // Every timer is gone: the count no longer moves once a later timer has fired.
    const long settled = calls.load();
    waitForLaterTimer(50);
    EXPECT_EQ(calls.load(), settled);
}

TEST_F(TimerServiceTest, ShutdownDropsPendingTimersAndServiceRestarts)
{
    std::atomic<int> calls{0};
    qvplat::createTimer(300, 0, [&] { ++calls; });
    qvplat::shutdownTimerService();
    waitForLaterTimer(400);  // also proves a new createTimer restarts the service
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
