#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Loopback.h"
#include "ModuleDirFixture.h"
#include "foundation/QvWinUtilFunc.h"

namespace fs = std::filesystem;

namespace {

class QvWinUtilFuncTest : public ModuleDirTest {};

TEST_F(QvWinUtilFuncTest, CommandLineStartsAProgramUnlessEmpty)
{
    CQvWinUtilFunc* util = CQvWinUtilFunc::getInstance();
    EXPECT_FALSE(util->executeCommandLine(nullptr, CQvWinUtilFunc::kShowNormal));
    EXPECT_FALSE(util->executeCommandLine(u"", CQvWinUtilFunc::kShowNormal));
    const fs::path marker = path("started marker");
    const std::u16string line = u"touch '" + marker.u16string() + u"'";
    ASSERT_TRUE(util->executeCommandLine(line.c_str(), CQvWinUtilFunc::kShowNormal));
    EXPECT_TRUE(qvtest::waitUntil([&] { return fs::exists(marker); }));  // the program is not waited for
}

}  // namespace
