#include <gtest/gtest.h>

#include <string>

#include "platform/LocalTime.h"
#include "webserver/HttpResponse.h"

namespace {

class HttpResponseTest : public ::testing::Test {
protected:
    void TearDown() override { qvplat::setLocalTimeSource({}); }
    static void setClock(uint16_t year, uint16_t month, uint16_t dayOfWeek, uint16_t day, uint16_t hour,
                         uint16_t minute, uint16_t second)
    {
        const qvplat::SystemTime time{year, month, dayOfWeek, day, hour, minute, second, 0};
        qvplat::setLocalTimeSource([time] { return time; });
    }
    static std::string build(int status, const std::string& body, const char16_t* type)
    {
        std::unique_ptr<unsigned char[]> block;
        const int length = CHttpResponse::buildResponse(status, reinterpret_cast<const unsigned char*>(body.data()),
                                                        static_cast<int>(body.size()), type, block);
        return std::string(reinterpret_cast<const char*>(block.get()), static_cast<size_t>(length));
    }
};

// The date text's rendering belongs to the time formatter and is tested with it.
TEST_F(HttpResponseTest, AnswersAreTheFixedHeaderLinesThenTheBody)
{
    setClock(2026, 12, 5, 4, 9, 5, 7);
    const std::string common = "Date: Fri, 4 Dec 2026 09:05:07\r\nServer: QvLocalWebSvr\r\nConnection: Keep-Alive\r\n";
    EXPECT_EQ(build(404, "", u"text/html"), "HTTP/1.1 404 Not Found\r\n" + common + "Content-Type: text/html\r\n\r\n");
    const std::string body("a\0b\r\n", 5);
    EXPECT_EQ(build(200, body, u"image/png"),
              "HTTP/1.1 200 OK\r\n" + common + "Content-Type: image/png\r\nContent-Length: 5\r\n\r\n" + body);
    EXPECT_EQ(build(302, "", u"x/y"), "HTTP/1.1 302 \r\n" + common + "Content-Type: x/y\r\n\r\n");
    // The type as it stands; a length beyond 32 bits in full.
    EXPECT_EQ(CHttpResponse::buildHeaderText(200, u"text/html; charset=utf-8", 4294967301LL, u"D"),
              QvString(u"HTTP/1.1 200 OK\r\nDate: D\r\nServer: QvLocalWebSvr\r\nConnection: Keep-Alive\r\n"
                       u"Content-Type: text/html; charset=utf-8\r\nContent-Length: 4294967301\r\n\r\n"));
}

}  // namespace
