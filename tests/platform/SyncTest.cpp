#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

// The program only makes manual-reset events.
TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset)
{
    qvplat::Event on(true, true);
    EXPECT_TRUE(on.wait(0));
    EXPECT_TRUE(on.wait(0)) << "manual reset stays signalled";
    qvplat::Event event(true, false);
    EXPECT_FALSE(event.wait(20));
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 8; ++i) {
        waiters.emplace_back([&] { released += event.wait(-1) ? 1 : 0; });
    }
    event.set();
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(released.load(), 8);
    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.wait(0));
}

}  // namespace
