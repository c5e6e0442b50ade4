#include "commlib/CommLibEnv.h"

#include <gtest/gtest.h>

namespace {

class CommLibEnvTest : public ::testing::Test {
protected:
    void SetUp() override { CommLibEnv::releaseInstance(); }
    void TearDown() override { CommLibEnv::releaseInstance(); }
};

TEST_F(CommLibEnvTest, StartReportsReadyAndASecondStartChangesNothing)
{
    CommLibEnv* env = CommLibEnv::getInstance();
    EXPECT_FALSE(env->isInitialized());
    EXPECT_EQ(env->start(), 0);
    EXPECT_TRUE(env->isInitialized());
    EXPECT_EQ(env->start(), 0);
    EXPECT_TRUE(env->isInitialized());
}

TEST_F(CommLibEnvTest, StopClearsTheFlagAndStopWithoutStartIsHarmless)
{
    CommLibEnv* env = CommLibEnv::getInstance();
    EXPECT_EQ(env->stop(), 0);
    EXPECT_EQ(env->start(), 0);
    EXPECT_EQ(env->stop(), 0);
    EXPECT_FALSE(env->isInitialized());
    EXPECT_EQ(env->stop(), 0);
    // The instance is the same one every time until released.
    EXPECT_EQ(CommLibEnv::getInstance(), env);
}

}  // namespace
