#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Loopback.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

// Runs a private copy of the command-line program in a temporary folder, so that the files
// beside "its" executable are the test's own.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_cli = (m_dir / "qvwebserver-cli").string();
        fs::copy_file(QV_CLI_PATH, m_cli);
        fs::create_directories(m_dir / "config");
        fs::copy_file(QV_CONFIG_JSON, m_dir / "config/config.json");
        m_site = m_dir.write("site/index.html", "<html><body>CLI</body></html>").parent_path().string();
    }

    int cli(const std::vector<std::string>& args, std::string& output)
    {
        return ChildProcess::run(m_cli, args, output);
    }
    std::string list()
    {
        std::string out;
        EXPECT_EQ(cli({"list"}, out), 0) << out;
        return out;
    }
    bool start(ChildProcess& server, const std::string& name)
    {
        return server.start(m_cli, {"run", name}, (m_dir / (name + ".log")).string()) &&
               server.waitForOutput("Press Ctrl-C to stop.", 10000);
    }

    TempDir m_dir{"qvcli"};
    std::string m_cli;
    std::string m_site;
};

// One command after another on the same files: what it exits with and what it must (or must not)
// print. The regular expressions search stdout and stderr together.
struct Step {
    std::vector<std::string> args;
    int exitCode;
    const char* mustMatch;
    const char* mustNotMatch = nullptr;
};

TEST_F(CliTest, CommandsAnswerWithTheirExitCodesAndMessages)
{
    const std::string site = m_site;
    const std::string nowhere = (m_dir / "nowhere").string();
    const std::vector<Step> steps = {
        {{"add", "--name", "", "--folder", site}, 4, "The Local WebServer name must not be empty!"},
        {{"add", "--name", "x", "--folder", nowhere}, 5, "The folder does not exist"},
        {{"add", "--name", "x", "--port", "eighty", "--folder", site}, 4, "Port must be a number: eighty"},
        {{"add", "--name", "x", "--port", "70000", "--folder", site}, 4, "less than or equal to 65535"},
        {{"add", "--name", "x", "--name", "y", "--folder", site}, 2, "--name given more than once\n\nUsage:"},
        {{"add", "--name", "x", "--folder"}, 2, "missing value after --folder"},
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{"add", "--name", "beta", "--port", "18002", "--folder", site, "--group", "Team"},
         0,
         "^Added beta\\.\\n$",
         "default page"},
        {{"add", "--name", "alpha", "--port", "18001", "--folder", site, "--page", "home.html"}, 0, "Added alpha"},
        {{"add", "--name", "gamma", "--port", "18002", "--folder", site},
         0,
         "Warning: port 18002 is used by beta, gamma; only one of them can run at a time."},
        {{"edit", "gamma", "--port", "18003", "--new-name", "delta"}, 0, "^Renamed gamma to delta\\.\\n$"},
        {{"edit", "delta", "--new-name", "alpha"}, 7, "A server named \"alpha\" already exists."},
        {{"edit", "nobody", "--port", "1"}, 3, "No server named \"nobody\"."},
        {{"edit", "delta"}, 2, "edit needs at least one option"},
        {{"edit", "delta", "--group", "Team", "--page", "start.html"}, 0, "^Changed delta\\.\\n$"},
        {{"list"},
         0,
         "^GROUP +NAME +PORT +STATE\\nNone +alpha +18001 +Stop\\nTeam +beta +18002 +Stop\\nTeam +delta +18003 "
         "+Stop\\n$"},
        {{"run", "nobody"}, 3, "No server named \"nobody\"."},
        {{"remove", "nobody"}, 3, "No server named \"nobody\"."},
        {{"remove", "delta"}, 0, "Removed delta."},
        {{"list"}, 0, "beta", "delta"},
    };
    for (const Step& step : steps) {
        std::string out;
        std::string command;
        for (const std::string& arg : step.args) {
            command += "'" + arg + "' ";
        }
        SCOPED_TRACE(command);
        EXPECT_EQ(cli(step.args, out), step.exitCode) << out;
        EXPECT_TRUE(std::regex_search(out, std::regex(step.mustMatch))) << out;
        if (step.mustNotMatch != nullptr) {
            EXPECT_FALSE(std::regex_search(out, std::regex(step.mustNotMatch))) << out;
        }
    }
    const std::string session = TempDir::read(m_dir / "user/session.ini");
    EXPECT_NE(session.find(R"(alpha={"basehtml":"home.html")"), std::string::npos) << session;
    EXPECT_NE(session.find(R"(beta={"basehtml":"index.html")"), std::string::npos) << session;
}

// The serving process holds its run-state record; every other process sees it, a port clash names
// the port, and the record goes away with the process, however it ends.
TEST_F(CliTest, ServingProcessIsSeenByOthersAndPortClashesNameThePort)
{
    std::string out;
    ASSERT_EQ(cli({"add", "--name", "first", "--port", "0", "--folder", m_site}, out), 0) << out;

    ChildProcess first;
    ASSERT_TRUE(start(first, "first")) << first.output();
    std::smatch match;
    const std::string started = first.output();
    ASSERT_TRUE(std::regex_search(started, match,
                                  std::regex("on port (\\d+) \\(chosen by the system: the definition asks for port "
                                             "0\\), on all IPv4 interfaces:\\n  http://127\\.0\\.0\\.1:(\\d+)/\\n")))
        << started;
    const std::string port = match[1];
    EXPECT_EQ(match[2], port);
    EXPECT_EQ(loopback::bodyOf(loopback::httpGet(std::stoi(port), "/")), "<html><body>CLI</body></html>");

    EXPECT_TRUE(std::regex_search(list(), std::regex("first +0 +Run\\n"))) << out;
    EXPECT_NE(TempDir::read(m_dir / "user/session.ini").find("LASTUSEDSESSION=Default`first"), std::string::npos);
    EXPECT_EQ(cli({"run", "first"}, out), 6);
    EXPECT_NE(out.find("first is already running in another process"), std::string::npos) << out;

    ASSERT_EQ(cli({"add", "--name", "second", "--port", port, "--folder", m_site}, out), 0) << out;
    EXPECT_EQ(cli({"run", "second"}, out), 6) << out;
    EXPECT_NE(out.find("Could not start second: port " + port + " is already in use"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Choose another port with: qvwebserver-cli edit second --port "
                                                  "[1-9]\\d*\\n")))
        << out;

    first.signal(15);
    EXPECT_EQ(first.wait(5000), 0) << first.output();
    EXPECT_TRUE(loopback::httpGet(std::stoi(port), "/", 1000).empty());

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
    constexpr int kProcesses = 20;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(m_dir / "user");
        std::vector<std::unique_ptr<ChildProcess>> adds;
        for (int i = 0; i < kProcesses; ++i) {
            const std::string n = std::to_string(i);
            adds.push_back(std::make_unique<ChildProcess>());
            ASSERT_TRUE(adds.back()->start(
                m_cli,
                {"add", "--name", "s" + n, "--port", std::to_string(20000 + i), "--folder", m_site, "--group", "g" + n},
                (m_dir / ("add" + n + ".log")).string()));
        }
        for (auto& add : adds) {
            EXPECT_EQ(add->wait(30000), 0) << add->output();
        }
        const std::string servers = list();
        const std::string groups = TempDir::read(m_dir / "user/env.ini");
        EXPECT_NE(groups.find("CNT=20\n"), std::string::npos) << groups;
        for (int i = 0; i < kProcesses; ++i) {
            const std::string n = std::to_string(i);
            EXPECT_TRUE(
                std::regex_search(servers, std::regex("\\ng" + n + " +s" + n + " +" + std::to_string(20000 + i))))
                << servers;
            EXPECT_TRUE(std::regex_search(groups, std::regex("\\n\\d{4}=g" + n + "\\n"))) << groups;
        }
    }
}

// Makes a folder unwritable for the test's duration: permission bits, and for a user who ignores
// them (root) the immutable attribute where the filesystem has one.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const fs::path& folder) : m_folder(folder)
    {
        fs::permissions(m_folder, fs::perms::owner_read | fs::perms::owner_exec);
        std::string out;
        if (isWritable() && ChildProcess::run("chattr", {"+i", m_folder.string()}, out) == 0) {
            m_immutable = true;
        }
    }
    ~ReadOnlyFolder()
    {
        std::string out;
        if (m_immutable) {
            ChildProcess::run("chattr", {"-i", m_folder.string()}, out);
        }
        fs::permissions(m_folder, fs::perms::owner_all);
    }
    bool isWritable() const
    {
        const bool writable = std::ofstream(m_folder / "probe").good();
        std::error_code ec;
        fs::remove(m_folder / "probe", ec);
        return writable;
    }

private:
    fs::path m_folder;
    bool m_immutable = false;
};

// A user folder that cannot be written: every change names the file and the reason, exits 8 and
// leaves the file as it was.
TEST_F(CliTest, AReadOnlyUserFolderIsReportedAndLeftUnchanged)
{
    std::string out;
    ASSERT_EQ(cli({"add", "--name", "kept", "--folder", m_site}, out), 0) << out;
    const fs::path user = m_dir / "user";
    const std::string before = TempDir::read(user / "session.ini");
    {
        ReadOnlyFolder readOnly(user);
        if (readOnly.isWritable()) {
            GTEST_SKIP() << "no way to make a folder read-only for this user here";
        }
        const std::vector<std::vector<std::string>> changes = {
            {"add", "--name", "new", "--folder", m_site}, {"remove", "kept"}, {"edit", "kept", "--port", "1"}};
        for (const auto& change : changes) {
            SCOPED_TRACE(change[0]);
            EXPECT_EQ(cli(change, out), 8) << out;
            EXPECT_TRUE(std::regex_search(
                out, std::regex(user.string() + "/[^:]*: (Permission denied|Operation not permitted)")))
                << out;
        }
    }
    EXPECT_EQ(TempDir::read(user / "session.ini"), before);
}

}  // namespace
