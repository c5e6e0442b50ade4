#pragma once

#include <string>

namespace qvplat {

// An exclusive advisory lock on a file (created when missing), shared by every process of the
// program: settings writes and run-state records use it. The lock belongs to this object's open
// file, so two objects conflict even inside one process, and the system drops it when the
// process dies. Not copyable; one thread uses one object.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Waits until the lock is held. False when the file cannot be opened (error() says why).
    bool lock(const std::u16string& path);
    // False at once when another holder has the lock (error() stays empty) or on failure.
    bool tryLock(const std::u16string& path);
    void unlock();
    bool isLocked() const { return m_fd >= 0; }
    // The reason of the last failure, in the system's words; empty after a success.
    const std::string& error() const { return m_error; }

private:
    bool acquire(const std::u16string& path, bool wait);

    int m_fd = -1;
    std::string m_error;
};

// True when some holder has a lock on path; false when nobody does or the file is missing.
bool isFileLocked(const std::u16string& path);

}  // namespace qvplat
