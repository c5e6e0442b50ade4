#include "commlib/CPTBaseWorker.h"

#include <chrono>
#include <new>

#include "commlib/SvrCommLog.h"

CCPTBaseWorker::CCPTBaseWorker() : m_recvBuffer(kRecvBufferBytes) {}

CCPTBaseWorker::~CCPTBaseWorker()
{
    const qvplat::TimerId timer = m_timerId.exchange(0);
    if (timer != 0) {
        qvplat::deleteTimer(timer);
    }
}

bool CCPTBaseWorker::sendClientData(const unsigned char*, int)
{
    return false;
}

bool CCPTBaseWorker::sendClientFile(std::FILE*, std::uint64_t, std::uint64_t)
{
    return false;
}

bool CCPTBaseWorker::sendClientHeadAndFile(const unsigned char* head, int headLength, std::FILE* file,
                                           std::uint64_t offset, std::uint64_t length)
{
    return sendClientData(head, headLength) && sendClientFile(file, offset, length);
}

void CCPTBaseWorker::doBindClientAfter()
{
    if (m_timerId.load() != 0) {
        return;
    }
    // First ticks fall on a common grid, so that the timers of connections accepted close together
    // come due together and one wake-up of the timer service serves them all, instead of one
    // wake-up (and thread switch) per connection. The first tick stays within 1,000 ms + one step.
    // Rounded up as the timer service rounds due times, so all of a step share one due time.
    const long long nowMs =
        std::chrono::ceil<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const int firstDelayMs = kTimerFirstDelayMs + static_cast<int>((kTickGridMs - nowMs % kTickGridMs) % kTickGridMs);
    // A tick that could come before the id is stored (it cannot, 1 s early, but a stalled thread
    // is no proof) is skipped, so that a worker never destroys itself without deleting its timer.
    qvplat::TimerId timer = 0;
    try {
        timer = qvplat::createTimer(firstDelayMs, kTimerPeriodMs, [this] {
            if (m_timerId.load() != 0) {
                onTimerCheck();
            }
        });
    } catch (const std::bad_alloc&) {
        timer = 0;  // no memory for the timer: as if it could not be created
    }
    if (timer == 0) {
        qvsc::log(u"CCPTBaseWorker::doBindClientAfter Timer Create Failed [%d]", -1);
        return;
    }
    m_timerId = timer;
}

void CCPTBaseWorker::onTimerCheck() {}
