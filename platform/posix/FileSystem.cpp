#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/ServiceContext.h"
#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

thread_local int t_lastError = 0;

using ModuleFileOverride = ContextSetting<struct ModuleFileOverrideTag, std::u16string>;

bool statPath(const std::u16string& path, struct stat& st)
{
    if (path.empty()) {
        t_lastError = ENOENT;
        return false;
    }
    if (::stat(detail::toUtf8(path).c_str(), &st) != 0) {
        t_lastError = errno;
        return false;
    }
    return true;
}

}  // namespace

std::u16string getModuleFileName()
{
    if (std::u16string path = ModuleFileOverride::get(); !path.empty()) {
        return path;
    }
    std::vector<char> buffer(1024);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            t_lastError = errno;
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return detail::fromUtf8(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        buffer.resize(buffer.size() * 2);  // the link may have been cut; ask again with more room
    }
}

void setModuleFileNameForTesting(const std::u16string& path)
{
    ModuleFileOverride::set(path);
}

bool pathExists(const std::u16string& path)
{
    struct stat st {};
    return statPath(path, st);
}

bool isRegularFile(const std::u16string& path)
{
    struct stat st {};
    return statPath(path, st) && S_ISREG(st.st_mode);
}

bool isDirectory(const std::u16string& path)
{
    struct stat st {};
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

int makeDirectory(const std::u16string& path)
{
    if (path.empty()) {
        t_lastError = ENOENT;
        return -1;
    }
    if (::mkdir(detail::toUtf8(path).c_str(), 0700) != 0) {  // settings, logs and run records are the user's alone
        t_lastError = errno;
        return -1;
    }
    return 0;
}

std::u16string makePrivateDirectory(const std::u16string& parent, const std::u16string& prefix)
{
    std::string pattern = detail::toUtf8(parent + u"/" + prefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        t_lastError = errno;
        return {};
    }
    return detail::fromUtf8(pattern);
}

namespace {

// Empties and removes the folder name below parentFd: its files only, never following a link.
bool removeFolderOfFiles(int parentFd, const char* name)
{
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* folder = fd < 0 ? nullptr : ::fdopendir(fd);
    if (folder == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ::unlinkat(::dirfd(folder), entry->d_name, 0);  // a folder inside fails here and keeps it
        }
    }
    ::closedir(folder);
    return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0;
}

}  // namespace

int removeStalePrivateDirectories(const std::u16string& parent, const std::u16string& prefix,
                                  std::int64_t minAgeSeconds)
{
    const int fd = ::open(detail::toUtf8(parent).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd < 0 ? nullptr : ::fdopendir(fd);
    if (folder == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return 0;
    }
    const std::string start = detail::toUtf8(prefix);
    const std::time_t now = std::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(folder)) {
        struct stat st {};
        if (std::strncmp(entry->d_name, start.c_str(), start.size()) != 0 ||
            ::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid() || now - st.st_mtime < minAgeSeconds) {
            continue;
        }
        removed += removeFolderOfFiles(::dirfd(folder), entry->d_name) ? 1 : 0;
    }
    ::closedir(folder);
    return removed;
}

std::FILE* createNewFile(const std::u16string& path)
{
    const int fd = ::open(detail::toUtf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        t_lastError = errno;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        t_lastError = errno;
        ::close(fd);
    }
    return file;
}

bool removeFile(const std::u16string& path)
{
    if (::unlink(detail::toUtf8(path).c_str()) != 0) {
        t_lastError = errno;
        return false;
    }
    return true;
}

bool removeDirectory(const std::u16string& path)
{
    if (::rmdir(detail::toUtf8(path).c_str()) != 0) {
        t_lastError = errno;
        return false;
    }
    return true;
}

std::FILE* openFile(const std::u16string& path, const std::string& mode)
{
    // Text translation and the encoding suffix are Windows ideas; files here are bytes.
    std::string plain;
    for (const char c : mode.substr(0, mode.find(','))) {
        if (c != 't' && c != ' ') {
            plain += c;
        }
    }
    if (plain.empty() || path.empty()) {
        t_lastError = EINVAL;
        return nullptr;
    }
    plain += 'e';  // close-on-exec, so started programs never inherit our files
    std::FILE* file = std::fopen(detail::toUtf8(path).c_str(), plain.c_str());
    if (file == nullptr) {
        t_lastError = errno;
    }
    return file;
}

std::u16string realPath(const std::u16string& path)
{
    if (path.empty()) {
        return {};
    }
    char* resolved = ::realpath(detail::toUtf8(path).c_str(), nullptr);
    if (resolved == nullptr) {
        t_lastError = errno;
        return {};
    }
    std::u16string result = detail::fromUtf8(resolved);
    std::free(resolved);
    return result;
}

std::u16string realPathOfOpenFile(std::FILE* file)
{
    const int fd = file != nullptr ? ::fileno(file) : -1;
    if (fd < 0) {
        return {};
    }
    // The descriptor's own link names the file that was opened, not what its name leads to now.
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (n < 0) {
            t_lastError = errno;
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return detail::fromUtf8(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::FILE* openRegularFileForRead(const std::u16string& path)
{
    OpenedFileInfo info;
    return openRegularFileForRead(path, info);
}

std::FILE* openRegularFileForRead(const std::u16string& path, OpenedFileInfo& info)
{
    if (path.empty()) {
        t_lastError = ENOENT;
        return nullptr;
    }
    // O_NONBLOCK keeps open() from waiting for a FIFO's writer or a device; it is cleared once the
    // entry is known to be a regular file.
    const int fd = ::open(detail::toUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        t_lastError = errno;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        t_lastError = S_ISREG(st.st_mode) ? errno : EINVAL;
        ::close(fd);
        return nullptr;
    }
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    // Reading a file without waiting would fail sendfile on pages not in memory. No other flag
    // that F_SETFL changes was asked for, so none needs reading first.
    if (::fcntl(fd, F_SETFL, 0) != 0) {
        t_lastError = errno;
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        t_lastError = errno;
        ::close(fd);
        return nullptr;
    }
    // Unbuffered: readers ask for whole blocks (or send from the descriptor), so a stream buffer
    // would only cost an allocation, a copy and another look at the file.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

int lastFileError()
{
    return t_lastError;
}

bool isWritableDirectory(const std::u16string& path)
{
    const std::string bytes = detail::toUtf8(path);
    struct stat st {};
    return ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(bytes.c_str(), W_OK | X_OK) == 0;
}

namespace {

std::u16string xdgFolder(const char* variable, const char* belowHome)
{
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return detail::fromUtf8(value);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return detail::fromUtf8(std::string(home) + "/" + belowHome);
}

}  // namespace

std::u16string xdgConfigHome()
{
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

std::u16string xdgStateHome()
{
    return xdgFolder("XDG_STATE_HOME", ".local/state");
}

std::u16string xdgCacheHome()
{
    return xdgFolder("XDG_CACHE_HOME", ".cache");
}

std::u16string runtimeDirectory(std::string& error)
{
    error.clear();
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
        dir = std::string(runtime) + "/qvwebserver";
    } else {
        const char* temp = std::getenv("TMPDIR");
        dir = std::string(temp != nullptr && temp[0] == '/' ? temp : "/tmp") + "/qvwebserver-" +
              std::to_string(::geteuid());
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return {};
    }
    // A folder made by someone else (or a link planted in its place) would hand them our records.
    if (::lstat(dir.c_str(), &st) != 0) {
        error = dir + ": " + std::strerror(errno);
        return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        error = dir + ": not a folder of this user's own";
        return {};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        error = dir + ": " + std::strerror(errno);
        return {};
    }
    return detail::fromUtf8(dir);
}

}  // namespace qvplat
