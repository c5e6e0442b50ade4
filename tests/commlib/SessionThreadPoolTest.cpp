#include <gtest/gtest.h>

#include <atomic>

#include "Loopback.h"
#include "commlib/SessionThreadPool.h"
#include "platform/Sync.h"

namespace {

TEST(SessionThreadPoolTest, ThreadsAreReusedAndAtMostTheBoundStayParked)
{
    CSessionThreadPool* pool = CSessionThreadPool::getInstance();
    pool->releaseParked();
    const int busy = pool->threadCount();  // sessions of other tests may still run
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(pool->run([] {}));
        ASSERT_TRUE(qvtest::waitUntil([&] { return pool->parkedCount() == 1; }, 5000));
    }
    EXPECT_EQ(pool->threadCount(), busy + 1);  // one job after another: one thread

    constexpr int kJobs = CSessionThreadPool::kMaxParked + 8;
    qvplat::Event release(true, false);
    std::atomic<int> started{0};
    for (int i = 0; i < kJobs; ++i) {
        ASSERT_TRUE(pool->run([&] {
            ++started;
            release.wait(-1);
        }));
    }
    ASSERT_TRUE(qvtest::waitUntil([&] { return started.load() == kJobs; }, 20000));
    release.set();
    ASSERT_TRUE(qvtest::waitUntil([&] { return pool->parkedCount() == CSessionThreadPool::kMaxParked; }, 20000));
    // The threads beyond the bound end instead of parking; a run joins those that have ended.
    EXPECT_TRUE(qvtest::waitUntil(
        [&] { return pool->run([] {}) && pool->threadCount() <= busy + CSessionThreadPool::kMaxParked; }, 20000));
    pool->releaseParked();
}

}  // namespace
