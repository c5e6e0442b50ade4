#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "HttpTestSupport.h"
#include "TempDir.h"
#include "httpclient/QvHttpWorkItem.h"

namespace {

std::string textPart(bool first, const std::string& b, const std::string& name, const std::string& value)
{
    return std::string(first ? "" : "\r\n") + "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value;
}

std::string filePart(bool first, const std::string& b, const std::string& name, const std::string& file,
                     const std::string& bytes)
{
    return std::string(first ? "" : "\r\n") + "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + file + "\"\r\nContent-Type: application/octect-stream\r\n\r\n" + bytes;
}

// The body the item makes (form fields when it has any, else its files) with a fresh boundary, and
// the boundary in b.
std::string bodyOf(QvHttpWorkItem& item, bool form, std::string& b)
{
    item.makeBoundary();
    b = item.getBoundary().toUtf8();
    uint32_t length = 0;
    const auto body = form ? item.makeFormBody(length) : item.makeFileBody(length);
    return std::string(reinterpret_cast<const char*>(body.get()), length);
}

// Codes -999 to -994 have an envelope; any other code none.
TEST(QvHttpWorkItemBodyTest, ErrorEnvelopesKeepTheirTexts)
{
    const char* messages[] = {"URL Not Found!",       "Request Parameter Error!", "URL Open Error!",
                              "Response Data Error!", "Response Data Error!",     "Response Data Error!"};
    for (int32_t code = -1000; code <= 1; ++code) {
        const bool known = code >= -999 && code <= -994;
        EXPECT_EQ(QvHttpWorkItem::makeErrorEnvelope(code).toUtf8(),
                  known ? "{\"lang\":\"kr\", \"msg\":\"" + std::string(messages[code + 999]) + "\", \"msgcode\":\"" +
                              std::to_string(code) + "\", \"nextflag\":\"L\"}"
                        : "")
            << code;
    }
}

// The service names the URL: whatever it holds stays inside its JSON string.
TEST(QvHttpWorkItemBodyTest, RequestInfoNamesIndexUrlAndTypesEscapedAsJsonText)
{
    QvHttpWorkItem item(42);
    item.setRequest(qv("http://host:8080/setup/a\\\"b.sh\",\"reqidx\":7"), qv("X-A: 1\r\n"), 0, 3, nullptr, 0,
                    qv("back"), nullptr, nullptr);
    EXPECT_EQ(item.makeRequestInfo().toUtf8(),
              "{\"reqidx\":42,\"baseurl\":\"http://host:8080/setup/a\\\\\\\"b.sh\\\",\\\"reqidx\\\":7\","
              "\"headinfo\":\"\",\"httpconhead\":\"X-A: 1\\u000d\\u000a\",\"reqtype\":\"GET\",\"datatype\":\"File\","
              "\"onlyreturn\":\"back\"}");
}

TEST(QvHttpWorkItemBodyTest, FormFieldsGoInKeyOrderThenKindOrderAndTheFirstWrittenPartLeads)
{
    TempDir dir("qvbody");
    const auto a = dir.write("a.bin", std::string("A\0A", 3));
    const auto c = dir.write("c.txt", "ccc");
    dir.write("empty.txt", "");
    const std::string files = a.string() + "@@" + (dir / "missing").string() + "@@" + (dir / "empty.txt").string() +
                              "@@" + dir.path().string() + "@@" + c.string();
    const std::string input = "{\"appname\":\"QvWebServer\"}\n" + std::string(10000, 'v');  // never cut
    QvHttpForm form;
    form[qv("zeta")].set(1, qv(input));
    form[qv("upload")].set(2, qv(files));
    form[qv("alpha")].set(1, qv("\xED\x95\x9C"));
    form[qv("alpha")].set(0, qv("first kind"));
    form[qv("alpha")].set(7, qv("ignored kind"));
    QvHttpWorkItem item(0);
    item.setFormRequest(qv("http://h/"), qv(""), 1, 4, form, qv(""), nullptr, nullptr);
    std::string b;
    const std::string body = bodyOf(item, true, b);
    ASSERT_EQ(b.size(), 16u);  // a fresh boundary of letters and digits
    EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)); }));
    EXPECT_EQ(body, textPart(true, b, "alpha", "first kind") + textPart(false, b, "alpha", "\xED\x95\x9C") +
                        filePart(false, b, "upload", "a.bin", std::string("A\0A", 3)) +
                        filePart(false, b, "upload", "c.txt", "ccc") + textPart(false, b, "zeta", input) + "\r\n--" +
                        b + "--\r\n");

    // A file part written first takes the first form even when an earlier path was left out.
    QvHttpForm filesOnly;
    filesOnly[qv("files")].set(2, qv((dir / "missing").string() + "@@" + c.string()));
    QvHttpWorkItem second(1);
    second.setFormRequest(qv("http://h/"), qv(""), 1, 4, filesOnly, qv(""), nullptr, nullptr);
    const std::string filesBody = bodyOf(second, true, b);
    EXPECT_EQ(filesBody, filePart(true, b, "files", "c.txt", "ccc") + "\r\n--" + b + "--\r\n");
}

TEST(QvHttpWorkItemBodyTest, FilePostNamesTheFieldByItsPathCountAndPlacesPartsByListPosition)
{
    TempDir dir("qvbody");
    const std::string big = patternBytes(2500000);  // larger than the first capacity
    const std::string one = dir.write("one.bin", big).string();
    const std::string two = dir.write("two.bin", std::string("2\r\n--2", 6)).string();
    const std::string empty = dir.write("empty.bin", "").string();
    const std::string missing = (dir / "missing.bin").string();
    struct Case {
        std::vector<std::string> paths;
        std::string expected;  // with "B" for the boundary
    };
    const Case cases[] = {
        {{one}, filePart(true, "B", "file", "one.bin", big)},
        {{one, two},
         filePart(true, "B", "file[]", "one.bin", big) +
             filePart(false, "B", "file[]", "two.bin", std::string("2\r\n--2", 6))},
        // The first path cannot be opened: the body starts with the later-part form.
        {{missing, two, empty}, filePart(false, "B", "file[]", "two.bin", std::string("2\r\n--2", 6))},
        {{missing}, ""},
    };
    for (const Case& c : cases) {
        QvHttpWorkItem item(0);
        for (const std::string& path : c.paths) {
            item.addFile(qv(path));
        }
        std::string b;
        std::string body = bodyOf(item, false, b);
        for (size_t at = body.find("--" + b); at != std::string::npos; at = body.find("--" + b, at)) {
            body.replace(at + 2, b.size(), "B");
        }
        EXPECT_EQ(body, c.expected + "\r\n--B--\r\n") << c.paths.size();
    }
}

}  // namespace
