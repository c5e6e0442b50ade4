#include "commlib/CommLibEnv.h"

namespace {

std::mutex s_instanceMutex;
CommLibEnv* s_instance = nullptr;

}  // namespace

CommLibEnv* CommLibEnv::getInstance()
{
    std::lock_guard lock(s_instanceMutex);
    if (s_instance == nullptr) {
        s_instance = new CommLibEnv();
    }
    return s_instance;
}

void CommLibEnv::releaseInstance()
{
    std::lock_guard lock(s_instanceMutex);
    delete s_instance;
    s_instance = nullptr;
}

int CommLibEnv::start()
{
    std::lock_guard lock(m_mutex);
    if (m_initialized) {
        return kStartOk;
    }
    // Sockets are part of the system here; sends never raise SIGPIPE (they use MSG_NOSIGNAL), so
    // there is nothing to prepare.
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
