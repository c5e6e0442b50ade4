#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/Utf8.h"

namespace qvplat {

FileLock::~FileLock()
{
    unlock();
}

FileLock::FileLock(FileLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)), m_error(std::move(other.m_error))
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        unlock();
        m_fd = std::exchange(other.m_fd, -1);
        m_error = std::move(other.m_error);
    }
    return *this;
}

bool FileLock::lock(const std::u16string& path)
{
    return acquire(path, true);
}

bool FileLock::tryLock(const std::u16string& path)
{
    return acquire(path, false);
}

bool FileLock::acquire(const std::u16string& path, bool wait)
{
    unlock();
    m_error.clear();
    const int fd = ::open(detail::toUtf8(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        m_error = std::strerror(errno);
        return false;
    }
    // A lock file an older version left open to others would let another user hold it for ever.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    int rc = 0;
    do {
        rc = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno != EWOULDBLOCK) {
            m_error = std::strerror(errno);
        }
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void FileLock::unlock()
{
    if (m_fd >= 0) {
        ::close(m_fd);  // closing the only descriptor of the open file releases its lock
        m_fd = -1;
    }
}

bool isFileLocked(const std::u16string& path)
{
    const int fd = ::open(detail::toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

}  // namespace qvplat
