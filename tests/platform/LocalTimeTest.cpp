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

}  // namespace
