#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "TempDir.h"
#include "webserver/ContentTypeTable.h"

namespace {

using Table = CContentTypeTable::Table;

QvString typeOf(const Table& table, const char16_t* extension)
{
    QvString type;
    return CContentTypeTable::lookup(table, extension, type) ? type : QvString(u"<none>");
}

TEST(ContentTypeTableTest, StringMembersAreReadOthersSkippedAndTheLaterDuplicateWins)
{
    Table table;
    table.set(u"html", u"old/type");
    table.set(u"keep", u"kept/type");
    ASSERT_TRUE(CContentTypeTable::fillFromJsonText(R"({
        "other": {"css": "wrong/section"},
        "contents-type": {"html": "first/type", "png": "image/png", "num": 42, "obj": {"a": "b"}, "arr": ["x"],
                          "nil": null, "\u00e9t\u00e9": "text/x-summer", "": "text/x-empty", "html": "text/html"}
    })",
                                                    table));
    EXPECT_EQ(table.size(), 5);
    EXPECT_EQ(typeOf(table, u"html"), QvString(u"text/html"));
    EXPECT_EQ(typeOf(table, u"keep"), QvString(u"kept/type"));
    EXPECT_EQ(typeOf(table, u"\u00e9t\u00e9"), QvString(u"text/x-summer"));
    EXPECT_EQ(typeOf(table, u""), QvString(u"text/x-empty"));
    EXPECT_EQ(typeOf(table, u"num"), QvString(u"<none>"));
    EXPECT_EQ(typeOf(table, u"css"), QvString(u"<none>"));
    for (const char16_t* miss : {u"HTML", u".html", u"html ", u"x"}) {  // exact look-up, else octet-stream
        EXPECT_EQ(CContentTypeTable::lookupOrDefault(table, miss), QvString(u"application/octet-stream"));
    }
}

TEST(ContentTypeTableTest, MissingMemberMalformedTextAndMissingFileLeaveTheTableUnchanged)
{
    Table table;
    table.set(u"txt", u"text/plain");
    for (const char* text : {R"({"content-type": {"html": "text/html"}})", R"({"contents-type": "text/html"})",
                             R"({"contents-type": {"html": )", "[]"}) {
        EXPECT_FALSE(CContentTypeTable::fillFromJsonText(text, table)) << text;
    }
    TempDir dir("qvweb-ct");
    EXPECT_FALSE(CContentTypeTable::fillFromFile(QvString::fromUtf8((dir / "nope.json").string()), table));
    EXPECT_FALSE(CContentTypeTable::fillFromFile(
        QvString::fromUtf8(dir.write("bad.json", std::string("\x00\xff\xfe{\x01", 5)).string()), table));
    EXPECT_EQ(table.size(), 1);
}

// The shipped table: browsers read text types as UTF-8 only when told, and since look-up is exact the
// common upper-case spellings need entries of their own.
TEST(ContentTypeTableTest, ShippedTableDeclaresUtf8TextAndKnowsUpperCaseExtensions)
{
    Table table;
    ASSERT_TRUE(CContentTypeTable::fillFromFile(QvString::fromUtf8(QV_CONFIG_JSON), table));
    int textTypes = 0;
    for (const auto& [extension, type] : table) {
        if (type.toUtf8().rfind("text/", 0) == 0) {
            ++textTypes;
            EXPECT_TRUE(type.toUtf8().ends_with("; charset=utf-8")) << extension.toUtf8();
        }
    }
    EXPECT_GT(textTypes, 10);
    for (const std::string lower : {"html", "htm", "css", "js", "txt", "csv", "svg", "png", "jpg", "jpeg", "gif"}) {
        std::string upper = lower;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return char(c - 'a' + 'A'); });
        const auto type = [&](const std::string& e) { return typeOf(table, QvString::fromUtf8(e).toStd().c_str()); };
        EXPECT_EQ(type(upper), type(lower)) << upper;
        EXPECT_NE(type(lower), QvString(u"<none>")) << lower;
    }
}

}  // namespace
