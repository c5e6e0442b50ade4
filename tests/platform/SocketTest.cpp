#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "Loopback.h"
#include "platform/Socket.h"

namespace {

constexpr int kLongWaitMs = 10000;  // only reached when something is broken

// A connected pair on a listener of the shared helpers (port 0): client side and the accepted
// server side, closed at the end.
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
    ASSERT_TRUE(qvtest::sendAll(c.client, "x"));
    EXPECT_EQ(qvplat::waitReadable(high, kLongWaitMs), 1);
    qvplat::closeSocket(high);
}

// Started programs must not inherit sockets.
TEST(SocketTest, SocketsAreCloseOnExec)
{
    Connection c;
    qvplat::AddrInfo address;
    ASSERT_FALSE(qvplat::resolvePassive(0, address).failed());
    qvplat::SocketHandle created = qvplat::kInvalidSocket;
    ASSERT_FALSE(qvplat::createSocket(address, created).failed());
    for (const auto s : {created, c.server, c.client}) {
        EXPECT_TRUE(::fcntl(s, F_GETFD) & FD_CLOEXEC);
    }
    qvplat::closeSocket(created);
}

}  // namespace
