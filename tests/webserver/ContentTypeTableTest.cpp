#include <gtest/gtest.h>

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
    EXPECT_FALSE(CContentTypeTable::fillFromFile(QvString::fromUtf8(dir.write("bad.json", "{,}").string()), table));
    EXPECT_EQ(table.size(), 1);
}

}  // namespace
