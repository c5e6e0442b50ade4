#include <gtest/gtest.h>

#include <chrono>

#include "platform/LocalTime.h"

namespace {

TEST(LocalTimeTest, FieldsAreInRangeAndTheWeekdayMatchesTheDate)
{
    const qvplat::SystemTime t = qvplat::getLocalTime();
    EXPECT_GE(t.year, 2024);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_LE(t.hour, 23);
    EXPECT_LE(t.minute, 59);
    EXPECT_LE(t.second, 59);
    EXPECT_LE(t.milliseconds, 999);
    const std::chrono::year_month_day date{std::chrono::year(t.year), std::chrono::month(t.month),
                                           std::chrono::day(t.day)};
    ASSERT_TRUE(date.ok());
    EXPECT_EQ(std::chrono::weekday(std::chrono::sys_days(date)).c_encoding(), t.dayOfWeek) << "0 is Sunday";
}

TEST(LocalTimeTest, SourceSeamReplacesAndRestoresTheClock)
{
    const qvplat::SystemTime fixed{2025, 1, 0, 5, 13, 4, 9, 7};
    qvplat::setLocalTimeSource([fixed] { return fixed; });
    const qvplat::SystemTime seen = qvplat::getLocalTime();
    qvplat::setLocalTimeSource(nullptr);
    EXPECT_EQ(seen.year, 2025);
    EXPECT_EQ(seen.day, 5);
    EXPECT_EQ(seen.hour, 13);
    EXPECT_EQ(seen.milliseconds, 7);
    EXPECT_GE(qvplat::getLocalTime().year, 2024);
    EXPECT_NE(qvplat::getLocalTime().year, 2025 - 100);
}

}  // namespace
