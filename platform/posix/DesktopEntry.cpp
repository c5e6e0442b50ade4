#include "platform/DesktopEntry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/CommandLine.h"
#include "platform/posix/Spawn.h"
#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

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

// The value of key in the group named group of a key file (mimeapps.list, a desktop entry), trimmed;
// nullopt when the file, the group or the key is missing.
std::optional<std::string> keyFileValue(const std::string& path, std::string_view group, std::string_view key)
{
    std::ifstream in(path);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        line = trimAscii(line);
        if (!line.empty() && line[0] == '[') {
            inGroup = line == group;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (inGroup && eq != std::string::npos && trimAscii(line.substr(0, eq)) == key) {
            return trimAscii(line.substr(eq + 1));
        }
    }
    return std::nullopt;
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
        if (const auto value = keyFileValue(list, "[Default Applications]", mimeType)) {
            const std::vector<std::string> ids = splitList(*value, ';');
            if (!ids.empty()) {
                return ids.front();
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
            std::string path = dir + "/applications/" + name;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                return path;
            }
        }
    }
    return {};
}

// The program of an Exec line's words: "env NAME=value program ..." names it after the assignments.
std::string execProgram(const std::vector<std::u16string>& words)
{
    std::size_t first = 0;
    if (!words.empty() && (words[0] == u"env" || words[0] == u"/usr/bin/env")) {
        first = 1;
        while (first < words.size() && words[first].find(u'=') != std::u16string::npos) {
            ++first;
        }
    }
    return first < words.size() ? detail::toUtf8(words[first]) : std::string();
}

bool isExecutableFile(const std::string& path)
{
    struct stat st {};
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
        std::string candidate = dir + "/" + program;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

namespace {

// The desktop entry of the default program for files with extension; empty when there is none.
std::string defaultDesktopFile(const std::u16string& extension)
{
    std::string ext = detail::toUtf8(extension);
    if (!ext.empty() && ext[0] == '.') {
        ext.erase(0, 1);
    }
    if (ext.empty()) {
        return {};
    }
    const std::string mimeType = mimeTypeOf(ext);
    if (mimeType.empty()) {
        return {};
    }
    std::string desktopId = trimAscii(detail::captureOutput({"xdg-mime", "query", "default", mimeType}));
    if (const std::size_t newline = desktopId.find('\n'); newline != std::string::npos) {
        desktopId = trimAscii(desktopId.substr(0, newline));
    }
    if (desktopId.empty()) {
        desktopId = defaultFromMimeApps(mimeType);
    }
    if (desktopId.empty() || desktopId.find('/') != std::string::npos) {
        return {};
    }
    return findDesktopFile(desktopId);
}

// The entry's Exec line expanded for target; empty when it has none or it is malformed.
std::vector<std::u16string> execLine(const std::string& desktopFile, const std::u16string& target)
{
    const auto exec = keyFileValue(desktopFile, "[Desktop Entry]", "Exec");
    if (!exec) {
        return {};
    }
    const auto field = [&](std::string_view key) {
        return detail::fromUtf8(keyFileValue(desktopFile, "[Desktop Entry]", key).value_or(""));
    };
    return expandExec({detail::fromUtf8(*exec), field("Name"), field("Icon"), detail::fromUtf8(desktopFile)}, target);
}

// The string escapes of a key-file value (\s \n \t \r \\); any other backslash is left for the quoting.
std::u16string unescapeValue(const std::u16string& value)
{
    std::u16string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char16_t next = i + 1 < value.size() ? value[i + 1] : u'\0';
        const std::u16string_view from = u"sntr\\";
        const std::size_t at = value[i] == u'\\' ? from.find(next) : std::u16string_view::npos;
        if (at == std::u16string_view::npos) {
            out += value[i];
        } else {
            out += u" \n\t\r\\"[at];
            ++i;
        }
    }
    return out;
}

bool isFieldCode(char16_t c)
{
    return c == u'%' || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// The words of an Exec line as they are made.
struct ExecWords {
    std::vector<std::u16string> words;
    std::u16string word;
    bool inWord = false;  // an empty quoted argument is a word too
    bool placed = false;  // the target stands somewhere

    void add(std::u16string_view text)
    {
        word += text;
        inWord = true;
    }
    void end()
    {
        if (inWord) {
            words.push_back(std::move(word));
        }
        word.clear();
        inWord = false;
    }
};

// The double-quoted part that starts at line[i]; i ends on the closing quote. Inside, only \" \` \$
// \\ are escapes and no field code but %% may stand. False when it is not closed or holds a code.
bool readDoubleQuoted(const std::u16string& line, std::size_t& i, ExecWords& out)
{
    out.add(u"");
    for (++i; i < line.size() && line[i] != u'"'; ++i) {
        const char16_t next = i + 1 < line.size() ? line[i + 1] : u'\0';
        if (line[i] == u'%' && next != u'%' && isFieldCode(next)) {
            return false;
        }
        if ((line[i] == u'\\' && std::u16string_view(u"\"`$\\").find(next) != std::u16string_view::npos) ||
            (line[i] == u'%' && next == u'%')) {
            ++i;
        }
        out.word += line[i];
    }
    return i < line.size();
}

// Single quotes are not in the desktop-entry rules, but the shells and GLib take them: literal text.
bool readSingleQuoted(const std::u16string& line, std::size_t& i, ExecWords& out)
{
    const std::size_t close = line.find(u'\'', i + 1);
    if (close == std::u16string::npos) {
        return false;
    }
    out.add(std::u16string_view(line).substr(i + 1, close - i - 1));
    i = close;
    return true;
}

void expandFieldCode(char16_t code, bool alone, const DesktopEntryExec& entry, const std::u16string& target,
                     ExecWords& out)
{
    if (code == u'%') {
        out.add(u"%");
    } else if (code == u'f' || code == u'F' || code == u'u' || code == u'U') {
        out.add(target);
        out.placed = true;
    } else if (code == u'c' && !entry.name.empty()) {
        out.add(entry.name);
    } else if (code == u'k' && !entry.path.empty()) {
        out.add(entry.path);
    } else if (code == u'i' && alone && !entry.icon.empty()) {
        out.words.emplace_back(u"--icon");
        out.add(entry.icon);
    }  // deprecated and unknown codes are dropped
}

// One word quoted so that splitCommandLine gives it back unchanged.
std::string quoteWord(const std::string& word)
{
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

bool assocQueryExecutable(const std::u16string& extension, std::u16string& out)
{
    const std::string desktopFile = defaultDesktopFile(extension);
    const std::string program =
        desktopFile.empty() ? std::string() : resolveInPath(execProgram(execLine(desktopFile, u"")));
    if (program.empty()) {
        return false;
    }
    out = detail::fromUtf8(program);
    return true;
}

bool assocQueryCommand(const std::u16string& extension, const std::u16string& target, std::u16string& out)
{
    const std::string desktopFile = defaultDesktopFile(extension);
    const std::vector<std::u16string> words =
        desktopFile.empty() ? std::vector<std::u16string>() : execLine(desktopFile, target);
    if (resolveInPath(execProgram(words)).empty()) {
        return false;
    }
    std::string commandLine;
    for (const std::u16string& word : words) {
        commandLine += (commandLine.empty() ? "" : " ") + quoteWord(detail::toUtf8(word));
    }
    out = detail::fromUtf8(commandLine);
    return true;
}

std::vector<std::u16string> expandExec(const DesktopEntryExec& entry, const std::u16string& target)
{
    const std::u16string line = unescapeValue(entry.exec);
    const std::size_t n = line.size();
    ExecWords out;
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = line[i];
        const char16_t next = i + 1 < n ? line[i + 1] : u'\0';
        bool wellFormed = true;
        if (isBlank(c)) {
            out.end();
        } else if (c == u'"') {
            wellFormed = readDoubleQuoted(line, i, out);
        } else if (c == u'\'') {
            wellFormed = readSingleQuoted(line, i, out);
        } else if (c == u'\\' && i + 1 < n) {
            out.add(std::u16string_view(line).substr(++i, 1));
        } else if (c == u'%' && isFieldCode(next)) {
            const bool alone = !out.inWord && (i + 2 == n || isBlank(line[i + 2]));
            expandFieldCode(next, alone, entry, target, out);
            ++i;
        } else {
            out.add(std::u16string_view(line).substr(i, 1));
        }
        if (!wellFormed) {
            return {};
        }
    }
    out.end();
    if (!out.words.empty() && !out.placed) {
        out.words.push_back(target);
    }
    return std::move(out.words);
}

}  // namespace qvplat
