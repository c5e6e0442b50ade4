#include "commlib/SessionWaker.h"

#include <algorithm>
#include <vector>

#include "commlib/SvrCommLog.h"
#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CSessionWaker> s_instance;

// The waker only waits and hands over; a small stack is plenty.
constexpr std::size_t kWakerStackBytes = std::size_t{64} * 1024;

}  // namespace

CSessionWaker* CSessionWaker::getInstance()
{
    return s_instance.get([] { return new CSessionWaker(); });
}

void CSessionWaker::releaseInstance()
{
    s_instance.release();
}

CSessionWaker::~CSessionWaker()
{
    m_quit = true;
    m_ready.interrupt();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::uint64_t CSessionWaker::watch(qvplat::SocketHandle socket, std::function<void()> start, std::function<void()> drop)
{
    std::lock_guard lock(m_mutex);
    if (!m_ready.isValid()) {
        return 0;
    }
    // Started on demand, and again after a failed attempt: a thread that cannot be had now may be
    // had for a later connection.
    if (!m_thread.joinable() && !m_thread.start([this] { threadBody(); }, kWakerStackBytes)) {
        return 0;
    }
    const std::uint64_t ticket = m_nextTicket++;
    m_watches.emplace(ticket, Watch{socket, std::move(start), std::move(drop)});
    if (!m_ready.add(socket, ticket)) {
        m_watches.erase(ticket);
        return 0;
    }
    return ticket;
}

bool CSessionWaker::cancel(std::uint64_t ticket)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_watches.find(ticket);
    if (found == m_watches.end()) {
        return false;
    }
    m_ready.remove(found->second.socket);
    m_watches.erase(found);
    return true;
}

int CSessionWaker::watchedCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_watches.size());
}

int CSessionWaker::reclaimSilent()
{
    std::vector<std::function<void()>> drops;
    {
        std::lock_guard lock(m_mutex);
        const std::size_t watched = m_watches.size();
        const std::size_t count = std::min(watched, std::max<std::size_t>(kReclaimMin, watched / 8));
        drops.reserve(count);  // may throw: nothing is taken yet
        while (drops.size() < count) {
            const auto oldest = m_watches.begin();
            m_ready.remove(oldest->second.socket);
            drops.push_back(std::move(oldest->second.drop));
            m_watches.erase(oldest);
        }
    }
    // Outside the lock, as start runs: a drop reports the close to its connection's worker.
    for (const std::function<void()>& drop : drops) {
        try {
            if (drop) {
                drop();
            }
        } catch (...) {
            // The others are still dropped.
            qvsc::logCaught(u"Silent Connection Drop");
        }
    }
    return static_cast<int>(drops.size());
}

void CSessionWaker::threadBody()
{
    qvplat::ReadinessSet::ReadyKeys ready;
    while (!m_quit.load()) {
        // No time-out: an idle program (in the tray for hours) is not woken for nothing.
        const int count = m_ready.wait(-1, ready);
        if (count <= 0) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t ticket = ready[static_cast<std::size_t>(i)];
            std::function<void()> start;
            {
                // Claimed under the lock, so that a cancel either wins before this or sees it done.
                std::lock_guard lock(m_mutex);
                const auto found = m_watches.find(ticket);
                if (found == m_watches.end()) {
                    continue;  // cancelled since the wait reported it
                }
                m_ready.remove(found->second.socket);
                start = std::move(found->second.start);
                m_watches.erase(found);
            }
            try {
                start();
            } catch (...) {
                // The waker goes on for every other connection.
                qvsc::logCaught(u"Session Start");
            }
        }
    }
}
