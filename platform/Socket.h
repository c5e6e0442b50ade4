#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qvplat {

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// One resolved address: what socket(), bind() and connect() need, copied out of the resolver's list
// (which is freed at once, so there is nothing to release).
struct AddrInfo {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    std::array<unsigned char, 128> address{};  // a sockaddr_storage's worth of bytes
    std::uint32_t addressLength = 0;
};

// A failed socket call: the operation and the errno it left, so that callers decide on the kind of
// failure, never on a message. A default value (op None) is a success.
struct SocketError {
    enum class Op { None, Resolve, Create, SetOption, Bind, Listen };
    Op op = Op::None;
    int code = 0;  // errno; a resolver failure that is not a system error gives EINVAL

    bool failed() const { return op != Op::None; }
    // EADDRINUSE: another socket holds the address.
    bool isAddressInUse() const;
    // EACCES / EPERM: the port needs privileges this process lacks.
    bool isAccessDenied() const;
    // bind refused the port (in use, or privileged): another port would do.
    bool isPortUnavailable() const { return op == Op::Bind && (isAddressInUse() || isAccessDenied()); }
    // The operation's name ("bind"), empty for a success.
    const char* operation() const;
};

// Listening set-up, one call per step so that the caller can log the step that fails. Every
// failing call also leaves its errno in lastError().

// Resolves the passive IPv4 TCP address for port (service text = decimal port, no host): the
// wildcard address, so every local IPv4 interface is served.
SocketError resolvePassive(int port, AddrInfo& out);
// A socket of the address's family, type and protocol, close-on-exec, in out (kInvalidSocket on
// failure).
SocketError createSocket(const AddrInfo& address, SocketHandle& out);
// SO_REUSEADDR = 1 (on Linux a live listener on the port still makes bind fail).
SocketError setReuseAddr(SocketHandle socket);
SocketError bindSocket(SocketHandle socket, const AddrInfo& address);
// Backlog SOMAXCONN.
SocketError listenSocket(SocketHandle socket);
// Accepts one connection, close-on-exec, peer address not asked for. Blocks unless the listening
// socket was made non-blocking; then kInvalidSocket with acceptWouldBlock() true means none is
// pending. The accepted socket is non-blocking when asked for, else blocking.
SocketHandle acceptSocket(SocketHandle listening, bool nonBlocking = false);
// Makes accept on a listening socket return at once when no connection is pending (and receives
// and sends on a connection return at once).
bool setNonBlocking(SocketHandle socket);
// True when the last failing acceptSocket on this thread found no pending connection.
bool acceptWouldBlock();

// Client side, for tests and tools: a blocking TCP connection to 127.0.0.1:port (timeoutMs bounds the
// connect; -1 = the system's own limit). kInvalidSocket on failure.
SocketHandle connectLoopback(int port, int timeoutMs = 5000);

// Waits until the socket is readable: 1 readable (also on hang-up or a pending error, so that the
// following recvSome reports it), 0 time-out, -1 error (including an invalid descriptor).
// timeoutMs -1 waits forever. No FD_SETSIZE limit.
int waitReadable(SocketHandle socket, int timeoutMs);
// The same for room to send: 1 writable (or hang-up/error), 0 time-out, -1 error.
int waitWritable(SocketHandle socket, int timeoutMs);

// Bytes waiting to be read (FIONREAD); -1 on error.
int bytesAvailable(SocketHandle socket);

// What recvSome returns when the socket's receive time-out passed without input.
inline constexpr long kRecvTimedOut = -2;
// One recv(): > 0 bytes read, 0 orderly close by the peer (or after a local shutdown), -1 error,
// kRecvTimedOut once the time-out set by setReceiveTimeout passed (a blocking socket without one
// waits for input). Ask for at least 1 byte: a 0-byte read cannot tell a close from data.
long recvSome(SocketHandle socket, void* buffer, std::size_t length);
// Makes a receive on a blocking socket give up after timeoutMs (> 0) without input, so that one
// call both waits and reads.
bool setReceiveTimeout(SocketHandle socket, int timeoutMs);

// One non-blocking send() that never raises SIGPIPE: >= 0 bytes sent, -1 error (see lastSendError).
// moreFollows: the bytes wait for the next send to fill a segment with them (MSG_MORE), which must
// come at once.
long sendSome(SocketHandle socket, const void* data, std::size_t length, bool moreFollows = false);

// Sends up to length bytes of an open file, starting at offset, from the file straight to a
// non-blocking socket (sendfile has no per-call "don't wait" flag) without SIGPIPE; offset advances
// by the count sent. > 0 bytes sent, 0 the file holds nothing at offset any more (it shrank), -1
// error (see lastSendError()).
long sendFileSome(SocketHandle socket, std::FILE* file, std::uint64_t& offset, std::size_t length);
// The same from a descriptor of duplicateFileForSend.
long sendFileSome(SocketHandle socket, int fileDescriptor, std::uint64_t& offset, std::size_t length);
// A descriptor of the open file of its own (close-on-exec), for an answer that goes on after the
// caller has closed the file; -1 on failure. Closed with closeFileForSend.
int duplicateFileForSend(std::FILE* file);
void closeFileForSend(int fileDescriptor);
// Keeps SIGPIPE blocked on the calling thread from now on, so that its sendFileSome calls need no
// signal-mask change each (a thread that sends files to many peers).
void keepBrokenPipeBlocked();

enum class SendError {
    None,
    WouldBlock,   // EAGAIN / EWOULDBLOCK: no room now, retry after waitWritable (plays WSAEWOULDBLOCK)
    ConnAborted,  // ECONNRESET / EPIPE / ECONNABORTED: the connection is gone (plays WSAECONNABORTED)
    Other,
};
// Classifies the errno left by the last sendSome() on the calling thread.
SendError lastSendError();
// The same classification for a given errno value.
SendError classifySendError(int error);

// Ends both directions of the connection without releasing the descriptor. Safe from another thread
// while the owner waits in waitReadable()/recvSome(): those then report readable and 0 (close).
void shutdownSocket(SocketHandle socket);
// Sends FIN after everything queued and keeps receiving (input that still comes is read, never
// answered with a reset). Safe from another thread while the owner waits in recvSome().
void shutdownSending(SocketHandle socket);

// Graceful close for a connection that has been answered: sends FIN after everything queued
// (shutdown of the sending side), reads and discards input that is already waiting (at most a few
// megabytes) so that the close does not turn into a TCP reset that could destroy the answer at the
// peer, then closes. lingerMs > 0 also waits up to that long for the peer's own close first.
// Owner thread only; the descriptor is invalid afterwards.
void drainAndClose(SocketHandle socket, int lingerMs = 0);

// Releases the descriptor at once (a reset if unread input is waiting). Owner thread only.
void closeSocket(SocketHandle socket);

// Owns one descriptor and closes it (closeSocket) when it goes; release() hands it over instead.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(SocketHandle socket) : m_socket(socket) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept : m_socket(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    SocketHandle get() const { return m_socket; }
    bool isValid() const { return m_socket != kInvalidSocket; }
    SocketHandle release()
    {
        const SocketHandle socket = m_socket;
        m_socket = kInvalidSocket;
        return socket;
    }
    void reset(SocketHandle socket = kInvalidSocket)
    {
        if (m_socket != kInvalidSocket) {
            closeSocket(m_socket);
        }
        m_socket = socket;
    }

private:
    SocketHandle m_socket = kInvalidSocket;
};

// errno of the last failing call of this header on the calling thread.
int lastError();

// The address of a connection's peer as text ("127.0.0.1"); "-" when it cannot be had.
std::string peerAddressText(SocketHandle socket);

// The local port a socket is bound to (for tests that listen on port 0); -1 on error.
int localPort(SocketHandle socket);

}  // namespace qvplat
