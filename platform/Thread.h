#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace qvplat {

// Stack for a session thread: room for the request handling (the receive buffer is on the heap),
// kept small because up to 64 threads stay parked between connections.
constexpr std::size_t kSessionStackBytes = std::size_t{512} * 1024;
// Stack for the timer and listening threads: shallow calls. The system's default (often 8 MiB a
// thread) is address space a process under a limit cannot spare.
constexpr std::size_t kServiceStackBytes = std::size_t{512} * 1024;

// A joinable thread with a chosen stack size. Every Thread has one owner who joins it; the
// destructor joins a thread that is still joinable (destroyed from its own body, where joining is
// impossible, it releases the thread instead). Not copyable; start/join from the owner only.
class Thread {
public:
    Thread();
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts body on a new thread. stackBytes 0 takes the system default; smaller requests are raised
    // to a safe minimum (and enlarged under sanitizers). False when the thread cannot be created (no
    // memory for it either; or the failure seam is on) or this object already has a joinable
    // thread; the caller logs it.
    bool start(std::function<void()> body, std::size_t stackBytes = 0);

    // True from a successful start() until join() or a successful tryJoinFor().
    bool joinable() const;
    // True when the body has returned (the thread may still need joining).
    bool finished() const;
    // True when called on this thread itself.
    bool isCurrent() const;

    // Waits for the body to return and releases the thread. No effect when not joinable. Must not
    // be called from the thread itself.
    void join();
    // Waits at most ms milliseconds (-1 = forever); true when the thread ended and was joined.
    bool tryJoinFor(int ms);

    struct State;  // defined by the implementation

private:
    std::shared_ptr<State> m_state;
};

// Test seam: while on in the current service context, Thread::start() fails without creating a thread.
void setThreadCreationFailureForTesting(bool fail);

}  // namespace qvplat
