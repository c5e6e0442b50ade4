#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "ChildProcess.h"
#include "Loopback.h"
#include "TempDir.h"
#include "platform/Process.h"
#include "platform/posix/Utf8.h"

namespace {

using qvplat::detail::fromUtf8;
using qvplat::detail::toUtf8;

bool isGone(int pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;  // a zombie still answers kill(pid, 0)
}

TEST(ProcessTest, CommandLinesSplitLikeAShell)
{
    const struct {
        std::u16string line;
        std::vector<std::u16string> words;
    } cases[] = {
        {u"", {}},
        {u"   \t ", {}},
        {u"  a   b\tc  ", {u"a", u"b", u"c"}},
        {u"\"/opt/My Browser/bin\" \"http://127.0.0.1:8080/\"", {u"/opt/My Browser/bin", u"http://127.0.0.1:8080/"}},
        {u"'it''s' \"a\\\"b\\\\c\\d\"", {u"its", u"a\"b\\c\\d"}},  // escapes inside quotes
        {u"a\\ b c\\\\d \\'q", {u"a b", u"c\\d", u"'q"}},          // escapes outside quotes
        {u"x\"\" '' y", {u"x", u"", u"y"}},                        // empty quotes are words
        {u"pre\"mid dle\"post", {u"premid dlepost"}},
        {u"\"unterminated quote", {u"unterminated quote"}},
        {u"'$HOME' \"$HOME\" *", {u"$HOME", u"$HOME", u"*"}},  // no expansion
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qvplat::splitCommandLine(c.line), c.words) << toUtf8(c.line);
    }
}

TEST(ProcessTest, EmptyOrUnknownProgramIsNotStarted)
{
    EXPECT_FALSE(qvplat::createProcess(u""));
    EXPECT_FALSE(qvplat::createProcess(u"qv-no-such-program-anywhere --flag"));
    EXPECT_FALSE(qvplat::createProcess(u"/nonexistent/dir/program"));
}

// Started programs are reaped without zombies, while a child of our own is left to us.
TEST(ProcessTest, StartedProgramsAreReapedAndOtherChildrenLeftToTheirOwner)
{
    TempDir dir("qvproc");
    const auto go = dir / "go";
    ChildProcess own;  // ends with a known status once the started programs are gone
    ASSERT_TRUE(own.start("sh", {"-c", "while [ ! -e '" + go.string() + "' ]; do sleep 0.01; done; exit 42"},
                          (dir / "own.txt").string()));
    std::vector<int> pids;
    for (int i = 0; i < 20; ++i) {
        int pid = 0;
        ASSERT_TRUE(qvplat::createProcess(u"true", &pid));
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (const int pid : pids) {
        EXPECT_TRUE(qvtest::waitUntil([&] { return isGone(pid); })) << "pid " << pid << " left as a zombie";
    }
    dir.write("go", "go");
    EXPECT_EQ(own.wait(qvtest::kWaitMs), 42) << "our own child was taken from us";
}

TEST(ProcessTest, StartedProgramGetsDefaultSigpipeEvenWhenWeIgnoreIt)
{
    TempDir dir("qvproc");
    const auto out = dir / "status.txt";
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    const bool started =
        qvplat::createProcess(u"sh -c 'grep SigIgn /proc/self/status > \"$0\"' \"" + fromUtf8(out.string()) + u"\"");
    ::sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(started);
    std::string line;
    ASSERT_TRUE(qvtest::waitUntil([&] {
        line = TempDir::read(out);
        return !line.empty() && line.back() == '\n';
    }));
    const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << line;
}

}  // namespace
