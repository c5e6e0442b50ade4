#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "foundation/QvAutoCriticalLock.h"
#include "foundation/QvList.h"
#include "httpclient/QvASQueue.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

// A pool of four workers and a dispatcher. submit() hands an item to the first free worker at once,
// or queues it; the dispatcher starts at most one queued item per 10 ms tick, in queue order.
// T is a pointer type. Construction, start and destruction belong to the owner's thread; submit may
// come from any thread, the workers' own included.
template <class T>
class QvASQMTPool {
public:
    using Handler = typename QvASQueue<T>::Handler;

    static constexpr int kWorkerCount = 4;
    static constexpr int kTickMs = 10;  // a queued item waits at most one tick for a free worker

    // Creates the dispatcher, then the workers; all wait until start().
    QvASQMTPool()
    {
        if (!m_dispatcher.start([this] { dispatch(); })) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        for (int i = 0; i < m_workerCount; ++i) {
            m_workers.push_back(std::make_unique<QvASQueue<T>>());
        }
    }

    // Stops the dispatcher first, so no tick can hand an item to a worker that is going away, then
    // the workers (each lets its running item finish). Queued items are dropped.
    virtual ~QvASQMTPool()
    {
        {
            CQvAutoCriticalLock lock(&m_poolLock);
            m_stopping = true;
        }
        {
            std::lock_guard<std::mutex> lock(m_startMutex);
            m_running.store(false);
            m_dispatcherStop = true;
        }
        m_startSignal.notify_all();
        m_tick.set();
        m_dispatcher.join();
        m_workers.clear();
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        m_pending.clear();
    }

    QvASQMTPool(const QvASQMTPool&) = delete;
    QvASQMTPool& operator=(const QvASQMTPool&) = delete;

    void start(const Handler& handler)
    {
        for (auto& worker : m_workers) {
            worker->start(handler);
        }
        {
            std::lock_guard<std::mutex> lock(m_startMutex);
            m_running.store(true);
        }
        m_startSignal.notify_all();
    }

    void submit(T item)
    {
        CQvAutoCriticalLock lock(&m_poolLock);
        if (m_stopping) {
            return;
        }
        for (auto& worker : m_workers) {
            if (worker->isReady() && !worker->isBusy()) {
                worker->assign(item);
                return;
            }
        }
        std::lock_guard<std::mutex> pendingLock(m_pendingMutex);
        m_pending.pushBack(item);
    }

    // Items waiting for a worker.
    int pendingCount() const
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        return m_pending.size();
    }

    // Index of the worker whose thread calls this, or -1.
    int currentWorkerIndex() const
    {
        for (int i = 0; i < static_cast<int>(m_workers.size()); ++i) {
            if (m_workers[static_cast<size_t>(i)]->isCurrentThread()) {
                return i;
            }
        }
        return -1;
    }

private:
    void dispatch()
    {
        {
            std::unique_lock<std::mutex> lock(m_startMutex);
            m_startSignal.wait(lock, [this] { return m_running.load() || m_dispatcherStop; });
        }
        while (m_running.load()) {
            // Nothing signals the tick event but the destructor: every time-out is a tick.
            if (!m_tick.wait(kTickMs)) {
                dispatchTick();
            }
        }
    }

    void dispatchTick()
    {
        CQvAutoCriticalLock lock(&m_poolLock);
        if (m_stopping) {
            return;
        }
        {
            std::lock_guard<std::mutex> pendingLock(m_pendingMutex);
            if (m_pending.isEmpty()) {
                return;
            }
        }
        for (auto& worker : m_workers) {
            if (worker->isReady() && !worker->isBusy()) {
                T item = nullptr;
                {
                    std::lock_guard<std::mutex> pendingLock(m_pendingMutex);
                    m_pending.popFront(item);
                }
                worker->assign(item);
                return;
            }
        }
    }

    std::atomic<bool> m_running{false};
    qvplat::Event m_tick{true, false};
    const int m_workerCount = kWorkerCount;
    QvList<T> m_pending;
    mutable std::mutex m_pendingMutex;
    QvCriticalSection m_poolLock;
    bool m_stopping = false;  // guarded by m_poolLock
    std::vector<std::unique_ptr<QvASQueue<T>>> m_workers;
    qvplat::Thread m_dispatcher;
    std::mutex m_startMutex;
    std::condition_variable m_startSignal;
    bool m_dispatcherStop = false;  // guarded by m_startMutex
};
