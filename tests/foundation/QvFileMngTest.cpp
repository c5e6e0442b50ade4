#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "ModuleDirFixture.h"
#include "foundation/QvFileMng.h"

namespace {

class QvFileMngTest : public ModuleDirTest {};

TEST_F(QvFileMngTest, ReadsAUtf8JsonFileIntoADocument)
{
    write("config/config.json",
          "{\"contents-type\": {\"html\": \"text/html; charset=utf-8\", \"txt\": \"텍스트 \xF0\x9F\x98\x80\"}}");
    rapidjson::Document doc;
    ASSERT_TRUE(CQvFileMng::getInstance()->readJsonFile(toQv(path("config/config.json")), doc, 0));
    ASSERT_TRUE(doc.IsObject());
    const rapidjson::Value& types = doc["contents-type"];
    EXPECT_STREQ(types["html"].GetString(), "text/html; charset=utf-8");
    EXPECT_STREQ(types["txt"].GetString(), "텍스트 \xF0\x9F\x98\x80");
}

TEST_F(QvFileMngTest, MalformedUtf8IsReplacedNotRejected)
{
    write("bad.json",
          "{\"k\": \"a\xFF"
          "b\"}");
    rapidjson::Document doc;
    ASSERT_TRUE(CQvFileMng::getInstance()->readJsonFile(toQv(path("bad.json")), doc, 0));
    EXPECT_STREQ(doc["k"].GetString(),
                 "a\xEF\xBF\xBD"
                 "b");
}

TEST_F(QvFileMngTest, MissingEmptyOrInvalidFilesFail)
{
    write("empty.json", "");
    write("broken.json", "{\"a\": [1, 2,");
    write("text.json", "not json at all");
    rapidjson::Document doc;
    CQvFileMng* files = CQvFileMng::getInstance();
    EXPECT_FALSE(files->readJsonFile(toQv(path("missing.json")), doc, 0));
    EXPECT_FALSE(files->readJsonFile(toQv(path("empty.json")), doc, 0));
    EXPECT_FALSE(files->readJsonFile(toQv(path("broken.json")), doc, 0));
    EXPECT_FALSE(files->readJsonFile(toQv(path("text.json")), doc, 0));
    EXPECT_FALSE(files->readJsonFile(toQv(root()), doc, 0));  // a folder has no bytes to read
}

}  // namespace
