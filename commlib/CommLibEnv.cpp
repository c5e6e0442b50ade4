#include "commlib/CommLibEnv.h"

#include "foundation/QvSingleton.h"

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
    // signal blocked around sendfile), so there is nothing to prepare.
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
