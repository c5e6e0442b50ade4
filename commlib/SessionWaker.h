#pragma once

#include <cstdint>
#include <map>
#include <mutex>

class CClientPerThread;

// The accepted connections that have sent nothing yet, in the order they came: when descriptors
// run short, those silent longest are closed first. A session is listed from its start until its
// loop claims it (first input, or its end). Created on first use; holds no thread.
class CSessionWaker {
public:
    static CSessionWaker* getInstance();
    // Tests only, when nothing is listed: forgets the instance.
    static void releaseInstance();

    ~CSessionWaker() = default;
    CSessionWaker(const CSessionWaker&) = delete;
    CSessionWaker& operator=(const CSessionWaker&) = delete;

    // When descriptors run short, the silent connections listed longest are closed: an eighth of
    // those listed per shortage, at least this many.
    static constexpr int kReclaimMin = 16;

    // Lists session; returns its ticket, or 0 when it cannot be listed (no memory: it is then
    // never reclaimed). Any thread.
    std::uint64_t watch(CClientPerThread* session);
    // Claims the session back: true when it was still listed (it will not be reclaimed); false
    // when a reclaim took it (its socket is closed, and its loop is told so).
    bool cancel(std::uint64_t ticket);
    int watchedCount() const;
    // Descriptors ran short: closes the sockets of the sessions listed longest (they have been
    // silent since they were accepted), an eighth of them, at least kReclaimMin (all when fewer
    // are listed), and has their loops report the closes. Returns how many were closed; their
    // descriptors are free when it returns. Any thread.
    int reclaimSilent();

private:
    CSessionWaker() = default;

    mutable std::mutex m_mutex;
    std::map<std::uint64_t, CClientPerThread*> m_watches;  // in watch order, the longest silent first
    std::uint64_t m_nextTicket = 1;
};
