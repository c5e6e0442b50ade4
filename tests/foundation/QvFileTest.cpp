#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvFile.h"

namespace fs = std::filesystem;

namespace {

TEST(QvFileModeTest, SelectorsBuildTheModeText)
{
    const struct {
        int access, kind, encoding;
        const char* mode;
    } cases[] = {
        {0, 0, 0, "rt"},
        {1, 0, 0, "wt"},
        {2, 0, 0, "at"},
        {3, 0, 0, "r+t"},
        {4, 0, 0, "w+t"},
        {5, 0, 0, "a+t"},
        {6, 0, 0, "rt"},
        {9, 0, 0, "rt"},
        {255, 1, 0, "rb"},
        {0, 1, 0, "rb"},
        {1, 1, 0, "wb"},
        {0, 2, 0, "r"},
        {4, 7, 0, "w+"},
        {2, 0, 2, "at, ccs=UTF-8"},
        {0, 0, 1, "rt, ccs=UNICODE"},
        {1, 1, 3, "wb, ccs=UTF-16LE"},
        {5, 2, 4, "a+"},
        {0, 1, 255, "rb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(u8(CQvFile::makeOpenMode(static_cast<uint8_t>(c.access), static_cast<uint8_t>(c.kind),
                                           static_cast<uint8_t>(c.encoding))),
                  c.mode)
            << "access " << c.access << " kind " << c.kind << " encoding " << c.encoding;
    }
}

class QvFileTest : public ModuleDirTest {};

TEST_F(QvFileTest, OpenRecordsPathNameAndSize)
{
    const fs::path file = write("data/page.html", "<html>héllo</html>");
    CQvFile f;
    ASSERT_TRUE(f.open(0, 1, toQv(file), 0));
    EXPECT_EQ(f.getSize(), 19u);
    EXPECT_EQ(u8(f.getPath()), file.string());
    EXPECT_EQ(u8(f.getName()), "page.html");
    EXPECT_EQ(f.getKind(), 1);

    char buffer[64] = {};
    EXPECT_EQ(f.read(buffer, sizeof buffer, 1, f.getSize()), 19u);
    EXPECT_EQ(std::string(buffer), "<html>héllo</html>");
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(f.close());  // nothing open any more
}

TEST_F(QvFileTest, UnknownAccessOpensForReadingAndCreatesNothing)
{
    const fs::path file = write("a.txt", "abc");
    CQvFile f;
    ASSERT_TRUE(f.open(9, 0, toQv(file), 0));
    char buffer[4] = {};
    EXPECT_EQ(f.read(buffer, 3, 1, 3), 3u);
    EXPECT_EQ(f.write("x", 1, 1, 1), 0u);  // a read-only stream takes no bytes
    f.close();
    EXPECT_EQ(read(file), "abc");

    CQvFile g;
    EXPECT_FALSE(g.open(9, 0, toQv(path("b.txt")), 0));
    EXPECT_FALSE(fs::exists(path("b.txt")));
}

TEST_F(QvFileTest, FailedOpenLeavesTheObjectClosed)
{
    const fs::path file = write("a.txt", "abc");
    CQvFile f;
    ASSERT_TRUE(f.open(0, 1, toQv(file), 0));
    EXPECT_FALSE(f.open(0, 1, toQv(path("missing.txt")), 0));
    EXPECT_FALSE(f.isOpen());
    EXPECT_TRUE(f.getPath().isEmpty());
    EXPECT_EQ(f.getKind(), 0);
    char buffer[4];
    EXPECT_EQ(f.read(buffer, sizeof buffer, 1, 4), 0u);
    EXPECT_EQ(f.write("abc", 3, 1, 3), 0u);
    // A folder is not a file, whatever the mode.
    EXPECT_FALSE(f.open(0, 1, toQv(root()), 0));
    EXPECT_FALSE(f.open(5, 0, toQv(root()), 0));
}

TEST_F(QvFileTest, ReadNeverPassesTheBufferSize)
{
    const fs::path file = write("a.bin", "0123456789");
    CQvFile f;
    ASSERT_TRUE(f.open(0, 1, toQv(file), 0));
    char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(f.read(buffer, 4, 1, 10), 4u);
    EXPECT_EQ(std::string(buffer, 8), "0123####");
    EXPECT_EQ(f.read(buffer, 8, 2, 10), 3u);  // 4 elements fit, 3 remain in the file
}

TEST_F(QvFileTest, WriteAndAppendModesKeepBytesExactly)
{
    const QvString file = toQv(path("out.log"));
    {
        CQvFile f;
        ASSERT_TRUE(f.open(1, 0, file, 2));  // text with an encoding suffix still writes plain bytes
        EXPECT_EQ(f.write("one\r\n", 0, 1, 5), 5u);
    }
    {
        CQvFile f;
        ASSERT_TRUE(f.open(5, 0, file, 0));
        EXPECT_EQ(f.getSize(), 5u);
        EXPECT_EQ(f.write("two\n", 0, 1, 4), 4u);
    }
    EXPECT_EQ(read(path("out.log")), "one\r\ntwo\n");
}

}  // namespace
