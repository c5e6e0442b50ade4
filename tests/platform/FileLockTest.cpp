#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileLock.h"
#include "tests/support/TempDir.h"

namespace {

// Busy is not a failure; a file that cannot be opened is.
TEST(FileLockTest, HolderExcludesOthersUntilReleased)
{
    TempDir dir;
    const std::u16string path = (dir / "settings.lock").u16string();
    qvplat::FileLock first;
    qvplat::FileLock second;
    ASSERT_TRUE(first.lock(path));
    EXPECT_TRUE(qvplat::isFileLocked(path));
    EXPECT_FALSE(second.tryLock(path));
    EXPECT_TRUE(second.error().empty());
    first.unlock();
    EXPECT_FALSE(qvplat::isFileLocked(path));
    EXPECT_TRUE(second.tryLock(path));
    qvplat::FileLock lost;
    EXPECT_FALSE(lost.lock(u"/nonexistent-folder-qv/x.lock"));
    EXPECT_FALSE(lost.error().empty());
    EXPECT_FALSE(lost.isLocked());
}

TEST(FileLockTest, DeadHolderReleasesTheLock)
{
    TempDir dir;
    const std::u16string path = (dir / "run.lock").u16string();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        qvplat::FileLock held;
        const char ok = held.lock(path) ? '1' : '0';
        (void)::write(ready[1], &ok, 1);
        ::pause();  // killed by the parent while holding the lock
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    EXPECT_TRUE(qvplat::isFileLocked(path));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_FALSE(qvplat::isFileLocked(path));
}

}  // namespace
