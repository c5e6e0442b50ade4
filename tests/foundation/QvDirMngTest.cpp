#include <gtest/gtest.h>

#include <filesystem>

#include "ModuleDirFixture.h"
#include "ScopedEnv.h"
#include "foundation/QvDirMng.h"

namespace fs = std::filesystem;

namespace {

class QvDirMngTest : public ModuleDirTest {};

TEST_F(QvDirMngTest, DatedFilePathIsEmptyWhenItsFolderCannotBeMade)
{
    // The executable's folder is a file, so nothing can be made below it.
    write("bin", "not a folder");
    CQvDirMng::releaseInstance();
    qvplat::setModuleFileNameForTesting(path("bin/qvwebserver").u16string());
    CQvDirMng* dirs = CQvDirMng::getInstance();
    EXPECT_TRUE(dirs->getDatedFilePath(u"Log", u"qvsc_", u"log", false, false, false).isEmpty());
    EXPECT_TRUE(dirs->getSubDir(u"Log").isEmpty());
    EXPECT_FALSE(dirs->getDirPath(u"Log").isEmpty());  // forming a path needs no folder
}

// An executable in a folder the user cannot write (one not even root may write): what the program
// writes moves to the XDG folders, what it only reads stays beside the executable.
TEST_F(QvDirMngTest, UnwritableExecutableFolderMovesWritesToTheXdgFolders)
{
    const std::string xdg = root().string();
    const ScopedEnv env{{"XDG_CONFIG_HOME", (xdg + "/xdg-config").c_str()},
                        {"XDG_STATE_HOME", (xdg + "/xdg-state").c_str()},
                        {"XDG_CACHE_HOME", (xdg + "/xdg-cache").c_str()}};
    CQvDirMng::releaseInstance();
    qvplat::setModuleFileNameForTesting(u"/proc/self/qvwebserver");
    CQvDirMng* dirs = CQvDirMng::getInstance();
    EXPECT_EQ(dirs->getDirPath(u"user").toUtf8(), xdg + "/xdg-config/qvwebserver");
    EXPECT_EQ(dirs->getDirPath(u"Log").toUtf8(), xdg + "/xdg-state/qvwebserver");
    EXPECT_EQ(dirs->getDirPath(u"temp").toUtf8(), xdg + "/xdg-cache/qvwebserver");
    EXPECT_EQ(dirs->getDirPath(u"config").toUtf8(), "/proc/self/config");
    CEnvMng::getInstance()->setString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION", u"Work`api");
    CEnvMng::releaseInstance();  // saves the user layer
    EXPECT_TRUE(fs::exists(xdg + "/xdg-config/qvwebserver/session.ini"));
}

}  // namespace
