#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

constexpr int kLongWaitMs = 10000;  // only reached when something is broken

// count threads that each wait once on event (timeoutMs, -1 for ever) and count a successful wait in released.
std::vector<std::thread> startWaiters(qvplat::Event& event, int count, int timeoutMs, std::atomic<int>& released)
{
    std::vector<std::thread> waiters;
    for (int i = 0; i < count; ++i) {
        waiters.emplace_back([&event, &released, timeoutMs] { released += event.wait(timeoutMs) ? 1 : 0; });
    }
    return waiters;
}

TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset)
{
    qvplat::Event on(true, true);
    EXPECT_TRUE(on.wait(0));
    EXPECT_TRUE(on.wait(0)) << "manual reset stays signalled";
    qvplat::Event event(true, false);
    EXPECT_FALSE(event.wait(20));
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startWaiters(event, 8, -1, released);
    event.set();
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(released.load(), 8);
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
    std::vector<std::thread> waiters = startWaiters(event, kWaiters, kLongWaitMs, released);
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

}  // namespace
