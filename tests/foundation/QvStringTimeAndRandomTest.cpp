#include <gtest/gtest.h>

#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvString.h"

namespace {

std::string formatAt(const char16_t* tmpl, int language, const qvplat::SystemTime& time)
{
    QvString s;
    s.formatTime(tmpl, language, time);
    return u8(s);
}

TEST(QvStringTimeAndRandomTest, TokensAreReplacedGroupByGroup)
{
    const qvplat::SystemTime sunday = makeTime(2025, 1, 5, 0, 13, 4, 9);
    const qvplat::SystemTime march7 = makeTime(2025, 3, 7, 5, 0, 0, 0);
    const qvplat::SystemTime june = makeTime(2024, 6, 30, 0, 23, 59, 5);
    const qvplat::SystemTime november = makeTime(2026, 11, 3, 2, 7, 8, 9);
    const struct {
        const char16_t* tmpl;
        int language;
        qvplat::SystemTime time;
        const char* expected;
    } cases[] = {
        {u"DD, D0 MM YYYY hh:mm:ss", 1, sunday, "Sun, 5 Jan 2025 13:04:09"},
        {u"M00/D00", 1, march7, "03/07"},
        {u"M0/D0", 1, march7, "3/7"},
        {u"MM", 1, june, "June"},
        {u"MM", 1, makeTime(2024, 7, 1, 1), "July"},
        {u"MMM", 1, november, "Novemeber"},
        {u"MM", 1, november, "Nov"},
        {u"DDD DD", 1, november, "Tuesday DD"},  // one token per group
        {u"YYYY-yy", 1, sunday, "2025-yy"},
        {u"yy/yy", 1, sunday, "25/25"},
        {u"no tokens here", 1, sunday, "no tokens here"},
        {u"", 1, sunday, ""},
        {u"hh hh:mm:ss", 1, makeTime(2025, 1, 5, 0, 0, 0, 0), "00 00:00:00"},
        {u"MMM DDD", 0, november, "실일월 화요일"},
        {u"MM DD", 2, june, "유월 일"},
        {u"YYYY년 M0월 D0일 DD요일", 3, sunday, "2025년 1월 5일 일요일"},
        {u"M00M0", 1, november, "11M0"},  // "M0" is used only when "M00" is absent
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatAt(c.tmpl, c.language, c.time), c.expected) << u8(c.tmpl);
    }
}

TEST(QvStringTimeAndRandomTest, FormatLocalTimeReadsTheClockOnce)
{
    FixedClock clock(makeTime(2025, 1, 5, 0, 13, 4, 9, 500));
    QvString date(u"previous content");
    date.formatLocalTime(u"DD, D0 MM YYYY hh:mm:ss", 1);
    EXPECT_EQ(u8(date), "Sun, 5 Jan 2025 13:04:09");
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
