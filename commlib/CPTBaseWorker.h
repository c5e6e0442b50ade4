#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/QvFlexBuffer.h"
#include "platform/TimerService.h"

// Base of every per-connection worker: owns the connection's receive buffer, a state value and a
// periodic timer that lets the worker act outside the session's loop (end the connection, destroy
// itself). A worker with a running timer is destroyed only from inside its own timer callback.
class CCPTBaseWorker {
public:
    static constexpr std::size_t kRecvBufferBytes = 1048576;  // zero-filled; untouched pages cost nothing
    static constexpr int kTimerFirstDelayMs = 1000;
    static constexpr int kTimerPeriodMs = 200;
    static constexpr int kTickGridMs = 20;  // first ticks are aligned to this step (see doBindClientAfter)

    static constexpr int kStateIdle = 0;
    static constexpr int kStateClosed = 2;    // the connection has closed: destroy the worker
    static constexpr int kStateFinished = 4;  // done with the request (answered or refused): close the connection

    CCPTBaseWorker();
    // Deletes the timer without waiting for a callback in progress when called from that callback.
    virtual ~CCPTBaseWorker();
    CCPTBaseWorker(const CCPTBaseWorker&) = delete;
    CCPTBaseWorker& operator=(const CCPTBaseWorker&) = delete;

    // Sends to the connection; the base sends nothing and returns false.
    virtual bool sendClientData(const unsigned char* data, int length);
    // Sends length bytes of file from offset to the connection; the base sends nothing and
    // returns false.
    virtual bool sendClientFile(std::FILE* file, std::uint64_t offset, std::uint64_t length);
    // Sends head and then the file range as above, the head in the file's first segment where the
    // connection can; the base sends them one after the other through the two calls above.
    virtual bool sendClientHeadAndFile(const unsigned char* head, int headLength, std::FILE* file, std::uint64_t offset,
                                       std::uint64_t length);
    // Creates the timer (first tick after 1,000 to 1,020 ms, then every 200 ms). On failure (no
    // thread or memory for it; hasTimer() stays false) the worker never acts on its state.
    virtual void doBindClientAfter();
    // Called on every timer tick, on a timer thread; the base does nothing.
    virtual void onTimerCheck();

    int getState() const { return m_state.load(); }
    void setState(int state) { m_state = state; }
    bool hasTimer() const { return m_timerId.load() != 0; }
    QvFlexBuffer<unsigned char>& getRecvBuffer() { return m_recvBuffer; }

protected:
    QvFlexBuffer<unsigned char> m_recvBuffer;
    // Written on the session's loop, read by the timer thread; a stale read acts on the next tick.
    std::atomic<int> m_state{kStateIdle};

private:
    std::atomic<qvplat::TimerId> m_timerId{0};
};
