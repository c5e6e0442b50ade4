#pragma once

#include <mutex>

// Starts and stops the process's network library once. POSIX sockets need no start-up, so the
// calls only keep the flag and the result codes that callers check. Created on first use.
class CommLibEnv {
public:
    static constexpr int kStartOk = 0;
    static constexpr int kStartFailed = 1;        // the library could not be started
    static constexpr int kStartWrongVersion = 2;  // the library is not version 2.2
    static constexpr int kStopOk = 0;
    static constexpr int kStopNetDown = 3;
    static constexpr int kStopInProgress = 4;
    static constexpr int kStopNotInitialised = 5;

    static CommLibEnv* getInstance();
    // Tests only: forgets the instance (and its flag).
    static void releaseInstance();

    // 0 when the network is ready, also when it already was; otherwise 1 or 2 (never here).
    // The first start raises the process's soft descriptor limit to the hard one and, under an
    // address-space limit, keeps the allocator from reserving address space per thread.
    int start();
    // 0 when stopped (or never started); 3, 4 or 5 for a clean-up failure (never here).
    // The flag is cleared in every case.
    int stop();
    bool isInitialized() const;

    // The orderly end of every connection, for an exit: asks each to close, waits up to timeoutMs
    // for their workers to go, then ends the loops, the timers (a tick in flight finishes first)
    // and the parked session threads, in that order, so that nothing still running touches a
    // service the exit then destroys. Not from a session or timer thread.
    static void endSessions(int timeoutMs);

private:
    CommLibEnv() = default;

    mutable std::mutex m_mutex;
    bool m_initialized = false;
};
