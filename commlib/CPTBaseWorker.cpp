#include "commlib/CPTBaseWorker.h"

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

void CCPTBaseWorker::doBindClientAfter()
{
    if (m_timerId.load() != 0) {
        return;
    }
    // A tick that could come before the id is stored (it cannot, 1 s early, but a stalled thread
    // is no proof) is skipped, so that a worker never destroys itself without deleting its timer.
    const qvplat::TimerId timer = qvplat::createTimer(kTimerFirstDelayMs, kTimerPeriodMs, [this] {
        if (m_timerId.load() != 0) {
            onTimerCheck();
        }
    });
    if (timer == 0) {
        qvsc::log(u"CCPTBaseWorker::doBindClientAfter Timer Create Failed [%d]", -1);
        return;
    }
    m_timerId = timer;
}

void CCPTBaseWorker::onTimerCheck() {}
