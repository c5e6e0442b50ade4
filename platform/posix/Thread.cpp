#include "platform/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "platform/ServiceContext.h"

namespace qvplat {
namespace {

using ThreadCreationFailure = ContextSetting<struct ThreadCreationFailureTag, bool>;

constexpr std::size_t kMinStackBytes = std::size_t{64} * 1024;  // libc, the C++ runtime and a few frames of ours
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerStackFactor = 4;  // instrumented frames are several times larger
#else
constexpr std::size_t kSanitizerStackFactor = 1;
#endif

std::size_t effectiveStackBytes(std::size_t requested)
{
    std::size_t bytes = requested < kMinStackBytes ? kMinStackBytes : requested;
    bytes *= kSanitizerStackFactor;
    if (bytes < static_cast<std::size_t>(PTHREAD_STACK_MIN)) {
        bytes = PTHREAD_STACK_MIN;
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::size_t pageBytes = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (bytes + pageBytes - 1) / pageBytes * pageBytes;
}

}  // namespace

struct Thread::State {
    std::function<void()> body;
    std::atomic<pthread_t> handle{};  // stored by the creator and by the thread itself, whichever runs first
    std::atomic<bool> joinable{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
};

namespace {

void* threadEntry(void* arg)
{
    // The thread holds its own reference, so the State outlives a Thread that is detached in its
    // destructor.
    std::shared_ptr<Thread::State>* handed = static_cast<std::shared_ptr<Thread::State>*>(arg);
    std::shared_ptr<Thread::State> state = std::move(*handed);
    delete handed;
    state->handle = pthread_self();
    std::function<void()> body = std::move(state->body);
    body();
    body = nullptr;  // captured objects go before the owner learns the thread has ended
    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->ended.notify_all();
    return nullptr;
}

}  // namespace

Thread::Thread() = default;

Thread::~Thread()
{
    if (!joinable()) {
        return;
    }
    if (isCurrent()) {
        // A thread cannot join itself; releasing it is the only way out that neither hangs nor aborts.
        pthread_detach(m_state->handle.load());
        m_state->joinable = false;
        return;
    }
    join();
}

bool Thread::start(std::function<void()> body, std::size_t stackBytes)
{
    if (joinable() || !body || ThreadCreationFailure::get()) {
        return false;
    }
    // Everything the start needs is had before anything is published: out of memory, nothing
    // starts and this object stays as it was.
    std::shared_ptr<State> state;
    std::unique_ptr<std::shared_ptr<State>> handed;
    try {
        state = std::make_shared<State>();
        handed = std::make_unique<std::shared_ptr<State>>(state);
    } catch (const std::bad_alloc&) {
        return false;
    }
    state->body = std::move(body);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    if (stackBytes != 0 && pthread_attr_setstacksize(&attr, effectiveStackBytes(stackBytes)) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
    // Published before the thread runs, so its body may already ask this object about itself.
    state->joinable = true;
    m_state = state;
    pthread_t handle{};
    const int rc = pthread_create(&handle, &attr, threadEntry, handed.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        m_state.reset();
        return false;
    }
    static_cast<void>(handed.release());  // the thread owns it now
    state->handle = handle;
    return true;
}

bool Thread::joinable() const
{
    return m_state && m_state->joinable.load();
}

bool Thread::finished() const
{
    if (!m_state) {
        return false;
    }
    std::lock_guard lock(m_state->mutex);
    return m_state->finished;
}

bool Thread::isCurrent() const
{
    return joinable() && pthread_equal(pthread_self(), m_state->handle.load()) != 0;
}

void Thread::join()
{
    if (!joinable() || isCurrent()) {
        return;
    }
    pthread_join(m_state->handle.load(), nullptr);
    m_state->joinable = false;
}

bool Thread::tryJoinFor(int ms)
{
    if (!joinable() || isCurrent()) {
        return false;
    }
    if (ms >= 0) {
        std::unique_lock lock(m_state->mutex);
        if (!m_state->ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_state->finished; })) {
            return false;
        }
    }
    // The body has returned; only the thread's exit remains.
    pthread_join(m_state->handle.load(), nullptr);
    m_state->joinable = false;
    return true;
}

void setThreadCreationFailureForTesting(bool fail)
{
    ThreadCreationFailure::set(fail);
}

}  // namespace qvplat
