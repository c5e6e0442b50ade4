#include "platform/TimerService.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Debug.h"
#include "platform/ServiceContext.h"
#include "platform/Thread.h"
#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

// Inside a catch-all: one line on the debug output saying what a timer callback threw. Never throws.
void reportCaught() noexcept
{
    try {
        try {
            throw;
        } catch (const std::exception& caught) {
            outputDebugString(u"Timer callback failed: " + detail::fromUtf8(caught.what()));
        } catch (...) {
            outputDebugString(u"Timer callback failed: exception of unknown type");
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to report a failed report with
    }
}

using Clock = std::chrono::steady_clock;

thread_local TimerId t_currentTimer = 0;

// How long a due timer waits for the thread running other callbacks before another thread takes it.
constexpr int kLateMs = 20;

struct TimerRecord {
    TimerId id = 0;
    std::function<void()> callback;
    int periodMs = 0;
    Clock::time_point due;
    bool running = false;
    bool deleted = false;
    std::thread::id runner;
};

class Service {
public:
    Service() = default;
    ~Service() { shutdown(); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    TimerId create(int firstDelayMs, int periodMs, std::function<void()> callback)
    {
        if (!callback) {
            return 0;
        }
        std::unique_lock lock(m_mutex);
        if (m_stopping || !ensureWorkers()) {
            return 0;
        }
        auto record = std::make_shared<TimerRecord>();
        record->id = m_nextId++;
        record->callback = std::move(callback);
        record->periodMs = periodMs;
        // Due times fall on whole milliseconds, so timers made in one millisecond with one delay
        // come due at the same instant and one wake-up runs them all.
        record->due = std::chrono::ceil<std::chrono::milliseconds>(
            Clock::now() + std::chrono::milliseconds(firstDelayMs > 0 ? firstDelayMs : 0));
        const bool earliest = m_queue.empty() || record->due < m_queue.begin()->first;
        // Both tables or neither (out of memory): a queued id without its record would stop the service.
        m_timers.emplace(record->id, record);
        try {
            m_queue.emplace(record->due, record->id);
        } catch (...) {
            m_timers.erase(record->id);
            throw;
        }
        const TimerId id = record->id;
        lock.unlock();
        if (earliest) {
            m_wake.notify_one();
        }
        return id;
    }

    void remove(TimerId id)
    {
        std::shared_ptr<TimerRecord> record;
        {
            std::unique_lock lock(m_mutex);
            const auto found = m_timers.find(id);
            if (found == m_timers.end()) {
                return;
            }
            record = std::move(found->second);
            m_timers.erase(found);
            m_queue.erase({record->due, id});
            record->deleted = true;
            if (record->running && record->runner != std::this_thread::get_id()) {
                m_callbackDone.wait(lock, [&] { return !record->running; });
            }
        }
        // The callback's captures may be released here, outside the lock, so they may use timers too.
        record.reset();
    }

private:
    // Pending timers are dropped, callbacks in progress finish, the pool threads are joined; from
    // then on no timer is made here (a later one makes a new service).
    void shutdown()
    {
        std::vector<std::unique_ptr<Thread>> workers;
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            workers.swap(m_workers);
        }
        m_wake.notify_all();
        m_idle.notify_all();
        for (const std::unique_ptr<Thread>& worker : workers) {
            if (!worker->isCurrent()) {
                worker->join();
            }
            // The process ends from inside a callback: the Thread releases its own thread when destroyed.
        }
        std::unordered_map<TimerId, std::shared_ptr<TimerRecord>> dropped;
        {
            std::lock_guard lock(m_mutex);
            dropped.swap(m_timers);
            m_queue.clear();
        }
        // Callbacks are destroyed without the lock held.
    }

    // On time, the next run keeps the grid of due times. A run that started more than half a period
    // late starts a new grid one period after it, so it is never followed by another at once; a
    // callback slower than its period is followed by one run right away, never by a burst.
    static Clock::time_point nextDue(Clock::time_point due, Clock::time_point started, Clock::time_point now,
                                     int periodMs)
    {
        const auto period = std::chrono::milliseconds(periodMs);
        auto next = due + period;
        if (started - due > period / 2) {
            next = started + period;
        }
        return next < now ? now : next;
    }

    bool ensureWorkers()
    {
        if (!m_workers.empty()) {
            return true;
        }
        m_workers.reserve(kTimerThreads);  // a started thread is always kept, so it is always joined
        for (int i = 0; i < kTimerThreads; ++i) {
            auto worker = std::make_unique<Thread>();
            if (!worker->start([this] { work(); }, kServiceStackBytes)) {
                break;
            }
            m_workers.push_back(std::move(worker));
        }
        return !m_workers.empty();  // no thread at all: the timer could never fire
    }

    // One idle thread at a time (the waiter) sleeps until the next due time; the others sleep until
    // they are needed. A thread that runs callbacks goes on with the timers that are due meanwhile,
    // one after another, so a batch of timers due together costs one wake-up, not one per timer. The
    // waiter takes a due timer itself only when nobody runs callbacks, or when the one who does
    // has not come to it within kLateMs (a slow callback): no timer waits for another's callback.
    void work()
    {
        std::unique_lock lock(m_mutex);
        bool waiter = false;  // this thread holds the timed wait
        bool batch = false;   // this thread has just run a callback
        while (!m_stopping) {
            const auto now = Clock::now();
            const bool due = !m_queue.empty() && m_queue.begin()->first <= now;
            if (batch && due) {
                runFirst(lock, now);  // the next of the batch
                continue;
            }
            if (batch && m_busy == 0 && m_waiterLate) {
                m_wake.notify_one();  // the waiter waits on the batch's behalf no longer
            }
            batch = false;
            if (!waiter && m_hasWaiter) {
                m_idle.wait(lock);
                continue;
            }
            waiter = true;
            m_hasWaiter = true;
            if (m_queue.empty()) {
                m_wake.wait(lock);
                continue;
            }
            auto takeAt = m_queue.begin()->first;
            m_waiterLate = m_busy > 0;
            if (m_waiterLate) {
                takeAt += std::chrono::milliseconds(kLateMs);
            }
            if (takeAt > now) {
                m_wake.wait_until(lock, takeAt);
                continue;
            }
            // The waiter runs it; an idle thread watches the queue meanwhile.
            waiter = false;
            m_hasWaiter = false;
            m_idle.notify_one();
            runFirst(lock, now);
            batch = true;
        }
    }

    // Under the lock, which it gives up around the callback: runs the first timer of the queue
    // (due) and queues its next run.
    void runFirst(std::unique_lock<std::mutex>& lock, Clock::time_point started)
    {
        // Kept to be queued again: a periodic timer's next run needs no memory.
        auto queued = m_queue.extract(m_queue.begin());
        const TimerId id = queued.value().second;
        std::shared_ptr<TimerRecord> record = m_timers.at(id);
        record->running = true;
        record->runner = std::this_thread::get_id();
        ++m_busy;
        lock.unlock();

        t_currentTimer = id;
        try {
            record->callback();
        } catch (...) {
            // A run that fails (out of memory) is that run's loss; the timer and the others go on.
            reportCaught();
        }
        t_currentTimer = 0;

        lock.lock();
        --m_busy;
        record->running = false;
        record->runner = std::thread::id();
        if (!record->deleted) {
            if (record->periodMs > 0) {
                record->due = nextDue(record->due, started, Clock::now(), record->periodMs);
                queued.value() = {record->due, id};
                const auto at = m_queue.insert(std::move(queued)).position;
                if (at == m_queue.begin()) {
                    m_wake.notify_one();  // the waiter's wait ends later, if it waits at all
                }
            } else {
                m_timers.erase(id);
            }
        }
        m_callbackDone.notify_all();
        if (record.use_count() == 1) {
            lock.unlock();
            record.reset();
            lock.lock();
        } else {
            record.reset();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;  // the waiter's: queue changed or stop requested
    std::condition_variable m_idle;  // the other idle threads': a waiter is needed
    bool m_hasWaiter = false;
    bool m_waiterLate = false;               // the waiter waits kLateMs past the due time (m_busy was > 0)
    int m_busy = 0;                          // threads running a callback
    std::condition_variable m_callbackDone;  // a callback returned (deleters wait on it)
    std::set<std::pair<Clock::time_point, TimerId>> m_queue;
    std::unordered_map<TimerId, std::shared_ptr<TimerRecord>> m_timers;
    std::vector<std::unique_ptr<Thread>> m_workers;
    TimerId m_nextId = 1;
    bool m_stopping = false;  // ending: no new timers
};

// Owned by the service context like every process-wide service: made by the first timer, ended
// (pool threads joined) with the context or by shutdownTimerService.
Service& service()
{
    return *ServiceContext::current().get<Service>([] { return new Service; });
}

}  // namespace

TimerId createTimer(int firstDelayMs, int periodMs, std::function<void()> callback)
{
    return service().create(firstDelayMs, periodMs, std::move(callback));
}

void deleteTimer(TimerId id)
{
    // No service, no timer: a late destructor's delete makes none.
    Service* timers = ServiceContext::current().find<Service>();
    if (id != 0 && timers != nullptr) {
        timers->remove(id);
    }
}

TimerId currentTimer()
{
    return t_currentTimer;
}

void shutdownTimerService()
{
    ServiceContext::current().release<Service>();
}

}  // namespace qvplat
