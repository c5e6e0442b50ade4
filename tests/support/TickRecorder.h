#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Sync.h"

// Records when callbacks ran (with a label each), for timer tests; wait() returns once count ran.
// record() hands out callbacks that may run on any thread; the recorder must outlive them.
class TickRecorder {
public:
    explicit TickRecorder(std::size_t count) : m_count(count) {}
    std::function<void()> record(int label = 0)
    {
        return [this, label] {
            std::lock_guard lock(m_mutex);
            m_times.emplace_back(label, std::chrono::steady_clock::now());
            if (m_times.size() == m_count) {
                m_done.set();
            }
        };
    }
    // Waits up to timeoutMs for count records.
    bool wait(int timeoutMs = 20000) { return m_done.wait(timeoutMs); }
    std::vector<std::pair<int, std::chrono::steady_clock::time_point>> times()
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

private:
    std::size_t m_count;
    std::mutex m_mutex;
    std::vector<std::pair<int, std::chrono::steady_clock::time_point>> m_times;
    qvplat::Event m_done{true, false};
};
