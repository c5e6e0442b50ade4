#pragma once

#include <mutex>

// The storage behind a singleton's getInstance/releaseInstance: created on first use under a
// lock; released by swapping the pointer out under the lock and destroying it outside, so a
// destructor may itself use other singletons (settings saving through the path manager).
template <class T>
class QvSingleton {
public:
    template <class Make>
    T* get(Make make)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_instance == nullptr) {
            m_instance = make();
        }
        return m_instance;
    }

    void release()
    {
        T* instance = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            instance = m_instance;
            m_instance = nullptr;
        }
        delete instance;
    }

private:
    std::mutex m_mutex;
    T* m_instance = nullptr;
};
