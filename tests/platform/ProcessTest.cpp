#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "Loopback.h"
#include "TempDir.h"
#include "platform/Process.h"
#include "platform/posix/Utf8.h"

extern char** environ;

namespace {

using qvplat::detail::fromUtf8;
using qvplat::detail::toUtf8;

bool isGone(int pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;  // a zombie still answers kill(pid, 0)
}

struct SplitCase {
    const char* name;
    std::u16string line;
    std::vector<std::u16string> words;
};

// Test logs show the case's name, not the bytes of the strings.
void PrintTo(const SplitCase& c, std::ostream* out)
{
    *out << c.name;
}

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, SplitsLikeAShell)
{
    EXPECT_EQ(qvplat::splitCommandLine(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitCommandLineTest,
    ::testing::Values(SplitCase{"Empty", u"", {}}, SplitCase{"BlanksOnly", u"   \t ", {}},
                      SplitCase{"OneWord", u"firefox", {u"firefox"}},
                      SplitCase{"BlanksSeparate", u"  a   b\tc  ", {u"a", u"b", u"c"}},
                      SplitCase{"DoubleQuotesKeepSpaces",
                                u"\"/opt/My Browser/bin\" \"http://127.0.0.1:8080/\"",
                                {u"/opt/My Browser/bin", u"http://127.0.0.1:8080/"}},
                      SplitCase{"EscapesInsideQuotes", u"'it''s' \"a\\\"b\\\\c\\d\"", {u"its", u"a\"b\\c\\d"}},
                      SplitCase{"EscapesOutsideQuotes", u"a\\ b c\\\\d \\'q", {u"a b", u"c\\d", u"'q"}},
                      SplitCase{"EmptyQuotesAreWords", u"x\"\" '' y", {u"x", u"", u"y"}},
                      SplitCase{"QuotesJoinWithNeighbours", u"pre\"mid dle\"post", {u"premid dlepost"}},
                      SplitCase{"UnterminatedQuoteRunsToTheEnd", u"\"unterminated quote", {u"unterminated quote"}},
                      SplitCase{"NoExpansion", u"'$HOME' \"$HOME\" *", {u"$HOME", u"$HOME", u"*"}},
                      SplitCase{"NonAscii", u"\u00FCber \U0001F600", {u"\u00FCber", u"\U0001F600"}}),
    [](const ::testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

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

TEST(ProcessTest, StartedProgramsAreReapedWithoutZombies)
{
    constexpr int kPrograms = 20;
    std::vector<int> pids;
    for (int i = 0; i < kPrograms; ++i) {
        int pid = 0;
        ASSERT_TRUE(qvplat::createProcess(u"true", &pid));
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (const int pid : pids) {
        EXPECT_TRUE(qvtest::waitUntil([&] { return isGone(pid); })) << "pid " << pid << " left as a zombie";
    }
}

TEST(ProcessTest, OtherChildrenOfTheProgramAreLeftToTheirOwner)
{
    // A child of our own that ends with a known status once the spawned programs are gone.
    TempDir dir("qvproc");
    const auto go = dir / "go";
    const std::string script = "while [ ! -e '" + go.string() + "' ]; do sleep 0.01; done; exit 42";
    char sh[] = "sh";
    char dashC[] = "-c";
    std::string scriptCopy = script;
    char* argv[] = {sh, dashC, scriptCopy.data(), nullptr};
    pid_t own = -1;
    ASSERT_EQ(posix_spawnp(&own, "sh", nullptr, nullptr, argv, environ), 0);

    std::vector<int> pids;
    for (int i = 0; i < 5; ++i) {
        int pid = 0;
        ASSERT_TRUE(qvplat::createProcess(u"true", &pid));
        pids.push_back(pid);
    }
    for (const int pid : pids) {
        ASSERT_TRUE(qvtest::waitUntil([&] { return isGone(pid); }));
    }
    TempDir::read(go);
    std::ofstream(go) << "go";
    int status = 0;
    ASSERT_EQ(::waitpid(own, &status, 0), own) << "our own child was taken from us";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
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

// A desktop made of files: PATH, XDG data and config folders below a temporary folder.
class AssocTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name :
             {"PATH", "HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"}) {
            const char* value = std::getenv(name);
            m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        std::filesystem::create_directories(m_dir / "bin");
        std::filesystem::create_directories(m_dir / "data" / "applications");
        std::filesystem::create_directories(m_dir / "config");
        ::setenv("PATH", (m_dir / "bin").c_str(), 1);
        ::setenv("HOME", m_dir.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (m_dir / "data").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", (m_dir / "nodata").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
        ::setenv("XDG_CONFIG_DIRS", (m_dir / "noconfig").c_str(), 1);
    }

    void TearDown() override
    {
        for (const auto& [name, value] : m_saved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    std::filesystem::path executable(const std::string& relative, const std::string& content = "#!/bin/sh\n")
    {
        const auto path = m_dir.write(relative, content);
        ::chmod(path.c_str(), 0755);
        return path;
    }

    void fakeXdgMime(const std::string& answer)
    {
        executable("bin/xdg-mime",
                   "#!/bin/sh\n[ \"$1 $2 $3\" = \"query default text/html\" ] && echo '" + answer + "'\nexit 0\n");
    }

    std::optional<std::string> query(const std::u16string& extension)
    {
        std::u16string out = u"unchanged";
        if (!qvplat::assocQueryExecutable(extension, out)) {
            return std::nullopt;
        }
        return toUtf8(out);
    }

    TempDir m_dir{"qvassoc"};
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_F(AssocTest, DesktopEntryProgramIsResolvedInPath)
{
    const auto browser = executable("bin/webby");
    fakeXdgMime("webby.desktop");
    m_dir.write("data/applications/webby.desktop",
                "[Desktop Entry]\nName=Webby\nTryExec=nothing\n[Desktop Action new]\nExec=other\n");
    EXPECT_EQ(query(u".html"), std::nullopt) << "Exec outside the [Desktop Entry] group does not count";
    m_dir.write("data/applications/webby.desktop",
                "[Desktop Action new]\nExec=other\n[Desktop Entry]\nName=Webby\nExec=webby --new-window %u\n");
    EXPECT_EQ(query(u".html"), browser.string());
    EXPECT_EQ(query(u".HTM"), browser.string());
}

TEST_F(AssocTest, QuotedAbsoluteProgramAndEnvPrefix)
{
    const auto spaced = executable("opt/My Browser/browse");
    fakeXdgMime("spaced.desktop");
    m_dir.write("data/applications/spaced.desktop", "[Desktop Entry]\nExec=\"" + spaced.string() + "\" %U\n");
    EXPECT_EQ(query(u".html"), spaced.string());

    const auto viaEnv = executable("bin/envbrowser");
    m_dir.write("data/applications/spaced.desktop", "[Desktop Entry]\nExec=env GDK_BACKEND=x11 envbrowser %U\n");
    EXPECT_EQ(query(u".html"), viaEnv.string());
}

TEST_F(AssocTest, VendorPrefixedIdLivesInASubfolder)
{
    const auto browser = executable("bin/kbrowser");
    fakeXdgMime("kde4-kbrowser.desktop");
    m_dir.write("data/applications/kde4/kbrowser.desktop", "[Desktop Entry]\nExec=kbrowser\n");
    EXPECT_EQ(query(u".html"), browser.string());
}

TEST_F(AssocTest, MimeAppsListServesWithoutXdgMime)
{
    const auto browser = executable("bin/plain");
    m_dir.write(
        "config/mimeapps.list",
        "[Added Associations]\ntext/html=wrong.desktop;\n[Default Applications]\ntext/html=plain.desktop;x.desktop;\n");
    m_dir.write("data/applications/plain.desktop", "[Desktop Entry]\nExec=plain %f\n");
    EXPECT_EQ(query(u".html"), browser.string());
}

TEST_F(AssocTest, NothingRegisteredOrNothingRunnable)
{
    EXPECT_EQ(query(u".html"), std::nullopt) << "no default at all";
    fakeXdgMime("ghost.desktop");
    EXPECT_EQ(query(u".html"), std::nullopt) << "the desktop entry does not exist";
    m_dir.write("data/applications/ghost.desktop", "[Desktop Entry]\nExec=not-installed %u\n");
    EXPECT_EQ(query(u".html"), std::nullopt) << "its program is not in PATH";
    EXPECT_EQ(query(u""), std::nullopt);
    EXPECT_EQ(query(u"."), std::nullopt);
    EXPECT_EQ(query(u".qv-unknown-extension"), std::nullopt);
}

}  // namespace
