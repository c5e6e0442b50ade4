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

// The words of a desktop entry's Exec value (its escapes and quoting rules).
std::vector<std::string> execWords(const std::string& value)
{
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            switch (next) {
                case 's':
                    unescaped += ' ';
                    break;
                case 'n':
                    unescaped += '\n';
                    break;
                case 't':
                    unescaped += '\t';
                    break;
                case 'r':
                    unescaped += '\r';
                    break;
                default:
                    unescaped += '\\';
                    unescaped += next;
                    break;  // kept for the quoting rules below
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
    const auto exec = keyFileValue(desktopFile, "[Desktop Entry]", "Exec");
    if (!exec) {
        return {};
    }
    std::vector<std::string> words = execWords(*exec);
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

// The words of the entry's Exec value, unescaped; empty when it has none.
std::vector<std::string> execLineWords(const std::string& desktopFile)
{
    const auto exec = keyFileValue(desktopFile, "[Desktop Entry]", "Exec");
    return exec ? execWords(*exec) : std::vector<std::string>();
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

bool assocQueryCommand(const std::u16string& extension, const std::u16string& target, std::u16string& out)
{
    const std::string desktopFile = defaultDesktopFile(extension);
    if (desktopFile.empty() || resolveInPath(execProgram(desktopFile)).empty()) {
        return false;
    }
    const std::string url = detail::toUtf8(target);
    bool placed = false;
    std::string commandLine;
    for (const std::string& word : execLineWords(desktopFile)) {
        std::string expanded;
        bool dropWord = false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (word[i] != '%' || i + 1 == word.size()) {
                expanded += word[i];
                continue;
            }
            const char code = word[++i];
            if (code == '%') {
                expanded += '%';
            } else if (code == 'u' || code == 'U' || code == 'f' || code == 'F') {
                expanded += url;
                placed = true;
            } else if (word.size() == 2) {
                dropWord = true;  // a code standing alone (%i, %c, %k, ...) takes its word with it
            }
        }
        if (!dropWord) {
            commandLine += (commandLine.empty() ? "" : " ") + quoteWord(expanded);
        }
    }
    if (!placed) {
        commandLine += " " + quoteWord(url);
    }
    out = detail::fromUtf8(commandLine);
    return true;
}

}  // namespace qvplat
