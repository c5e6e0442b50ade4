#include <gtest/gtest.h>

#include "ModuleDirFixture.h"
#include "foundation/QvString.h"

namespace {

// The Date header's template, read from the clock once; the web server's tests check a plain date,
// here the two long month names.
TEST(QvStringTimeAndRandomTest, DateTemplateTakesNamesAndPaddedTimeFromTheClock)
{
    const struct {
        qvplat::SystemTime time;
        const char* expected;
    } cases[] = {
        {makeTime(2024, 6, 30, 0, 23, 59, 5), "Sun, 30 June 2024 23:59:05"},
        {makeTime(2024, 7, 1, 1, 0, 0, 0), "Mon, 1 July 2024 00:00:00"},
    };
    for (const auto& c : cases) {
        FixedClock clock(c.time);
        QvString date(u"previous content");
        date.formatLocalTime(u"DD, D0 MM YYYY hh:mm:ss", 1);
        EXPECT_EQ(date.toUtf8(), c.expected);
    }
}

}  // namespace
