#include <gtest/gtest.h>

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

}  // namespace
