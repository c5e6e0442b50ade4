#include <gtest/gtest.h>

#include "HttpTestSupport.h"
#include "httpclient/HttpHeaderText.h"

namespace {

TEST(HttpHeaderTextTest, CharsetIsTheFirstUnquotedValueInAnyCase)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Content-Type: text/html; charset=UTF-8\r\n", "UTF-8"},
        {"Content-Type: text/plain; CHARSET=euc_kr-x;q\r\n", "euc_kr-x"},
        {"Content-Type: text/plain\r\n", ""},
        {"charset=\"utf-8\"", ""},  // a quoted value is no match
        {"a charset=\"x\" b charset=utf-8 c charset=latin1", "utf-8"},
    };
    for (const auto& [headers, charset] : cases) {
        EXPECT_EQ(qvhttp::findCharset(qv(headers)).toUtf8(), charset) << headers;
    }
}

TEST(HttpHeaderTextTest, ContentLengthNeedsOneSpaceAndDigitsAndStopsAtTheLargest32BitValue)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\n", 50000},
        {"content-length: 12\r\n", 12},
        {"Content-Length:12\r\n", -1},
        {"Content-Length: x\r\nContent-Length: 7\r\n", 7},
        {"Content-Length: 99999999999\r\n", 2147483647},
    };
    for (const auto& [headers, expected] : cases) {
        int32_t length = -1;
        EXPECT_EQ(qvhttp::findContentLength(qv(headers), length), expected >= 0) << headers;
        EXPECT_EQ(length, expected) << headers;
    }
}

}  // namespace
