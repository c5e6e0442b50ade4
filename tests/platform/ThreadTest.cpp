#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <memory>

#include "platform/Sync.h"
#include "platform/Thread.h"

namespace {

constexpr int kLongWaitMs = 10000;  // only reached when something is broken

std::size_t currentStackSize()
{
    pthread_attr_t attr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

TEST(ThreadTest, RunsTheBodyOnceAndJoinsWhenItEnds)
{
    qvplat::Thread thread;
    EXPECT_FALSE(thread.start(nullptr));
    std::atomic<int> ran{0};
    std::atomic<bool> inside{false};
    qvplat::Event release(true, false);
    ASSERT_TRUE(thread.start([&] {
        release.wait(kLongWaitMs);
        inside = thread.isCurrent();
        ++ran;
    }));
    EXPECT_FALSE(thread.start([] {})) << "refused while running";
    EXPECT_FALSE(thread.isCurrent());
    EXPECT_TRUE(thread.joinable());
    EXPECT_FALSE(thread.finished());
    release.set();
    thread.join();
    EXPECT_FALSE(thread.joinable());
    EXPECT_TRUE(thread.finished());
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(inside.load());
    EXPECT_TRUE(thread.start([] {})) << "a joined Thread starts again";
    thread.join();
}

// A small stack is what a connection's thread gets.
TEST(ThreadTest, StackSizeIsHonoured)
{
    constexpr std::size_t kRequested = 256 * 1024;
    std::atomic<std::size_t> seen{0};
    qvplat::Thread small;
    ASSERT_TRUE(small.start([&] { seen = currentStackSize(); }, kRequested));
    small.join();
    EXPECT_GE(seen.load(), kRequested);
    EXPECT_LT(seen.load(), std::size_t{8} * 1024 * 1024) << "smaller than the usual 8 MB default";
}

TEST(ThreadTest, DestructorJoinsAndJoinReleasesTheBodysCaptures)
{
    std::atomic<bool> done{false};
    {
        qvplat::Thread thread;
        ASSERT_TRUE(thread.start([&] {
            std::this_thread::yield();
            done = true;
        }));
    }
    EXPECT_TRUE(done.load());
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    qvplat::Thread thread;
    ASSERT_TRUE(thread.start([held = std::move(token)] { (void)held; }));
    thread.join();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
