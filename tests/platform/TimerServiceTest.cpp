#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "TickRecorder.h"
#include "platform/Sync.h"
#include "platform/TimerService.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLongWaitMs = 20000;  // only reached when something is broken

// Returns once a timer created now with delayMs has fired: a point after which an earlier timer
// would have fired if it were going to.
void waitForLaterTimer(int delayMs)
{
    TickRecorder later(1);
    const qvplat::TimerId id = qvplat::createTimer(delayMs, 0, later.record());
    ASSERT_TRUE(later.wait());
    qvplat::deleteTimer(id);
}

TEST(TimerServiceTest, OneShotsFireOnceInDueOrderNotBeforeTheirDelayAndNotAtAllWhenDeleted)
{
    TickRecorder ticks(3);
    const auto created = Clock::now();
    std::vector<qvplat::TimerId> ids;
    for (int delayMs : {500, 100, 300}) {
        ids.push_back(qvplat::createTimer(delayMs, 0, ticks.record(delayMs)));
    }
    std::atomic<int> deletedCalls{0};
    qvplat::deleteTimer(qvplat::createTimer(200, 10, [&] { ++deletedCalls; }));
    EXPECT_EQ(qvplat::createTimer(0, 10, nullptr), 0u);  // no callback, no timer
    qvplat::deleteTimer(0);                              // unknown ids are ignored
    ASSERT_TRUE(ticks.wait());
    waitForLaterTimer(300);
    for (const auto id : ids) {
        qvplat::deleteTimer(id);  // harmless after they fired
    }
    const auto fired = ticks.times();
    ASSERT_EQ(fired.size(), 3u);
    const int order[] = {100, 300, 500};
    for (size_t i = 0; i < fired.size(); ++i) {
        EXPECT_EQ(fired[i].first, order[i]);
        EXPECT_GE(fired[i].second - created, milliseconds(order[i]));
    }
    EXPECT_EQ(deletedCalls.load(), 0);
}

TEST(TimerServiceTest, LateTickIsNotFollowedByAnotherAtOnce)
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
    TickRecorder ticks(2);
    const qvplat::TimerId id = qvplat::createTimer(0, kPeriodMs, ticks.record());
    std::this_thread::sleep_for(milliseconds(3 * kPeriodMs));  // no wait for anything: the tick falls behind
    release.set();
    ASSERT_TRUE(ticks.wait());
    qvplat::deleteTimer(id);
    for (const auto holder : holders) {
        qvplat::deleteTimer(holder);
    }
    const auto times = ticks.times();
    EXPECT_GE(times[1].second - times[0].second, milliseconds(kPeriodMs / 2));
}

TEST(TimerServiceTest, DeleteFromAnotherThreadWaitsForTheRunningCallback)
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
    std::thread deleter([&] {
        qvplat::deleteTimer(id);
        EXPECT_TRUE(callbackDone.load());
        deleteReturned.set();
    });
    EXPECT_FALSE(deleteReturned.wait(100)) << "deleteTimer returned while the callback still ran";
    release.set();
    deleter.join();
}

TEST(TimerServiceTest, SlowCallbackNeitherOverlapsItselfNorStopsOtherTimers)
{
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    TickRecorder slowTicks(20);
    const qvplat::TimerId slow = qvplat::createTimer(0, 1, [&, tick = slowTicks.record()] {
        const int now = ++inside;
        maxInside = std::max(maxInside.load(), now);
        std::this_thread::sleep_for(milliseconds(3));  // longer than the period
        --inside;
        tick();
    });
    qvplat::Event release(true, false);
    const qvplat::TimerId stuck = qvplat::createTimer(0, 0, [&] { release.wait(kLongWaitMs); });
    TickRecorder fastTicks(5);
    const qvplat::TimerId fast = qvplat::createTimer(0, 5, fastTicks.record());
    const bool othersRan = fastTicks.wait() && slowTicks.wait();
    release.set();
    for (const auto id : {slow, stuck, fast}) {
        qvplat::deleteTimer(id);
    }
    EXPECT_TRUE(othersRan);
    EXPECT_EQ(maxInside.load(), 1);
}

// A lone timer is queued again by the thread that ran it, after another has taken over the wait:
// the waiting thread must hear of it.
TEST(TimerServiceTest, LoneTimerWhoseRunsLetAnotherThreadWaitKeepsTicking)
{
    TickRecorder ticks(20);
    const qvplat::TimerId id = qvplat::createTimer(0, 10, [tick = ticks.record()] {
        std::this_thread::sleep_for(milliseconds(5));
        tick();
    });
    EXPECT_TRUE(ticks.wait());
    qvplat::deleteTimer(id);
}

TEST(TimerServiceTest, ShutdownDropsPendingTimersAndServiceRestarts)
{
    std::atomic<int> calls{0};
    qvplat::createTimer(300, 0, [&] { ++calls; });
    qvplat::shutdownTimerService();
    waitForLaterTimer(400);  // also proves a new createTimer restarts the service
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
