#include <gtest/gtest.h>

#include "RegistryFixture.h"

namespace {

using WebServerMngrTest = RegistryFixture;

bool add(std::unique_ptr<_tag_WebServerInfo> definition)
{
    return CQvWebServerMngr::getInstance()->addServer(definition.get()) && definition.release();  // owned there now
}

// What a loaded definition holds: "group|port|path|ext=type,...".
std::string describe(const _tag_WebServerInfo* d)
{
    if (d == nullptr) {
        return "";
    }
    std::string types;
    for (const auto& [extension, type] : d->contentstype) {
        types += (types.empty() ? "" : ",") + extension.toUtf8() + "=" + type.toUtf8();
    }
    return d->grpname.toUtf8() + "|" + std::to_string(d->port) + "|" + d->basepath.toUtf8() + "|" + types;
}

// A stored line under the key label, and what loading makes of it ("" when it is skipped). The
// entry's name is its label unless the case is about the name.
// The edges FuzzReplay.DefinitionLoad's corpus (checked against the JSON library) does not hold.
struct StoredLine {
    const char* label;
    const char* json;
    const char* loaded;
};
const StoredLine kStoredLines[] = {
    {"plain", R"({"name":"plain","grpname":"G","port":80,"contentstype":{"b":"x/b","a":"x/a"}})", "G|80||a=x/a,b=x/b"},
    // The table text of the line loaded before, then one that a later member replaces.
    {"plainAgain", R"({"name":"plainAgain","contentstype":{"b":"x/b","a":"x/a"},"port":1})", "|1||a=x/a,b=x/b"},
    {"plainAgainThenOther",
     R"({"name":"plainAgainThenOther","contentstype":{"b":"x/b","a":"x/a"},)"
     R"("contentstype":{"c":"x/c"}})",
     "|8080||c=x/c"},
    {"portText", R"({"name":"portText","port":"80"})", ""},
    {"portTrue", R"({"name":"portTrue","port":true})", ""},
    {"portNull", R"({"name":"portNull","port":null})", ""},
    {"portNegativeZero", R"({"name":"portNegativeZero","port":-0.0})", "|0||"},
    {"portFraction", R"({"name":"portFraction","port":80.5})", ""},
    {"portIntMax", R"({"name":"portIntMax","port":2147483647})", "|2147483647||"},
    {"portIntMin", R"({"name":"portIntMin","port":-2147483648})", "|-2147483648||"},
    {"portAboveInt", R"({"name":"portAboveInt","port":2147483648})", ""},
    {"portLeadingZero", R"({"name":"portLeadingZero","port":012})", "|12||"},
    {"portBareMinus", R"({"name":"portBareMinus","port":-})", "|0||"},
    {"nameNumber", R"({"name":42})", ""},
    {"nameEmpty", R"({"name":""})", ""},
    {"groupNumber", R"({"name":"groupNumber","grpname":1})", ""},
    {"pathNull", R"({"name":"pathNull","basepath":null})", ""},
    {"pageArray", R"({"name":"pageArray","basehtml":[]})", ""},
    {"typesArray", R"({"name":"typesArray","contentstype":["a"]})", ""},
    {"typesText", R"({"name":"typesText","contentstype":"a"})", ""},
    {"typesOtherThanTextSkippedSingly",
     R"({"name":"typesOtherThanTextSkippedSingly","contentstype":{"a":"x/a","b":5,"c":{"d":"e"},"e":null,"f":[]}})",
     "|8080||a=x/a"},
    {"lastOfARepeatedMemberWins",
     R"({"name":"lastOfARepeatedMemberWins","port":1,"port":2,"contentstype":{"a":"1"},)"
     R"("contentstype":{"b":"2","b":"3","c":"4","c":5}})",
     "|2||b=3"},
    {"laterNameRescues", R"({"name":5,"name":"laterNameRescues"})", "|8080||"},
    {"laterWrongTypeSpoils", R"({"name":"laterWrongTypeSpoils","port":1,"port":"1"})", ""},
    {"unknownMembersIgnored", R"({"name":"unknownMembersIgnored","x":[1,{"y":null}],"z":1.5e300,"w":1e-400})",
     "|8080||"},
    {"hugeNumberSpoils", R"({"name":"hugeNumberSpoils","x":1e400})", ""},
    {"textAfterTheObjectIgnored", R"({"name":"textAfterTheObjectIgnored"} trailing)", "|8080||"},
    {"rawTabInText", "{\"name\":\"rawTabInText\",\"basepath\":\"a\tb\"}", "|8080|a\tb|"},
    {"escapes", R"({"name":"escapes","grpname":"caf\u00e9 \ud83d\ude00","basepath":"\"\\\/\t","port":1})",
     "café 😀|1|\"\\/\t|"},
};

TEST_F(WebServerMngrTest, StoredLinesLoadAsTheJsonReaderReadsThem)
{
    std::string ini = "[WEBSVRLIST]\n";
    for (const StoredLine& line : kStoredLines) {
        ini += std::string(line.label) + "=" + line.json + "\n";
    }
    m_exe.dir.write("user/session.ini", ini);
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    for (const StoredLine& line : kStoredLines) {
        SCOPED_TRACE(line.label);
        EXPECT_EQ(describe(registry->getDefinition(QvString::fromUtf8(line.label))), line.loaded);
    }
}

// Loading stores every definition under its name in the writer's form: a line in that form is not
// touched, others are rewritten; skipped entries and keys other than the name stay as they are.
TEST_F(WebServerMngrTest, UnchangedDefinitionsAreWrittenBackByteForByte)
{
    const std::string canonical =
        "a={\"basehtml\":\"index.html\",\"basepath\":\"/srv/a\",\"contentstype\":{\"css\":\"text/css\","
        "\"html\":\"text/html\"},\"grpname\":\"Team\",\"name\":\"a\",\"port\":8080}\n"
        "caf\xC3\xA9={\"basehtml\":\"\",\"basepath\":\"\\\"q\\\" \\\\ \\t\",\"contentstype\":{},\"grpname\":"
        "\"\\uadf8\\ub8f9\",\"name\":\"caf\\u00e9\",\"port\":-1}\n"
        "bad={\"name\":5}\n"
        "dup={\"name\":\"a\",\"port\":1}\n";  // a name loaded already: the first one stays
    m_exe.dir.write("user/session.ini",
                    "[WEBSVRLIST]\n" + canonical + "key={\"port\":8.0e3, /* c */ \"name\":\"renamed\"}\n");
    EXPECT_EQ(CQvWebServerMngr::getInstance()->serverCount(), 3);
    auto u = makeDefinition(u"웹서버 \U0001F600", u"그룹", 0);
    u->basepath = u"/srv/사이트";
    u->contentstype.set(u"데이터", u"application/x-데이터");
    ASSERT_TRUE(add(std::move(u)));
    simulateExit();
    EXPECT_EQ(
        userFile("session.ini"),
        "[WEBSVRLIST]\n" + canonical +
            "key={\"port\":8.0e3, /* c */ \"name\":\"renamed\"}\n"
            "renamed={\"basehtml\":\"\",\"basepath\":\"\",\"contentstype\":{},\"grpname\":\"\",\"name\":"
            "\"renamed\",\"port\":8000}\n"
            "\xEC\x9B\xB9\xEC\x84\x9C\xEB\xB2\x84 \xF0\x9F\x98\x80={\"basehtml\":\"index.html\",\"basepath\":\"/srv/"
            "\\uc0ac\\uc774\\ud2b8\",\"contentstype\":{\"\\ub370\\uc774\\ud130\":\"application/x-\\ub370\\uc774"
            "\\ud130\"},\"grpname\":\"\\uadf8\\ub8f9\",\"name\":\"\\uc6f9\\uc11c\\ubc84 "
            "\\ud83d\\ude00\",\"port\":0}\n");
    EXPECT_EQ(describe(CQvWebServerMngr::getInstance()->getDefinition(u"웹서버 \U0001F600")),
              "그룹|0|/srv/사이트|데이터=application/x-데이터");
}

// The shipped definitions become the user's own at the first start.
TEST_F(WebServerMngrTest, LoadingStoresConfigLayerDefinitionsInTheUserLayer)
{
    m_exe.dir.write("config/session.ini", "[WEBSVRLIST]\nshipped={\"name\":\"shipped\",\"port\":8081}\n");
    EXPECT_EQ(CQvWebServerMngr::getInstance()->serverCount(), 1);
    simulateExit();
    EXPECT_NE(userValue("session.ini", "shipped").find("\"port\":8081"), std::string::npos);
}

// Loaded groups are numbered in key order, not in the order of the names they carry.
TEST_F(WebServerMngrTest, LoadedGroupsAreRegisteredInKeyOrder)
{
    m_exe.dir.write("user/session.ini",
                    "[WEBSVRLIST]\nk3={\"name\":\"z\",\"grpname\":\"\"}\n"
                    "oldkey={\"name\":\"a\",\"grpname\":\"Work\"}\n");
    EXPECT_EQ(CQvWebServerMngr::getInstance()->serverCount(), 2);
    EXPECT_EQ(userValue("env.ini", "CNT") + "|" + userValue("env.ini", "0001") + "|" + userValue("env.ini", "0002"),
              "2||Work");
}

TEST_F(WebServerMngrTest, GroupsGrowOnlyForNewNamesOtherThanNoneAndTheListIsInNameOrder)
{
    for (const auto& [name, group] :
         {std::pair{u"beta", u""}, {u"alpha", u"None"}, {u"Gamma", u"Team"}, {u"c", u"Team"}, {u"d", u"Other"}}) {
        ASSERT_TRUE(add(makeDefinition(name, group)));
    }
    EXPECT_TRUE(CQvWebServerMngr::getInstance()->deleteServer(u"d"));  // the group stays
    EXPECT_FALSE(CQvWebServerMngr::getInstance()->deleteServer(u"d"));
    EXPECT_EQ(userValue("session.ini", "d"), "");
    EXPECT_EQ(userValue("env.ini", "CNT") + userValue("env.ini", "0002") + userValue("env.ini", "0003"), "3TeamOther");
    QvStringArray lines;
    CQvWebServerMngr::getInstance()->listServers(lines);
    EXPECT_EQ(lines.join(u"|"), u"Team`Gamma`8080`Stop|None`alpha`8080`Stop|Default`beta`8080`Stop|Team`c`8080`Stop");
}

}  // namespace
