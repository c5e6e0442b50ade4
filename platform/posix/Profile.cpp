#include "platform/Profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill() is POSIX, not in <csignal>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>
#include <string_view>

#include "platform/FileLock.h"
#include "platform/IniDocument.h"
#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

// A temporary file of a save older than this belongs to no save still running, whatever its PID.
constexpr time_t kStaleTempSeconds = 3600;

std::string failure(const std::string& path, const std::string& reason)
{
    return path + ": " + reason;
}

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One key for every spelling of a path ("d/two.ini", "d/./two.ini", an absolute one).
std::string normalPath(const std::u16string& path)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(detail::toUtf8(path)), ec);
    return ec ? detail::toUtf8(path) : absolute.lexically_normal().string();
}

// Maps the pages of a large buffer in one call rather than one fault at a time (a server list
// runs to tens of megabytes). Only an optimisation: a kernel without it faults them in as usual.
void prefault(char* buffer, std::size_t size)
{
    constexpr std::size_t kWorthIt = std::size_t(1) << 20;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    const auto begin = (address + page - 1) / page * page;
    const auto end = (address + size) / page * page;
    if (size >= kWorthIt && end > begin) {
        ::madvise(buffer + (begin - address), end - begin, MADV_POPULATE_WRITE);
    }
}

// Closes the descriptor it holds; readAll also keeps what fstat said of the file as it was read.
struct OpenFile {
    int fd = -1;
    struct stat asRead {};
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The whole file. Missing: true with missing set. Unreadable: false with reason. When kept is given,
// the file read stays open in it.
bool readAll(const std::string& path, std::string& bytes, bool& missing, std::string& reason, OpenFile* kept = nullptr)
{
    bytes.clear();
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) {
            missing = true;
            return true;
        }
        reason = std::strerror(errno);
        return false;
    }
    bool ok = true;
    try {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            reason = std::strerror(errno);
            ok = false;
        } else if (!S_ISREG(st.st_mode)) {
            reason = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
            ok = false;
        } else {
            // Read straight into the text (a server list runs to tens of megabytes), growing it
            // should the file have grown since the size was taken.
            std::size_t used = 0;
            bytes.reserve(static_cast<std::size_t>(st.st_size) + 1);
            prefault(bytes.data(), bytes.capacity());
            bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
            for (;;) {
                if (used == bytes.size()) {
                    bytes.resize(bytes.size() + 65536);
                }
                const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
                if (n > 0) {
                    used += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    break;
                } else if (errno != EINTR) {
                    reason = std::strerror(errno);
                    ok = false;
                    break;
                }
            }
            bytes.resize(used);
        }
    } catch (const std::bad_alloc&) {
        reason = std::strerror(ENOMEM);  // a file too large for memory is an error, not an abort
        ok = false;
    }
    if (ok && kept != nullptr) {
        kept->fd = fd;
        ::fstat(fd, &kept->asRead);  // after the read: a change from here on shows in the time stamps
    } else {
        ::close(fd);
    }
    if (!ok) {
        bytes.clear();
        bytes.shrink_to_fit();
    }
    return ok;
}

bool writeAll(int fd, std::string_view bytes)
{
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::atomic<unsigned> s_tempCounter{0};

std::string tempPrefix(const std::string& base)
{
    return "." + base + ".tmp";
}

// Removes ".<base>.tmpPID.N" files whose process is gone or that are older than any save.
void removeStaleTemps(const std::string& dir, const std::string& base)
{
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return;
    }
    const std::string prefix = tempPrefix(base);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name.substr(0, prefix.size()) != prefix) {
            continue;
        }
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        if (dot == 0 || dot == std::string_view::npos ||
            !std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(dot),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const long pid = std::strtol(std::string(rest.substr(0, dot)).c_str(), nullptr, 10);
        const std::string full = dir + "/" + std::string(name);
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        const bool gone = pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
        const bool old = now - st.st_mtim.tv_sec > kStaleTempSeconds;
        if (pid != ::getpid() && (gone || old)) {
            ::unlink(full.c_str());
        }
    }
    ::closedir(folder);
}

// The file a write replaces: a symbolic link is kept and the file it points to replaced.
std::string writeTarget(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            std::string target = resolved;
            ::free(resolved);
            return target;
        }
    }
    return path;
}

// Copies the first size bytes of source to fd without passing them through this process (a server
// list runs to tens of megabytes). False when the file system cannot, source turned out shorter,
// or source changed since it was read (rewritten in place by a program that ignores the lock):
// its bytes would then no longer be the ones the new lines were put behind.
bool copyStart(const OpenFile& source, int fd, std::size_t size)
{
    off_t offset = 0;
    while (static_cast<std::size_t>(offset) < size) {
        const ssize_t n =
            ::copy_file_range(source.fd, &offset, fd, nullptr, size - static_cast<std::size_t>(offset), 0);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    struct stat now {};
    const struct stat& was = source.asRead;
    return ::fstat(source.fd, &now) == 0 && now.st_size == was.st_size && now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == was.st_mtim.tv_nsec && now.st_ctim.tv_sec == was.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
}

// Replaces the file at target with head followed by tail, so that a crash at any point leaves
// either the old or the new content: a temporary file in the same folder is written and synced,
// then renamed over it. headSource, when given, is the file that was read into head; its bytes are
// copied inside the kernel while it is unchanged. Empty on success, else the reason.
std::string replaceFileAtomically(const std::string& target, std::string_view head, std::string_view tail,
                                  const OpenFile* headSource = nullptr)
{
    const std::string dir = directoryOf(target);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/" + tempPrefix(baseNameOf(target)) + std::to_string(::getpid()) + "." +
               std::to_string(s_tempCounter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);  // settings are the user's alone
        if (fd < 0 && errno != EEXIST) {
            return std::strerror(errno);
        }
    }
    if (fd < 0) {
        return std::strerror(EEXIST);
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
    }
    std::string reason;
    bool written = headSource != nullptr && headSource->fd >= 0 && copyStart(*headSource, fd, head.size());
    if (!written) {
        // Written from memory instead, from the start again after a copy that broke off.
        written = ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, head);
    }
    written = written && writeAll(fd, tail);
    if (!written || ::fsync(fd) != 0) {
        reason = std::strerror(errno);
    }
    if (::close(fd) != 0 && reason.empty()) {
        reason = std::strerror(errno);
    }
    if (reason.empty() && ::rename(temp.c_str(), target.c_str()) != 0) {
        reason = std::strerror(errno);
    }
    if (!reason.empty()) {
        ::unlink(temp.c_str());
        return reason;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

// A file whose owner may not write it was made read-only on purpose: it is never replaced, not even
// by root, whom access() would let through.
bool isReadOnlyFile(const struct stat& st)
{
    return (st.st_mode & S_IWUSR) == 0;
}

bool updateFile(const std::string& path, const std::function<void(IniDocument&)>& change, std::string& error)
{
    error.clear();
    FileLock lock;
    const std::string lockPath = directoryOf(path) + "/." + baseNameOf(path) + ".lock";
    if (!lock.lock(detail::fromUtf8(lockPath))) {
        error = failure(path, lock.error());
        return false;
    }
    std::string bytes;
    bool missing = false;
    std::string reason;
    OpenFile read;
    if (!readAll(path, bytes, missing, reason, &read)) {
        error = failure(path, reason);
        return false;
    }
    try {
        IniDocument document(std::move(bytes));
        change(document);
        if (!document.isModified()) {
            return true;
        }
        const std::string target = writeTarget(path);
        struct stat st {};
        if (::stat(target.c_str(), &st) == 0 && isReadOnlyFile(st)) {
            error = failure(path, "the file is read-only");
            return false;
        }
        removeStaleTemps(directoryOf(target), baseNameOf(target));
        // When every change adds lines at the end (a definition added to a server list that is the
        // file's last section), the bytes just read go over as they are, copied from the file
        // itself, and only the new lines are written; any other change rewrites the whole file.
        if (const std::optional<std::string> tail = document.appendedBytes()) {
            reason = replaceFileAtomically(target, document.original(), *tail, &read);
        } else {
            reason = replaceFileAtomically(target, document.serialize(), {});
        }
    } catch (const std::bad_alloc&) {
        reason = std::strerror(ENOMEM);
    }
    if (!reason.empty()) {
        error = failure(path, reason);
        return false;
    }
    return true;
}

}  // namespace

bool readProfileFile(const std::u16string& path, IniDocument& document, std::string& error)
{
    error.clear();
    const std::string file8 = detail::toUtf8(path);
    std::string bytes;
    bool missing = false;
    std::string reason;
    if (!readAll(file8, bytes, missing, reason)) {
        error = failure(file8, reason);
        return false;
    }
    try {
        document = IniDocument(std::move(bytes));
    } catch (const std::bad_alloc&) {
        error = failure(file8, std::strerror(ENOMEM));
        return false;
    }
    return true;
}

bool updateProfileFile(const std::u16string& path, const std::function<void(IniDocument&)>& change, std::string& error)
{
    return updateFile(normalPath(path), change, error);
}

}  // namespace qvplat
