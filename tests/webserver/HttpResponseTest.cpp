#include <gtest/gtest.h>

#include <string>

#include "platform/LocalTime.h"
#include "webserver/HttpResponse.h"

namespace {

qvplat::SystemTime makeTime(uint16_t year, uint16_t month, uint16_t dayOfWeek, uint16_t day, uint16_t hour,
                            uint16_t minute, uint16_t second)
{
    return qvplat::SystemTime{year, month, dayOfWeek, day, hour, minute, second, 0};
}

class HttpResponseTest : public ::testing::Test {
protected:
    void TearDown() override { qvplat::setLocalTimeSource({}); }
    static void setClock(const qvplat::SystemTime& time)
    {
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

TEST_F(HttpResponseTest, AnswerWithoutBodyEndsRightAfterTheEmptyLine)
{
    setClock(makeTime(2026, 12, 5, 4, 9, 5, 7));
    EXPECT_EQ(build(404, "", u"text/html"),
              "HTTP/1.1 404 Not Found\r\n"
              "Date: Fri, 4 Dec 2026 09:05:07\r\n"
              "Server: QvLocalWebSvr\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: text/html\r\n"
              "\r\n");
}

TEST_F(HttpResponseTest, AnswerWithBodyCarriesItsLengthAndTheBodyBytes)
{
    setClock(makeTime(2026, 12, 5, 4, 9, 5, 7));
    const std::string body("a\0b\r\n", 5);
    const std::string header =
        "HTTP/1.1 200 OK\r\n"
        "Date: Fri, 4 Dec 2026 09:05:07\r\n"
        "Server: QvLocalWebSvr\r\n"
        "Connection: Keep-Alive\r\n"
        "Content-Type: image/png\r\n"
        "Content-Length: 5\r\n"
        "\r\n";
    const std::string answer = build(200, body, u"image/png");
    EXPECT_EQ(answer.size(), header.size() + 5);
    EXPECT_EQ(answer, header + body);
}

TEST_F(HttpResponseTest, DateLineUsesLocalTimeWithEnglishNamesAndNoLeadingZeroDay)
{
    struct Case {
        qvplat::SystemTime time;
        const char16_t* text;
    };
    const Case cases[] = {
        {makeTime(2026, 12, 5, 4, 9, 5, 7), u"Fri, 4 Dec 2026 09:05:07"},
        {makeTime(2025, 6, 1, 9, 0, 0, 0), u"Mon, 9 June 2025 00:00:00"},
        {makeTime(2025, 7, 0, 13, 23, 59, 59), u"Sun, 13 July 2025 23:59:59"},
        {makeTime(2024, 2, 4, 29, 12, 30, 1), u"Thu, 29 Feb 2024 12:30:01"},
        {makeTime(999, 1, 6, 31, 7, 8, 9), u"Sat, 31 Jan 0999 07:08:09"},
    };
    for (const Case& c : cases) {
        setClock(c.time);
        EXPECT_EQ(CHttpResponse::makeDateText(), QvString(c.text)) << QvString(c.text).toUtf8();
    }
}

TEST_F(HttpResponseTest, ContentTypeIsCopiedAsItStands)
{
    setClock(makeTime(2026, 12, 5, 4, 9, 5, 7));
    const QvString header = CHttpResponse::buildHeaderText(200, u"text/html; charset=utf-8", 12, u"D");
    EXPECT_EQ(header, QvString(u"HTTP/1.1 200 OK\r\nDate: D\r\nServer: QvLocalWebSvr\r\nConnection: Keep-Alive\r\n"
                               u"Content-Type: text/html; charset=utf-8\r\nContent-Length: 12\r\n\r\n"));
}

}  // namespace
