#pragma once

#include <functional>
#include <mutex>

#include "foundation/QvMap.h"

class CClientPerThread;
class CCPTBaseWorker;

// The process-wide registry of connections: numbers them and maps each client id to its session
// (owned) and to its worker (not owned: a worker destroys itself). Every operation is serialized
// by one lock, so the listener, the session loops and timer threads may use it at once.
class CSocketClientMngr {
public:
    static CSocketClientMngr* getInstance();
    // Tests only, when no connection is alive: stops and destroys the sessions still registered
    // and forgets the instance (client ids start from 0 again).
    static void releaseInstance();

    virtual ~CSocketClientMngr();
    CSocketClientMngr(const CSocketClientMngr&) = delete;
    CSocketClientMngr& operator=(const CSocketClientMngr&) = delete;

    // Allocates the next client id (0, 1, 2, ... never reused) and registers session and worker under it, in one step
    // (one lock for the listener per connection). Returns the id. On std::bad_alloc nothing is registered.
    int addClient(CClientPerThread* session, CCPTBaseWorker* worker);

    // Null when nothing is registered under the id. The pointer stays valid only while nobody
    // removes the id; a session's own thread may use its session, since removal waits for that
    // thread (or hands the session over to it).
    CClientPerThread* findSession(int clientId) const;

    // Takes the session out (clearing its delegate), stops and destroys it, and forgets the
    // worker without destroying it. The stop runs outside the lock: a session loop that needs the
    // manager meanwhile does not deadlock. Not from the session's delegate.
    // With onRelease, a delegate call that does not return is given up on after the stop's time
    // limit (CClientPerThread::stopOrHandOver): false then, and the loop destroys the session
    // and runs onRelease once the call returns. True when the session is gone (or was not there).
    bool remove(int clientId, std::function<void()> onRelease = {});

    // Asks every registered session to end its connection (as a worker's tick does); their
    // workers then remove them and destroy themselves on their next ticks. For an orderly exit.
    void closeAllConnections();
    // Waits up to timeoutMs until no session and no worker is registered; true when none is.
    bool waitUntilEmpty(int timeoutMs) const;

    int sessionCount() const;
    int workerCount() const;

private:
    CSocketClientMngr() = default;

    mutable std::mutex m_mutex;
    QvMap<int, CClientPerThread*> m_sessions;
    QvMap<int, CCPTBaseWorker*> m_workers;
    int m_nextClientId = 0;
};
