#pragma once

#include <cstdint>
#include <functional>

namespace qvplat {

// Timers of the whole process share one service: a scheduler with a time-ordered queue whose
// callbacks run on a small pool of threads (kTimerThreads), so one slow callback holds one thread
// and does not stop the other timers.
//
// Rules for callbacks:
// - One timer's callback never runs twice at the same time; callbacks of different timers may run
//   concurrently on different threads.
// - A periodic timer's next run is due one period after the previous due time. A run that started
//   more than half a period late moves the next one to a period after its start, and a callback
//   slower than its period is followed by one run at once: missed runs are never caught up in a burst.
// - deleteTimer(id) from inside that timer's own callback only unschedules it and returns at once;
//   the callback may then destroy the object that owns the timer and return. The service touches
//   nothing of the caller's after the callback returns (its std::function is destroyed then, on
//   the pool thread, without the service's lock held).
// - The id that createTimer returns may reach the owner after the first callback has started, so a
//   callback must not read it from a plain member: it uses currentTimer(), or the owner keeps the id
//   in an std::atomic.
// - deleteTimer(id) from any other thread unschedules the timer and then waits until a callback of
//   that timer in progress has returned. So never call it while holding a lock that the callback
//   takes, and never let two timers' callbacks delete each other.
constexpr int kTimerThreads = 4;  // a few slow callbacks (file reads, sends) still leave ticks running

using TimerId = std::uint64_t;

// Calls callback after firstDelayMs (due on the next whole millisecond of the steady clock, so that
// timers made together with one delay run in one batch), then every periodMs (periodMs <= 0:
// once). Returns the id (never 0), or 0 when the timer cannot be created. Any thread, including a
// timer callback.
TimerId createTimer(int firstDelayMs, int periodMs, std::function<void()> callback);

// Unschedules the timer (see the rules above). Unknown or 0 ids are ignored. A once-only timer that
// has fired still needs no delete, but deleting it is harmless.
void deleteTimer(TimerId id);

// Inside a timer callback: the id of the timer it belongs to. 0 on any other thread.
TimerId currentTimer();

// Stops the service (it belongs to the current service context, which stops it when it ends):
// pending timers are dropped, callbacks in progress finish, the pool threads are joined. A later
// createTimer starts a new service. Must not be called from a timer callback.
void shutdownTimerService();

}  // namespace qvplat
