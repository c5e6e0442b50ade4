#include "commlib/SocketClientMngr.h"

#include <chrono>
#include <thread>
#include <vector>

#include "commlib/ClientPerThread.h"
#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CSocketClientMngr> s_instance;

}  // namespace

CSocketClientMngr* CSocketClientMngr::getInstance()
{
    return s_instance.get([] { return new CSocketClientMngr(); });
}

void CSocketClientMngr::releaseInstance()
{
    s_instance.release();
}

CSocketClientMngr::~CSocketClientMngr()
{
    std::vector<CClientPerThread*> sessions;
    {
        std::lock_guard lock(m_mutex);
        for (auto& entry : m_sessions) {
            sessions.push_back(entry.second);
        }
        m_sessions.clear();
        m_workers.clear();
    }
    for (CClientPerThread* session : sessions) {
        session->setDelegate(nullptr);
        delete session;
    }
}

int CSocketClientMngr::addClient(CClientPerThread* session, CCPTBaseWorker* worker)
{
    std::lock_guard lock(m_mutex);
    const int clientId = m_nextClientId++;
    m_sessions.set(clientId, session);
    try {
        m_workers.set(clientId, worker);
    } catch (...) {
        m_sessions.erase(clientId);  // both or neither
        throw;
    }
    return clientId;
}

CClientPerThread* CSocketClientMngr::findSession(int clientId) const
{
    std::lock_guard lock(m_mutex);
    CClientPerThread* const* found = m_sessions.find(clientId);
    return found != nullptr ? *found : nullptr;
}

bool CSocketClientMngr::remove(int clientId, std::function<void()> onRelease)
{
    CClientPerThread* session = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (CClientPerThread** found = m_sessions.find(clientId)) {
            session = *found;
            m_sessions.erase(clientId);
        }
        m_workers.erase(clientId);
    }
    if (session == nullptr) {
        return true;
    }
    session->setDelegate(nullptr);
    if (!onRelease) {
        session->stop();
    } else if (!session->stopOrHandOver(std::move(onRelease))) {
        return false;  // its thread releases it
    }
    delete session;
    return true;
}

int CSocketClientMngr::sessionCount() const
{
    std::lock_guard lock(m_mutex);
    return m_sessions.size();
}

int CSocketClientMngr::workerCount() const
{
    std::lock_guard lock(m_mutex);
    return m_workers.size();
}

void CSocketClientMngr::closeAllConnections()
{
    // Under the lock, which keeps the sessions from going meanwhile: a close only asks the
    // session's loop (no thread, no memory, no waiting).
    std::lock_guard lock(m_mutex);
    for (const auto& [id, session] : m_sessions) {
        session->closeConnection();
    }
}

bool CSocketClientMngr::waitUntilEmpty(int timeoutMs) const
{
    constexpr auto kStep = std::chrono::milliseconds(10);  // the workers tick every 200 ms
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        {
            std::lock_guard lock(m_mutex);
            if (m_sessions.isEmpty() && m_workers.isEmpty()) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kStep);
    }
}
