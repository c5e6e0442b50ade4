#include <gtest/gtest.h>

#include "platform/Monitor.h"

namespace {

TEST(MonitorTest, WithoutProviderThereIsNoScreen)
{
    qvplat::setWorkAreaProvider(nullptr);
    EXPECT_EQ(qvplat::monitorCount(), 0);
    qvplat::Rect r{1, 2, 3, 4};
    EXPECT_FALSE(qvplat::workAreaNearest(0, 0, r));
}

TEST(MonitorTest, ProviderAnswersForThePoint)
{
    int askedX = -1;
    int askedY = -1;
    qvplat::setWorkAreaProvider([&](int x, int y, qvplat::Rect& area) {
        askedX = x;
        askedY = y;
        if (x < 0) {
            return false;
        }
        area = {0, 30, 1920, 1080};
        return true;
    });
    EXPECT_EQ(qvplat::monitorCount(), 1);
    qvplat::Rect r{};
    ASSERT_TRUE(qvplat::workAreaNearest(100, 200, r));
    EXPECT_EQ(askedX, 100);
    EXPECT_EQ(askedY, 200);
    EXPECT_EQ(r.top, 30);
    EXPECT_EQ(r.right, 1920);
    EXPECT_FALSE(qvplat::workAreaNearest(-5, 0, r));
    qvplat::setWorkAreaProvider(nullptr);
    EXPECT_EQ(qvplat::monitorCount(), 0);
}

}  // namespace
