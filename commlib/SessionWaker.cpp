#include "commlib/SessionWaker.h"

#include <algorithm>
#include <new>

#include "commlib/ClientPerThread.h"
#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CSessionWaker> s_instance;

}  // namespace

CSessionWaker* CSessionWaker::getInstance()
{
    return s_instance.get([] { return new CSessionWaker(); });
}

void CSessionWaker::releaseInstance()
{
    s_instance.release();
}

std::uint64_t CSessionWaker::watch(CClientPerThread* session)
{
    std::lock_guard lock(m_mutex);
    const std::uint64_t ticket = m_nextTicket++;
    try {
        m_watches.emplace(ticket, session);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return ticket;
}

bool CSessionWaker::cancel(std::uint64_t ticket)
{
    std::lock_guard lock(m_mutex);
    return m_watches.erase(ticket) > 0;
}

int CSessionWaker::watchedCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_watches.size());
}

int CSessionWaker::reclaimSilent()
{
    // Under the lock: a session's loop claims its session under the same lock before it touches
    // the socket, so the one closed here is never used again by its loop.
    std::lock_guard lock(m_mutex);
    const std::size_t watched = m_watches.size();
    const std::size_t count = std::min(watched, std::max<std::size_t>(kReclaimMin, watched / 8));
    for (std::size_t i = 0; i < count; ++i) {
        const auto oldest = m_watches.begin();
        oldest->second->dropSilent();
        m_watches.erase(oldest);
    }
    return static_cast<int>(count);
}
