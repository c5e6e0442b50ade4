#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "ChildProcess.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/FileSystem.h"

namespace {

std::string readStream(std::FILE* file)
{
    std::string text;
    char chunk[256];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
    }
    return text;
}

// The program reads settings and JSON with "rb" and served files with openRegularFileForRead: bytes
// as they are, names in UTF-8 on disk, blocking reads, never inherited by started programs.
TEST(FileSystemTest, FilesOpenForReadingAsBytesAndCloseOnExec)
{
    TempDir dir("qvfs");
    dir.write(
        "\xC3\xBC"
        "bung-\xE6\x97\xA5\xF0\x9F\x98\x80.txt",
        "a\r\nb");
    const std::u16string path = dir.path().u16string() + u"/\u00FCbung-\u65E5\U0001F600.txt";
    for (std::FILE* file : {qvplat::openFile(path, "rb"), qvplat::openRegularFileForRead(path)}) {
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(readStream(file), "a\r\nb");
        EXPECT_FALSE(::fcntl(::fileno(file), F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(::fcntl(::fileno(file), F_GETFD) & FD_CLOEXEC);
        std::fclose(file);
    }
    EXPECT_EQ(qvplat::openFile((dir / "missing").u16string(), "rb"), nullptr);
    EXPECT_EQ(qvplat::openRegularFileForRead(dir.path().u16string()), nullptr) << "a folder";
}

// The runtime folder is the user's alone: made 0700 (or made so), and refused when another user
// made it first (that user runs mkdir through setpriv; only root can switch to it).
TEST(FileSystemTest, RuntimeFolderIsPrivateAndRefusedWhenSomeoneElseOwnsIt)
{
    TempDir dir("qvruntime");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const std::string uid = std::to_string(::geteuid());
    const auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    std::string error;
    const ScopedEnv env{{"XDG_RUNTIME_DIR", nullptr}, {"TMPDIR", dir.path().c_str()}};
    const std::string fallback = (dir.path() / ("qvwebserver-" + uid)).string();
    ::mkdir(fallback.c_str(), 0755);
    EXPECT_EQ(qvplat::runtimeDirectory(error), std::filesystem::path(fallback).u16string()) << error;
    EXPECT_EQ(mode(fallback), 0700);
    std::filesystem::remove(fallback);
    std::string out;
    if (::geteuid() != 0 ||
        ChildProcess::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "mkdir", fallback}, out) !=
            0) {
        GTEST_SKIP() << "cannot run a command as another user here: " << out;
    }
    EXPECT_TRUE(qvplat::runtimeDirectory(error).empty());
    EXPECT_EQ(error, fallback + ": not a folder of this user's own");
}

}  // namespace

// Only this user's old download folders go: a fresh one, another name and a link keep theirs.
TEST(FileSystemTest, StalePrivateFoldersAreRemovedWithTheirFiles)
{
    TempDir dir;
    dir.write("update-old1/setup.deb", "x");
    dir.write("update-old2/setup.deb", "x");
    dir.write("update-new/setup.deb", "x");
    dir.write("other/setup.deb", "x");
    dir.write("kept/setup.deb", "x");
    std::filesystem::create_directory_symlink(dir / "kept", dir / "update-link");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
    for (const char* name : {"update-old1", "update-old2", "other", "kept"}) {
        std::filesystem::last_write_time(dir / name, old);
    }
    EXPECT_EQ(qvplat::removeStalePrivateDirectories(dir.path().u16string(), u"update-", 3600), 2);
    for (const char* name : {"update-new/setup.deb", "other/setup.deb", "kept/setup.deb", "update-link"}) {
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(dir / name))) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "update-old1"));
}
