#include <gtest/gtest.h>

#include <utility>

#include "platform/LocalTime.h"
#include "webserver/AccessLog.h"

namespace {

TEST(AccessLogTest, LinesFollowTheCommonLogFormat)
{
    // The arguments after the address, and the line they make.
    struct Call {
        qvplat::SystemTime time;
        int offsetMinutes;
        const char* requestLine;
        int status;
        long long bytes;
    };
    const std::pair<Call, const char*> cases[] = {
        {{{2026, 6, 5, 5, 9, 5, 7, 0}, 120, "GET / HTTP/1.1", 200, 1234},
         R"(10.0.0.7 - - [05/Jun/2026:09:05:07 +0200] "GET / HTTP/1.1" 200 1234)"},
        {{{2026, 12, 5, 31, 23, 59, 59, 0}, -210, "GET /x HTTP/1.1", 404, 0},
         R"(10.0.0.7 - - [31/Dec/2026:23:59:59 -0330] "GET /x HTTP/1.1" 404 -)"},
        {{{2026, 7, 3, 1, 0, 0, 0, 0}, 0, "GET /\"a\\\x1b[2J\xc3\xa9 HTTP/1.1", 200, 5},
         R"(10.0.0.7 - - [01/Jul/2026:00:00:00 +0000] "GET /\x22a\x5c\x1b[2J\xc3\xa9 HTTP/1.1" 200 5)"},
    };
    for (const auto& [c, line] : cases) {
        EXPECT_EQ(CQvAccessLog::formatLine("10.0.0.7", c.time, c.offsetMinutes, c.requestLine, c.status, c.bytes),
                  line);
    }
}

}  // namespace
