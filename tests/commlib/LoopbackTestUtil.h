#pragma once

// Loopback helpers for the socket framework and web server tests: free ports, a raw client,
// bounded waits. Everything binds or connects to 127.0.0.1 only.

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/Socket.h"

namespace qvtest {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls condition every few milliseconds until it holds or timeoutMs pass; true when it held.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A listening socket on an OS-chosen port (wildcard address), closed on destruction.
class Listener {
public:
    Listener()
    {
        qvplat::AddrInfo info;
        if (!qvplat::resolvePassive(0, info)) {
            return;
        }
        m_socket = qvplat::createSocket(info);
        if (m_socket == qvplat::kInvalidSocket) {
            return;
        }
        if (!qvplat::bindSocket(m_socket, info) || !qvplat::listenSocket(m_socket)) {
            qvplat::closeSocket(m_socket);
            m_socket = qvplat::kInvalidSocket;
            return;
        }
        m_port = qvplat::localPort(m_socket);
    }
    ~Listener() { qvplat::closeSocket(m_socket); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool isValid() const { return m_socket != qvplat::kInvalidSocket && m_port > 0; }
    int port() const { return m_port; }
    qvplat::SocketHandle socket() const { return m_socket; }
    // Accepts one pending connection, waiting up to timeoutMs.
    qvplat::SocketHandle accept(int timeoutMs = 5000) const
    {
        if (qvplat::waitReadable(m_socket, timeoutMs) != 1) {
            return qvplat::kInvalidSocket;
        }
        return qvplat::acceptSocket(m_socket);
    }

private:
    qvplat::SocketHandle m_socket = qvplat::kInvalidSocket;
    int m_port = -1;
};

// A port that was free a moment ago: bound on a probe socket, read back, released. A caller that
// loses the race to another process retries with a new one.
inline int findFreePort()
{
    Listener probe;
    return probe.isValid() ? probe.port() : -1;
}

// What reading a connection to its end produced.
struct ReadResult {
    std::string bytes;
    bool closed = false;  // orderly close (end of stream) seen
    bool reset = false;   // the read failed (reset) instead
    bool timedOut = false;
};

// A blocking loopback client socket, closed on destruction.
class RawClient {
public:
    RawClient() = default;
    explicit RawClient(int port) { connect(port); }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(int port)
    {
        close();
        m_socket = qvplat::connectLoopback(port, 5000);
        return isConnected();
    }
    bool isConnected() const { return m_socket != qvplat::kInvalidSocket; }
    qvplat::SocketHandle socket() const { return m_socket; }

    // Sends every byte (waiting for room up to timeoutMs in all); false on error or time-out.
    bool sendAll(const std::string& bytes, int timeoutMs = 10000) const
    {
        std::size_t offset = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (offset < bytes.size()) {
            const long n = qvplat::sendSome(m_socket, bytes.data() + offset, bytes.size() - offset);
            if (n > 0) {
                offset += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && qvplat::lastSendError() != qvplat::SendError::WouldBlock) {
                return false;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            qvplat::waitWritable(m_socket, 100);
        }
        return true;
    }

    // Reads until the peer closes, the read fails, maxBytes arrived, or timeoutMs pass.
    ReadResult readToEnd(int timeoutMs, std::size_t maxBytes = 256u * 1024 * 1024) const
    {
        ReadResult result;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[65536];
        while (result.bytes.size() < maxBytes) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                result.timedOut = true;
                break;
            }
            const int ready = qvplat::waitReadable(m_socket, static_cast<int>(left));
            if (ready == 0) {
                result.timedOut = true;
                break;
            }
            if (ready < 0) {
                result.reset = true;
                break;
            }
            const long n = qvplat::recvSome(m_socket, buffer, sizeof buffer);
            if (n == 0) {
                result.closed = true;
                break;
            }
            if (n < 0) {
                result.reset = true;
                break;
            }
            result.bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return result;
    }

    // Reads one HTTP answer: the header up to the empty line and, when it announces one, a body of
    // Content-Length bytes. Empty when nothing complete arrived within timeoutMs.
    std::string readHttpAnswer(int timeoutMs) const
    {
        std::string bytes;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[65536];
        for (;;) {
            const std::size_t headerEnd = bytes.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::size_t total = headerEnd + 4 + contentLength(bytes.substr(0, headerEnd));
                if (bytes.size() >= total) {
                    m_pending = bytes.substr(total);
                    return bytes.substr(0, total);
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || qvplat::waitReadable(m_socket, static_cast<int>(left)) != 1) {
                return {};
            }
            const long n = qvplat::recvSome(m_socket, buffer, sizeof buffer);
            if (n <= 0) {
                return {};
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Bytes read past the last answer.
    const std::string& pending() const { return m_pending; }

    void close()
    {
        if (m_socket != qvplat::kInvalidSocket) {
            qvplat::closeSocket(m_socket);
            m_socket = qvplat::kInvalidSocket;
        }
    }

    static std::size_t contentLength(const std::string& header)
    {
        const std::string key = "\r\nContent-Length: ";
        const std::size_t at = header.find(key);
        if (at == std::string::npos) {
            return 0;
        }
        return static_cast<std::size_t>(std::stoul(header.substr(at + key.size())));
    }

private:
    qvplat::SocketHandle m_socket = qvplat::kInvalidSocket;
    mutable std::string m_pending;
};

// A connected pair over loopback: the client end and the accepted server end (owned by the
// caller, who hands it to a session or closes it).
struct ConnectedPair {
    RawClient client;
    qvplat::SocketHandle server = qvplat::kInvalidSocket;
};

inline bool makeConnectedPair(const Listener& listener, ConnectedPair& pair)
{
    if (!pair.client.connect(listener.port())) {
        return false;
    }
    pair.server = listener.accept();
    return pair.server != qvplat::kInvalidSocket;
}

}  // namespace qvtest
