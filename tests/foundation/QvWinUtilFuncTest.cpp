#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "Loopback.h"
#include "ModuleDirFixture.h"
#include "foundation/QvWinUtilFunc.h"
#include "platform/Monitor.h"

namespace fs = std::filesystem;

namespace {

class QvWinUtilFuncTest : public ModuleDirTest {
protected:
    void TearDown() override
    {
        qvplat::setWorkAreaProvider({});
        ModuleDirTest::TearDown();
    }
};

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

TEST_F(QvWinUtilFuncTest, AssocQueryRejectsBadParameters)
{
    CQvWinUtilFunc* util = CQvWinUtilFunc::getInstance();
    char16_t buffer[260] = {u'x'};
    uint32_t length = 0;
    EXPECT_FALSE(util->assocQueryString(u".html", buffer, &length));
    length = 260;
    EXPECT_FALSE(util->assocQueryString(u"", buffer, &length));
    EXPECT_FALSE(util->assocQueryString(nullptr, buffer, &length));
    EXPECT_FALSE(util->assocQueryString(u".html", nullptr, &length));
    EXPECT_FALSE(util->assocQueryString(u".html", buffer, nullptr));
    EXPECT_EQ(buffer[0], u'x');  // untouched by refused calls
}

TEST_F(QvWinUtilFuncTest, ProductVersionHasFourNumbers)
{
    const std::string version = u8(CQvWinUtilFunc::getInstance()->getProductVersion());
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;
}

TEST_F(QvWinUtilFuncTest, RectMustLieWhollyInsideTheNearestWorkArea)
{
    CQvWinUtilFunc* util = CQvWinUtilFunc::getInstance();
    EXPECT_FALSE(util->isRectOnMonitorWorkArea({10, 10, 100, 100}));  // no screen at all

    int askedX = -1;
    int askedY = -1;
    qvplat::setWorkAreaProvider([&](int x, int y, qvplat::Rect& area) {
        askedX = x;
        askedY = y;
        area = x < 1920 ? qvplat::Rect{0, 0, 1920, 1040} : qvplat::Rect{1920, 0, 3840, 1080};
        return true;
    });
    const struct {
        QvRect rect;
        bool inside;
    } cases[] = {
        {{0, 0, 1920, 1040}, true},    {{0, 0, 1921, 1040}, false},    {{0, 0, 1920, 1041}, false},
        {{-1, 0, 100, 100}, false},    {{100, 100, 500, 400}, true},   {{1900, 10, 2000, 100}, false},
        {{1920, 0, 3840, 1080}, true}, {{2000, -1, 2100, 100}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(util->isRectOnMonitorWorkArea(c.rect), c.inside)
            << c.rect.left << "," << c.rect.top << "," << c.rect.right << "," << c.rect.bottom;
    }
    EXPECT_EQ(askedX, 2000);
    EXPECT_EQ(askedY, -1);
}

}  // namespace
