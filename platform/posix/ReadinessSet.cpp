#include "platform/ReadinessSet.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace qvplat {

ReadinessSet::ReadinessSet()
    : m_handle(::epoll_create1(EPOLL_CLOEXEC)), m_interrupt(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the interrupting counter: callers never use null
    if (m_handle >= 0 && (m_interrupt < 0 || ::epoll_ctl(m_handle, EPOLL_CTL_ADD, m_interrupt, &event) != 0)) {
        ::close(m_handle);  // a set that cannot be interrupted is no set: the caller falls back
        m_handle = -1;
    }
}

ReadinessSet::~ReadinessSet()
{
    if (m_handle >= 0) {
        ::close(m_handle);
    }
    if (m_interrupt >= 0) {
        ::close(m_interrupt);
    }
}

void ReadinessSet::interrupt()
{
    const std::uint64_t one = 1;
    while (::write(m_interrupt, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

namespace {

std::uint32_t eventsFor(ReadinessSet::Interest interest)
{
    switch (interest) {
        case ReadinessSet::Interest::Read:
            return EPOLLIN | EPOLLRDHUP;
        case ReadinessSet::Interest::Write:
            return EPOLLOUT;
        case ReadinessSet::Interest::None:
            break;
    }
    return 0;
}

}  // namespace

bool ReadinessSet::add(SocketHandle socket, void* key, Interest interest)
{
    epoll_event event{};
    event.events = eventsFor(interest);
    event.data.ptr = key;
    return ::epoll_ctl(m_handle, EPOLL_CTL_ADD, socket, &event) == 0;
}

bool ReadinessSet::modify(SocketHandle socket, void* key, Interest interest)
{
    epoll_event event{};
    event.events = eventsFor(interest);
    event.data.ptr = key;
    return ::epoll_ctl(m_handle, EPOLL_CTL_MOD, socket, &event) == 0;
}

int usableProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    const int count = CPU_COUNT(&set);
    return count > 0 ? count : 1;
}

void ReadinessSet::remove(SocketHandle socket)
{
    ::epoll_ctl(m_handle, EPOLL_CTL_DEL, socket, nullptr);
}

int ReadinessSet::wait(int timeoutMs, ReadyKeys& ready)
{
    epoll_event events[kMaxReadyPerWait];
    const int count = ::epoll_wait(m_handle, events, kMaxReadyPerWait, timeoutMs);
    if (count < 0) {
        return errno == EINTR ? 0 : -1;
    }
    int keys = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.ptr == nullptr) {
            std::uint64_t value = 0;
            while (::read(m_interrupt, &value, sizeof value) < 0 && errno == EINTR) {
            }
        } else {
            ready[static_cast<std::size_t>(keys++)] = events[i].data.ptr;
        }
    }
    return keys;
}

}  // namespace qvplat
