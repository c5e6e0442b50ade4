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
// The same, with the local time's distance from UTC in minutes (east positive) at that instant, as
// the access log's "%z" shows it. Under a test source the offset is 0.
SystemTime getLocalTime(int& utcOffsetMinutes);

// Test seam: while set, getLocalTime() returns what source returns. An empty function restores the
// real clock. Thread-safe; the source itself may be called from any thread.
void setLocalTimeSource(std::function<SystemTime()> source);

}  // namespace qvplat
