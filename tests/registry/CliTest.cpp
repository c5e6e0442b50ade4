#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "ChildProcess.h"
#include "Loopback.h"
#include "ScopedEnv.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

// Runs a private copy of the command-line program in a temporary folder, so that the files
// beside "its" executable are the test's own. In a command, '' is an empty argument and SITE the
// test's site folder.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(QV_CLI_PATH, m_cli);
        fs::create_directories(m_dir / "config");
        fs::copy_file(QV_CONFIG_JSON, m_dir / "config/config.json");
        m_dir.write("site/index.html", "<html><body>CLI</body></html>");
    }
    std::vector<std::string> argsOf(const std::string& command) const
    {
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string word; words >> word;) {
            args.push_back(word == "''" ? "" : word == "SITE" ? (m_dir / "site").string() : word);
        }
        return args;
    }
    int cli(const std::string& command, std::string& out) { return ChildProcess::run(m_cli, argsOf(command), out); }
    std::string list()
    {
        std::string out;
        EXPECT_EQ(cli("list", out), 0) << out;
        return out;
    }
    bool start(ChildProcess& server, const std::string& name)
    {
        return server.start(m_cli, {"run", name}, (m_dir / (name + ".log")).string()) &&
               server.waitForOutput("Press Ctrl-C to stop.", 10000);
    }

    TempDir m_dir{"qvcli"};
    std::string m_cli = (m_dir / "qvwebserver-cli").string();
};

// One command after another on the same files: its exit code and what stdout and stderr together
// must (and must not) match.
struct Step {
    const char* command;
    int exitCode;
    const char* mustMatch;
    const char* mustNotMatch = "^$";
};

TEST_F(CliTest, CommandsAnswerWithTheirExitCodesAndMessages)
{
    const Step steps[] = {
        {"add --name '' --folder SITE", 4, "The Local WebServer name must not be empty!"},
        {"add --name x --folder /nonexistent/qv", 5, "The folder does not exist"},
        {"add --name x --port eighty --folder SITE", 4, "Port must be a number: eighty"},
        {"add --name x --name y --folder SITE", 2, "--name given more than once\n\nUsage:"},
        {"add --name x --folder", 2, "missing value after --folder"},
        {"frobnicate", 2, "unknown command frobnicate"},
        {"--version", 0, "^qvwebserver-cli \\d+\\.\\d+\\.\\d+\\.\\d+\\n$"},
        {"-V", 0, "^qvwebserver-cli \\d+\\.\\d+\\.\\d+\\.\\d+\\n$"},
        {"add --help", 0, "^Usage: \\S*qvwebserver-cli add --name NAME --folder DIR", "Commands:"},
        {"help edit", 0, "^Usage: \\S*qvwebserver-cli edit NAME \\[--port PORT\\]", "Commands:"},
        {"run --help", 0, "^Usage: \\S*qvwebserver-cli run NAME\\.\\.\\. \\[--log\\]", "No server"},
        {"help frobnicate", 2, "no help on frobnicate"},
        {"add --name beta --port 18002 --folder SITE --group Team", 0, "^Added beta\\.\\n$"},
        {"add --name alpha --port 18001 --folder SITE --page home.html", 0, "Added alpha"},
        {"add --name gamma --port 18002 --folder SITE", 0,
         "Warning: port 18002 is used by beta, gamma; only one of them can run at a time."},
        {"edit gamma --port 18003 --new-name delta", 0, "^Renamed gamma to delta\\.\\n$"},
        {"edit delta --new-name alpha", 7, "A server named \"alpha\" already exists."},
        {"edit nobody --port 1", 3, "No server named \"nobody\"."},
        {"edit delta", 2, "edit needs at least one option"},
        {"edit delta --group Team --page start.html", 0, "^Changed delta\\.\\n$"},
        {"list", 0,
         "^GROUP +NAME +PORT +STATE\\nNone +alpha +18001 +Stop\\nTeam +beta +18002 +Stop\\nTeam +delta +18003 "
         "+Stop\\n$"},
        {"run nobody", 3, "No server named \"nobody\"."},
        {"remove nobody", 3, "No server named \"nobody\"."},
        {"remove delta", 0, "Removed delta."},
        {"add --name=eps --port=18004 --folder SITE", 0, "^Added eps\\.\\n$"},
        {"list", 0, "None +eps +18004 +Stop\\n", "delta"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        std::string out;
        EXPECT_EQ(cli(step.command, out), step.exitCode) << out;
        EXPECT_TRUE(std::regex_search(out, std::regex(step.mustMatch))) << out;
        EXPECT_FALSE(std::regex_search(out, std::regex(step.mustNotMatch))) << out;
    }
    EXPECT_NE(TempDir::read(m_dir / "user/session.ini").find(R"(alpha={"basehtml":"home.html")"), std::string::npos);
    std::string usage;
    EXPECT_EQ(cli("help", usage), 0);
    EXPECT_NE(usage.find("Definitions are kept in " + (m_dir / "user/session.ini").string()), std::string::npos)
        << usage;
}

// serve answers from the folder it is given, writes one common-log line per answer (none for a
// request it does not answer), ends with 0 on SIGTERM and leaves the program's folder as it was.
TEST_F(CliTest, ServeStoresNothingAndLogsOneLinePerAnswer)
{
    const auto entries = [this] {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir.path())) {
            names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> before = entries();
    TempDir logs("qvserve");
    ChildProcess server;
    ASSERT_TRUE(
        server.start(m_cli, {"serve", (m_dir / "site").string(), "--port=0", "--log"}, (logs / "serve.log").string()));
    ASSERT_TRUE(server.waitForOutput("Press Ctrl-C to stop.", 10000)) << server.output();
    std::smatch match;
    const std::string started = server.output();
    ASSERT_TRUE(std::regex_search(started, match, std::regex("on port (\\d+),"))) << started;
    const int port = std::stoi(match[1]);
    EXPECT_EQ(loopback::bodyOf(loopback::httpGet(port, "/")), "<html><body>CLI</body></html>");
    EXPECT_NE(loopback::httpGet(port, "/missing\"x").find(" 404 "), std::string::npos);
    {
        qvtest::RawClient unanswered(port);
        ASSERT_TRUE(unanswered.sendAll("POST / HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(unanswered.readToEnd(5000).bytes.empty());
    }
    server.signal(15);
    EXPECT_EQ(server.wait(10000), 0) << server.output();

    const std::string from = "127\\.0\\.0\\.1 - - \\[[^\\]]+\\] ";  // the stamp is AccessLogTest's
    const std::regex lines("Press Ctrl-C to stop\\.\\n" + from + "\"GET / HTTP/1\\.1\" 200 29\\n" + from +
                           "\"GET /missing\\\\x22x HTTP/1\\.1\" 404 -\\nStopping\\.\\n$");
    EXPECT_TRUE(std::regex_search(server.output(), lines)) << server.output();
    EXPECT_EQ(entries(), before);
}

// The serving process holds its run-state record; every other process sees it, a port clash names
// the port, and the record goes away with the process, however it ends.
TEST_F(CliTest, ServingProcessIsSeenByOthersAndPortClashesNameThePort)
{
    std::string out;
    ASSERT_EQ(cli("add --name first --port 0 --folder SITE", out), 0) << out;
    ChildProcess first;
    ASSERT_TRUE(start(first, "first")) << first.output();
    std::smatch match;
    const std::string started = first.output();
    ASSERT_TRUE(std::regex_search(started, match,
                                  std::regex("on port (\\d+) \\(chosen by the system: the definition asks for port "
                                             "0\\), on all IPv4 interfaces:\\n  http://127\\.0\\.0\\.1:\\1/\\n")))
        << started;
    const std::string port = match[1];
    EXPECT_EQ(loopback::bodyOf(loopback::httpGet(std::stoi(port), "/")), "<html><body>CLI</body></html>");
    EXPECT_TRUE(std::regex_search(list(), std::regex("first +0 +Run\\n")));
    EXPECT_EQ(cli("run first", out), 6);
    EXPECT_NE(out.find("first is already running in another process"), std::string::npos) << out;

    ASSERT_EQ(cli("add --name second --port " + port + " --folder SITE", out), 0) << out;
    EXPECT_EQ(cli("run second", out), 6) << out;
    EXPECT_NE(out.find("Could not start second: port " + port + " is already in use"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Choose another port with: \\S*qvwebserver-cli edit second --port "
                                                  "[1-9]\\d*\\n")))
        << out;
    first.signal(15);
    EXPECT_EQ(first.wait(5000), 0) << first.output();
    ChildProcess second;
    ASSERT_TRUE(start(second, "second")) << second.output();
    EXPECT_TRUE(std::regex_search(list(), std::regex("first +0 +Stop\\nNone +second +" + port + " +Run\\n")));
    second.signal(9);
    EXPECT_EQ(second.wait(5000), -1);
    EXPECT_TRUE(std::regex_search(list(), std::regex("second +" + port + " +Stop\\n")));
}

// Twenty processes adding at once, five times over: every definition and every group is stored.
TEST_F(CliTest, ConcurrentAddsLoseNoDefinitionAndNoGroup)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(m_dir / "user");
        std::vector<std::unique_ptr<ChildProcess>> adds;
        for (int i = 0; i < 20; ++i) {
            const std::string n = std::to_string(i);
            adds.push_back(std::make_unique<ChildProcess>());
            ASSERT_TRUE(adds.back()->start(m_cli,
                                           {"add", "--name", "s" + n, "--port", std::to_string(20000 + i), "--folder",
                                            (m_dir / "site").string(), "--group", "g" + n},
                                           (m_dir / ("add" + n + ".log")).string()));
        }
        for (auto& add : adds) {
            EXPECT_EQ(add->wait(30000), 0) << add->output();
        }
        const std::string servers = list();
        const std::string groups = TempDir::read(m_dir / "user/env.ini");
        EXPECT_NE(groups.find("CNT=20\n"), std::string::npos) << groups;
        for (int i = 0; i < 20; ++i) {
            const std::string n = std::to_string(i);
            EXPECT_TRUE(std::regex_search(
                servers, std::regex("\\ng" + n + " +s" + n + " +" + std::to_string(20000 + i) + "\\b")))
                << servers;
            EXPECT_TRUE(std::regex_search(groups, std::regex("\\n\\d{4}=g" + n + "\\n"))) << groups;
        }
    }
}

// Four ways two processes used to overwrite each other, each run by two processes at once a few
// times: whichever decides second decides against what the first stored.
TEST_F(CliTest, TwoProcessesAtOnceDecideAgainstTheStoredDefinitions)
{
    struct Race {
        const char* setup;
        const char* first;
        const char* second;
        const char* outcomes;   // the allowed pairs of exit codes, first then second
        const char* mustMatch;  // in the list afterwards
        const char* mustNotMatch;
    };
    const Race races[] = {
        {"", "add --name dup --port 21001 --folder SITE", "add --name dup --port 21002 --folder SITE", "07 70",
         "\\bdup +2100[12] +Stop\n", "\\bdup\\b[\\s\\S]*\\bdup\\b"},
        {"add --name x --port 21001 --folder SITE;add --name z --port 21002 --folder SITE", "edit x --new-name y",
         "edit z --new-name y", "07 70", "\\b(y +21001 +Stop\n[\\s\\S]*z +21002|x +21001 [\\s\\S]*y +21002) +Stop\n",
         "\\bx\\b[\\s\\S]*\\bz\\b"},
        {"add --name one --port 21001 --folder SITE", "edit one --port 21003", "edit one --page other.html", "00",
         "\\bone +21003 +Stop\n", "^$"},
        {"add --name v --port 21001 --folder SITE", "remove v", "edit v --port 21004", "00 03",
         "^No servers are defined", "\\bv\\b"},
    };
    constexpr int kRounds = 3;
    for (const Race& race : races) {
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE(std::string(race.first) + " / " + race.second + ", round " + std::to_string(round));
            fs::remove_all(m_dir / "user");
            std::string out;
            std::istringstream setup(race.setup);
            for (std::string command; std::getline(setup, command, ';');) {
                ASSERT_EQ(cli(command, out), 0) << out;
            }
            ChildProcess a;
            ChildProcess b;
            ASSERT_TRUE(a.start(m_cli, argsOf(race.first), (m_dir / "a.log").string()) &&
                        b.start(m_cli, argsOf(race.second), (m_dir / "b.log").string()));
            const std::string codes = std::to_string(a.wait(30000)) + std::to_string(b.wait(30000));
            EXPECT_NE(std::string(race.outcomes).find(codes), std::string::npos) << a.output() << b.output();
            const std::string listed = list();
            EXPECT_TRUE(std::regex_search(listed, std::regex(race.mustMatch))) << listed;
            EXPECT_FALSE(std::regex_search(listed, std::regex(race.mustNotMatch))) << listed;
            if (std::string(race.second) == "edit one --page other.html") {
                EXPECT_NE(TempDir::read(m_dir / "user/session.ini").find("\"basehtml\":\"other.html\""),
                          std::string::npos);
            }
        }
    }
}

// A read-only settings file is never replaced: list warns once, a change exits 8 naming it, and a
// server still runs from it.
TEST_F(CliTest, AReadOnlySettingsFileIsNeverReplaced)
{
    std::string out;
    ASSERT_EQ(cli("add --name \xEC\x9B\xB9 --port 0 --folder SITE", out), 0) << out;
    const fs::path session = m_dir / "user/session.ini";
    // A line stored as no writer would write it (blanks in the JSON): loading would store it again.
    const std::string loose =
        TempDir::read(session) + "loose={ \"name\": \"loose\", \"basepath\": \"/srv\", \"port\": 99999 }\n";
    std::ofstream(session, std::ios::binary | std::ios::trunc) << loose;
    fs::permissions(session, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(cli("list", out), 0) << out;
    const std::regex named(session.string() + ": the file is read-only");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), named), std::sregex_iterator()), 1) << out;
    EXPECT_EQ(cli("run loose", out), 4) << out;  // a stored port out of range is never served
    EXPECT_NE(out.find("Could not start loose: Port must be a value less than or equal to 65535!"), std::string::npos);
    for (const char* change : {"add --name new --folder SITE --group Held", "remove loose", "edit loose --port 1"}) {
        SCOPED_TRACE(change);
        EXPECT_EQ(cli(change, out), 8) << out;
        EXPECT_TRUE(std::regex_search(out, named)) << out;
    }
    // A server still runs when its last-used mark cannot be stored.
    ChildProcess server;
    ASSERT_TRUE(start(server, "\xEC\x9B\xB9")) << server.output();
    EXPECT_TRUE(
        std::regex_search(server.output(), std::regex("Warning: .*" + session.string() + ": the file is read-only")))
        << server.output();
    server.signal(15);
    EXPECT_EQ(server.wait(5000), 0) << server.output();
    EXPECT_EQ(TempDir::read(session), loose);
    EXPECT_EQ(TempDir::read(m_dir / "user/env.ini").find("Held"), std::string::npos);  // nothing of a failed add
    fs::permissions(session, fs::perms::owner_read | fs::perms::owner_write);
}

// An installed program (the "installed" mark beside it) keeps its settings in the XDG folders and
// its run records in the runtime folder, all the user's alone.
TEST_F(CliTest, InstalledProgramKeepsPrivateSettingsAndRunRecords)
{
    const fs::path xdg = m_dir / "xdg";
    fs::create_directories(xdg / "runtime");
    fs::permissions(xdg / "runtime", fs::perms::owner_all);
    const ScopedEnv env{{"XDG_CONFIG_HOME", (xdg / "config").c_str()}, {"XDG_RUNTIME_DIR", (xdg / "runtime").c_str()}};
    std::ofstream(m_dir / "installed").put('\n');
    std::string out;
    ASSERT_EQ(cli("add --name inst --port 0 --folder SITE", out), 0) << out;
    EXPECT_FALSE(fs::exists(m_dir / "user"));
    ChildProcess server;
    ASSERT_TRUE(start(server, "inst")) << server.output();
    const auto mode = [](const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    const fs::path settings = xdg / "config/qvwebserver";
    EXPECT_EQ(mode(settings), 0700);
    EXPECT_EQ(mode(settings / "session.ini"), 0600);
    EXPECT_EQ(mode(settings / ".session.ini.lock"), 0600);
    EXPECT_EQ(mode(xdg / "runtime/qvwebserver"), 0700);
    for (const auto& record : fs::directory_iterator(xdg / "runtime/qvwebserver")) {
        EXPECT_EQ(mode(record.path()), 0600) << record.path();
    }
    server.signal(15);
    EXPECT_EQ(server.wait(5000), 0) << server.output();
}

}  // namespace
