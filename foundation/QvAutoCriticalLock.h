#pragma once

#include <mutex>

// A critical section is re-entrant: the thread that holds it may enter it again.
using QvCriticalSection = std::recursive_mutex;

// Enters the given critical section for its lifetime; does not own it.
class CQvAutoCriticalLock {
public:
    explicit CQvAutoCriticalLock(QvCriticalSection* section) : m_section(section)
    {
        if (m_section) {
            m_section->lock();
        }
    }
    ~CQvAutoCriticalLock()
    {
        if (m_section) {
            m_section->unlock();
        }
    }
    CQvAutoCriticalLock(const CQvAutoCriticalLock&) = delete;
    CQvAutoCriticalLock& operator=(const CQvAutoCriticalLock&) = delete;

private:
    QvCriticalSection* m_section;
};
