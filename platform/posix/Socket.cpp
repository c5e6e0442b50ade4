#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

namespace qvplat {
namespace {

thread_local int t_lastError = 0;
thread_local int t_lastSendErrno = 0;
// SIGPIPE stays blocked on this thread (keepBrokenPipeBlocked): sendfile needs no mask change per call.
thread_local bool t_pipeKeptBlocked = false;

constexpr std::size_t kDrainLimitBytes = std::size_t{4} * 1024 * 1024;  // bounds the discard loop of a flooding peer

SocketError failed(SocketError::Op op, int error)
{
    t_lastError = error;
    return SocketError{op, error};
}

int failWith(int error)
{
    t_lastError = error;
    return -1;
}

int pollOne(SocketHandle socket, short events, int timeoutMs)
{
    if (socket < 0) {
        return failWith(EBADF);
    }
    pollfd fd{socket, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int n = ::poll(&fd, 1, wait);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failWith(errno);
        }
        if (n == 0) {
            return 0;
        }
        if (fd.revents & POLLNVAL) {
            return failWith(EBADF);
        }
        // Hang-up and errors count as ready so that the next recv/send reports them.
        return 1;
    }
}

}  // namespace

bool SocketError::isAddressInUse() const
{
    return failed() && code == EADDRINUSE;
}

bool SocketError::isAccessDenied() const
{
    return failed() && (code == EACCES || code == EPERM);
}

const char* SocketError::operation() const
{
    switch (op) {
        case Op::Resolve:
            return "getaddrinfo";
        case Op::Create:
            return "socket";
        case Op::SetOption:
            return "setsockopt";
        case Op::Bind:
            return "bind";
        case Op::Listen:
            return "listen";
        case Op::None:
            break;
    }
    return "";
}

SocketError resolvePassive(int port, AddrInfo& out)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(nullptr, service.c_str(), &hints, &list);
    if (rc != 0 || list == nullptr) {
        return failed(SocketError::Op::Resolve, rc == EAI_SYSTEM ? errno : EINVAL);
    }
    out = AddrInfo{};
    out.family = list->ai_family;
    out.socketType = list->ai_socktype;
    out.protocol = list->ai_protocol;
    const std::size_t length = std::min<std::size_t>(list->ai_addrlen, out.address.size());
    std::memcpy(out.address.data(), list->ai_addr, length);
    out.addressLength = static_cast<std::uint32_t>(length);
    ::freeaddrinfo(list);
    return {};
}

SocketError createSocket(const AddrInfo& address, SocketHandle& out)
{
    out = ::socket(address.family, address.socketType | SOCK_CLOEXEC, address.protocol);
    if (out < 0) {
        out = kInvalidSocket;
        return failed(SocketError::Op::Create, errno);
    }
    return {};
}

SocketError setReuseAddr(SocketHandle socket)
{
    const int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return failed(SocketError::Op::SetOption, errno);
    }
    return {};
}

SocketError bindSocket(SocketHandle socket, const AddrInfo& address)
{
    if (::bind(socket, reinterpret_cast<const sockaddr*>(address.address.data()), address.addressLength) != 0) {
        return failed(SocketError::Op::Bind, errno);
    }
    return {};
}

SocketError listenSocket(SocketHandle socket)
{
    if (::listen(socket, SOMAXCONN) != 0) {
        return failed(SocketError::Op::Listen, errno);
    }
    return {};
}

SocketHandle acceptSocket(SocketHandle listening, bool nonBlocking)
{
    for (;;) {
        const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
        if (fd >= 0) {
            return fd;
        }
        if (errno != EINTR) {
            t_lastError = errno;
            return kInvalidSocket;
        }
    }
}

bool setNonBlocking(SocketHandle socket)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)) {
        t_lastError = errno;
        return false;
    }
    return true;
}

bool acceptWouldBlock()
{
    return t_lastError == EAGAIN || t_lastError == EWOULDBLOCK;
}

SocketHandle connectLoopback(int port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        t_lastError = errno;
        return kInvalidSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        if (pollOne(fd, POLLOUT, timeoutMs) == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            rc = error == 0 ? 0 : -1;
            errno = error;
        } else {
            errno = ETIMEDOUT;
        }
    }
    if (rc != 0) {
        t_lastError = errno;
        ::close(fd);
        return kInvalidSocket;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int waitReadable(SocketHandle socket, int timeoutMs)
{
    return pollOne(socket, POLLIN, timeoutMs);
}

int waitWritable(SocketHandle socket, int timeoutMs)
{
    return pollOne(socket, POLLOUT, timeoutMs);
}

int bytesAvailable(SocketHandle socket)
{
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0) {
        return failWith(errno);
    }
    return count;
}

long recvSome(SocketHandle socket, void* buffer, std::size_t length)
{
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, length, 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            t_lastError = errno;
            return kRecvTimedOut;
        }
        if (errno != EINTR) {
            return failWith(errno);
        }
    }
}

bool setReceiveTimeout(SocketHandle socket, int timeoutMs)
{
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        t_lastError = errno;
        return false;
    }
    return true;
}

long sendSome(SocketHandle socket, const void* data, std::size_t length, bool moreFollows)
{
    for (;;) {
        const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0));
        if (n >= 0) {
            t_lastSendErrno = 0;
            return static_cast<long>(n);
        }
        if (errno != EINTR) {
            t_lastSendErrno = errno;
            return failWith(errno);
        }
    }
}

long sendFileSome(SocketHandle socket, std::FILE* file, std::uint64_t& offset, std::size_t length)
{
    return sendFileSome(socket, file != nullptr ? ::fileno(file) : -1, offset, length);
}

void keepBrokenPipeBlocked()
{
    if (!t_pipeKeptBlocked) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
        t_pipeKeptBlocked = true;
    }
}

int duplicateFileForSend(std::FILE* file)
{
    const int fileFd = file != nullptr ? ::fileno(file) : -1;
    return fileFd < 0 ? -1 : ::fcntl(fileFd, F_DUPFD_CLOEXEC, 0);
}

void closeFileForSend(int fileDescriptor)
{
    if (fileDescriptor >= 0) {
        ::close(fileDescriptor);
    }
}

long sendFileSome(SocketHandle socket, int fileFd, std::uint64_t& offset, std::size_t length)
{
    if (socket < 0 || fileFd < 0) {
        t_lastSendErrno = EBADF;
        return failWith(EBADF);
    }
    // Nor has it a "no signal" flag: a peer that is gone would raise SIGPIPE, which ends the
    // process. The signal is blocked on this thread for the call (unless it stays blocked here)
    // and, when the call raised it, taken back; a SIGPIPE already pending for another reason stays.
    sigset_t pipeOnly;
    sigset_t previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pendingBefore;
    sigemptyset(&pendingBefore);
    if (!t_pipeKeptBlocked) {
        ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
        ::sigpending(&pendingBefore);
    }
    off_t at = static_cast<off_t>(offset);
    ssize_t n;
    do {
        n = ::sendfile(socket, fileFd, &at, length);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (n < 0 && error == EPIPE && sigismember(&pendingBefore, SIGPIPE) == 0) {
        const timespec noWait{};
        while (::sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    if (!t_pipeKeptBlocked) {
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (n < 0) {
        t_lastSendErrno = error;
        return failWith(error);
    }
    t_lastSendErrno = 0;
    offset = static_cast<std::uint64_t>(at);
    return static_cast<long>(n);
}

SendError classifySendError(int error)
{
    switch (error) {
        case 0:
            return SendError::None;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SendError::WouldBlock;
        case ECONNRESET:
        case EPIPE:
        case ECONNABORTED:
            return SendError::ConnAborted;
        default:
            return SendError::Other;
    }
}

SendError lastSendError()
{
    return classifySendError(t_lastSendErrno);
}

void shutdownSocket(SocketHandle socket)
{
    if (socket >= 0 && ::shutdown(socket, SHUT_RDWR) != 0) {
        t_lastError = errno;
    }
}

void shutdownSending(SocketHandle socket)
{
    if (socket >= 0 && ::shutdown(socket, SHUT_WR) != 0) {
        t_lastError = errno;
    }
}

void drainAndClose(SocketHandle socket, int lingerMs)
{
    if (socket < 0) {
        return;
    }
    // FIN goes out behind everything queued; an error here (already shut down) changes nothing.
    ::shutdown(socket, SHUT_WR);
    char scratch[4096];
    std::size_t discarded = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs > 0 ? lingerMs : 0);
    while (discarded < kDrainLimitBytes) {
        const ssize_t n = ::recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) {
            discarded += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            break;  // the peer closed (or our side was shut down): nothing more will come
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || pollOne(socket, POLLIN, static_cast<int>(left.count())) != 1) {
            break;
        }
    }
    ::close(socket);
}

void closeSocket(SocketHandle socket)
{
    if (socket >= 0) {
        ::close(socket);
    }
}

int lastError()
{
    return t_lastError;
}

std::string peerAddressText(SocketHandle socket)
{
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    char text[INET6_ADDRSTRLEN] = {};
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return "-";
    }
    const void* raw = nullptr;
    if (addr.ss_family == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr;
    } else if (addr.ss_family == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr;
    }
    if (raw == nullptr || ::inet_ntop(addr.ss_family, raw, text, sizeof text) == nullptr) {
        return "-";
    }
    return text;
}

int localPort(SocketHandle socket)
{
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return failWith(errno);
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    }
    return failWith(EAFNOSUPPORT);
}

}  // namespace qvplat
