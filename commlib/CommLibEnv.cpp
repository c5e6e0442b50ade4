#include "commlib/CommLibEnv.h"

#include "commlib/SessionLoop.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SocketClientMngr.h"
#include "commlib/SvrCommLog.h"
#include "foundation/QvSingleton.h"
#include "platform/Limits.h"
#include "platform/TimerService.h"

namespace {

QvSingleton<CommLibEnv> s_instance;

}  // namespace

CommLibEnv* CommLibEnv::getInstance()
{
    return s_instance.get([] { return new CommLibEnv(); });
}

void CommLibEnv::releaseInstance()
{
    s_instance.release();
}

int CommLibEnv::start()
{
    std::lock_guard lock(m_mutex);
    if (m_initialized) {
        return kStartOk;
    }
    // Sockets are part of the system here and sends never raise SIGPIPE (MSG_NOSIGNAL, or the
    // signal blocked around sendfile). What a server needs is descriptors: one per connection.
    const qvplat::DescriptorLimits before = qvplat::raiseDescriptorLimit();
    const qvplat::DescriptorLimits now = qvplat::descriptorLimits();
    qvsc::log(u"%s Descriptor Limit soft=%d hard=%d, soft now=%d", kSvrCommTag, static_cast<int>(before.soft),
              static_cast<int>(before.hard), static_cast<int>(now.soft));
    if (qvplat::shareAllocatorUnderAddressLimit()) {
        qvsc::log(u"%s Address Space Limited: One Allocation Arena", kSvrCommTag);
    }
    m_initialized = true;
    return kStartOk;
}

int CommLibEnv::stop()
{
    std::lock_guard lock(m_mutex);
    if (!m_initialized) {
        return kStopOk;
    }
    m_initialized = false;
    return kStopOk;
}

bool CommLibEnv::isInitialized() const
{
    std::lock_guard lock(m_mutex);
    return m_initialized;
}

void CommLibEnv::endSessions(int timeoutMs)
{
    CSocketClientMngr::getInstance()->closeAllConnections();
    CSocketClientMngr::getInstance()->waitUntilEmpty(timeoutMs);
    // The loops' watchdog is a timer, and the loops run on pool threads: loops first.
    CSessionLoop::releaseAll();
    qvplat::shutdownTimerService();
    CSessionThreadPool::getInstance()->releaseParked();
}
