#include "platform/Sync.h"

#include <chrono>

namespace qvplat {

Event::Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

void Event::set()
{
    // Notify under the lock: a waiter that wakes may destroy the event at once, so nothing
    // may touch it after the lock is released.
    std::lock_guard lock(m_mutex);
    m_signalled = true;
    if (m_manualReset) {
        m_changed.notify_all();
    } else {
        m_changed.notify_one();
    }
}

void Event::reset()
{
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool Event::wait(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const auto signalled = [this] { return m_signalled; };
    bool ok = true;
    if (timeoutMs < 0) {
        m_changed.wait(lock, signalled);
    } else {
        ok = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled);
    }
    if (ok && !m_manualReset) {
        m_signalled = false;
    }
    return ok;
}

bool Event::isSet() const
{
    std::lock_guard lock(m_mutex);
    return m_signalled;
}

}  // namespace qvplat
