#include <gtest/gtest.h>
#include <sys/resource.h>

#include "commlib/CommLibEnv.h"
#include "platform/Limits.h"

namespace {

// A server holds a descriptor per connection: the first start lifts the common soft limit.
TEST(CommLibEnvTest, StartRaisesTheSoftDescriptorLimitToTheHardOne)
{
    const long long hard = qvplat::descriptorLimits().hard;
    const rlimit lowered{64, static_cast<rlim_t>(hard)};
    ASSERT_TRUE(hard > 64 && setrlimit(RLIMIT_NOFILE, &lowered) == 0) << hard;
    CommLibEnv::releaseInstance();
    EXPECT_EQ(CommLibEnv::getInstance()->start(), CommLibEnv::kStartOk);
    EXPECT_EQ(qvplat::descriptorLimits().soft, hard);
    CommLibEnv::releaseInstance();
}

}  // namespace
