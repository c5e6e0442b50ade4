#include <gtest/gtest.h>

#include <string>

#include "HttpTestSupport.h"
#include "TempDir.h"
#include "httpclient/QvHttpWorkItem.h"

namespace {

std::string bodyString(const std::unique_ptr<unsigned char[]>& bytes, uint32_t length)
{
    return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

std::string textPart(bool first, const std::string& boundary, const std::string& name, const std::string& value)
{
    return std::string(first ? "" : "\r\n") + "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value;
}

std::string filePart(bool first, const std::string& boundary, const std::string& name, const std::string& file,
                     const std::string& bytes)
{
    return std::string(first ? "" : "\r\n") + "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + file + "\"\r\nContent-Type: application/octect-stream\r\n\r\n" + bytes;
}

std::string closing(const std::string& boundary)
{
    return "\r\n--" + boundary + "--\r\n";
}

QvHttpForm formOf(std::initializer_list<std::tuple<std::string, int32_t, std::string>> fields)
{
    QvHttpForm form;
    for (const auto& [name, kind, value] : fields) {
        form[qv(name)].set(kind, qv(value));
    }
    return form;
}

TEST(QvHttpWorkItemBodyTest, ErrorEnvelopesKeepTheirTexts)
{
    const std::pair<int32_t, const char16_t*> cases[] = {
        {-999, u"{\"lang\":\"kr\", \"msg\":\"URL Not Found!\", \"msgcode\":\"-999\", \"nextflag\":\"L\"}"},
        {-998, u"{\"lang\":\"kr\", \"msg\":\"Request Parameter Error!\", \"msgcode\":\"-998\", \"nextflag\":\"L\"}"},
        {-997, u"{\"lang\":\"kr\", \"msg\":\"URL Open Error!\", \"msgcode\":\"-997\", \"nextflag\":\"L\"}"},
        {-996, u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"-996\", \"nextflag\":\"L\"}"},
        {-995, u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"-995\", \"nextflag\":\"L\"}"},
        {-994, u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"-994\", \"nextflag\":\"L\"}"},
        {-1000, u""},
        {-993, u""},
        {0, u""},
        {1, u""},
    };
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(QvHttpWorkItem::makeErrorEnvelope(code).toStd(), std::u16string(text));
    }
}

TEST(QvHttpWorkItemBodyTest, RequestInfoNamesIndexUrlAndTypes)
{
    QvHttpWorkItem item(42);
    item.setRequest(qv("http://host:8080/setup/new_setup.exe"), qv("X-A: 1"), 0, 3, nullptr, 0, qv("back"), nullptr,
                    nullptr);
    EXPECT_EQ(utf8(item.makeRequestInfo()),
              "{\"reqidx\":42,\"baseurl\":\"http://host:8080/setup/new_setup.exe\",\"headinfo\":\"\","
              "\"httpconhead\":\"X-A: 1\",\"reqtype\":\"GET\",\"datatype\":\"File\",\"onlyreturn\":\"back\"}");

    const std::pair<int32_t, const char*> reqTypes[] = {{0, "GET"}, {1, "POST"}, {2, "PUT"}, {3, "DELETE"}, {4, ""}};
    const std::pair<int32_t, const char*> dataTypes[] = {{0, "String"}, {1, "Json"}, {2, "Xml"},
                                                         {3, "File"},   {4, ""},     {-1, ""}};
    for (const auto& [type, text] : reqTypes) {
        EXPECT_EQ(utf8(QvHttpWorkItem::reqTypeText(type)), text);
    }
    for (const auto& [type, text] : dataTypes) {
        EXPECT_EQ(utf8(QvHttpWorkItem::dataTypeText(type)), text);
    }

    // Values go in unescaped.
    QvHttpWorkItem quoted(0);
    quoted.setFormRequest(qv("http://h/a\"b"), qv(""), 1, 4, QvHttpForm(), qv(""), nullptr, nullptr);
    EXPECT_EQ(utf8(quoted.makeRequestInfo()),
              "{\"reqidx\":0,\"baseurl\":\"http://h/a\"b\",\"headinfo\":\"\",\"httpconhead\":\"\","
              "\"reqtype\":\"POST\",\"datatype\":\"\",\"onlyreturn\":\"\"}");
}

TEST(QvHttpWorkItemBodyTest, BoundaryIsSixteenLettersOrDigits)
{
    QvHttpWorkItem item(0);
    item.makeBoundary();
    const std::string boundary = utf8(item.getBoundary());
    ASSERT_EQ(boundary.size(), 16u);
    for (const char c : boundary) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << boundary;
    }
}

TEST(QvHttpWorkItemBodyTest, UpdateQuestionFormHasCmdThenInputThenClosing)
{
    const std::string input = "{\"appname\":\"QvWebServer\",\"appos\":\"Window\",\"appversion\":\"1.0.0.1\"}\n";
    QvHttpWorkItem item(0);
    item.setFormRequest(qv("http://h/appversion"), qv(""), 1, 4, formOf({{"cmd", 0, "appverchk"}, {"input", 1, input}}),
                        qv(""), nullptr, nullptr);
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFormBody(length);
    EXPECT_EQ(bodyString(body, length),
              textPart(true, b, "cmd", "appverchk") + textPart(false, b, "input", input) + closing(b));
}

TEST(QvHttpWorkItemBodyTest, FormFieldsGoInKeyOrderThenKindOrderAsUtf8)
{
    TempDir dir("qvbody");
    const auto a = dir.write("a.bin", std::string("A\0A", 3));
    const auto c = dir.write("c.txt", "ccc");
    dir.write("empty.txt", "");
    const std::string files = a.string() + "@@" + (dir / "missing").string() + "@@" + (dir / "empty.txt").string() +
                              "@@" + dir.path().string() + "@@" + c.string();

    QvHttpForm form = formOf({{"zeta", 1, "last"}, {"upload", 2, files}, {"alpha", 1, "\xED\x95\x9C"}});
    form[qv("alpha")].set(0, qv("first kind"));
    form[qv("alpha")].set(7, qv("ignored kind"));

    QvHttpWorkItem item(0);
    item.setFormRequest(qv("http://h/"), qv(""), 1, 4, form, qv(""), nullptr, nullptr);
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFormBody(length);
    EXPECT_EQ(bodyString(body, length),
              textPart(true, b, "alpha", "first kind") + textPart(false, b, "alpha", "\xED\x95\x9C") +
                  filePart(false, b, "upload", "a.bin", std::string("A\0A", 3)) +
                  filePart(false, b, "upload", "c.txt", "ccc") + textPart(false, b, "zeta", "last") + closing(b));
}

TEST(QvHttpWorkItemBodyTest, FirstPartActuallyWrittenOfAFormTakesTheFirstForm)
{
    TempDir dir("qvbody");
    const auto c = dir.write("c.txt", "ccc");
    QvHttpWorkItem item(0);
    item.setFormRequest(qv("http://h/"), qv(""), 1, 4,
                        formOf({{"files", 2, (dir / "missing").string() + "@@" + c.string()}}), qv(""), nullptr,
                        nullptr);
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFormBody(length);
    EXPECT_EQ(bodyString(body, length), filePart(true, b, "files", "c.txt", "ccc") + closing(b));
}

TEST(QvHttpWorkItemBodyTest, FilePostNamesTheFieldByHowManyPathsItHas)
{
    TempDir dir("qvbody");
    const auto one = dir.write("one.bin", "1111");
    const auto two = dir.write("two.bin", std::string("2\r\n--2", 6));

    QvHttpWorkItem single(0);
    single.addFile(qv(one.string()));
    single.makeBoundary();
    const std::string b1 = utf8(single.getBoundary());
    uint32_t length = 0;
    auto body = single.makeFileBody(length);
    EXPECT_EQ(bodyString(body, length), filePart(true, b1, "file", "one.bin", "1111") + closing(b1));

    QvHttpWorkItem pair(1);
    pair.addFile(qv(one.string()));
    pair.addFile(qv(two.string()));
    pair.makeBoundary();
    const std::string b2 = utf8(pair.getBoundary());
    body = pair.makeFileBody(length);
    EXPECT_EQ(bodyString(body, length), filePart(true, b2, "file[]", "one.bin", "1111") +
                                            filePart(false, b2, "file[]", "two.bin", std::string("2\r\n--2", 6)) +
                                            closing(b2));
}

TEST(QvHttpWorkItemBodyTest, UnopenableFirstPathLeavesTheLaterFormInFront)
{
    TempDir dir("qvbody");
    const auto two = dir.write("two.bin", "22");
    dir.write("empty.bin", "");

    QvHttpWorkItem item(0);
    item.addFile(qv((dir / "missing.bin").string()));
    item.addFile(qv(two.string()));
    item.addFile(qv((dir / "empty.bin").string()));
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFileBody(length);
    const std::string text = bodyString(body, length);
    EXPECT_EQ(text.substr(0, 4), "\r\n--");
    EXPECT_EQ(text, filePart(false, b, "file[]", "two.bin", "22") + closing(b));

    QvHttpWorkItem nothing(1);
    nothing.addFile(qv((dir / "missing.bin").string()));
    nothing.makeBoundary();
    const auto empty = nothing.makeFileBody(length);
    EXPECT_EQ(bodyString(empty, length), closing(utf8(nothing.getBoundary())));
}

TEST(QvHttpWorkItemBodyTest, FilesLargerThanTheFirstCapacityAreWhole)
{
    TempDir dir("qvbody");
    const std::string big = patternBytes(2500000);
    const auto path = dir.write("big.bin", big);
    QvHttpWorkItem item(0);
    item.addFile(qv(path.string()));
    item.addFile(qv(path.string()));
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFileBody(length);
    EXPECT_EQ(bodyString(body, length),
              filePart(true, b, "file[]", "big.bin", big) + filePart(false, b, "file[]", "big.bin", big) + closing(b));
}

TEST(QvHttpWorkItemBodyTest, LongTextValuesAreNotCut)
{
    const std::string value(10000, 'v');
    QvHttpWorkItem item(0);
    item.setFormRequest(qv("http://h/"), qv(""), 1, 4, formOf({{"input", 1, value}}), qv(""), nullptr, nullptr);
    item.makeBoundary();
    const std::string b = utf8(item.getBoundary());
    uint32_t length = 0;
    const auto body = item.makeFormBody(length);
    EXPECT_EQ(bodyString(body, length), textPart(true, b, "input", value) + closing(b));
}

}  // namespace
