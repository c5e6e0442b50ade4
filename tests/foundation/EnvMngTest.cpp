#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "ModuleDirFixture.h"
#include "foundation/EnvMng.h"

namespace fs = std::filesystem;

namespace {

class EnvMngTest : public ModuleDirTest {};

// A definition line like the registry writes: about 300 characters of JSON.
std::string serverLine(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "site%04d", i);
    std::string line = std::string(name) + "={\"basehtml\":\"index.html\",\"basepath\":\"/srv/www/" + name +
                       "/public\",\"contentstype\":{\"css\":\"text/css\",\"html\":\"text/html; charset=utf-8\","
                       "\"js\":\"text/javascript\",\"json\":\"application/json\",\"png\":\"image/png\","
                       "\"svg\":\"image/svg+xml\",\"txt\":\"text/plain\"},\"grpname\":\"Work\",\"name\":\"" +
                       name + "\",\"port\":" + std::to_string(8000 + i) + "}";
    return line;
}

TEST_F(EnvMngTest, CreationLoadsTheThreeFilesWithTheirIds)
{
    write("config/env.ini", "[GROUPLIST]\nCNT=1\n0001=Work\n");
    write("user/env.ini", "[QVWEBSERVER]\nLEFT=12\n");
    write("config/net.ini", "[NET]\nproxy=none\n");
    write("user/session.ini", "[ETC]\nLASTUSEDSESSION=Work`site1\n");

    CEnvMng* env = CEnvMng::getInstance();
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT"), 1);
    EXPECT_EQ(u8(env->getString(ENV_FILE_ENV, u"GROUPLIST", u"0001")), "Work");
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"QVWEBSERVER", u"LEFT"), 12);
    EXPECT_EQ(u8(env->getString(ENV_FILE_NET, u"NET", u"proxy")), "none");
    EXPECT_EQ(u8(env->getString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION")), "Work`site1");
    EXPECT_EQ(u8(CEnvMng::getFileName(ENV_FILE_SESSION)), "session.ini");

    for (int id : {0, 1, 2}) {
        ASSERT_NE(env->getIniFile(id), nullptr);
        EXPECT_EQ(env->getIniFile(id)->getSectionNamesBufferSize(), 4096u);
        EXPECT_EQ(env->getIniFile(id)->getSectionBufferSize(), 65536u);
    }
    EXPECT_EQ(env->getIniFile(3), nullptr);
    EXPECT_EQ(u8(env->getString(3, u"ETC", u"LASTUSEDSESSION")), "");
    EXPECT_EQ(env->getInt(-1, u"GROUPLIST", u"CNT"), 0);
    EXPECT_TRUE(env->getKeys(7, u"GROUPLIST").isEmpty());
    env->setString(7, u"A", u"b", u"c");  // ignored
    env->deleteKey(7, u"A", u"b");
}

TEST_F(EnvMngTest, SettersStayInMemoryUntilSaveOrRelease)
{
    CEnvMng* env = CEnvMng::getInstance();
    env->setString(ENV_FILE_SESSION, u"WEBSVRLIST", u"site1", u"{\"port\":8080}");
    env->setInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT", 2);
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT"), 2);
    EXPECT_FALSE(fs::exists(path("user/session.ini")));

    ASSERT_TRUE(env->getIniFile(ENV_FILE_SESSION)->save(CEnvMng::getFileName(ENV_FILE_SESSION)));
    EXPECT_EQ(read(path("user/session.ini")), "[WEBSVRLIST]\nsite1={\"port\":8080}\n");
    EXPECT_FALSE(fs::exists(path("user/env.ini")));

    CEnvMng::releaseInstance();
    EXPECT_EQ(read(path("user/env.ini")), "[GROUPLIST]\nCNT=2\n");
    EXPECT_FALSE(fs::exists(path("user/net.ini")));  // nothing in its user layer
}

TEST_F(EnvMngTest, DeletedServerIsGoneAfterTheNextStart)
{
    write("user/session.ini", "[WEBSVRLIST]\n" + serverLine(1) + "\n" + serverLine(2) + "\n");
    CEnvMng* env = CEnvMng::getInstance();
    EXPECT_EQ(u8(env->getKeys(ENV_FILE_SESSION, u"WEBSVRLIST").join(u",")), "site0001,site0002");
    env->deleteKey(ENV_FILE_SESSION, u"WEBSVRLIST", u"site0001");
    CEnvMng::releaseInstance();
    qvplat::discardPrivateProfileCacheForTesting();

    env = CEnvMng::getInstance();
    EXPECT_EQ(u8(env->getKeys(ENV_FILE_SESSION, u"WEBSVRLIST").join(u",")), "site0002");
}

TEST_F(EnvMngTest, SessionSectionBeyond65536CharactersLoadsAndSavesWhole)
{
    // 1,000 definitions hold about five times what the 65,536-character buffer takes at once.
    std::string text = "[WEBSVRLIST]\n";
    for (int i = 0; i < 1000; ++i) {
        text += serverLine(i) + "\n";
    }
    write("user/session.ini", text);

    CEnvMng* env = CEnvMng::getInstance();
    const QvStringArray keys = env->getKeys(ENV_FILE_SESSION, u"WEBSVRLIST");
    ASSERT_EQ(keys.size(), 1000);
    for (int i = 0; i < 1000; i += 111) {
        const std::string line = serverLine(i);
        const std::string key = line.substr(0, line.find('='));
        EXPECT_EQ(u8(env->getString(ENV_FILE_SESSION, u"WEBSVRLIST", QvString::fromUtf8(key))),
                  line.substr(line.find('=') + 1));
    }
    const std::string before = read(path("user/session.ini"));
    CEnvMng::releaseInstance();  // saves
    EXPECT_EQ(read(path("user/session.ini")), before);
}

}  // namespace
