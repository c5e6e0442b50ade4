#include <gtest/gtest.h>

#include <string>

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
        EXPECT_EQ(u8(date), c.expected);
    }
}

std::string randomAt(const qvplat::SystemTime& time, int mode, int length)
{
    FixedClock clock(time);
    QvString s(u"old");
    s.makeRandomString(mode, length);
    return u8(s);
}

// Mode 1 (the only one the program uses) draws digits and ASCII letters. The seed is
// second * 1000 + millisecond: a different minute, hour or day repeats the text.
TEST(QvStringTimeAndRandomTest, RandomTextDrawsLettersAndDigitsAndRepeatsForTheSameSecondAndMillisecond)
{
    const std::string text = randomAt(makeTime(2025, 1, 5, 0, 13, 4, 9, 500), 1, 2000);
    ASSERT_EQ(text.size(), 2000u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
              std::string::npos);
    EXPECT_NE(text.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(randomAt(makeTime(2026, 2, 6, 1, 14, 5, 9, 500), 1, 2000), text);
    EXPECT_EQ(randomAt(makeTime(2026, 2, 6, 1, 14, 5, 9, 500), 1, 0), "");
}

}  // namespace
