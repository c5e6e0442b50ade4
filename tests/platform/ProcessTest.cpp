#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

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
    EXPECT_FALSE(qvplat::createProcess(u"  \t"));
    EXPECT_FALSE(qvplat::createProcess(u"qv-no-such-program-anywhere --flag"));
    EXPECT_FALSE(qvplat::createProcess(u"/nonexistent/dir/program"));
}

TEST(ProcessTest, StartsTheCommandLineWithItsArguments)
{
    TempDir dir("qvproc");
    const auto out = dir / "out.txt";
    const std::u16string line =
        u"sh -c 'printf \"%s|%s\" \"$0\" \"$1\" > \"$2\"' first \"second word\" \"" + fromUtf8(out.string()) + u"\"";
    ASSERT_TRUE(qvplat::createProcess(line));
    ASSERT_TRUE(qvtest::waitUntil([&] { return TempDir::read(out) == "first|second word"; }));
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

// ---- Default program for an extension -------------------------------------------------------

struct AssocCase {
    const char* name;
    const char* xdgMimeAnswer;  // nullptr: no xdg-mime in PATH
    const char* entryFile;      // below data/applications; nullptr: none
    const char* entryText;      // "@" stands for the desktop's folder
    const char* mimeApps;       // config/mimeapps.list; nullptr: none
    std::u16string extension;
    const char* expected;  // below the desktop's folder; nullptr: no answer
};

void PrintTo(const AssocCase& c, std::ostream* out)
{
    *out << c.name;
}

// A desktop made of files: PATH, XDG data and config folders below a temporary folder, with every
// program the cases name installed.
class AssocTest : public ::testing::TestWithParam<AssocCase> {
protected:
    void SetUp() override
    {
        const std::pair<const char*, const char*> desktop[] = {{"PATH", "bin"},
                                                               {"HOME", ""},
                                                               {"XDG_DATA_HOME", "data"},
                                                               {"XDG_DATA_DIRS", "nodata"},
                                                               {"XDG_CONFIG_HOME", "config"},
                                                               {"XDG_CONFIG_DIRS", "noconfig"}};
        for (const auto& [name, folder] : desktop) {
            const char* value = std::getenv(name);
            m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::setenv(name, (m_dir / folder).c_str(), 1);
        }
        for (const char* program :
             {"bin/webby", "bin/other", "bin/envbrowser", "bin/kbrowser", "bin/plain", "opt/My Browser/browse"}) {
            ::chmod(m_dir.write(program, "#!/bin/sh\n").c_str(), 0755);
        }
    }

    void TearDown() override
    {
        for (const auto& [name, value] : m_saved) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }

    TempDir m_dir{"qvassoc"};
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_P(AssocTest, FindsTheDesktopsProgramForTheExtension)
{
    const AssocCase& c = GetParam();
    if (c.xdgMimeAnswer != nullptr) {
        const auto script =
            m_dir.write("bin/xdg-mime", "#!/bin/sh\n[ \"$1 $2 $3\" = \"query default text/html\" ] && echo '" +
                                            std::string(c.xdgMimeAnswer) + "'\nexit 0\n");
        ::chmod(script.c_str(), 0755);
    }
    if (c.entryFile != nullptr) {
        std::string text = c.entryText;
        for (std::size_t at; (at = text.find('@')) != std::string::npos;) {
            text.replace(at, 1, m_dir.path().string());
        }
        m_dir.write(std::string("data/applications/") + c.entryFile, text);
    }
    if (c.mimeApps != nullptr) {
        m_dir.write("config/mimeapps.list", c.mimeApps);
    }
    std::u16string found = u"unchanged";
    const bool answered = qvplat::assocQueryExecutable(c.extension, found);
    EXPECT_EQ(answered, c.expected != nullptr);
    if (answered && c.expected != nullptr) {
        EXPECT_EQ(toUtf8(found), (m_dir / c.expected).string());
    }
}

const char* const kWebby =
    "[Desktop Action new]\nExec=other\n[Desktop Entry]\nName=Webby\nExec=webby --new-window %u\n";

INSTANTIATE_TEST_SUITE_P(
    Desktops, AssocTest,
    ::testing::Values(
        AssocCase{"ProgramResolvedInPath", "webby.desktop", "webby.desktop", kWebby, nullptr, u".html", "bin/webby"},
        AssocCase{"ExtensionCaseIgnored", "webby.desktop", "webby.desktop", kWebby, nullptr, u".HTM", "bin/webby"},
        AssocCase{"ExecOutsideTheDesktopEntryGroupIgnored", "webby.desktop", "webby.desktop",
                  "[Desktop Entry]\nName=Webby\nTryExec=other\n[Desktop Action new]\nExec=other\n", nullptr, u".html",
                  nullptr},
        AssocCase{"QuotedAbsoluteProgram", "spaced.desktop", "spaced.desktop",
                  "[Desktop Entry]\nExec=\"@/opt/My Browser/browse\" %U\n", nullptr, u".html", "opt/My Browser/browse"},
        AssocCase{"EnvPrefixSkipped", "env.desktop", "env.desktop",
                  "[Desktop Entry]\nExec=env GDK_BACKEND=x11 envbrowser %U\n", nullptr, u".html", "bin/envbrowser"},
        AssocCase{"VendorPrefixedIdInASubfolder", "kde4-kbrowser.desktop", "kde4/kbrowser.desktop",
                  "[Desktop Entry]\nExec=kbrowser\n", nullptr, u".html", "bin/kbrowser"},
        AssocCase{"MimeAppsListWithoutXdgMime", nullptr, "plain.desktop", "[Desktop Entry]\nExec=plain %f\n",
                  "[Added Associations]\ntext/html=webby.desktop;\n"
                  "[Default Applications]\ntext/html=plain.desktop;x.desktop;\n",
                  u".html", "bin/plain"},
        AssocCase{"NothingRegistered", nullptr, nullptr, nullptr, nullptr, u".html", nullptr},
        AssocCase{"DesktopEntryMissing", "ghost.desktop", nullptr, nullptr, nullptr, u".html", nullptr},
        AssocCase{"ProgramNotInPath", "ghost.desktop", "ghost.desktop", "[Desktop Entry]\nExec=not-installed %u\n",
                  nullptr, u".html", nullptr},
        AssocCase{"EmptyExtension", "webby.desktop", "webby.desktop", kWebby, nullptr, u"", nullptr},
        AssocCase{"UnknownExtension", "webby.desktop", "webby.desktop", kWebby, nullptr, u".qv-unknown-extension",
                  nullptr}),
    [](const ::testing::TestParamInfo<AssocCase>& param) { return std::string(param.param.name); });

}  // namespace
