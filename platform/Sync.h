#pragma once

#include <condition_variable>
#include <mutex>

namespace qvplat {

// A Win32-style event: manual reset (stays signalled until reset, releases every waiter) or
// auto reset (one successful wait consumes the signal). Any thread.
class Event {
public:
    explicit Event(bool manualReset = true, bool initialState = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits until signalled or timeoutMs pass (-1 = forever, 0 = poll). True when signalled.
    bool wait(int timeoutMs);
    // The state without consuming it.
    bool isSet() const;

private:
    const bool m_manualReset;
    bool m_signalled;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
};

}  // namespace qvplat
