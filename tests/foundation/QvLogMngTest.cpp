#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ModuleDirFixture.h"
#include "foundation/QvLogMng.h"

namespace fs = std::filesystem;

namespace {

class QvLogMngTest : public ModuleDirTest {};

TEST_F(QvLogMngTest, LogPathCreatesTheLogFolderAndNamesTheDay)
{
    FixedClock clock(makeTime(2026, 12, 4, 5, 10, 0, 0));
    EXPECT_EQ(u8(CQvLogMng::getLogFilePath(u"qvsc_")), path("Log/qvsc_20261204.log").string());
    EXPECT_TRUE(fs::is_directory(path("Log")));
}

TEST_F(QvLogMngTest, ShippedSwitchWritesNoFileButTheLogFolderAppears)
{
    FixedClock clock(makeTime(2026, 12, 4, 5, 10, 0, 0));
    CQvLogMng* log = CQvLogMng::getInstance();
    EXPECT_EQ(log->isEnabled(), CQvLogMng::kSwitchAtCreation);
    const QvString file = CQvLogMng::getLogFilePath(u"qvsc_");
    log->writeLog(file, u"%sinitStart port=%d", u"[QvSvrComm] ", 8080);
    log->writeDebug(u"[%d][%s=%s]", 0, u"key", u"value");

    EXPECT_TRUE(fs::is_directory(path("Log")));
    if (CQvLogMng::kSwitchAtCreation) {
        EXPECT_EQ(read(path("Log/qvsc_20261204.log")), "[2026/12/04][10:00:00:000] [QvSvrComm] initStart port=8080\n");
    } else {
        EXPECT_FALSE(fs::exists(path("Log/qvsc_20261204.log")));
        EXPECT_TRUE(fs::is_empty(path("Log")));
    }
}

TEST_F(QvLogMngTest, LineFormatsCarryPaddedTimeFields)
{
    const qvplat::SystemTime t = makeTime(2025, 1, 5, 0, 9, 4, 3, 7);
    EXPECT_EQ(u8(CQvLogMng::makeFileLine(t, u"hello")), "[2025/01/05][09:04:03:007] hello\n");
    EXPECT_EQ(u8(CQvLogMng::makeDebugLine(t, u"hello")), "[09:04:03:007]:hello\n");
}

TEST_F(QvLogMngTest, LongMessageIsCutToTheBuffer)
{
    const std::u16string longText(2000, u'x');
    const QvString message = CQvLogMng::formatMessage(u"%s", longText);
    EXPECT_EQ(message.length(), 1023);  // 1,024 characters with the terminator
    EXPECT_EQ(u8(CQvLogMng::formatMessage(u"[%s] %d", u"tag", 42)), "[tag] 42");
}

TEST_F(QvLogMngTest, LinesOfOneDayAppendToOneUtf8File)
{
    FixedClock clock(makeTime(2026, 12, 4, 5, 23, 59, 59, 999));
    const QvString file = CQvLogMng::getLogFilePath(u"qvsc_");
    const qvplat::SystemTime now = qvplat::getLocalTime();
    ASSERT_TRUE(CQvLogMng::appendFileLine(file, CQvLogMng::makeFileLine(now, u"first")));
    ASSERT_TRUE(CQvLogMng::appendFileLine(file, CQvLogMng::makeFileLine(now, u"두 번째 \U0001F600")));
    EXPECT_EQ(read(path("Log/qvsc_20261204.log")),
              "[2026/12/04][23:59:59:999] first\n[2026/12/04][23:59:59:999] 두 번째 \xF0\x9F\x98\x80\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(path("Log")), fs::directory_iterator()), 1);
}

TEST_F(QvLogMngTest, UnwritablePathsAreSkippedSilently)
{
    EXPECT_FALSE(CQvLogMng::appendFileLine(u"", u"line\n"));
    EXPECT_FALSE(CQvLogMng::appendFileLine(toQv(path("missing/folder/x.log")), u"line\n"));
    EXPECT_FALSE(fs::exists(path("missing")));
    // The writer accepts an empty path too (the path computation failed) and does nothing.
    CQvLogMng::getInstance()->writeLog(u"", u"%s", u"ignored");
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
    std::string line;
    int count = 0;
    // A whole line reads "thread T line N " and 100 x: nothing of another line mixed in.
    const auto isWhole = [](const std::string& l) {
        if (l.size() < 16 || l.compare(0, 7, "thread ") != 0 || l[7] < '0' || l[7] > '3' ||
            l.compare(8, 6, " line ") != 0) {
            return false;
        }
        size_t i = 14;
        while (i < l.size() && l[i] >= '0' && l[i] <= '9') {
            ++i;
        }
        return i > 14 && l.size() == i + 1 + 100 && l[i] == ' ' && l.find_first_not_of('x', i + 1) == std::string::npos;
    };
    while (std::getline(lines, line)) {
        EXPECT_TRUE(isWhole(line)) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(QvLogMngTest, EnabledWriterAppendsTwoLinesOfOneDayToOneFile)
{
    if (!CQvLogMng::kSwitchAtCreation) {
        GTEST_SKIP() << "the logger is switched off in this build (configure with -DQV_LOG=ON)";
    }
    FixedClock clock(makeTime(2026, 12, 4, 5, 8, 0, 0, 1));
    CQvLogMng* log = CQvLogMng::getInstance();
    log->writeLog(CQvLogMng::getLogFilePath(u"qvsc_"), u"%s%d", u"one ", 1);
    clock.set(makeTime(2026, 12, 4, 5, 9, 0, 0, 2));
    log->writeLog(CQvLogMng::getLogFilePath(u"qvsc_"), u"%s%d", u"two ", 2);
    EXPECT_EQ(read(path("Log/qvsc_20261204.log")),
              "[2026/12/04][08:00:00:001] one 1\n[2026/12/04][09:00:00:002] two 2\n");
}

}  // namespace
