#include <gtest/gtest.h>

#include <filesystem>

#include "ModuleDirFixture.h"
#include "foundation/QvDirMng.h"

namespace fs = std::filesystem;

namespace {

class QvDirMngTest : public ModuleDirTest {};

// Paths below the executable's folder: forming one creates nothing, the sub-folder calls create it.
TEST_F(QvDirMngTest, PathsLieBesideTheExecutableAndOnlySubDirCallsCreateFolders)
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    EXPECT_EQ(u8(dirs->getModuleDir()), root().string());
    EXPECT_EQ(u8(dirs->getDirPath(u"config")), path("config").string());
    EXPECT_EQ(u8(dirs->getFilePath(u"user", u"env.ini", false)), path("user/env.ini").string());
    EXPECT_FALSE(fs::exists(path("config")));
    EXPECT_FALSE(fs::exists(path("user")));
    EXPECT_EQ(u8(dirs->getFilePath(u"temp", u"setup.bin", true)), path("temp/setup.bin").string());
    EXPECT_TRUE(fs::is_directory(path("temp")));
    EXPECT_FALSE(fs::exists(path("temp/setup.bin")));
    EXPECT_EQ(u8(dirs->getSubDir(u"Log")), path("Log").string());
    EXPECT_TRUE(fs::is_directory(path("Log")));
}

TEST_F(QvDirMngTest, MakeDirectoriesCreatesEveryMissingLevelUnlessAFileIsInTheWay)
{
    // Trailing blanks and a trailing separator are ignored.
    QvString trailing = toQv(path("a/b/c/"));
    trailing += u"  ";
    EXPECT_TRUE(CQvDirMng::makeDirectories(trailing));
    EXPECT_TRUE(fs::is_directory(path("a/b/c")));
    // Existing levels are fine, and so is a doubled separator.
    EXPECT_TRUE(CQvDirMng::makeDirectories(toQv(root().string() + "/a//b/d")));
    EXPECT_TRUE(fs::is_directory(path("a/b/d")));
    EXPECT_TRUE(CQvDirMng::makeDirectories(u"/"));
    EXPECT_FALSE(CQvDirMng::makeDirectories(u""));

    write("f", "not a folder");
    EXPECT_FALSE(CQvDirMng::makeDirectories(toQv(path("f/b"))));
    EXPECT_TRUE(fs::is_regular_file(path("f")));
    // The file itself counts as present, so asking for it alone succeeds.
    EXPECT_TRUE(CQvDirMng::makeDirectories(toQv(path("f"))));
}

// The log files' names: the date alone (the only form the program asks for), every field padded.
TEST_F(QvDirMngTest, DatedNamesPadEveryField)
{
    EXPECT_EQ(u8(CQvDirMng::makeDatedName(makeTime(987, 1, 2, 0, 3, 4, 5), u"qvsc_", u"log", false, false, false)),
              "qvsc_09870102.log");
}

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

}  // namespace
