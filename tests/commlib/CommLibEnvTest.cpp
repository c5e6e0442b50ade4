#include <gtest/gtest.h>
#include <sys/resource.h>

#include "commlib/CommLibEnv.h"
#include "platform/Limits.h"

namespace {

// A server holds a descriptor per connection: the first start lifts the common soft limit.
TEST(CommLibEnvTest, StartRaisesTheSoftDescriptorLimitToTheHardOne)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max <= 64) {
        GTEST_SKIP() << "no hard limit above a lowered soft one";
    }
    const rlimit lowered{64, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    CommLibEnv::releaseInstance();
    EXPECT_EQ(CommLibEnv::getInstance()->start(), CommLibEnv::kStartOk);
    EXPECT_EQ(qvplat::descriptorLimits().soft, static_cast<long long>(limit.rlim_max));
    CommLibEnv::releaseInstance();
}

}  // namespace
