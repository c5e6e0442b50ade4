#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/QvString.h"

namespace {

TEST(QvStringTest, NeverAssignedStringEqualsNothingButDiffersFromEverything)
{
    const QvString never;
    EXPECT_FALSE(never == u"");
    EXPECT_TRUE(never != u"");
    EXPECT_FALSE(never == QvString(u""));
    EXPECT_FALSE(never == never);
    EXPECT_TRUE(never.isEmpty());
    EXPECT_EQ(std::u16string(never.c_str()), u"");

    const QvString empty(u"");
    EXPECT_TRUE(empty == u"");
    EXPECT_FALSE(empty != u"");
}

TEST(QvStringTest, AppendingItselfSelfSubstringAndAGrowingReplaceAreSafe)
{
    QvString s(u"ab");
    s.append(s);
    EXPECT_EQ(s, u"abab");
    s.append(s.c_str() + 1, 2);
    EXPECT_EQ(s, u"ababba");
    s = s.mid(2);
    EXPECT_EQ(s, u"abba");
    QvString grow(u"q");
    for (int i = 0; i < 20; ++i) {
        grow.append(grow);
    }
    EXPECT_EQ(grow.length(), 1 << 20);
    QvString twice(u"aXa");
    EXPECT_EQ(twice.replace(u"a", u"aa"), 2);  // the search goes on behind each inserted text
    EXPECT_EQ(twice, u"aaXaa");
}

TEST(QvStringTest, CopiesSharedAcrossThreadsStayIndependent)
{
    const QvString shared(u"shared-text");
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    std::vector<int> wrong(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                QvString copy = shared;  // shares the buffer: atomic count up
                QvString other = copy;
                copy.append(static_cast<char16_t>(u'a' + t));  // private copy before writing
                if (copy.length() != 12 || copy.at(11) != static_cast<char16_t>(u'a' + t) || other != u"shared-text") {
                    ++wrong[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int w : wrong) {
        EXPECT_EQ(w, 0);
    }
    EXPECT_EQ(shared, u"shared-text");
    EXPECT_EQ(shared.refCount(), 1);
}

TEST(QvStringTest, FormatConversionsAndLimits)
{
    const QvString name(u"웹서버");
    EXPECT_EQ(QvString::formatted(u"%s [%s:%d] Wait Start", u"[QvSvrComm] ", name, 8080),
              u"[QvSvrComm]  [웹서버:8080] Wait Start");
    EXPECT_EQ(QvString::formatted(u"%04d|%02u|%5d|%-4d|%x|%X|%c|%%", 7, 3u, 42, 1, 255, 255, u'Z'),
              u"0007|03|   42|1   |ff|FF|Z|%");
    EXPECT_EQ(QvString::formatted(u"%d", -5), u"-5");
    EXPECT_EQ(QvString::formatted(u"%s", std::string("utf8 \xEC\x84\x9C")), u"utf8 서");
    // A mismatched argument prints as what it is instead of garbage, a missing one as nothing.
    EXPECT_EQ(QvString::formatted(u"%d and %s", u"text", 12), u"text and 12");
    EXPECT_EQ(QvString::formatted(u"%s-%s", u"one"), u"one-");

    const std::u16string huge(10000, u'x');
    EXPECT_EQ(QvString::formatted(u"%s", huge).length(), 4096);
}

}  // namespace
