#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "Loopback.h"
#include "platform/Socket.h"

namespace {

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

// Started programs must not inherit sockets: neither a listening one nor an accepted one.
TEST(SocketTest, SocketsAreCloseOnExec)
{
    qvplat::AddrInfo address;
    ASSERT_FALSE(qvplat::resolvePassive(0, address).failed());
    qvplat::SocketHandle created = qvplat::kInvalidSocket;
    ASSERT_FALSE(qvplat::createSocket(address, created).failed());
    EXPECT_TRUE(::fcntl(created, F_GETFD) & FD_CLOEXEC);
    qvplat::closeSocket(created);
    const qvtest::Listener listener;
    qvtest::ConnectedPair pair;
    ASSERT_TRUE(qvtest::makeConnectedPair(listener, pair));
    EXPECT_TRUE(::fcntl(pair.server, F_GETFD) & FD_CLOEXEC);
    qvplat::closeSocket(pair.server);
}

}  // namespace
