#pragma once

// Loopback helpers for every test that talks to a real socket: a listener on an OS-chosen port, a raw
// client, and the one bounded poll used where a state can only be observed from outside. Everything
// binds or connects to 127.0.0.1 (or the wildcard address on port 0) only.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "platform/Socket.h"

namespace qvtest {

using Clock = std::chrono::steady_clock;

// Generous bound for waits on other threads and processes; never used to time behaviour.
constexpr int kWaitMs = 60000;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls condition every few milliseconds until it holds or timeoutMs pass; true when it held. Only for
// states observable from outside, never as a stand-in for a signal the code under test gives.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

// n bytes of a pattern that repeats only every few kilobytes (so that a lost, doubled or moved
// block shows), for checking that bytes arrive unchanged.
std::string patternBytes(std::size_t n);

// Entries of a folder such as /proc/self/fd or /proc/self/task (open descriptors, threads).
std::size_t countEntries(const std::string& folder);

// Sends every byte on a connected socket (waiting for room up to timeoutMs in all); false on error
// or time-out.
bool sendAll(qvplat::SocketHandle socket, const std::string& bytes, int timeoutMs = 10000);

// A listening socket on port 0 (the OS picks the port; ask port()), closed on destruction.
class Listener {
public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool isValid() const { return m_socket != qvplat::kInvalidSocket && m_port > 0; }
    int port() const { return m_port; }
    // Accepts one pending connection, waiting up to timeoutMs; owned by the caller.
    qvplat::SocketHandle accept(int timeoutMs = 5000) const;

private:
    qvplat::SocketHandle m_socket = qvplat::kInvalidSocket;
    int m_port = -1;
};

// What reading a connection to its end produced.
struct ReadResult {
    std::string bytes;
    bool closed = false;  // orderly close (end of stream) seen
    bool reset = false;   // the read failed (reset) instead
};

// A blocking loopback client socket, closed on destruction.
class RawClient {
public:
    RawClient() = default;
    explicit RawClient(int port) { connect(port); }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(int port);
    bool isConnected() const { return m_socket != qvplat::kInvalidSocket; }
    qvplat::SocketHandle socket() const { return m_socket; }
    void close();

    bool sendAll(const std::string& bytes, int timeoutMs = 10000) const
    {
        return qvtest::sendAll(m_socket, bytes, timeoutMs);
    }
    // Reads until the peer closes, the read fails, maxBytes arrived, or timeoutMs pass.
    ReadResult readToEnd(int timeoutMs, std::size_t maxBytes = 256u * 1024 * 1024) const;
    // Reads one HTTP answer: the header up to the empty line and, when it announces one, a body of
    // Content-Length bytes. Empty when nothing complete arrived within timeoutMs.
    std::string readHttpAnswer(int timeoutMs) const;
    // Bytes readHttpAnswer read past the last answer.
    const std::string& pending() const { return m_pending; }

private:
    qvplat::SocketHandle m_socket = qvplat::kInvalidSocket;
    mutable std::string m_pending;
};

// A connected pair over loopback: the client end and the accepted server end (owned by the caller,
// who hands it to a session or closes it).
struct ConnectedPair {
    RawClient client;
    qvplat::SocketHandle server = qvplat::kInvalidSocket;
};
bool makeConnectedPair(const Listener& listener, ConnectedPair& pair);

}  // namespace qvtest

// Whole-exchange helpers for tests that drive a server through its configuration.
namespace loopback {

// Sends "GET target HTTP/1.1" with a Host line to 127.0.0.1:port and returns everything received
// until the server closes the connection or timeoutMs pass. Empty when the connection failed.
std::string httpGet(int port, const std::string& target, int timeoutMs = 5000);

// The body of a raw HTTP answer (after the first empty line).
std::string bodyOf(const std::string& answer);

}  // namespace loopback
