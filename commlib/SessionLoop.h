#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ReadinessSet.h"

class CClientPerThread;
class CConnWaitThread;
class CSessionLoop;

// What a loop's readiness set reports: a session's socket, or a listening socket it accepts on.
struct CLoopTarget {
    bool acceptsConnections = false;
};

// A listening socket whose connections a loop accepts (CConnWaitThread::acceptPending, on the
// loop's runner, under the mutex). Shared by the listener and the loop, so
// that either may end first.
struct CLoopListener : CLoopTarget {
    std::mutex mutex;
    CConnWaitThread* owner = nullptr;  // null once the listener has taken its socket back
    CSessionLoop* loop = nullptr;      // null once the loop has ended: the listener accepts itself
    qvplat::SocketHandle socket = qvplat::kInvalidSocket;
    long long pausedUntilMs = 0;  // runner: out of the set until then (no descriptor was left)
    bool forgotten = false;       // runner: taken back, to be dropped from the loop's list
};

// One event loop serving many sessions: a runner thread (taken from the session thread pool)
// waits on the sessions' sockets, receives, and calls each session's delegate, one call at a time,
// so the calls for one session are serialized and in order. A session belongs to its loop for
// life; other threads reach it only through post(). A watchdog gives the loop a new runner when a
// delegate call has run for more than kWatchdogMs: the old thread finishes that call alone and
// then hands the session back, and the loop goes on with its other sessions meanwhile.
class CSessionLoop {
public:
    static constexpr int kWatchdogMs = 1000;       // a delegate call longer than this is left behind
    static constexpr int kWatchdogPeriodMs = 100;  // how often the watchdog looks
    static constexpr int kDeadlinePollMs = 200;    // a session's deadline is noticed within this

    // What post() asks of a session's loop.
    static constexpr unsigned kRequestClose = 1;   // end the connection (closeConnection)
    static constexpr unsigned kRequestDrop = 2;    // its socket was reclaimed while silent
    static constexpr unsigned kRequestResume = 4;  // a delegate call left behind has returned
    static constexpr unsigned kRequestStop = 8;    // forget the session (stop)

    // The loop for a new session, in turn: one loop per usable processor, made with the first
    // session. Null when no loop can run (no thread, no descriptor). Any thread.
    static CSessionLoop* pick();
    // Tests only, when no session is attached: ends the loops and their runners.
    static void releaseAll();

    // Any thread: has a loop accept on the listening socket (non-blocking) for owner from now on,
    // until unlisten(). Null when no loop can run: the owner then accepts on its own thread.
    static std::shared_ptr<CLoopListener> listen(CConnWaitThread* owner, qvplat::SocketHandle socket);
    // The listener's thread: no accept for the owner is running or will run once this returns;
    // the socket is the owner's to close.
    static void unlisten(CLoopListener& listener);
    // The listener's thread: the loop it was given has ended.
    static bool hasEnded(CLoopListener& listener);

    ~CSessionLoop();
    CSessionLoop(const CSessionLoop&) = delete;
    CSessionLoop& operator=(const CSessionLoop&) = delete;

    // Any thread, for a session set up on it: the runner serves the session from now on. The
    // session's state written before the call is the runner's to read.
    bool attach(qvplat::SocketHandle socket, CClientPerThread* session);
    // Runner: what the session's socket is watched for (level-triggered); unwatch on its close.
    bool setInterest(qvplat::SocketHandle socket, CClientPerThread* session, qvplat::ReadinessSet::Interest interest);
    bool rewatch(qvplat::SocketHandle socket, CClientPerThread* session, qvplat::ReadinessSet::Interest interest);
    void unwatch(qvplat::SocketHandle socket);

    // Any thread: asks the runner to act for session (the kRequest* bits add up until it does).
    // Needs no memory. The session must stay alive until the runner has handled kRequestStop.
    void post(CClientPerThread* session, unsigned requests);

    // Any thread: true while session has requests the runner has not taken yet.
    bool isQueued(const CClientPerThread* session);
    // Runner: takes the session out of the request queue (it is about to go).
    void forget(CClientPerThread* session);

    // Runner: calls the session's delegate. False when the watchdog gave this loop a new runner
    // during the call: the calling thread is no longer the runner and must leave the loop at
    // once without touching the session (the caller re-posts what is left to do).
    bool callDelegate(CClientPerThread* session, int status, const unsigned char* data, int length);

    // Runner: the sessions with a deadline (a close lingering, a send stalled).
    void addDeadline(CClientPerThread* session);
    void removeDeadline(CClientPerThread* session);

private:
    friend class CSessionLoopSet;

    CSessionLoop() = default;
    bool startRunner();  // under m_mutex
    // Runner: takes what the listener has queued; out of the set for a while when it must pause.
    void acceptOn(CLoopListener* listener);
    // Runner: the wait's time-out in ms (-1 none), after watching again the listeners due.
    int nextWaitMs();
    // Runner: forgets the listeners taken back since its last look.
    void purgeListeners();
    std::vector<std::shared_ptr<CLoopListener>> listenersNow();
    void run(std::uint64_t generation);
    bool isRunner(std::uint64_t generation);
    // Runner: false when the thread stopped being the runner meanwhile.
    bool runRequests();
    void runStops();
    bool checkDeadlines();
    // Watchdog: leaves a delegate call that has run too long behind.
    void watchdogCheck(long long nowMs);
    void quitAndWait();

    qvplat::ReadinessSet m_ready;

    std::mutex m_mutex;  // everything below but the deadline list
    std::condition_variable m_runnerLeft;
    CClientPerThread* m_requestHead = nullptr;  // sessions with requests, first posted first
    CClientPerThread* m_requestTail = nullptr;
    std::uint64_t m_generation = 0;            // the runner's; a new runner gets the next one
    CClientPerThread* m_inDelegate = nullptr;  // the session whose delegate the runner is calling
    long long m_delegateSinceMs = 0;
    int m_threads = 0;  // runners, and old runners still finishing a delegate call
    bool m_quit = false;
    std::vector<std::shared_ptr<CLoopListener>> m_listeners;

    // Runner only: intrusive lists through the sessions.
    CClientPerThread* m_deadlines = nullptr;
    CClientPerThread* m_stopping = nullptr;  // stop requests of this round
    int m_pausedListeners = 0;
    unsigned m_unlistenedSeen = 0;
};
