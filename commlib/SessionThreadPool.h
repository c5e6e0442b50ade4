#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Thread.h"

// The threads that serve connections. A thread that has served one connection parks and takes the
// next one, so a connection costs neither a thread creation nor a stack mapping while threads are
// parked. Each thread serves one job at a time. Created on first use.
class CSessionThreadPool {
public:
    // Threads kept parked for later connections; a thread that finishes while this many wait ends,
    // so a burst of connections does not keep its threads (and their stacks) for good.
    static constexpr int kMaxParked = 64;
    // Each thread is given a buffer of this size when it is made (a session's receive buffer plus
    // the zero behind the data), so that serving a connection needs no memory of the thread's own.
    static constexpr std::size_t kThreadBufferBytes = 0x19000;

    static CSessionThreadPool* getInstance();
    // Tests only, when no job runs: ends and joins every thread and forgets the instance.
    static void releaseInstance();

    ~CSessionThreadPool();
    CSessionThreadPool(const CSessionThreadPool&) = delete;
    CSessionThreadPool& operator=(const CSessionThreadPool&) = delete;

    // Runs job on a parked thread, or on a new one when none is parked. False when no thread (or no
    // memory for it) can be had; the job then never runs. Any thread.
    bool run(std::function<void()> job);
    // On a pool thread: the buffer it was given (kThreadBufferBytes). Null on any other thread.
    static unsigned char* threadBuffer();
    // Ends and joins the parked threads, so that the next run needs a new thread.
    void releaseParked();
    int parkedCount() const;
    int threadCount() const;

private:
    struct Slot {
        qvplat::Thread thread;
        std::function<void()> job;  // under m_mutex
        std::condition_variable wake;
        bool quit = false;
        bool exited = false;  // the body has left its loop; only joining remains
        std::unique_ptr<unsigned char[]> buffer;
    };

    CSessionThreadPool();
    void threadBody(Slot* slot);
    // Takes the slots of ended threads out of m_slots (under m_mutex), to be joined outside it.
    std::vector<std::unique_ptr<Slot>> takeExited();

    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<Slot>> m_slots;  // one per thread alive or not yet joined
    std::vector<Slot*> m_parked;
    bool m_closing = false;
};
