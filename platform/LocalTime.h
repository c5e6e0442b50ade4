#pragma once

#include <cstdint>
#include <functional>

namespace qvplat {

// The broken-down local time, field for field what the system's time formatters and log lines use.
struct SystemTime {
    uint16_t year;
    uint16_t month;      // 1..12
    uint16_t dayOfWeek;  // 0 = Sunday .. 6 = Saturday
    uint16_t day;        // 1..31
    uint16_t hour;       // 0..23
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// The present local time (time zone of the process). Any thread.
SystemTime getLocalTime();

// Test seam: while set, getLocalTime() returns what source returns. An empty function restores the
// real clock. Thread-safe; the source itself may be called from any thread.
void setLocalTimeSource(std::function<SystemTime()> source);

}  // namespace qvplat
