#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RegistryFixture.h"
#include "foundation/EnvMng.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

using WebServerMngrTest = RegistryFixture;

bool add(std::unique_ptr<_tag_WebServerInfo> definition)
{
    if (!CQvWebServerMngr::getInstance()->addServer(definition.get())) {
        return false;
    }
    definition.release();
    return true;
}

TEST_F(WebServerMngrTest, StoredLineIsCompactJsonAndEveryTextReloadsUnchanged)
{
    auto d = makeDefinition(u"site1", u"Work");
    d->basepath = u"/home/me/www/site1";
    d->contentstype.set(u"html", u"text/html");
    ASSERT_TRUE(add(std::move(d)));
    EXPECT_EQ(userValue("session.ini", "WEBSVRLIST", "site1"),
              R"({"basehtml":"index.html","basepath":"/home/me/www/site1","contentstype":{"html":"text/html"},)"
              R"("grpname":"Work","name":"site1","port":8080})");

    auto u = makeDefinition(u"웹서버 \U0001F600", u"그룹", 0);
    u->basepath = u"/srv/사이트 \"quoted\" back\\slash";
    u->basehtml = u"시작.html";
    u->contentstype.set(u"html", u"text/html; charset=UTF-8");
    u->contentstype.set(u"데이터", u"application/x-데이터");
    ASSERT_TRUE(add(std::move(u)));
    simulateExit();
    const _tag_WebServerInfo* back = CQvWebServerMngr::getInstance()->getDefinition(u"웹서버 \U0001F600");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->grpname.toStd() + back->basepath.toStd() + back->basehtml.toStd(),
              std::u16string(u"그룹/srv/사이트 \"quoted\" back\\slash시작.html"));
    EXPECT_EQ(back->port, 0);
    ASSERT_EQ(back->contentstype.size(), 2);
    EXPECT_EQ(*back->contentstype.find(u"html"), u"text/html; charset=UTF-8");
    EXPECT_EQ(*back->contentstype.find(u"데이터"), u"application/x-데이터");
}

TEST_F(WebServerMngrTest, ConfigLayerSuppliesServersUntilUserFileHasItsOwn)
{
    writeConfigFile("session.ini",
                    "[WEBSVRLIST]\n"
                    R"(shipped={"name":"shipped","port":8081,"basepath":"/srv/a","grpname":"None"})"
                    "\n");
    EXPECT_NE(CQvWebServerMngr::getInstance()->getDefinition(u"shipped"), nullptr);
    simulateExit();

    // Loading stored every server in the user layer; from now on the user file is the source.
    EXPECT_FALSE(userValue("session.ini", "WEBSVRLIST", "shipped").empty());
    writeUserFile("session.ini",
                  "[WEBSVRLIST]\n"
                  R"(mine={"name":"mine","port":9000,"basepath":"/srv/b"})"
                  "\n");
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    EXPECT_EQ(registry->getDefinition(u"shipped"), nullptr);
    ASSERT_NE(registry->getDefinition(u"mine"), nullptr);
    EXPECT_EQ(registry->getDefinition(u"mine")->port, 9000);
}

TEST_F(WebServerMngrTest, JsonNameWinsOverKeyAndRepeatedNamesKeepTheFirst)
{
    writeUserFile("session.ini",
                  "[WEBSVRLIST]\n"
                  R"(a-key={"name":"real","port":1111,"basepath":"/first"})"
                  "\n"
                  R"(b-key={"name":"real","port":2222,"basepath":"/second"})"
                  "\n");
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    EXPECT_EQ(registry->serverCount(), 1);
    ASSERT_NE(registry->getDefinition(u"real"), nullptr);
    EXPECT_EQ(registry->getDefinition(u"real")->port, 1111);
    EXPECT_EQ(registry->getDefinition(u"a-key"), nullptr);
    simulateExit();
    // Saved under the JSON name; the old keys stay in the file.
    EXPECT_NE(userValue("session.ini", "WEBSVRLIST", "real").find("\"port\":1111"), std::string::npos);
    EXPECT_FALSE(userValue("session.ini", "WEBSVRLIST", "a-key").empty());
}

TEST_F(WebServerMngrTest, BadEntriesAreSkippedAndEveryGoodOneLoads)
{
    std::string ini = "[WEBSVRLIST]\n";
    ini += "broken={\"name\":\"broken\",\"port\":\n";
    ini += R"(textport={"name":"textport","port":"8080"})"
           "\n";
    ini += R"(notobject={"name":"notobject","contentstype":["html"]})"
           "\n";
    ini += R"(array=[1,2,3])"
           "\n";
    ini += R"(numbername={"name":42})"
           "\n";
    ini += "garbage=\x01\x02\xff\xfe{\n";
    ini += R"(commented={"name":"commented", /* kept */ "port":7000, "contentstype":{"css":"text/css","bad":5}})"
           "\n";
    for (int i = 0; i < 1000; ++i) {
        ini += "srv" + std::to_string(i) + R"(={"name":"srv)" + std::to_string(i) + R"(","port":)" +
               std::to_string(10000 + i) + R"(,"basepath":"/srv/)" + std::to_string(i) + R"("})" + "\n";
    }
    writeUserFile("session.ini", ini);

    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    EXPECT_EQ(registry->serverCount(), 1001);
    EXPECT_EQ(registry->getDefinition(u"srv999")->port, 10999);
    const _tag_WebServerInfo* commented = registry->getDefinition(u"commented");
    ASSERT_NE(commented, nullptr);
    EXPECT_EQ(commented->port, 7000);
    EXPECT_EQ(commented->contentstype.size(), 1);  // the non-string type is skipped
    for (const char16_t* bad : {u"broken", u"textport", u"notobject", u"array", u"numbername"}) {
        EXPECT_EQ(registry->getDefinition(bad), nullptr);
    }
}

TEST_F(WebServerMngrTest, GroupListGrowsOnlyForNewGroupsOtherThanNone)
{
    ASSERT_TRUE(add(makeDefinition(u"a", u"None")));
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "CNT"), "");

    ASSERT_TRUE(add(makeDefinition(u"b", u"Team")));
    ASSERT_TRUE(add(makeDefinition(u"c", u"Team")));
    ASSERT_TRUE(add(makeDefinition(u"d", u"Other")));
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "CNT"), "2");
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "0001"), "Team");
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "0002"), "Other");

    // Deleting the last server of a group keeps the group.
    EXPECT_TRUE(CQvWebServerMngr::getInstance()->deleteServer(u"d"));
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "CNT"), "2");
    EXPECT_EQ(userValue("env.ini", "GROUPLIST", "0002"), "Other");
    EXPECT_EQ(userValue("session.ini", "WEBSVRLIST", "d"), "");
    EXPECT_FALSE(CQvWebServerMngr::getInstance()->deleteServer(u"d"));
}

TEST_F(WebServerMngrTest, ListIsInCaseSensitiveNameOrderWithDefaultOnlyForEmptyGroup)
{
    ASSERT_TRUE(add(makeDefinition(u"beta", u"", 8002)));
    ASSERT_TRUE(add(makeDefinition(u"alpha", u"None", 8001)));
    ASSERT_TRUE(add(makeDefinition(u"Gamma", u"Team", 8003)));
    QvStringArray lines;
    CQvWebServerMngr::getInstance()->listServers(lines);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], u"Team`Gamma`8003`Stop");
    EXPECT_EQ(lines[1], u"None`alpha`8001`Stop");
    EXPECT_EQ(lines[2], u"Default`beta`8002`Stop");
}

}  // namespace
