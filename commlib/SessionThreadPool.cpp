#include "commlib/SessionThreadPool.h"

#include <algorithm>
#include <new>

#include "commlib/SvrCommLog.h"
#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CSessionThreadPool> s_instance;

// The buffer of the pool thread running (a plain pointer: a thread-local that needs destruction
// would need memory at a thread's first use, and without it the C library ends the process).
thread_local unsigned char* t_threadBuffer = nullptr;

}  // namespace

CSessionThreadPool::CSessionThreadPool()
{
    m_parked.reserve(kMaxParked);  // parking a thread then never needs memory
}

unsigned char* CSessionThreadPool::threadBuffer()
{
    return t_threadBuffer;
}

CSessionThreadPool* CSessionThreadPool::getInstance()
{
    return s_instance.get([] { return new CSessionThreadPool(); });
}

void CSessionThreadPool::releaseInstance()
{
    s_instance.release();
}

CSessionThreadPool::~CSessionThreadPool()
{
    std::list<std::unique_ptr<Slot>> slots;
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
        for (Slot* slot : m_parked) {
            slot->quit = true;
            slot->wake.notify_one();
        }
        m_parked.clear();
        slots.swap(m_slots);
    }
    for (auto& slot : slots) {
        slot->thread.join();
    }
}

std::vector<std::unique_ptr<CSessionThreadPool::Slot>> CSessionThreadPool::takeExited()
{
    std::vector<std::unique_ptr<Slot>> exited;
    for (auto it = m_slots.begin(); it != m_slots.end();) {
        if ((*it)->exited) {
            exited.push_back(std::move(*it));
            it = m_slots.erase(it);
        } else {
            ++it;
        }
    }
    return exited;
}

bool CSessionThreadPool::run(std::function<void()> job)
{
    std::vector<std::unique_ptr<Slot>> exited;
    Slot* fresh = nullptr;
    try {
        std::lock_guard lock(m_mutex);
        exited = takeExited();
        if (!m_parked.empty()) {
            Slot* slot = m_parked.back();
            m_parked.pop_back();
            slot->job = std::move(job);
            slot->wake.notify_one();
        } else {
            auto slot = std::make_unique<Slot>();
            slot->buffer = std::make_unique_for_overwrite<unsigned char[]>(kThreadBufferBytes);
            slot->job = std::move(job);
            fresh = slot.get();
            m_slots.push_back(std::move(slot));
        }
    } catch (const std::bad_alloc&) {
        return false;  // no memory for a thread's slot: no thread
    }
    for (auto& slot : exited) {
        slot->thread.join();  // its body has returned already
    }
    if (fresh == nullptr) {
        return true;
    }
    // Started outside the lock: creating a thread is the slow part of this call.
    if (fresh->thread.start([this, fresh] { threadBody(fresh); }, qvplat::kSessionStackBytes)) {
        return true;
    }
    std::lock_guard lock(m_mutex);
    m_slots.remove_if([fresh](const std::unique_ptr<Slot>& slot) { return slot.get() == fresh; });
    return false;
}

void CSessionThreadPool::threadBody(Slot* slot)
{
    t_threadBuffer = slot->buffer.get();
    std::unique_lock lock(m_mutex);
    for (;;) {
        slot->wake.wait(lock, [slot] { return slot->job || slot->quit; });
        if (!slot->job) {
            break;
        }
        std::function<void()> job = std::move(slot->job);
        slot->job = nullptr;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job's failure ends that job only; the thread serves the next one.
            qvsc::logCaught(u"Pool Job");
        }
        job = nullptr;  // what the job captured goes before the thread is handed out again
        lock.lock();
        if (m_closing || static_cast<int>(m_parked.size()) >= kMaxParked) {
            break;
        }
        m_parked.push_back(slot);
    }
    slot->exited = true;
}

void CSessionThreadPool::releaseParked()
{
    std::vector<std::unique_ptr<Slot>> ending;
    {
        std::lock_guard lock(m_mutex);
        for (Slot* slot : m_parked) {
            slot->quit = true;
            slot->wake.notify_one();
        }
        for (auto it = m_slots.begin(); it != m_slots.end();) {
            if (std::find(m_parked.begin(), m_parked.end(), it->get()) != m_parked.end() || (*it)->exited) {
                ending.push_back(std::move(*it));
                it = m_slots.erase(it);
            } else {
                ++it;
            }
        }
        m_parked.clear();
    }
    for (auto& slot : ending) {
        slot->thread.join();
    }
}

int CSessionThreadPool::parkedCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_parked.size());
}

int CSessionThreadPool::threadCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_slots.size());
}
