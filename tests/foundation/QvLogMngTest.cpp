#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ModuleDirFixture.h"
#include "foundation/QvLogMng.h"

namespace fs = std::filesystem;

namespace {

class QvLogMngTest : public ModuleDirTest {};

// The "Log" folder appears even while the switch is off; lines appear only when the build turns it on.
// The file is named by the day, every field padded.
TEST_F(QvLogMngTest, WriterFollowsTheBuildSwitchAndNamesTheFileByDay)
{
    FixedClock clock(makeTime(2026, 2, 4, 3, 8, 0, 0, 1));
    CQvLogMng* log = CQvLogMng::getInstance();
    const QvString file = CQvLogMng::getLogFilePath(u"qvsc_");
    EXPECT_EQ(file.toUtf8(), path("Log/qvsc_20260204.log").string());
    EXPECT_TRUE(fs::is_directory(path("Log")));
    log->writeLog(file, u"%sinitStart port=%d", u"[QvSvrComm] ", 8080);
    clock.set(makeTime(2026, 2, 4, 3, 9, 0, 0, 2));
    log->writeLog(CQvLogMng::getLogFilePath(u"qvsc_"), u"%s%d", u"two ", 2);
    log->writeDebug(u"[%d][%s=%s]", 0, u"key", u"value");
    EXPECT_EQ(read(path("Log/qvsc_20260204.log")),
              CQvLogMng::kSwitchAtCreation
                  ? "[2026/02/04][08:00:00:001] [QvSvrComm] initStart port=8080\n[2026/02/04][09:00:00:002] two 2\n"
                  : "");
}

TEST_F(QvLogMngTest, LinesCarryPaddedTimeFieldsAndMessagesAreCut)
{
    const qvplat::SystemTime t = makeTime(2025, 1, 5, 0, 9, 4, 3, 7);
    EXPECT_EQ(CQvLogMng::makeFileLine(t, u"hello").toUtf8(), "[2025/01/05][09:04:03:007] hello\n");
    EXPECT_EQ(CQvLogMng::makeDebugLine(t, u"hello").toUtf8(), "[09:04:03:007]:hello\n");
    EXPECT_EQ(CQvLogMng::formatMessage(u"%s", std::u16string(2000, u'x')).length(), 1023);  // 1,024 with the NUL
}

TEST_F(QvLogMngTest, LinesAppendAsUtf8AndUnwritablePathsAreSkipped)
{
    const QvString file(path("x.log").u16string());
    ASSERT_TRUE(CQvLogMng::appendFileLine(file, u"first\n"));
    ASSERT_TRUE(CQvLogMng::appendFileLine(file, u"두 번째 \U0001F600\n"));
    EXPECT_EQ(read(path("x.log")), "first\n두 번째 \xF0\x9F\x98\x80\n");
    EXPECT_FALSE(CQvLogMng::appendFileLine(u"", u"line\n"));
    EXPECT_FALSE(CQvLogMng::appendFileLine(QvString(path("missing/folder/x.log").u16string()), u"line\n"));
    EXPECT_FALSE(fs::exists(path("missing")));
    CQvLogMng::getInstance()->writeLog(u"", u"%s", u"ignored");  // a failed path computation
}

TEST_F(QvLogMngTest, ThreadsLoggingAtOnceKeepEveryLineWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    CQvDirMng::releaseInstance();  // the threads race to create the singletons
    CQvLogMng::releaseInstance();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                const QvString file = CQvLogMng::getLogFilePath(u"qvsc_");
                CQvLogMng::getInstance()->writeLog(file, u"%sthread %d line %d", u"[QvSvrComm] ", t, i);
                const QvString line = QvString::formatted(u"thread %d line %d %s\n", t, i, std::u16string(100, u'x'));
                CQvLogMng::appendFileLine(CQvLogMng::getLogFilePath(u"test_"), line);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::string text;
    for (const auto& entry : fs::directory_iterator(path("Log"))) {
        if (entry.path().filename().string().rfind("test_", 0) == 0) {
            text = read(entry.path());
        }
    }
    std::istringstream lines(text);
    const std::regex whole("thread [0-3] line [0-9]+ x{100}");  // nothing of another line mixed in
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
