#include <gtest/gtest.h>

#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvFile.h"

namespace {

// The three modes the program opens files with.
TEST(QvFileModeTest, SelectorsBuildTheModeText)
{
    const struct {
        int access, kind, encoding;
        const char* mode;
    } cases[] = {{0, 1, 0, "rb"}, {5, 0, 0, "a+t"}, {4, 1, 0, "w+b"}};
    for (const auto& c : cases) {
        EXPECT_EQ(u8(CQvFile::makeOpenMode(static_cast<uint8_t>(c.access), static_cast<uint8_t>(c.kind),
                                           static_cast<uint8_t>(c.encoding))),
                  c.mode)
            << "access " << c.access << " kind " << c.kind << " encoding " << c.encoding;
    }
}

class QvFileTest : public ModuleDirTest {};

TEST_F(QvFileTest, OpenTakesNameAndSizeAndReadsWithinTheBuffer)
{
    const auto file = write("data/page.bin", "0123456789");
    CQvFile f;
    ASSERT_TRUE(f.open(0, 1, toQv(file), 0));
    EXPECT_EQ(f.getSize(), 10u);
    EXPECT_EQ(u8(f.getName()), "page.bin");
    char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(f.read(buffer, 4, 1, 10), 4u);
    EXPECT_EQ(std::string(buffer, 8), "0123####");
    EXPECT_EQ(f.read(buffer, 8, 2, 10), 3u);  // 4 elements fit, 3 remain in the file
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(f.close());  // nothing open any more
}

}  // namespace
