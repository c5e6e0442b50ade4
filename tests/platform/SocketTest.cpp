#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "Loopback.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

namespace {

constexpr int kLongWaitMs = 10000;  // only reached when something is broken

// A connected pair on a listener of the shared helpers (port 0): client side and the accepted
// server side, closed at the end unless released.
struct Connection {
    Connection()
    {
        client = qvplat::connectLoopback(listener.port());
        server = listener.accept(kLongWaitMs);
        EXPECT_NE(client, qvplat::kInvalidSocket);
        EXPECT_NE(server, qvplat::kInvalidSocket);
    }
    ~Connection()
    {
        qvplat::closeSocket(client);
        qvplat::closeSocket(server);
    }

    qvtest::Listener listener;
    qvplat::SocketHandle client = qvplat::kInvalidSocket;
    qvplat::SocketHandle server = qvplat::kInvalidSocket;
};

using qvtest::sendAll;

// Every local interface is served: the wildcard address, never only 127.0.0.1.
TEST(SocketTest, PassiveAddressIsTheIpv4Wildcard)
{
    qvplat::AddrInfo address;
    ASSERT_FALSE(qvplat::resolvePassive(8080, address).failed());
    ASSERT_EQ(address.addressLength, sizeof(sockaddr_in));
    sockaddr_in in{};
    std::memcpy(&in, address.address.data(), sizeof in);
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_EQ(in.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(ntohs(in.sin_port), 8080);
}

// Silence times out, data travels both ways, a close reads as 0 bytes.
TEST(SocketTest, DataTravelsBothWaysAndACloseIsReadable)
{
    Connection c;
    EXPECT_EQ(qvplat::waitReadable(c.server, 20), 0);
    ASSERT_TRUE(sendAll(c.client, "GET / HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(qvplat::waitReadable(c.server, kLongWaitMs), 1);
    char buffer[64] = {};
    EXPECT_EQ(qvplat::recvSome(c.server, buffer, sizeof buffer), 18);
    EXPECT_STREQ(buffer, "GET / HTTP/1.1\r\n\r\n");

    ASSERT_TRUE(sendAll(c.server, "HTTP/1.1 200 OK\r\n"));
    ASSERT_EQ(qvplat::waitReadable(c.client, kLongWaitMs), 1);
    EXPECT_EQ(qvplat::recvSome(c.client, buffer, sizeof buffer), 17);
    qvplat::closeSocket(c.client);
    c.client = qvplat::kInvalidSocket;
    EXPECT_EQ(qvplat::waitReadable(c.server, kLongWaitMs), 1);
    EXPECT_EQ(qvplat::recvSome(c.server, buffer, 1), 0);
}

TEST(SocketTest, BadDescriptorsAreErrors)
{
    EXPECT_EQ(qvplat::waitReadable(qvplat::kInvalidSocket, 0), -1);
    EXPECT_EQ(qvplat::waitReadable(1 << 20, 0), -1);  // far beyond any open descriptor
}

TEST(SocketTest, WaitReadableWorksAboveFdSetsize)
{
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    constexpr rlim_t kHigh = 2000;  // above select()'s 1024
    if (limit.rlim_cur <= kHigh) {
        if (limit.rlim_max <= kHigh) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    Connection c;
    const int high = ::fcntl(c.server, F_DUPFD_CLOEXEC, static_cast<int>(kHigh));
    ASSERT_GE(high, static_cast<int>(kHigh));
    EXPECT_EQ(qvplat::waitReadable(high, 10), 0);
    ASSERT_TRUE(sendAll(c.client, "x"));
    EXPECT_EQ(qvplat::waitReadable(high, kLongWaitMs), 1);
    qvplat::closeSocket(high);
}

TEST(SocketTest, ShutdownFromAnotherThreadWakesTheReader)
{
    Connection c;
    qvplat::Event waiting(true, false);
    int waitResult = -2;
    long recvResult = -2;
    std::thread reader([&] {
        waiting.set();
        waitResult = qvplat::waitReadable(c.server, kLongWaitMs);
        char byte = 0;
        recvResult = qvplat::recvSome(c.server, &byte, 1);
    });
    ASSERT_TRUE(waiting.wait(kLongWaitMs));
    qvplat::shutdownSocket(c.server);
    reader.join();
    EXPECT_EQ(waitResult, 1);
    EXPECT_EQ(recvResult, 0) << "a shut-down connection reads as closed";
    // The peer sees the close too.
    EXPECT_EQ(qvplat::waitReadable(c.client, kLongWaitMs), 1);
    char byte = 0;
    EXPECT_EQ(qvplat::recvSome(c.client, &byte, 1), 0);
}

// Started programs must not inherit sockets; a live listener's port cannot be taken, a closed
// one refuses connections.
TEST(SocketTest, SocketsAreCloseOnExecAndBindAndConnectFailuresSayWhy)
{
    Connection c;
    qvplat::AddrInfo address;
    ASSERT_FALSE(qvplat::resolvePassive(c.listener.port(), address).failed());
    qvplat::SocketHandle second = qvplat::kInvalidSocket;
    ASSERT_FALSE(qvplat::createSocket(address, second).failed());
    for (const auto s : {second, c.server, c.client}) {
        EXPECT_TRUE(::fcntl(s, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_FALSE(qvplat::setReuseAddr(second).failed());
    const qvplat::SocketError bound = qvplat::bindSocket(second, address);
    EXPECT_EQ(bound.op, qvplat::SocketError::Op::Bind);
    EXPECT_EQ(bound.code, EADDRINUSE);
    EXPECT_TRUE(bound.isAddressInUse());
    qvplat::closeSocket(second);
    int port = 0;
    {
        qvtest::Listener gone;
        port = gone.port();
    }
    EXPECT_EQ(qvplat::connectLoopback(port), qvplat::kInvalidSocket);
    EXPECT_EQ(qvplat::lastError(), ECONNREFUSED);
}

// The server answers while unread input is still waiting, then closes: the whole answer must
// arrive, followed by an orderly end instead of a reset.
TEST(SocketTest, DrainAndCloseDeliversTheWholeAnswer)
{
    constexpr std::size_t kAnswerBytes = 2 * 1024 * 1024;
    constexpr std::size_t kUnreadBytes = 32 * 1024;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Connection c;
        ASSERT_TRUE(sendAll(c.client, "REQ" + std::string(kUnreadBytes, 'u')));
        // Wait until the unread part has arrived at the server.
        for (int spin = 0; spin < 1000 && qvplat::bytesAvailable(c.server) < static_cast<int>(3 + kUnreadBytes);
             ++spin) {
            qvplat::waitReadable(c.server, 10);
        }
        char request[3];
        ASSERT_EQ(qvplat::recvSome(c.server, request, 3), 3);

        std::size_t received = 0;
        long last = 1;
        int readerError = 0;
        std::thread reader([&] {
            char buffer[65536];
            while ((last = qvplat::recvSome(c.client, buffer, sizeof buffer)) > 0) {
                received += static_cast<std::size_t>(last);
            }
            readerError = qvplat::lastError();
        });
        ASSERT_TRUE(sendAll(c.server, std::string(kAnswerBytes, 'a')));
        qvplat::drainAndClose(c.server);
        c.server = qvplat::kInvalidSocket;
        reader.join();
        EXPECT_EQ(received, kAnswerBytes);
        EXPECT_EQ(last, 0) << "errno " << readerError;
    }
}

}  // namespace
