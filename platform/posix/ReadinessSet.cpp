#include "platform/ReadinessSet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace qvplat {

namespace {

// Events taken per wait; more ready sockets are reported by the next wait.
constexpr int kEventsPerWait = 64;

}  // namespace

ReadinessSet::ReadinessSet() : m_handle(::epoll_create1(EPOLL_CLOEXEC)) {}

ReadinessSet::~ReadinessSet()
{
    if (m_handle >= 0) {
        ::close(m_handle);
    }
}

bool ReadinessSet::add(SocketHandle socket, std::uint64_t key)
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = key;
    return ::epoll_ctl(m_handle, EPOLL_CTL_ADD, socket, &event) == 0;
}

void ReadinessSet::remove(SocketHandle socket)
{
    ::epoll_ctl(m_handle, EPOLL_CTL_DEL, socket, nullptr);
}

int ReadinessSet::wait(int timeoutMs, std::vector<std::uint64_t>& ready)
{
    ready.clear();
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(m_handle, events, kEventsPerWait, timeoutMs);
    if (count < 0) {
        return errno == EINTR ? 0 : -1;
    }
    for (int i = 0; i < count; ++i) {
        ready.push_back(events[i].data.u64);
    }
    return count;
}

}  // namespace qvplat
