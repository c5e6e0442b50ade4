#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "platform/ReadinessSet.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

// Holds accepted connections that have not sent anything yet, all on one thread, and starts each
// one's session once it has input (or hangs up): a connection that stays silent costs neither a
// session thread nor its stack. Created on first use; its thread likewise.
class CSessionWaker {
public:
    static CSessionWaker* getInstance();
    // Tests only, when nothing is watched: ends the thread and forgets the instance.
    static void releaseInstance();

    ~CSessionWaker();
    CSessionWaker(const CSessionWaker&) = delete;
    CSessionWaker& operator=(const CSessionWaker&) = delete;

    // Calls start, once, on the waker's thread when socket has input. Returns a ticket for
    // cancel, or 0 when socket cannot be watched (start is then not called; the caller starts).
    std::uint64_t watch(qvplat::SocketHandle socket, std::function<void()> start);
    // Takes a watch back before it fires: true when start has not been called and never will be;
    // false when it has been called or is about to be.
    bool cancel(std::uint64_t ticket);
    int watchedCount() const;

private:
    struct Watch {
        qvplat::SocketHandle socket;
        std::function<void()> start;
    };

    CSessionWaker() = default;
    void threadBody();

    mutable std::mutex m_mutex;
    std::unordered_map<std::uint64_t, Watch> m_watches;  // under m_mutex
    std::uint64_t m_nextTicket = 1;                      // under m_mutex
    qvplat::ReadinessSet m_ready;
    qvplat::Thread m_thread;  // started under m_mutex by the first watch that needs it
    std::atomic<bool> m_quit{false};
};
