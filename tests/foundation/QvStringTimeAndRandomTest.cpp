#include <gtest/gtest.h>

#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvString.h"

namespace {

// The Date header's template, the one the program formats, read from the clock once.
TEST(QvStringTimeAndRandomTest, DateTemplateTakesNamesAndPaddedTimeFromTheClock)
{
    const struct {
        qvplat::SystemTime time;
        const char* expected;
    } cases[] = {
        {makeTime(2025, 1, 5, 0, 13, 4, 9, 500), "Sun, 5 Jan 2025 13:04:09"},
        {makeTime(2024, 6, 30, 0, 23, 59, 5), "Sun, 30 June 2024 23:59:05"},
        {makeTime(2024, 7, 1, 1, 0, 0, 0), "Mon, 1 July 2024 00:00:00"},
        {makeTime(2026, 11, 3, 2, 7, 8, 9), "Tue, 3 Nov 2026 07:08:09"},
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

// The seed is second * 1000 + millisecond: a different minute, hour or day repeats the text.
TEST(QvStringTimeAndRandomTest, RandomTextRepeatsForTheSameSecondAndMillisecond)
{
    const std::string a = randomAt(makeTime(2025, 1, 5, 0, 13, 4, 9, 500), 1, 16);
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(randomAt(makeTime(2026, 2, 6, 1, 14, 5, 9, 500), 1, 16), a);
}

TEST(QvStringTimeAndRandomTest, RandomTextDrawsFromTheModesAlphabet)
{
    const std::string digits = "0123456789";
    const std::string alnum = digits + "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const std::string symbols = alnum + "!@#$%^&*()-+[]{};:,.";
    const qvplat::SystemTime t = makeTime(2025, 1, 5, 0, 13, 4, 9, 123);
    const std::pair<int, const std::string&> cases[] = {{0, digits}, {1, alnum}, {2, symbols}};
    for (const auto& [mode, alphabet] : cases) {
        const std::string text = randomAt(t, mode, 2000);
        ASSERT_EQ(text.size(), 2000u);
        EXPECT_EQ(text.find_first_not_of(alphabet), std::string::npos) << "mode " << mode;
        // 2,000 draws reach well beyond the digits for the wider alphabets.
        EXPECT_EQ(text.find_first_not_of(digits) != std::string::npos, mode > 0) << "mode " << mode;
    }
    const std::pair<int, int> refused[] = {{3, 16}, {-1, 16}, {1, 0}, {1, -5}};
    for (const auto& [mode, length] : refused) {
        EXPECT_EQ(randomAt(t, mode, length), "") << "mode " << mode << " length " << length;
    }
}

}  // namespace
