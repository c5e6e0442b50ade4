#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Thread.h"
#include "platform/posix/Spawn.h"
#include "platform/posix/Utf8.h"

extern char** environ;

namespace qvplat {
namespace {

constexpr int kReaperFallbackPollMs = 200;  // only when the kernel offers no process descriptors

// One thread, owned by this object and joined when the process ends, waits for the children that
// createProcess started and reaps exactly those (waitpid by pid), so other children of the program
// are never taken from whoever waits for them.
class Reaper {
public:
    ~Reaper()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        wake();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_wakeRead >= 0) {
            ::close(m_wakeRead);
            ::close(m_wakeWrite);
        }
    }

    void add(pid_t pid)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
            if (m_wakeRead < 0) {
                int fds[2];
                if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
                    return;
                }
                m_wakeRead = fds[0];
                m_wakeWrite = fds[1];
            }
            m_pending.push_back(pid);
            if (!m_thread.joinable()) {
                m_thread.start([this] { run(); });
            }
        }
        wake();
    }

private:
    struct Child {
        pid_t pid;
        int pidFd;
    };

    void wake()
    {
        if (m_wakeWrite >= 0) {
            const char one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_wakeWrite, &one, 1);
        }
    }

    void run()
    {
        std::vector<Child> children;
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping) {
                    break;
                }
                for (const pid_t pid : m_pending) {
                    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
                    children.push_back({pid, fd});
                }
                m_pending.clear();
            }
            // Reap whoever has ended (also those whose descriptor could not be opened).
            for (auto it = children.begin(); it != children.end();) {
                int status = 0;
                const pid_t rc = ::waitpid(it->pid, &status, WNOHANG);
                if (rc == it->pid || (rc < 0 && errno == ECHILD)) {
                    if (it->pidFd >= 0) {
                        ::close(it->pidFd);
                    }
                    it = children.erase(it);
                } else {
                    ++it;
                }
            }
            std::vector<pollfd> fds;
            fds.push_back({m_wakeRead, POLLIN, 0});
            bool needsPolling = false;
            for (const Child& child : children) {
                if (child.pidFd >= 0) {
                    fds.push_back({child.pidFd, POLLIN, 0});
                } else {
                    needsPolling = true;
                }
            }
            ::poll(fds.data(), fds.size(), needsPolling ? kReaperFallbackPollMs : -1);
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        for (const Child& child : children) {
            if (child.pidFd >= 0) {
                ::close(child.pidFd);
            }
        }
    }

    std::mutex m_mutex;
    std::vector<pid_t> m_pending;
    Thread m_thread;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    bool m_stopping = false;
};

Reaper& reaper()
{
    static Reaper s_reaper;
    return s_reaper;
}

}  // namespace

bool createProcess(const std::u16string& commandLine, int* processId)
{
    std::vector<std::string> words;
    for (const std::u16string& word : splitCommandLine(commandLine)) {
        words.push_back(detail::toUtf8(word));
    }
    if (words.empty()) {
        return false;
    }
    posix_spawnattr_t attr;
    if (!detail::prepareSpawnAttributes(attr, true)) {
        return false;
    }
    std::vector<char*> argv = detail::argvOf(words);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        return false;
    }
    reaper().add(pid);
    if (processId != nullptr) {
        *processId = pid;
    }
    return true;
}

}  // namespace qvplat
