#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "TempDir.h"
#include "platform/FileSystem.h"
#include "platform/posix/Utf8.h"

namespace {

using qvplat::detail::fromUtf8;

std::u16string u16(const std::filesystem::path& p)
{
    return fromUtf8(p.string());
}

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

TEST(FileSystemTest, ModuleFileNameIsThisExecutable)
{
    const std::u16string real = qvplat::getModuleFileName();
    const std::u16string suffix = u"/qv_platform_tests";
    ASSERT_GT(real.size(), suffix.size());
    EXPECT_EQ(real.front(), qvplat::kPathSeparator);
    EXPECT_TRUE(qvplat::isRegularFile(real));
    EXPECT_EQ(real.substr(real.size() - suffix.size()), suffix);
}

TEST(FileSystemTest, EntryKinds)
{
    TempDir dir("qvfs");
    const auto file = dir.write("file.txt", "x");
    const auto folder = dir / "folder";
    std::filesystem::create_directory(folder);
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto dangling = dir / "dangling";
    std::filesystem::create_symlink(dir / "nowhere", dangling);

    struct Case {
        std::filesystem::path path;
        bool exists, regular, directory;
    };
    const Case cases[] = {
        {file, true, true, false},       {folder, true, false, true},
        {fifo, true, false, false},      {dir / "missing", false, false, false},
        {dangling, false, false, false}, {"/dev/null", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(qvplat::pathExists(u16(c.path)), c.exists);
        EXPECT_EQ(qvplat::isRegularFile(u16(c.path)), c.regular);
        EXPECT_EQ(qvplat::isDirectory(u16(c.path)), c.directory);
    }
    EXPECT_FALSE(qvplat::pathExists(u""));
}

TEST(FileSystemTest, NonAsciiNamesAreUtf8OnDisk)
{
    TempDir dir("qvfs");
    const std::u16string name = u"\u00FCbung-\u65E5\u672C-\U0001F600.txt";
    std::FILE* file = qvplat::openFile(u16(dir.path()) + u"/" + name, "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("data", file);
    std::fclose(file);
    EXPECT_TRUE(std::filesystem::exists(dir / "\xC3\xBC"
                                              "bung-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt"));
}

// Windows mode strings open as bytes ("t" and ", ccs=" change nothing), never inherited by started programs.
TEST(FileSystemTest, WindowsModeStringsOpenAsBytes)
{
    const struct {
        const char* mode;
        const char* initial;  // nullptr: the file does not exist beforehand
        const char* written;
        const char* expected;  // file content afterwards; nullptr: open must fail
    } cases[] = {
        {"rb", "abc", "", "abc"},
        {"rt", "a\r\nb", "", "a\r\nb"},
        {"r", nullptr, "", nullptr},
        {"wb", "old", "new\n", "new\n"},
        {"wt, ccs=UTF-8", "old", "l1\nl2\n", "l1\nl2\n"},
        {"at, ccs=UTF-8", "one\n", "two\n", "one\ntwo\n"},
        {"a+", nullptr, "x", "x"},
        {"r+b", "abc", "X", "Xbc"},
        {"w+t, ccs=UTF-16LE", nullptr, "z", "z"},
        {"rt, ccs=UNICODE", "u", "", "u"},
        {"", "abc", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("mode \"") + c.mode + "\"");
        TempDir dir("qvfs");
        const auto path = dir / "f.txt";
        if (c.initial != nullptr) {
            dir.write("f.txt", c.initial);
        }
        std::FILE* file = qvplat::openFile(u16(path), c.mode);
        ASSERT_EQ(file != nullptr, c.expected != nullptr);
        if (file == nullptr) {
            continue;
        }
        EXPECT_TRUE(::fcntl(::fileno(file), F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(std::fwrite(c.written, 1, std::strlen(c.written), file), std::strlen(c.written));
        std::fclose(file);
        EXPECT_EQ(TempDir::read(path), c.expected);
    }
}

TEST(FileSystemTest, OpenRegularFileForReadReadsFiles)
{
    TempDir dir("qvfs");
    const auto path = dir.write("page.html", "<html></html>");
    std::FILE* file = qvplat::openRegularFileForRead(u16(path));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(readStream(file), "<html></html>");
    const int fd = ::fileno(file);
    EXPECT_FALSE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    std::fclose(file);
}

}  // namespace
