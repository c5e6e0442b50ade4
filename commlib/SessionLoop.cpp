#include "commlib/SessionLoop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "commlib/ClientPerThread.h"
#include "commlib/ConnWaitThread.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SvrCommLog.h"
#include "foundation/QvSingleton.h"
#include "platform/Socket.h"
#include "platform/TimerService.h"

namespace {

// Which runner of its loop this thread is (a thread left behind is no longer it).
thread_local std::uint64_t t_generation = 0;

// Listeners taken back, process-wide: a loop that sees the count change forgets its stale ones.
std::atomic<unsigned> s_unlistened{0};

long long steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// The loops of the process and their watchdog.
class CSessionLoopSet {
public:
    CSessionLoopSet() = default;

    ~CSessionLoopSet()
    {
        qvplat::deleteTimer(m_watchdog);
        for (CSessionLoop* loop : m_loops) {
            loop->quitAndWait();
            delete loop;
        }
    }

    CSessionLoopSet(const CSessionLoopSet&) = delete;
    CSessionLoopSet& operator=(const CSessionLoopSet&) = delete;

    CSessionLoop* pick()
    {
        std::lock_guard lock(m_mutex);
        if (m_loops.empty()) {
            makeLoops();  // again at each connection until they can be had
        }
        if (m_loops.empty()) {
            return nullptr;
        }
        m_next = (m_next + 1) % m_loops.size();
        return m_loops[m_next];
    }

private:
    // Under m_mutex: one loop per usable processor, and the watchdog once there is one. The list
    // does not change once it holds a loop (the watchdog reads it without the lock).
    void makeLoops()
    {
        const int count = qvplat::usableProcessorCount();
        m_loops.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            std::unique_ptr<CSessionLoop> loop(new CSessionLoop());
            std::lock_guard loopLock(loop->m_mutex);
            if (loop->m_ready.isValid() && loop->startRunner()) {
                m_loops.push_back(loop.release());
            }
        }
        if (!m_loops.empty()) {
            m_watchdog = qvplat::createTimer(CSessionLoop::kWatchdogPeriodMs, CSessionLoop::kWatchdogPeriodMs, [this] {
                const long long nowMs = steadyNowMs();
                for (CSessionLoop* loop : m_loops) {
                    loop->watchdogCheck(nowMs);
                }
            });
        }
    }

    std::vector<CSessionLoop*> m_loops;  // fixed once it holds a loop
    qvplat::TimerId m_watchdog = 0;
    std::mutex m_mutex;
    std::size_t m_next = 0;
};

namespace {

QvSingleton<CSessionLoopSet> s_loops;

}  // namespace

CSessionLoop* CSessionLoop::pick()
{
    try {
        // The pool the loops run on is made first, so that a context ending without an orderly
        // exit ends the loops before it joins their threads.
        CSessionThreadPool::getInstance();
        return s_loops.get([] { return new CSessionLoopSet(); })->pick();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CSessionLoop::releaseAll()
{
    s_loops.release();
}

CSessionLoop::~CSessionLoop()
{
    for (const std::shared_ptr<CLoopListener>& listener : m_listeners) {
        std::lock_guard lock(listener->mutex);
        listener->loop = nullptr;
    }
}

std::shared_ptr<CLoopListener> CSessionLoop::listen(CConnWaitThread* owner, qvplat::SocketHandle socket)
{
    CSessionLoop* const loop = pick();
    if (loop == nullptr) {
        return nullptr;
    }
    std::shared_ptr<CLoopListener> listener;
    try {
        listener = std::make_shared<CLoopListener>();
        listener->acceptsConnections = true;
        listener->owner = owner;
        listener->loop = loop;
        listener->socket = socket;
        std::lock_guard lock(loop->m_mutex);
        loop->m_listeners.push_back(listener);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::lock_guard lock(listener->mutex);
    if (!loop->m_ready.add(socket, static_cast<CLoopTarget*>(listener.get()))) {
        listener->owner = nullptr;  // left for the runner to forget
        s_unlistened.fetch_add(1);
        return nullptr;
    }
    return listener;
}

void CSessionLoop::unlisten(CLoopListener& listener)
{
    std::lock_guard lock(listener.mutex);
    if (listener.owner == nullptr) {
        return;
    }
    listener.owner = nullptr;
    if (listener.loop != nullptr) {
        listener.loop->m_ready.remove(listener.socket);
    }
    s_unlistened.fetch_add(1);
}

bool CSessionLoop::hasEnded(CLoopListener& listener)
{
    std::lock_guard lock(listener.mutex);
    return listener.loop == nullptr;
}

void CSessionLoop::acceptOn(CLoopListener* listener)
{
    std::lock_guard lock(listener->mutex);
    if (listener->owner == nullptr || listener->pausedUntilMs != 0) {
        return;
    }
    // One per report, as the set reports the socket again while more are queued: taking them until
    // none is left would cost an accept that finds nothing per wake-up, which under a steady load
    // is one per connection.
    const int pauseMs = listener->owner->acceptPending(1);
    if (pauseMs > 0) {
        // Level-triggered, the queued connection would be reported again at once: it waits.
        m_ready.remove(listener->socket);
        listener->pausedUntilMs = steadyNowMs() + pauseMs;
        ++m_pausedListeners;
    }
}

std::vector<std::shared_ptr<CLoopListener>> CSessionLoop::listenersNow()
{
    // A copy, so that no listener's lock is taken under the loop's (an accept takes the loop's
    // lock under the listener's).
    std::lock_guard lock(m_mutex);
    return m_listeners;
}

int CSessionLoop::nextWaitMs()
{
    int waitMs = m_deadlines != nullptr ? kDeadlinePollMs : -1;
    if (m_pausedListeners == 0) {
        return waitMs;
    }
    std::vector<std::shared_ptr<CLoopListener>> listeners;
    try {
        listeners = listenersNow();
    } catch (const std::bad_alloc&) {
        return kDeadlinePollMs;  // looked at again after the next wait
    }
    const long long nowMs = steadyNowMs();
    for (const std::shared_ptr<CLoopListener>& listener : listeners) {
        if (listener->pausedUntilMs == 0) {
            continue;
        }
        if (nowMs < listener->pausedUntilMs) {
            const auto leftMs = static_cast<int>(listener->pausedUntilMs - nowMs);
            waitMs = waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
            continue;
        }
        listener->pausedUntilMs = 0;
        --m_pausedListeners;
        std::lock_guard listenerLock(listener->mutex);  // its socket stays open while it has an owner
        if (listener->owner != nullptr) {
            (void)m_ready.add(listener->socket, static_cast<CLoopTarget*>(listener.get()));
        }
    }
    return waitMs;
}

void CSessionLoop::purgeListeners()
{
    const unsigned unlistened = s_unlistened.load();
    if (unlistened == m_unlistenedSeen) {
        return;
    }
    std::vector<std::shared_ptr<CLoopListener>> listeners;
    try {
        listeners = listenersNow();
    } catch (const std::bad_alloc&) {
        return;  // the next round tries again
    }
    m_unlistenedSeen = unlistened;
    for (const std::shared_ptr<CLoopListener>& listener : listeners) {
        std::lock_guard listenerLock(listener->mutex);
        listener->forgotten = listener->owner == nullptr;
    }
    std::lock_guard lock(m_mutex);
    std::erase_if(m_listeners, [this](const std::shared_ptr<CLoopListener>& listener) {
        if (listener->forgotten && listener->pausedUntilMs != 0) {
            --m_pausedListeners;
        }
        return listener->forgotten;
    });
}

bool CSessionLoop::startRunner()
{
    const std::uint64_t generation = m_generation + 1;
    bool started = false;
    try {
        started = CSessionThreadPool::getInstance()->run([this, generation] { run(generation); });
    } catch (const std::bad_alloc&) {
        started = false;
    }
    if (started) {
        m_generation = generation;
        ++m_threads;
    }
    return started;
}

void CSessionLoop::quitAndWait()
{
    std::unique_lock lock(m_mutex);
    m_quit = true;
    m_ready.interrupt();
    m_runnerLeft.wait(lock, [this] { return m_threads == 0; });
}

bool CSessionLoop::isRunner(std::uint64_t generation)
{
    std::lock_guard lock(m_mutex);
    return !m_quit && m_generation == generation;
}

void CSessionLoop::run(std::uint64_t generation)
{
    {
        // The runner starts under the lock of whoever started it: waiting here orders it behind.
        std::lock_guard lock(m_mutex);
    }
    t_generation = generation;
    qvplat::keepBrokenPipeBlocked();
    qvplat::ReadinessSet::ReadyKeys ready{};
    bool runner = true;
    while (runner && isRunner(generation)) {
        // Between rounds no key is held: a listener taken back may be forgotten.
        purgeListeners();
        const int count = m_ready.wait(nextWaitMs(), ready);
        // Requests first, so that a close asked for before input came is not overtaken by it; but
        // the sessions to forget only after the ready ones, so that none of those keys is stale.
        runner = runRequests();
        for (int i = 0; runner && i < count; ++i) {
            auto* const target = static_cast<CLoopTarget*>(ready[static_cast<std::size_t>(i)]);
            if (target->acceptsConnections) {
                acceptOn(static_cast<CLoopListener*>(target));
                continue;
            }
            auto* const session = static_cast<CClientPerThread*>(target);
            runner = session->onReady();
            if (runner) {
                session->publishEnd();
            }
        }
        if (runner) {
            runStops();
            runner = checkDeadlines();
        }
    }
    std::lock_guard lock(m_mutex);
    --m_threads;
    m_runnerLeft.notify_all();
}

bool CSessionLoop::attach(qvplat::SocketHandle socket, CClientPerThread* session)
{
    {
        // The runner takes this lock before it serves what a wait reported: what the caller
        // wrote into the session is published by it, with no wake-up of the runner.
        std::lock_guard lock(m_mutex);
    }
    return m_ready.add(socket, static_cast<CLoopTarget*>(session), qvplat::ReadinessSet::Interest::Read);
}

bool CSessionLoop::setInterest(qvplat::SocketHandle socket, CClientPerThread* session,
                               qvplat::ReadinessSet::Interest interest)
{
    return m_ready.modify(socket, static_cast<CLoopTarget*>(session), interest);
}

bool CSessionLoop::rewatch(qvplat::SocketHandle socket, CClientPerThread* session,
                           qvplat::ReadinessSet::Interest interest)
{
    return m_ready.add(socket, static_cast<CLoopTarget*>(session), interest);
}

void CSessionLoop::unwatch(qvplat::SocketHandle socket)
{
    m_ready.remove(socket);
}

void CSessionLoop::post(CClientPerThread* session, unsigned requests)
{
    std::lock_guard lock(m_mutex);
    session->m_requests |= requests;
    if (session->m_requestQueued) {
        return;
    }
    session->m_requestQueued = true;
    session->m_requestNext = nullptr;
    if (m_requestTail != nullptr) {
        m_requestTail->m_requestNext = session;
    } else {
        m_requestHead = session;
        m_ready.interrupt();  // one wake-up for a whole queue
    }
    m_requestTail = session;
}

void CSessionLoop::forget(CClientPerThread* session)
{
    std::lock_guard lock(m_mutex);
    if (!session->m_requestQueued) {
        return;
    }
    CClientPerThread* previous = nullptr;
    for (CClientPerThread* at = m_requestHead; at != nullptr; previous = at, at = at->m_requestNext) {
        if (at != session) {
            continue;
        }
        (previous != nullptr ? previous->m_requestNext : m_requestHead) = at->m_requestNext;
        if (m_requestTail == at) {
            m_requestTail = previous;
        }
        break;
    }
    session->m_requestQueued = false;
    session->m_requests = 0;
    session->m_requestNext = nullptr;
}

bool CSessionLoop::isQueued(const CClientPerThread* session)
{
    std::lock_guard lock(m_mutex);
    return session->m_requestQueued;
}

bool CSessionLoop::runRequests()
{
    while (true) {
        CClientPerThread* session = nullptr;
        unsigned requests = 0;
        {
            std::lock_guard lock(m_mutex);
            session = m_requestHead;
            if (session == nullptr) {
                return true;
            }
            m_requestHead = session->m_requestNext;
            if (m_requestHead == nullptr) {
                m_requestTail = nullptr;
            }
            requests = session->m_requests;
            session->m_requests = 0;
            session->m_requestQueued = false;
            session->m_requestNext = nullptr;
        }
        if ((requests & kRequestStop) != 0) {
            // Forgotten after this round's ready sockets; stopping needs no other request done.
            requests &= ~kRequestStop;
            session->m_stopNext = m_stopping;
            m_stopping = session;
        }
        if (requests != 0 && !session->onRequests(requests)) {
            return false;
        }
        session->publishEnd();
    }
}

void CSessionLoop::runStops()
{
    while (m_stopping != nullptr) {
        CClientPerThread* const session = m_stopping;
        m_stopping = session->m_stopNext;
        session->m_stopNext = nullptr;
        if (session->isLeftBehind()) {
            session->deferRequests(kRequestStop);  // comes back with the resume
            continue;
        }
        std::function<void()> onRelease;
        if (session->detach(onRelease)) {
            // Its stopper gave up on it: the session is the loop's to release.
            delete session;
            if (onRelease) {
                onRelease();
            }
        }
    }
}

bool CSessionLoop::callDelegate(CClientPerThread* session, int status, const unsigned char* data, int length)
{
    if (session->getDelegate() == nullptr) {
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        m_inDelegate = session;
        m_delegateSinceMs = steadyNowMs();
    }
    session->notifyDelegate(status, data, length);
    std::lock_guard lock(m_mutex);
    if (m_generation != t_generation) {
        // Left behind: this thread leaves the loop; the caller posts the session back.
        return false;
    }
    m_inDelegate = nullptr;
    return true;
}

void CSessionLoop::watchdogCheck(long long nowMs)
{
    std::lock_guard lock(m_mutex);
    if (m_quit || m_inDelegate == nullptr || nowMs - m_delegateSinceMs <= kWatchdogMs) {
        return;
    }
    CClientPerThread* const session = m_inDelegate;
    if (!startRunner()) {
        return;  // no thread now: the next look tries again
    }
    qvsc::log(u"%s Delegate Left Behind [%d]", kSvrCommTag, session->getClientId());
    // The new runner waits for this lock before it looks at any session.
    session->m_resumeState = session->m_state;
    session->m_state = CClientPerThread::State::LeftBehind;
    m_inDelegate = nullptr;
}

void CSessionLoop::addDeadline(CClientPerThread* session)
{
    if (session->m_deadlinePrev != nullptr || m_deadlines == session) {
        return;
    }
    session->m_deadlineNext = m_deadlines;
    if (m_deadlines != nullptr) {
        m_deadlines->m_deadlinePrev = session;
    }
    m_deadlines = session;
}

void CSessionLoop::removeDeadline(CClientPerThread* session)
{
    if (session->m_deadlinePrev == nullptr && m_deadlines != session) {
        return;
    }
    if (session->m_deadlinePrev != nullptr) {
        session->m_deadlinePrev->m_deadlineNext = session->m_deadlineNext;
    } else {
        m_deadlines = session->m_deadlineNext;
    }
    if (session->m_deadlineNext != nullptr) {
        session->m_deadlineNext->m_deadlinePrev = session->m_deadlinePrev;
    }
    session->m_deadlinePrev = nullptr;
    session->m_deadlineNext = nullptr;
}

bool CSessionLoop::checkDeadlines()
{
    const long long nowMs = steadyNowMs();
    CClientPerThread* session = m_deadlines;
    while (session != nullptr) {
        CClientPerThread* const next = session->m_deadlineNext;
        if (nowMs >= session->m_deadlineMs) {
            removeDeadline(session);
            if (!session->onDeadline()) {
                return false;
            }
            session->publishEnd();
        }
        session = next;
    }
    return true;
}
