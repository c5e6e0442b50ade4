#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Loopback.h"
#include "TempDir.h"
#include "commlib/ClientPerThread.h"
#include "platform/LocalTime.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/PacketMngWSvr.h"
#include "webserver/WebServerInfo.h"

namespace {

TEST(RequestLineTest, OnlyAGetWithATargetIsAnswered)
{
    const std::tuple<const char16_t*, bool, const char16_t*> cases[] = {
        {u"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, u"/"},
        {u"GET /no-version", true, u"/no-version"},
        {u"GET /x  HTTP/1.1\r\n", true, u"/x"},
        {u"GET  HTTP/1.1\r\n", true, u""},             // two blanks: an empty target
        {u"GET /a\nHost: b\r\n", true, u"/a\nHost:"},  // only CRLF ends a line
        {u"get / HTTP/1.1\r\n", false, nullptr},
        {u"POST / HTTP/1.1\r\n\r\n", false, nullptr},
        {u"GET", false, nullptr},
        {u"GET ", false, nullptr},
        {u"", false, nullptr},
        {u"\r\nGET / HTTP/1.1\r\n", false, nullptr},
        {u" GET / HTTP/1.1", false, nullptr},
    };
    for (const auto& [request, answers, expected] : cases) {
        QvString target;
        EXPECT_EQ(CPacketMngWSvr::parseRequestTarget(request, target), answers) << QvString(request).toUtf8();
        EXPECT_EQ(target.toUtf8(), QvString(answers ? expected : u"").toUtf8()) << QvString(request).toUtf8();
    }
}

TEST(TargetMappingTest, TargetsMapBelowTheBasePathWithTheirExtension)
{
    const std::tuple<const char16_t*, const char16_t*, const char16_t*> cases[] = {
        {u"/", u"/srv/site/index.html", u"html"},
        {u"/img/logo.png?v=3", u"/srv/site/img/logo.png", u"png"},
        {u"/INDEX.HTML", u"/srv/site/INDEX.HTML", u"HTML"},
        {u"/?x=1", u"/srv/site/", u""},
        {u"/a%20b.txt", u"/srv/site/a%20b.txt", u"txt"},
        {u"/readme", u"/srv/site/readme", u""},
        {u"/a.b/c", u"/srv/site/a.b/c", u"b/c"},            // the last "." of the whole target
        {u"/a/../b.txt", u"/srv/site/a/../b.txt", u"txt"},  // stays inside the base
        {u"/..%2f..", u"/srv/site/..%2f..", u""},           // no decoding: a plain name
        {u"", u"/srv/site", u""},
        {u"/q?a=1?b=2", u"/srv/site/q", u""},
        {u"/.../..a/a..", u"/srv/site/.../..a/a..", u""},
    };
    for (const auto& [target, path, extension] : cases) {
        const QvTargetMapping mapping = CPacketMngWSvr::mapRequestTarget(target, u"/srv/site", u"index.html");
        EXPECT_FALSE(mapping.refused) << QvString(target).toUtf8();
        EXPECT_EQ(mapping.filePath, QvString(path)) << QvString(target).toUtf8();
        EXPECT_EQ(mapping.extension, QvString(extension)) << QvString(target).toUtf8();
    }
}

// Targets that climb out of the base folder, by "..", a shared name prefix, an absolute form or a NUL,
// are FuzzReplay.RequestChunk's corpus: it fails on any file the processor opens outside the base.
TEST(TargetMappingTest, TrailingSeparatorEmptyBaseAndLongTargets)
{
    // With a trailing separator a target without one stays inside.
    const QvTargetMapping inside = CPacketMngWSvr::mapRequestTarget(u"x.txt", u"/srv/site/", u"index.html");
    EXPECT_FALSE(inside.refused);
    EXPECT_EQ(inside.filePath, QvString(u"/srv/site/x.txt"));
    // Without a base path nothing is served.
    EXPECT_TRUE(CPacketMngWSvr::mapRequestTarget(u"/etc/passwd", u"", u"index.html").refused);
    EXPECT_TRUE(CPacketMngWSvr::mapRequestTarget(u"/", u"", u"/srv/site/index.html").refused);
    // An 8 KB target is mapped whole: no cut that could end in a "..".
    QvString longTarget(u"/");
    longTarget.append(QvString(std::u16string(8190, u'a')));
    longTarget.append(u"/..");
    const QvTargetMapping longMapping = CPacketMngWSvr::mapRequestTarget(longTarget, u"/srv/site", u"i.html");
    EXPECT_FALSE(longMapping.refused);
    EXPECT_EQ(longMapping.filePath.length(), 9 + longTarget.length());
}

// The default page: joined to the base path (never the working folder), absolute as it stands, no "..".
TEST(TargetMappingTest, BaseHtmlIsJoinedToTheBasePathAndRefusedWithDotDot)
{
    const std::tuple<const char16_t*, const char16_t*, const char16_t*> cases[] = {
        {u"/srv/site/", u"i.html", u"/srv/site/i.html"},
        {u"/srv/site", u"sub/i.htm", u"/srv/site/sub/i.htm"},
        {u"/srv/site", u"/srv/site/i.html", u"/srv/site/i.html"},
        {u"/srv/site", u"/etc/passwd", u"/etc/passwd"},  // opened, then refused by its real path
        {u"/srv/site", u"a..b.html", u"/srv/site/a..b.html"},
        {u"/srv/site", u"../secret.txt", nullptr},
        {u"/srv/site", u"sub/../i.html", nullptr},
    };
    for (const auto& [base, page, path] : cases) {
        const QvTargetMapping mapping = CPacketMngWSvr::mapRequestTarget(u"/", base, page);
        EXPECT_EQ(mapping.refused, path == nullptr) << QvString(page).toUtf8();
        EXPECT_EQ(mapping.extension, QvString(u"html"));
        if (path != nullptr) {
            EXPECT_EQ(mapping.filePath, QvString(path)) << QvString(page).toUtf8();
        }
    }
}

// A worker of client 5 whose answers are captured instead of sent: the bytes of every send, a streamed file
// range read back into the same answer (ranges over 16 MiB are only noted).
class CapturingWorker : public CCPTWorkerWS {
public:
    CapturingWorker() { setClientId(5); }
    bool sendClientData(const unsigned char* data, int length) override
    {
        m_sent.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        return true;
    }
    bool sendClientFile(std::FILE* file, std::uint64_t offset, std::uint64_t length) override
    {
        m_fileRange = {offset, length};
        if (length <= 16u * 1024 * 1024) {
            std::string bytes(length, '\0');
            std::fseek(file, static_cast<long>(offset), SEEK_SET);
            bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
            m_sent.back() += bytes;
        }
        return true;
    }
    bool sendClientHeadAndFile(const unsigned char* head, int headLength, std::FILE* file, std::uint64_t offset,
                               std::uint64_t length) override
    {
        return CCPTBaseWorker::sendClientHeadAndFile(head, headLength, file, offset, length);
    }
    void onRecvWorkerData(int status, const unsigned char*, int) override { m_workerData.push_back(status); }

    std::vector<std::string> m_sent;
    std::pair<std::uint64_t, std::uint64_t> m_fileRange{0, 0};
    std::vector<int> m_workerData;
};

class RequestProcessingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qvplat::setLocalTimeSource([] { return qvplat::SystemTime{2026, 12, 5, 4, 9, 5, 7, 0}; });
        m_info->basepath = QvString::fromUtf8((m_dir / "site").string());
        m_info->basehtml = u"index.html";
        m_info->contentstype.set(u"html", u"text/html");
        m_info->contentstype.set(u"png", u"image/png");
        m_info->contentstype.set(u"txt", u"text/plain");
        m_dir.write("site/index.html", "<p>hi</p>");
        m_dir.write("site/img/logo.png", std::string("\x89PNG\0\x01", 6));
        m_dir.write("site/readme", "plain readme");
        m_dir.write("site/empty.txt", "");
        m_worker.setServerInfo(m_info);
    }
    void TearDown() override { qvplat::setLocalTimeSource({}); }

    // The answer to one request, "" when none was sent.
    std::string answer(const std::string& request)
    {
        m_worker.m_sent.clear();
        m_worker.onClientRecv(5, 0, reinterpret_cast<const unsigned char*>(request.data()),
                              static_cast<int>(request.size()));
        return m_worker.m_sent.empty() ? "" : m_worker.m_sent[0];
    }
    std::string get(const std::string& target) { return answer("GET " + target + " HTTP/1.1\r\n\r\n"); }
    static std::string header(const std::string& status, const std::string& type, long long length = -1)
    {
        std::string text = "HTTP/1.1 " + status +
                           "\r\nDate: Fri, 4 Dec 2026 09:05:07\r\nServer: QvLocalWebSvr\r\n"
                           "Connection: Keep-Alive\r\nContent-Type: " +
                           type + "\r\n";
        return text + (length >= 0 ? "Content-Length: " + std::to_string(length) + "\r\n\r\n" : "\r\n");
    }

    TempDir m_dir{"qvweb-req"};
    std::shared_ptr<_tag_WebServerInfo> m_info = std::make_shared<_tag_WebServerInfo>();
    CapturingWorker m_worker;
};

TEST_F(RequestProcessingTest, EachTargetGetsItsExactAnswer)
{
    const std::string big = qvtest::patternBytes(100 * 1024);  // above the one-block size: streamed
    m_dir.write("site/big.bin", big);
    const std::string mid = qvtest::patternBytes(20 * 1024);  // one block, too large for the stack one
    m_dir.write("site/mid.bin", mid);
    ASSERT_EQ(std::system(("mkfifo '" + (m_dir / "site" / "pipe.txt").string() + "'").c_str()), 0);
    m_dir.write("secret.txt", "outside");
    std::filesystem::create_directory_symlink(m_dir.path(), m_dir / "site" / "up");  // leads out
    std::filesystem::create_symlink("index.html", m_dir / "site" / "alias.html");    // stays inside
    std::filesystem::create_symlink("../secret.txt", m_dir / "site" / "link.html");  // leads out
    const std::string octet = "application/octet-stream";
    const std::pair<std::string, std::string> cases[] = {
        {"/", header("200 OK", "text/html", 9) + "<p>hi</p>"},
        {"/index.html", header("200 OK", "text/html", 9) + "<p>hi</p>"},
        {"/img/logo.png?v=3", header("200 OK", "image/png", 6) + std::string("\x89PNG\0\x01", 6)},
        {"/readme", header("200 OK", octet, 12) + "plain readme"},
        {"/big.bin", header("200 OK", octet, static_cast<long long>(big.size())) + big},
        {"/mid.bin", header("200 OK", octet, static_cast<long long>(mid.size())) + mid},
        {"/empty.txt", header("400 Bad Request", "text/plain")},
        {"/missing.txt", header("404 Not Found", "text/plain")},
        {"/img", header("404 Not Found", octet)},
        {"/img/", header("404 Not Found", octet)},
        {"/pipe.txt", header("404 Not Found", "text/plain")},  // never blocks on a FIFO
        {"/../site/index.html", header("404 Not Found", "text/html")},
        {"/up/secret.txt", header("404 Not Found", "text/plain")},  // exactly like ".." climbing
        {"/alias.html", header("200 OK", "text/html", 9) + "<p>hi</p>"},
    };
    for (const auto& [target, expected] : cases) {
        EXPECT_TRUE(get(target) == expected) << target;
    }
    EXPECT_EQ(answer("POST / HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(answer(std::string("\xff\xfe\0GET /\xc0\xaf", 10)), "");
    // The default page passes the same check as every target: a full path outside, a link leading
    // out, a device are not found; one inside is served, still with the html type.
    const std::pair<std::string, std::string> pages[] = {
        {(m_dir / "secret.txt").string(), header("404 Not Found", "text/html")},
        {"link.html", header("404 Not Found", "text/html")},
        {"/dev/zero", header("404 Not Found", "text/html")},
        {(m_dir / "site" / "readme").string(), header("200 OK", "text/html", 12) + "plain readme"},
    };
    for (const auto& [page, expected] : pages) {
        m_info->basehtml = QvString::fromUtf8(page);
        EXPECT_EQ(get("/"), expected) << page;
    }
    EXPECT_EQ(m_worker.getRecvBuffer().size(), 0u);
    EXPECT_EQ(m_worker.getState(), CCPTBaseWorker::kStateFinished);
}

// Answered once the request line has ended (CR LF, even across chunks); bytes that cannot become a
// "GET " line, or a line longer than one receive, end it at once unanswered (state 4: closed).
TEST_F(RequestProcessingTest, RequestIsAnsweredOnceItsRequestLineHasEnded)
{
    const std::string ok = header("200 OK", "text/html", 9) + "<p>hi</p>";
    const std::string longLine = "GET /" + std::string(CClientPerThread::kMaxRecvLength, 'a');
    const std::tuple<std::vector<std::string>, std::string, int> cases[] = {
        {{"G", "ET / HTTP/1.1\r", "\nHost: x"}, ok, CCPTBaseWorker::kStateFinished},
        {{"GET / HTTP/1.1\n", "Host: x\n"}, "", CCPTBaseWorker::kStateIdle},  // only CR LF ends the line
        {{"GET / HTTP/1.1\r"}, "", CCPTBaseWorker::kStateIdle},
        {{"GEX /"}, "", CCPTBaseWorker::kStateFinished},
        {{longLine.substr(0, 60000), longLine.substr(60000)}, "", CCPTBaseWorker::kStateFinished},
    };
    for (const auto& [chunks, expected, state] : cases) {
        CapturingWorker worker;
        worker.setServerInfo(m_info);
        for (const std::string& chunk : chunks) {
            worker.onClientRecv(5, 0, reinterpret_cast<const unsigned char*>(chunk.data()),
                                static_cast<int>(chunk.size()));
        }
        EXPECT_EQ(worker.m_sent.empty() ? "" : worker.m_sent[0], expected) << chunks[0].substr(0, 20);
        EXPECT_EQ(worker.getState(), state) << chunks[0].substr(0, 20);
    }
}

// A length beyond 32 bits is written in full.
TEST_F(RequestProcessingTest, FileOver4GiBIsStreamedWholeWithItsExactLength)
{
    constexpr std::uint64_t kSize = (std::uint64_t{4} << 30) + 5;
    const std::filesystem::path huge = m_dir.write("site/huge.bin", "");
    std::filesystem::resize_file(huge, kSize);  // sparse: no disk space
    EXPECT_EQ(get("/huge.bin"), header("200 OK", "application/octet-stream", static_cast<long long>(kSize)));
    EXPECT_EQ(m_worker.m_fileRange, std::make_pair(std::uint64_t{0}, kSize));
}

TEST_F(RequestProcessingTest, LargeRequestIsCopiedOutWholeAndOtherReportsChangeNothing)
{
    EXPECT_EQ(get("/" + std::string(5000, 'b')).rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    CapturingWorker fresh;
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    fresh.onClientRecv(6, 0, reinterpret_cast<const unsigned char*>(request.data()), static_cast<int>(request.size()));
    fresh.onClientRecv(5, 98, nullptr, 0);
    EXPECT_TRUE(fresh.m_sent.empty());
    EXPECT_EQ(fresh.getState(), CCPTBaseWorker::kStateIdle);
    fresh.onClientRecv(5, 99, nullptr, 0);
    EXPECT_EQ(fresh.getState(), CCPTBaseWorker::kStateClosed);
    EXPECT_EQ(fresh.m_workerData, std::vector<int>{1});
}

}  // namespace
