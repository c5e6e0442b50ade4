#include "platform/LocalTime.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace qvplat {
namespace {

std::mutex s_sourceMutex;
std::function<SystemTime()> s_source;
std::atomic<bool> s_hasSource{false};  // spares the real clock the lock on every call

SystemTime realLocalTime(int* utcOffsetMinutes = nullptr)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    SystemTime t{};
    t.year = static_cast<uint16_t>(parts.tm_year + 1900);
    t.month = static_cast<uint16_t>(parts.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    t.day = static_cast<uint16_t>(parts.tm_mday);
    t.hour = static_cast<uint16_t>(parts.tm_hour);
    t.minute = static_cast<uint16_t>(parts.tm_min);
    // A leap second (tm_sec 60) is folded into 59 as Windows never reports it.
    t.second = static_cast<uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    t.milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    if (utcOffsetMinutes != nullptr) {
        *utcOffsetMinutes = static_cast<int>(parts.tm_gmtoff / 60);
    }
    return t;
}

}  // namespace

SystemTime getLocalTime()
{
    if (s_hasSource.load(std::memory_order_acquire)) {
        std::function<SystemTime()> source;
        {
            std::lock_guard lock(s_sourceMutex);
            source = s_source;
        }
        if (source) {
            return source();
        }
    }
    return realLocalTime();
}

SystemTime getLocalTime(int& utcOffsetMinutes)
{
    utcOffsetMinutes = 0;
    if (s_hasSource.load(std::memory_order_acquire)) {
        return getLocalTime();
    }
    return realLocalTime(&utcOffsetMinutes);
}

void setLocalTimeSource(std::function<SystemTime()> source)
{
    std::lock_guard lock(s_sourceMutex);
    s_source = std::move(source);
    s_hasSource.store(static_cast<bool>(s_source), std::memory_order_release);
}

}  // namespace qvplat
