#include <gtest/gtest.h>

#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvFile.h"

namespace {

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
