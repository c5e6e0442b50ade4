#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "ModuleDirFixture.h"
#include "foundation/QvFileMng.h"

namespace {

class QvFileMngTest : public ModuleDirTest {};

// Malformed UTF-8 is replaced, not rejected.
TEST_F(QvFileMngTest, ReadsAUtf8JsonFileIntoADocument)
{
    write("config/config.json",
          "{\"contents-type\": {\"html\": \"text/html; charset=utf-8\", \"txt\": \"텍스트 \xF0\x9F\x98\x80\"},"
          " \"bad\": \"a\xFF\"}");
    rapidjson::Document doc;
    ASSERT_TRUE(CQvFileMng::getInstance()->readJsonFile(QvString(path("config/config.json").u16string()), doc, 0));
    const rapidjson::Value& types = doc["contents-type"];
    EXPECT_STREQ(types["html"].GetString(), "text/html; charset=utf-8");
    EXPECT_STREQ(types["txt"].GetString(), "텍스트 \xF0\x9F\x98\x80");
    EXPECT_STREQ(doc["bad"].GetString(), "a\xEF\xBF\xBD");
}

}  // namespace
