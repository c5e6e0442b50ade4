#include "platform/Profile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

// ---- Text rules of the profile format -------------------------------------------------------

bool isProfileSpace(char16_t c)
{
    // CR and ^Z (the old end-of-file mark) count as white space, as they do for Windows.
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' || c == 0x1A;
}

std::u16string_view trim(std::u16string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isProfileSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isProfileSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Simple case folding for the scripts names are written in: Latin, Greek, Cyrillic.
char16_t foldCase(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    }
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F)) {
        return static_cast<char16_t>(c + 32);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<char16_t>(c + 80);
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper/lower case as even/odd, except between U+0139 and U+0148
        // and between U+0179 and U+017E, where the upper case letter is odd.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178 || c == 0x17F) {
            return c;
        }
        if (oddUpper ? (c % 2 == 1) : (c % 2 == 0)) {
            return static_cast<char16_t>(c + 1);
        }
    }
    return c;
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

// ---- The parsed file ------------------------------------------------------------------------

struct Line {
    std::u16string name;  // the key; for a comment the whole line
    std::u16string value;
    bool hasValue = false;  // the line had "="
    bool comment = false;
};

std::u16string folded(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out) {
        c = foldCase(c);
    }
    return out;
}

struct Section {
    std::u16string name;
    bool hasHeader = true;  // false only for lines before the first "[section]"
    std::vector<Line> lines;

    // Folded key -> index of its first line, built on demand so that a save of many keys does not
    // scan the section once per key. Dropped when lines are removed.
    std::unordered_map<std::u16string, std::size_t> index;
    bool indexed = false;

    Line* find(std::u16string_view key)
    {
        if (!indexed) {
            index.clear();
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (!lines[i].comment) {
                    index.try_emplace(folded(lines[i].name), i);
                }
            }
            indexed = true;
        }
        const auto it = index.find(folded(key));
        return it == index.end() ? nullptr : &lines[it->second];
    }

    void append(Line line)
    {
        if (indexed) {
            index.try_emplace(folded(line.name), lines.size());
        }
        lines.push_back(std::move(line));
    }

    void erase(const Line* line)
    {
        lines.erase(lines.begin() + (line - lines.data()));
        indexed = false;
    }
};

struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const FileStamp& o) const
    {
        if (exists != o.exists) {
            return false;
        }
        return !exists || (device == o.device && inode == o.inode && size == o.size &&
                           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec);
    }
};

struct CachedFile {
    std::vector<Section> sections;
    FileStamp stamp;
    bool dirty = false;
};

FileStamp stampOf(const std::string& path)
{
    FileStamp stamp;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
    }
    return stamp;
}

// Reads the whole file; false (and empty bytes) when it cannot be opened.
bool readAll(const std::string& path, std::string& bytes)
{
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return true;
}

std::u16string decodeFileText(const std::string& bytes)
{
    std::string_view view(bytes);
    std::u16string text;
    if (view.size() >= 2 && static_cast<unsigned char>(view[0]) == 0xFF && static_cast<unsigned char>(view[1]) == 0xFE) {
        // A UTF-16LE file with its byte-order mark, as Windows tools may leave behind.
        text.reserve(view.size() / 2);
        for (std::size_t i = 2; i + 1 < view.size(); i += 2) {
            text += static_cast<char16_t>(static_cast<unsigned char>(view[i]) |
                                          (static_cast<unsigned char>(view[i + 1]) << 8));
        }
    } else {
        if (view.size() >= 3 && view.substr(0, 3) == "\xEF\xBB\xBF") {
            view.remove_prefix(3);
        }
        text = detail::fromUtf8(view);
    }
    // A NUL would end a string of the returned lists early.
    for (char16_t& c : text) {
        if (c == 0) {
            c = 0xFFFD;
        }
    }
    return text;
}

std::vector<Section> parse(const std::u16string& text)
{
    std::vector<Section> sections;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) {
            end = text.size();
        }
        const std::u16string_view line = trim(std::u16string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        if (line.front() == u'[') {
            const std::size_t close = line.rfind(u']');
            if (close != std::u16string_view::npos) {
                Section section;
                section.name = std::u16string(trim(line.substr(1, close - 1)));
                sections.push_back(std::move(section));
                continue;
            }
        }
        if (sections.empty()) {
            Section preamble;
            preamble.hasHeader = false;
            sections.push_back(std::move(preamble));
        }
        Line entry;
        if (line.front() == u';') {
            entry.comment = true;
            entry.name = std::u16string(line);
        } else if (const std::size_t eq = line.find(u'='); eq != std::u16string_view::npos) {
            entry.name = std::u16string(trim(line.substr(0, eq)));
            entry.value = std::u16string(trim(line.substr(eq + 1)));
            entry.hasValue = true;
        } else {
            entry.name = std::u16string(line);
        }
        sections.back().lines.push_back(std::move(entry));
    }
    return sections;
}

std::string serialize(const std::vector<Section>& sections)
{
    std::u16string text;
    for (const Section& section : sections) {
        if (section.hasHeader) {
            if (!text.empty()) {
                text += u'\n';  // an empty line before every section but the first
            }
            text += u'[';
            text += section.name;
            text += u"]\n";
        }
        for (const Line& line : section.lines) {
            text += line.name;
            if (!line.comment && line.hasValue) {
                text += u'=';
                text += line.value;
            }
            text += u'\n';
        }
    }
    return detail::toUtf8(text);
}

// ---- Lists handed to the caller -------------------------------------------------------------

// full holds the strings, each followed by its NUL, and the final NUL.
uint32_t copyList(const std::u16string& full, char16_t* buffer, uint32_t size)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (full.size() <= size) {
        std::copy(full.begin(), full.end(), buffer);
        if (full.size() < size) {
            buffer[full.size()] = 0;  // an empty list still reads as two NULs
        }
        return static_cast<uint32_t>(full.size() - 1);
    }
    if (size < 2) {
        buffer[0] = 0;
        return 0;
    }
    // Too small: what fits is kept, the last string is cut, and two NULs end the list.
    std::copy(full.begin(), full.begin() + (size - 2), buffer);
    buffer[size - 2] = 0;
    buffer[size - 1] = 0;
    return size - 2;
}

// ---- Files on disk --------------------------------------------------------------------------

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool canWrite(const std::string& path)
{
    const std::string dir = directoryOf(path);
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISREG(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
    }
    return ::access(dir.c_str(), W_OK) == 0;
}

bool writeAll(int fd, const std::string& bytes)
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

// Replaces the file at path with bytes so that a crash at any point leaves either the old or the
// new content: a temporary file in the same folder is written and synced, then renamed over it.
bool replaceFileAtomically(const std::string& path, const std::string& bytes)
{
    std::string target = path;
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Keep the link: replace the file it points to.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            ::free(resolved);
        }
    }
    const std::string dir = directoryOf(target);
    const std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + base + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(s_tempCounter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    if (::stat(target.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
    }
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// ---- The process-wide cache -----------------------------------------------------------------

class ProfileCache {
public:
    ~ProfileCache()
    {
        // Pending writes are not lost when the program ends without asking for a flush.
        std::lock_guard lock(m_mutex);
        for (auto& [path, file] : m_files) {
            flushFile(path, file);
        }
    }

    std::mutex& mutex() { return m_mutex; }

    // The cached file, read (again) when it is not cached or changed on disk and has no pending writes.
    CachedFile& fresh(const std::string& path)
    {
        auto [it, inserted] = m_files.try_emplace(path);
        CachedFile& file = it->second;
        if (file.dirty) {
            return file;
        }
        const FileStamp now = stampOf(path);
        if (inserted || !(now == file.stamp)) {
            std::string bytes;
            readAll(path, bytes);
            file.sections = parse(decodeFileText(bytes));
            file.stamp = now;
        }
        return file;
    }

    bool flush(const std::string& path)
    {
        if (path.empty()) {
            bool ok = true;
            for (auto& [name, file] : m_files) {
                ok = flushFile(name, file) && ok;
            }
            return ok;
        }
        const auto it = m_files.find(path);
        return it == m_files.end() || flushFile(path, it->second);
    }

    void clear() { m_files.clear(); }

private:
    static bool flushFile(const std::string& path, CachedFile& file)
    {
        if (!file.dirty) {
            return true;
        }
        if (!replaceFileAtomically(path, serialize(file.sections))) {
            return false;
        }
        file.dirty = false;
        file.stamp = stampOf(path);
        return true;
    }

    std::mutex m_mutex;
    std::unordered_map<std::string, CachedFile> m_files;
};

ProfileCache& cache()
{
    static ProfileCache s_cache;
    return s_cache;
}

Section* findSection(CachedFile& file, std::u16string_view name)
{
    for (Section& section : file.sections) {
        if (section.hasHeader && equalsNoCase(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

}  // namespace

uint32_t getPrivateProfileSectionNames(char16_t* buffer, uint32_t size, const std::u16string& path)
{
    std::u16string full;
    {
        ProfileCache& c = cache();
        std::lock_guard lock(c.mutex());
        for (const Section& section : c.fresh(detail::toUtf8(path)).sections) {
            if (section.hasHeader && !section.name.empty()) {
                full += section.name;
                full += u'\0';
            }
        }
    }
    full += u'\0';
    return copyList(full, buffer, size);
}

uint32_t getPrivateProfileSection(const std::u16string& section, char16_t* buffer, uint32_t size,
                                  const std::u16string& path)
{
    std::u16string full;
    {
        ProfileCache& c = cache();
        std::lock_guard lock(c.mutex());
        if (const Section* found = findSection(c.fresh(detail::toUtf8(path)), trim(section))) {
            for (const Line& line : found->lines) {
                if (line.comment || line.name.empty()) {
                    continue;
                }
                full += line.name;
                if (line.hasValue) {
                    full += u'=';
                    full += line.value;
                }
                full += u'\0';
            }
        }
    }
    full += u'\0';
    return copyList(full, buffer, size);
}

bool writePrivateProfileString(const std::u16string& section, const std::u16string& key, const char16_t* value,
                               const std::u16string& path)
{
    if (path.empty()) {
        return false;
    }
    const std::string file8 = detail::toUtf8(path);
    const std::u16string_view sectionName = trim(section);
    const std::u16string_view keyName = trim(key);

    ProfileCache& c = cache();
    std::lock_guard lock(c.mutex());
    CachedFile& file = c.fresh(file8);
    Section* found = findSection(file, sectionName);
    Line* entry = found != nullptr ? found->find(keyName) : nullptr;
    // Stored as a later read of the file would give it back.
    const std::u16string_view newValue = value != nullptr ? trim(std::u16string_view(value)) : std::u16string_view();

    const bool changes = value == nullptr ? entry != nullptr
                                          : (entry == nullptr || !entry->hasValue || entry->value != newValue);
    if (!changes) {
        return true;
    }
    // Checked when the file first gets pending writes; a later failure shows in the flush.
    if (!file.dirty && !canWrite(file8)) {
        return false;
    }
    file.dirty = true;
    if (value == nullptr) {
        found->erase(entry);
    } else if (entry != nullptr) {
        entry->value = std::u16string(newValue);
        entry->hasValue = true;
    } else {
        if (found == nullptr) {
            Section added;
            added.name = std::u16string(sectionName);
            file.sections.push_back(std::move(added));
            found = &file.sections.back();
        }
        Line line;
        line.name = std::u16string(keyName);
        line.value = std::u16string(newValue);
        line.hasValue = true;
        found->append(std::move(line));
    }
    return true;
}

bool flushPrivateProfile(const std::u16string& path)
{
    ProfileCache& c = cache();
    std::lock_guard lock(c.mutex());
    return c.flush(path.empty() ? std::string() : detail::toUtf8(path));
}

void discardPrivateProfileCacheForTesting()
{
    ProfileCache& c = cache();
    std::lock_guard lock(c.mutex());
    c.clear();
}

}  // namespace qvplat
