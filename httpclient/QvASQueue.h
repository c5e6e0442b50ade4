#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <type_traits>

#include "platform/Sync.h"
#include "platform/Thread.h"

// One worker of QvASQMTPool: a thread that runs the item it is handed, one at a time. The pool
// selects workers and hands items over under its own lock; the worker clears its busy flag itself.
// T is a pointer type; the handler receives the item as an untyped pointer.
template <class T>
class QvASQueue {
    static_assert(std::is_pointer_v<T>, "work items travel as pointers");

public:
    using Handler = std::function<bool(void*)>;

    // Creates the thread, which waits until start() (or destruction). Throws std::system_error when
    // the thread cannot be created, as a std::thread would.
    QvASQueue()
    {
        if (!m_thread.start([this] { run(); })) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
    }

    // Stops the thread and joins it; an item that is running finishes first, a handed-over item that
    // has not started is dropped.
    virtual ~QvASQueue()
    {
        {
            std::lock_guard<std::mutex> lock(m_startMutex);
            m_ready.store(false);
            m_stopping = true;
        }
        m_busy.store(false);
        {
            std::lock_guard<std::mutex> lock(m_itemMutex);
            m_handler = nullptr;
        }
        m_startSignal.notify_all();
        m_wake.set();
        m_thread.join();
    }

    QvASQueue(const QvASQueue&) = delete;
    QvASQueue& operator=(const QvASQueue&) = delete;

    // Keeps a copy of handler and lets the thread begin. The ready flag is set under the start mutex, so
    // a start that comes before the thread waits is not lost.
    void start(const Handler& handler)
    {
        {
            std::lock_guard<std::mutex> lock(m_itemMutex);
            m_handler = handler;
        }
        m_wake.reset();
        {
            std::lock_guard<std::mutex> lock(m_startMutex);
            m_ready.store(true);
        }
        m_startSignal.notify_all();
    }

    bool isReady() const { return m_ready.load(); }
    bool isBusy() const { return m_busy.load(); }
    bool isCurrentThread() const { return m_thread.isCurrent(); }

    // Hands item over: busy, current item, wake. The pool calls this under its lock and only for a
    // ready worker that is not busy.
    void assign(T item)
    {
        m_busy.store(true);
        {
            std::lock_guard<std::mutex> lock(m_itemMutex);
            m_current = item;
        }
        m_wake.set();
    }

private:
    void run()
    {
        {
            std::unique_lock<std::mutex> lock(m_startMutex);
            m_startSignal.wait(lock, [this] { return m_ready.load() || m_stopping; });
        }
        while (m_ready.load()) {
            m_wake.wait(-1);
            Handler handler;
            T item = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_itemMutex);
                handler = m_handler;
                item = m_current;
                m_current = nullptr;
            }
            if (handler && item != nullptr) {
                handler(static_cast<void*>(item));
            }
            // Reset before clearing busy: an item handed over after busy is clear always finds the event
            // reset and its own set() stands.
            m_wake.reset();
            m_busy.store(false);
        }
    }

    Handler m_handler;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_busy{false};
    qvplat::Event m_wake{true, false};
    T m_current = nullptr;
    std::mutex m_itemMutex;  // handler and current item, between the pool and this thread
    std::mutex m_startMutex;
    std::condition_variable m_startSignal;
    bool m_stopping = false;
    qvplat::Thread m_thread;
};
