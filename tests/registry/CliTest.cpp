#include <gtest/gtest.h>

#include <filesystem>
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
        m_dir.write("site/style.css", "body{}");
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
        {{"add", "--name", "x"}, 4, "The Local WebServer Base Path must not be empty!"},
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
        {{"add", "--name", "alpha", "--folder", site}, 7, "A server named \"alpha\" already exists."},
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

    std::string page;
    ASSERT_EQ(ChildProcess::run(
                  "curl", {"-s", "-S", "--max-time", "10", "-D", "-", "http://127.0.0.1:" + port + "/style.css"}, page),
              0)
        << page;
    EXPECT_NE(page.find("Content-Type: text/css"), std::string::npos) << page;

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

}  // namespace
