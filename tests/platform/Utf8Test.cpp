#include <gtest/gtest.h>

#include "platform/posix/Utf8.h"

namespace {

using qvplat::detail::fromUtf8;
using qvplat::detail::toUtf8;

TEST(Utf8Test, IllFormedInputBecomesReplacementCharacters)
{
    struct Case {
        std::string bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        {"\xFF", u"\uFFFD"},
        {"a\x80z", u"a\uFFFDz"},
        {"\xC3", u"\uFFFD"},                                // cut short at the end
        {"\xE2\x82z", u"\uFFFDz"},                          // cut short before a letter
        {"\xF0\x9F\x98", u"\uFFFD"},                        // a four-byte sequence cut short
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xED\xAF\x87", u"\uFFFD\uFFFD\uFFFD"},            // one per maximal bad subsequence
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromUtf8(c.bytes), c.expected) << c.bytes.size() << " bytes";
        EXPECT_FALSE(qvplat::detail::isValidUtf8(c.bytes));
    }
    // Behind long ASCII runs, which the check skips a block at a time.
    EXPECT_FALSE(qvplat::detail::isValidUtf8(std::string(70, 'a') + "\xFF" + std::string(40, 'b')));
    EXPECT_TRUE(qvplat::detail::isValidUtf8(std::string(70, 'a') + "\xC3\xA9" + std::string(40, 'b')));
    EXPECT_EQ(toUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy") << "a lone surrogate";
    EXPECT_EQ(toUtf8(u"\xDC00"), "\xEF\xBF\xBD");
}

// Every byte decodes, so a Windows-1252 file is written back byte for byte.
TEST(Utf8Test, Windows1252RoundTripsEveryByte)
{
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    bool lossless = true;
    EXPECT_EQ(qvplat::detail::toWindows1252(qvplat::detail::fromWindows1252(all), &lossless), all);
    EXPECT_TRUE(lossless);
    EXPECT_EQ(qvplat::detail::fromWindows1252("\x80\x9F\xE9"), u"\u20AC\u0178\u00E9");
    EXPECT_EQ(qvplat::detail::toWindows1252(u"a\uD55C", &lossless), "a?");
    EXPECT_FALSE(lossless);
}

}  // namespace
