#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

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

    // When descriptors run short, the silent connections watched longest are closed: an eighth of
    // those watched per shortage, at least this many.
    static constexpr int kReclaimMin = 16;

    // Calls start, once, on the waker's thread when socket has input; or instead, when the
    // connection is reclaimed, drop on the reclaiming thread (drop closes it). Returns a ticket for
    // cancel, or 0 when socket cannot be watched (neither is then called; the caller starts).
    std::uint64_t watch(qvplat::SocketHandle socket, std::function<void()> start, std::function<void()> drop);
    // Takes a watch back before it fires: true when start has not been called and never will be;
    // false when it has been called or is about to be.
    bool cancel(std::uint64_t ticket);
    int watchedCount() const;
    // Descriptors ran short: drops the connections watched longest (they have been silent since
    // they were accepted), an eighth of them, at least kReclaimMin (all when fewer are watched).
    // Returns how many were dropped. Any thread but the waker's.
    int reclaimSilent();

private:
    struct Watch {
        qvplat::SocketHandle socket;
        std::function<void()> start;
        std::function<void()> drop;
    };

    CSessionWaker() = default;
    void threadBody();

    mutable std::mutex m_mutex;
    std::map<std::uint64_t, Watch> m_watches;  // under m_mutex; in watch order, the longest silent first
    std::uint64_t m_nextTicket = 1;            // under m_mutex
    qvplat::ReadinessSet m_ready;
    qvplat::Thread m_thread;  // started under m_mutex by the first watch that needs it
    std::atomic<bool> m_quit{false};
};
