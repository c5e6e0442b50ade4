#include "commlib/SessionWaker.h"

#include <vector>

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

std::uint64_t CSessionWaker::watch(qvplat::SocketHandle socket, std::function<void()> start)
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
    m_watches.emplace(ticket, Watch{socket, std::move(start)});
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

void CSessionWaker::threadBody()
{
    std::vector<std::uint64_t> ready;
    while (!m_quit.load()) {
        // No time-out: an idle program (in the tray for hours) is not woken for nothing.
        if (m_ready.wait(-1, ready) <= 0) {
            continue;
        }
        for (const std::uint64_t ticket : ready) {
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
                // start reports its own failures; the waker goes on for every other connection.
            }
        }
    }
}
