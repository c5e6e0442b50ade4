#include <gtest/gtest.h>

#include <chrono>

#include "platform/LocalTime.h"

namespace {

TEST(LocalTimeTest, FieldsAreInRangeAndTheWeekdayMatchesTheDate)
{
    const qvplat::SystemTime t = qvplat::getLocalTime();
    EXPECT_GE(t.year, 2024);
    EXPECT_TRUE(t.hour <= 23 && t.minute <= 59 && t.second <= 59 && t.milliseconds <= 999);
    const std::chrono::year_month_day date{std::chrono::year(t.year), std::chrono::month(t.month),
                                           std::chrono::day(t.day)};
    ASSERT_TRUE(date.ok()) << t.month << "/" << t.day;  // month and day in range
    EXPECT_EQ(std::chrono::weekday(std::chrono::sys_days(date)).c_encoding(), t.dayOfWeek) << "0 is Sunday";
}

}  // namespace
