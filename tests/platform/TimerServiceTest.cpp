#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Sync.h"
#include "platform/TimerService.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLongWaitMs = 20000;  // only reached when something is broken

// Start times of a timer's callbacks; done() once count of them ran.
struct Ticks {
    explicit Ticks(size_t count) : m_count(count) {}
    std::function<void()> record()
    {
        return [this] {
            std::lock_guard lock(m_mutex);
            m_times.push_back(Clock::now());
            if (m_times.size() == m_count) {
                m_done.set();
            }
        };
    }
    bool wait() { return m_done.wait(kLongWaitMs); }
    std::vector<Clock::time_point> times()
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

    size_t m_count;
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_times;
    qvplat::Event m_done{true, false};
};

class TimerServiceTest : public ::testing::Test {
protected:
    void TearDown() override { qvplat::setTimerCreationFailureForTesting(false); }

    // Returns once a timer created now with delayMs has fired: a point after which an earlier timer
    // would have fired if it were going to.
    static void waitForLaterTimer(int delayMs)
    {
        Ticks later(1);
        const qvplat::TimerId id = qvplat::createTimer(delayMs, 0, later.record());
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(later.wait());
        qvplat::deleteTimer(id);
    }
};

TEST_F(TimerServiceTest, OneShotFiresOnceNotBeforeItsDelayAndNotAtAllWhenDeletedFirst)
{
    Ticks once(1);
    std::atomic<int> deletedCalls{0};
    const auto created = Clock::now();
    const qvplat::TimerId id = qvplat::createTimer(100, 0, once.record());
    qvplat::deleteTimer(qvplat::createTimer(200, 10, [&] { ++deletedCalls; }));
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(once.wait());
    EXPECT_GE(once.times()[0] - created, milliseconds(100));
    waitForLaterTimer(300);
    EXPECT_EQ(once.times().size(), 1u);
    EXPECT_EQ(deletedCalls.load(), 0);
    qvplat::deleteTimer(id);  // harmless after it fired
}

TEST_F(TimerServiceTest, PeriodicTimerKeepsFirstDelayThenPeriod)
{
    constexpr int kFirstMs = 150;
    constexpr int kPeriodMs = 40;
    Ticks ticks(6);
    const auto created = Clock::now();
    const qvplat::TimerId id = qvplat::createTimer(kFirstMs, kPeriodMs, ticks.record());
    ASSERT_TRUE(ticks.wait());
    qvplat::deleteTimer(id);
    // Tick k is due at first + k * period after creation; it may be late, never early.
    const auto times = ticks.times();
    for (int k = 0; k < 6; ++k) {
        EXPECT_GE(times[k] - created, milliseconds(kFirstMs + k * kPeriodMs)) << "tick " << k;
    }
}

TEST_F(TimerServiceTest, LateTickIsNotFollowedByAnotherAtOnce)
{
    constexpr int kPeriodMs = 200;
    // Every pool thread held: the periodic timer's first tick comes due with nobody to run it.
    qvplat::Event release(true, false);
    qvplat::Event allHeld(true, false);
    std::atomic<int> held{0};
    std::vector<qvplat::TimerId> holders;
    for (int i = 0; i < qvplat::kTimerThreads; ++i) {
        holders.push_back(qvplat::createTimer(0, 0, [&] {
            if (++held == qvplat::kTimerThreads) {
                allHeld.set();
            }
            release.wait(kLongWaitMs);
        }));
    }
    ASSERT_TRUE(allHeld.wait(kLongWaitMs));
    Ticks ticks(2);
    const qvplat::TimerId id = qvplat::createTimer(0, kPeriodMs, ticks.record());
    std::this_thread::sleep_for(milliseconds(3 * kPeriodMs));  // no wait for anything: the tick falls behind
    release.set();
    ASSERT_TRUE(ticks.wait());
    qvplat::deleteTimer(id);
    for (const auto holder : holders) {
        qvplat::deleteTimer(holder);
    }
    const auto times = ticks.times();
    EXPECT_GE(times[1] - times[0], milliseconds(kPeriodMs / 2));
}

TEST_F(TimerServiceTest, TimersFireInOrderOfTheirDueTimes)
{
    std::mutex mutex;
    std::vector<int> order;
    Ticks all(3);
    const auto record = [&](int which) {
        return [&, which, tick = all.record()] {
            {
                std::lock_guard lock(mutex);
                order.push_back(which);
            }
            tick();
        };
    };
    const qvplat::TimerId ids[] = {qvplat::createTimer(900, 0, record(3)), qvplat::createTimer(100, 0, record(1)),
                                   qvplat::createTimer(500, 0, record(2))};
    ASSERT_TRUE(all.wait());
    for (const auto id : ids) {
        qvplat::deleteTimer(id);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// An owner that ends its own life from inside its timer's callback, as a self-destroying worker does.
struct SelfDestroyingOwner {
    SelfDestroyingOwner(qvplat::Event& destroyed, std::atomic<int>& calls) : m_destroyed(destroyed), m_calls(calls)
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

TEST_F(TimerServiceTest, SlowCallbackNeitherOverlapsItselfNorStopsOtherTimers)
{
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    Ticks slowTicks(20);
    const qvplat::TimerId slow = qvplat::createTimer(0, 1, [&, tick = slowTicks.record()] {
        const int now = ++inside;
        maxInside = std::max(maxInside.load(), now);
        std::this_thread::sleep_for(milliseconds(3));  // longer than the period
        --inside;
        tick();
    });
    qvplat::Event release(true, false);
    const qvplat::TimerId stuck = qvplat::createTimer(0, 0, [&] { release.wait(kLongWaitMs); });
    Ticks fastTicks(5);
    const qvplat::TimerId fast = qvplat::createTimer(0, 5, fastTicks.record());
    const bool othersRan = fastTicks.wait() && slowTicks.wait();
    release.set();
    for (const auto id : {slow, stuck, fast}) {
        qvplat::deleteTimer(id);
    }
    EXPECT_TRUE(othersRan);
    EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(TimerServiceTest, CallbackKnowsItsTimerAndMayCreateOthers)
{
    std::atomic<qvplat::TimerId> seen{0};
    std::atomic<qvplat::TimerId> child{0};
    Ticks childTicks(1);
    const qvplat::TimerId parent = qvplat::createTimer(0, 0, [&] {
        seen = qvplat::currentTimer();
        child = qvplat::createTimer(0, 0, childTicks.record());
    });
    ASSERT_TRUE(childTicks.wait());
    qvplat::deleteTimer(child.load());
    qvplat::deleteTimer(parent);
    EXPECT_EQ(seen.load(), parent);
    EXPECT_EQ(qvplat::currentTimer(), 0u);
}

TEST_F(TimerServiceTest, CreationFailuresAndUnknownDeletesAreHarmless)
{
    qvplat::setTimerCreationFailureForTesting(true);
    EXPECT_EQ(qvplat::createTimer(0, 10, [] {}), 0u);
    qvplat::setTimerCreationFailureForTesting(false);
    EXPECT_EQ(qvplat::createTimer(0, 10, nullptr), 0u);
    qvplat::deleteTimer(0);
    qvplat::deleteTimer(0xFFFFFFFFFFull);
}

TEST_F(TimerServiceTest, ManyTimersCreatedAndDeletedFromManyThreads)
{
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::vector<qvplat::TimerId> ids;
            for (int i = 0; i < 200; ++i) {
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
