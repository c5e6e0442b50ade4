#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

constexpr int kLongWaitMs = 10000;  // only reached when something is broken

TEST(EventTest, InitialStateIsHonouredAndATimedWaitEndsWithoutSignal)
{
    qvplat::Event off(true, false);
    qvplat::Event on(true, true);
    EXPECT_FALSE(off.wait(20));
    EXPECT_TRUE(on.wait(0));
    EXPECT_TRUE(on.wait(0)) << "manual reset stays signalled";
}

// count threads that each wait once on event and count a successful wait in released.
std::vector<std::thread> startWaiters(qvplat::Event& event, int count, std::atomic<int>& released)
{
    std::vector<std::thread> waiters;
    for (int i = 0; i < count; ++i) {
        waiters.emplace_back([&] {
            if (event.wait(kLongWaitMs)) {
                ++released;
            }
        });
    }
    return waiters;
}

TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset)
{
    qvplat::Event event(true, false);
    constexpr int kWaiters = 8;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startWaiters(event, kWaiters, released);
    event.set();
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_TRUE(event.isSet());
    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.wait(0));
}

TEST(EventTest, AutoResetReleasesOneWaitPerSignal)
{
    qvplat::Event event(false, true);
    EXPECT_TRUE(event.wait(0));
    EXPECT_FALSE(event.wait(0)) << "the first wait consumed the signal";

    constexpr int kWaiters = 4;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startWaiters(event, kWaiters, released);
    // Each signal lets exactly one waiter through; signal until all are through.
    for (int i = 0; i < kWaiters; ++i) {
        const int before = released.load();
        event.set();
        for (int spin = 0; spin < 100000 && released.load() == before; ++spin) {
            std::this_thread::yield();
        }
    }
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_FALSE(event.isSet());
}

TEST(EventTest, InfiniteWaitEndsWhenSetFromAnotherThread)
{
    qvplat::Event event(false, false);
    qvplat::Event started(true, false);
    std::thread setter([&] {
        started.wait(kLongWaitMs);
        event.set();
    });
    started.set();
    EXPECT_TRUE(event.wait(-1));
    setter.join();
}

}  // namespace
