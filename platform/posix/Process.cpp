#include "platform/Process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/AsciiText.h"
#include "platform/posix/Utf8.h"

extern char** environ;

namespace qvplat {
namespace {

// ---- Reaping started programs ---------------------------------------------------------------

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
                m_thread = std::thread([this] { run(); });
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
    std::thread m_thread;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    bool m_stopping = false;
};

Reaper& reaper()
{
    static Reaper s_reaper;
    return s_reaper;
}

// ---- Spawning -------------------------------------------------------------------------------

// A started program begins with default signal handling and no blocked signals, whatever this
// program has set (it ignores SIGPIPE, for one).
bool prepareAttributes(posix_spawnattr_t& attr, bool newSession)
{
    if (posix_spawnattr_init(&attr) != 0) {
        return false;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM}) {
        sigaddset(&defaults, sig);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    if (newSession) {
        flags |= POSIX_SPAWN_SETSID;  // the program outlives us and ignores our terminal's signals
    }
#else
    (void)newSession;
#endif
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, flags);
    return true;
}

std::vector<char*> argvOf(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

constexpr int kCaptureTimeoutMs = 5000;          // xdg-mime answers at once; a hang must not stall the UI
constexpr std::size_t kCaptureLimitBytes = 65536;  // a desktop id is a short line

// Runs a program and returns what it writes on standard output (empty on any failure).
std::string captureOutput(std::vector<std::string> words)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    prepareAttributes(attr, false);
    std::vector<char*> argv = argvOf(words);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return {};
    }
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCaptureTimeoutMs);
    bool timedOut = false;
    while (out.size() < kCaptureLimitBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
            timedOut = true;
            break;
        }
        char chunk[4096];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n > 0) {
            out.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {};
    }
    return out;
}

// ---- Default programs -----------------------------------------------------------------------

std::string trimAscii(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string envOr(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

std::vector<std::string> splitList(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            parts.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::string mimeTypeOf(std::string extension)
{
    extension = toLowerAscii(std::move(extension));
    if (extension == "html" || extension == "htm" || extension == "shtml") {
        return "text/html";
    }
    if (extension == "xhtml" || extension == "xht") {
        return "application/xhtml+xml";
    }
    // The system's table for everything else.
    std::ifstream types("/etc/mime.types");
    std::string line;
    while (std::getline(types, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        std::string type;
        std::string ext;
        words >> type;
        while (words >> ext) {
            if (ext == extension) {
                return type;
            }
        }
    }
    return {};
}

std::string homeDir()
{
    return envOr("HOME", "");
}

std::vector<std::string> dataDirs()
{
    std::vector<std::string> dirs;
    const std::string home = homeDir();
    const std::string dataHome = envOr("XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
    if (!dataHome.empty()) {
        dirs.push_back(dataHome);
    }
    for (const std::string& dir : splitList(envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':')) {
        dirs.push_back(dir);
    }
    return dirs;
}

// The default desktop entry from the mimeapps.list files, for systems without xdg-mime.
std::string defaultFromMimeApps(const std::string& mimeType)
{
    std::vector<std::string> lists;
    const std::string home = homeDir();
    const std::string configHome = envOr("XDG_CONFIG_HOME", home.empty() ? "" : home + "/.config");
    if (!configHome.empty()) {
        lists.push_back(configHome + "/mimeapps.list");
    }
    for (const std::string& dir : splitList(envOr("XDG_CONFIG_DIRS", "/etc/xdg"), ':')) {
        lists.push_back(dir + "/mimeapps.list");
    }
    for (const std::string& dir : dataDirs()) {
        lists.push_back(dir + "/applications/mimeapps.list");
    }
    for (const std::string& list : lists) {
        std::ifstream in(list);
        std::string line;
        bool inDefaults = false;
        while (std::getline(in, line)) {
            line = trimAscii(line);
            if (!line.empty() && line[0] == '[') {
                inDefaults = line == "[Default Applications]";
                continue;
            }
            const std::size_t eq = line.find('=');
            if (inDefaults && eq != std::string::npos && trimAscii(line.substr(0, eq)) == mimeType) {
                const std::vector<std::string> ids = splitList(trimAscii(line.substr(eq + 1)), ';');
                if (!ids.empty()) {
                    return ids.front();
                }
            }
        }
    }
    return {};
}

std::string findDesktopFile(const std::string& id)
{
    // An id "vendor-app.desktop" may live at applications/vendor/app.desktop.
    std::vector<std::string> names{id};
    std::string nested = id;
    for (std::size_t dash = nested.find('-'); dash != std::string::npos; dash = nested.find('-', dash + 1)) {
        nested[dash] = '/';
        names.push_back(nested);
    }
    for (const std::string& dir : dataDirs()) {
        for (const std::string& name : names) {
            const std::string path = dir + "/applications/" + name;
            struct stat st{};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                return path;
            }
        }
    }
    return {};
}

// The words of a desktop entry's Exec value (its escapes and quoting rules).
std::vector<std::string> execWords(const std::string& value)
{
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            switch (next) {
            case 's': unescaped += ' '; break;
            case 'n': unescaped += '\n'; break;
            case 't': unescaped += '\t'; break;
            case 'r': unescaped += '\r'; break;
            default: unescaped += '\\'; unescaped += next; break;  // kept for the quoting rules below
            }
        } else {
            unescaped += value[i];
        }
    }
    std::vector<std::string> words;
    for (const std::u16string& word : splitCommandLine(detail::fromUtf8(unescaped))) {
        words.push_back(detail::toUtf8(word));
    }
    return words;
}

std::string execProgram(const std::string& desktopFile)
{
    std::ifstream in(desktopFile);
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        line = trimAscii(line);
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!inEntry || eq == std::string::npos || trimAscii(line.substr(0, eq)) != "Exec") {
            continue;
        }
        std::vector<std::string> words = execWords(trimAscii(line.substr(eq + 1)));
        std::size_t first = 0;
        // "env NAME=value program ..." names its program after the assignments.
        if (!words.empty() && (words[0] == "env" || words[0] == "/usr/bin/env")) {
            first = 1;
            while (first < words.size() && words[first].find('=') != std::string::npos) {
                ++first;
            }
        }
        return first < words.size() ? words[first] : std::string();
    }
    return {};
}

bool isExecutableFile(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string resolveInPath(const std::string& program)
{
    if (program.empty()) {
        return {};
    }
    if (program.find('/') != std::string::npos) {
        return isExecutableFile(program) ? program : std::string();
    }
    for (const std::string& dir : splitList(envOr("PATH", "/usr/local/bin:/usr/bin:/bin"), ':')) {
        const std::string candidate = dir + "/" + program;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

std::vector<std::u16string> splitCommandLine(const std::u16string& commandLine)
{
    std::vector<std::u16string> words;
    std::u16string word;
    bool inWord = false;
    const std::size_t n = commandLine.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = commandLine[i];
        if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == u'\'') {
            const std::size_t close = commandLine.find(u'\'', i + 1);
            const std::size_t end = close == std::u16string::npos ? n : close;
            word.append(commandLine, i + 1, end - i - 1);
            i = end;
        } else if (c == u'"') {
            for (++i; i < n && commandLine[i] != u'"'; ++i) {
                const char16_t d = commandLine[i];
                if (d == u'\\' && i + 1 < n) {
                    const char16_t e = commandLine[i + 1];
                    if (e == u'"' || e == u'\\' || e == u'$' || e == u'`') {
                        word += e;
                        ++i;
                        continue;
                    }
                    if (e == u'\n') {
                        ++i;
                        continue;
                    }
                }
                word += d;
            }
        } else if (c == u'\\') {
            if (i + 1 < n) {
                if (commandLine[i + 1] != u'\n') {
                    word += commandLine[i + 1];
                }
                ++i;
            }
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

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
    if (!prepareAttributes(attr, true)) {
        return false;
    }
    std::vector<char*> argv = argvOf(words);
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

bool assocQueryExecutable(const std::u16string& extension, std::u16string& out)
{
    std::string ext = detail::toUtf8(extension);
    if (!ext.empty() && ext[0] == '.') {
        ext.erase(0, 1);
    }
    if (ext.empty()) {
        return false;
    }
    const std::string mimeType = mimeTypeOf(ext);
    if (mimeType.empty()) {
        return false;
    }
    std::string desktopId = trimAscii(captureOutput({"xdg-mime", "query", "default", mimeType}));
    if (const std::size_t newline = desktopId.find('\n'); newline != std::string::npos) {
        desktopId = trimAscii(desktopId.substr(0, newline));
    }
    if (desktopId.empty()) {
        desktopId = defaultFromMimeApps(mimeType);
    }
    if (desktopId.empty() || desktopId.find('/') != std::string::npos) {
        return false;
    }
    const std::string desktopFile = findDesktopFile(desktopId);
    if (desktopFile.empty()) {
        return false;
    }
    const std::string program = resolveInPath(execProgram(desktopFile));
    if (program.empty()) {
        return false;
    }
    out = detail::fromUtf8(program);
    return true;
}

std::u16string getProductVersion()
{
#if defined(QV_VERSION_MAJOR) && defined(QV_VERSION_MINOR) && defined(QV_VERSION_PATCH) && defined(QV_VERSION_TWEAK)
    const std::string text = std::to_string(QV_VERSION_MAJOR) + "." + std::to_string(QV_VERSION_MINOR) + "." +
                             std::to_string(QV_VERSION_PATCH) + "." + std::to_string(QV_VERSION_TWEAK);
    return detail::fromUtf8(text);
#else
    return {};
#endif
}

}  // namespace qvplat
