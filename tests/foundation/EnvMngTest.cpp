#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ModuleDirFixture.h"
#include "foundation/EnvMng.h"

namespace fs = std::filesystem;

namespace {

class EnvMngTest : public ModuleDirTest {};

TEST_F(EnvMngTest, CreationLoadsTheThreeFiles)
{
    write("config/env.ini", "[GROUPLIST]\nCNT=1\n");
    write("user/env.ini", "[QVWEBSERVER]\nLEFT=12\n");
    write("config/net.ini", "[NET]\nproxy=none\n");
    write("user/session.ini", "[ETC]\nLASTUSEDSESSION=Work`site1\n");

    CEnvMng* env = CEnvMng::getInstance();
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT"), 1);
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"QVWEBSERVER", u"LEFT"), 12);
    EXPECT_EQ(u8(env->getString(ENV_FILE_NET, u"NET", u"proxy")), "none");
    EXPECT_EQ(u8(env->getString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION")), "Work`site1");
}

TEST_F(EnvMngTest, SettersStayInMemoryUntilSaveOrRelease)
{
    CEnvMng* env = CEnvMng::getInstance();
    env->setString(ENV_FILE_SESSION, u"WEBSVRLIST", u"site1", u"{\"port\":8080}");
    env->setInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT", 2);
    EXPECT_EQ(env->getInt(ENV_FILE_ENV, u"GROUPLIST", u"CNT"), 2);
    EXPECT_FALSE(fs::exists(path("user/session.ini")));

    ASSERT_TRUE(env->save(ENV_FILE_SESSION));
    EXPECT_EQ(read(path("user/session.ini")), "[WEBSVRLIST]\nsite1={\"port\":8080}\n");
    EXPECT_FALSE(fs::exists(path("user/env.ini")));

    CEnvMng::releaseInstance();
    EXPECT_EQ(read(path("user/env.ini")), "[GROUPLIST]\nCNT=2\n");
    EXPECT_FALSE(fs::exists(path("user/net.ini")));  // nothing in its user layer
}

}  // namespace
