#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

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

    int cli(const std::vector<std::string>& args, std::string& output) { return ChildProcess::run(m_cli, args, output); }

    TempDir m_dir{"qvcli"};
    std::string m_cli;
    std::string m_site;
};

TEST_F(CliTest, AddRunServeAndStopOnSigterm)
{
    const int port = loopback::findFreePort();
    std::string out;
    ASSERT_EQ(cli({"add", "--name", "web1", "--port", std::to_string(port), "--folder", m_site}, out), 0) << out;
    EXPECT_NE(out.find("If you do not specify a default page"), std::string::npos);

    ChildProcess server;
    ASSERT_TRUE(server.start(m_cli, {"run", "web1"}, (m_dir / "run.log").string()));
    ASSERT_TRUE(server.waitForOutput("Press Ctrl-C to stop.", 10000)) << server.output();

    std::string page;
    ASSERT_EQ(ChildProcess::run("curl", {"-s", "-S", "--max-time", "10", "-D", "-",
                                         "http://127.0.0.1:" + std::to_string(port) + "/style.css"},
                                page),
              0)
        << page;
    EXPECT_NE(page.find("Content-Type: text/css"), std::string::npos) << page;
    EXPECT_NE(page.find("body{}"), std::string::npos);

    const auto before = std::chrono::steady_clock::now();
    server.signal(15);
    EXPECT_EQ(server.wait(5000), 0) << server.output();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::seconds(3)) << "the listener polls once a second";

    const std::string session = TempDir::read(m_dir / "user/session.ini");
    EXPECT_NE(session.find("web1={\"basehtml\":\"index.html\""), std::string::npos) << session;
    EXPECT_NE(session.find("LASTUSEDSESSION=Default`web1"), std::string::npos) << session;
    EXPECT_TRUE(loopback::httpGet(port, "/", 1000).empty());
}

TEST_F(CliTest, ListRemoveAndErrorsAUserCanActOn)
{
    std::string out;
    EXPECT_EQ(cli({"add", "--name", "", "--port", "80", "--folder", m_site}, out), 4);
    EXPECT_NE(out.find("The Local WebServer name must not be empty!"), std::string::npos);
    EXPECT_EQ(cli({"add", "--name", "x", "--port", "-5", "--folder", m_site}, out), 4);
    EXPECT_NE(out.find("Port must be a value greater than or equal to zero!"), std::string::npos);
    EXPECT_EQ(cli({"add", "--name", "x", "--port", "80"}, out), 4);
    EXPECT_NE(out.find("The Local WebServer Base Path must not be empty!"), std::string::npos);
    EXPECT_EQ(cli({"add", "--name", "x", "--port", "80", "--folder", (m_dir / "nowhere").string()}, out), 5);
    EXPECT_EQ(cli({"add", "--name", "x", "--port", "eighty", "--folder", m_site}, out), 4);
    EXPECT_EQ(cli({"frobnicate"}, out), 2);
    EXPECT_NE(out.find("Usage:"), std::string::npos);

    ASSERT_EQ(cli({"add", "--name", "beta", "--port", "8002", "--folder", m_site, "--group", "Team"}, out), 0);
    ASSERT_EQ(cli({"add", "--name", "alpha", "--port", "8001", "--folder", m_site, "--page", "home.html"}, out), 0);
    EXPECT_EQ(cli({"add", "--name", "alpha", "--port", "8001", "--folder", m_site}, out), 7);
    ASSERT_EQ(cli({"list"}, out), 0);
    const size_t alpha = out.find("alpha");
    const size_t beta = out.find("beta");
    ASSERT_NE(alpha, std::string::npos) << out;
    ASSERT_NE(beta, std::string::npos) << out;
    EXPECT_LT(alpha, beta);
    EXPECT_NE(out.find("Team"), std::string::npos);

    EXPECT_EQ(cli({"run", "gamma"}, out), 3);
    EXPECT_EQ(cli({"remove", "gamma"}, out), 3);
    EXPECT_EQ(cli({"remove", "beta"}, out), 0);
    ASSERT_EQ(cli({"list"}, out), 0);
    EXPECT_EQ(out.find("beta"), std::string::npos);
}

TEST_F(CliTest, RunReportsAPortThatIsAlreadyTaken)
{
    std::string out;
    const int port = loopback::findFreePort();
    ASSERT_EQ(cli({"add", "--name", "first", "--port", std::to_string(port), "--folder", m_site}, out), 0);
    ASSERT_EQ(cli({"add", "--name", "second", "--port", std::to_string(port), "--folder", m_site}, out), 0);

    ChildProcess holder;
    ASSERT_TRUE(holder.start(m_cli, {"run", "first"}, (m_dir / "first.log").string()));
    ASSERT_TRUE(holder.waitForOutput("Press Ctrl-C to stop.", 10000)) << holder.output();
    EXPECT_EQ(cli({"run", "second"}, out), 6) << out;
    EXPECT_NE(out.find("Socket Bind Failed!!"), std::string::npos) << out;
    holder.signal(15);
    EXPECT_EQ(holder.wait(5000), 0);
}

}  // namespace
