#include "platform/CommandLine.h"

namespace qvplat {

namespace {

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// Each helper appends one quoted or escaped piece that starts at `open` and returns the offset of
// its last character, so the caller's loop goes on behind it.

// Inside single quotes every character is literal, up to the closing quote or the end.
std::size_t appendSingleQuoted(const std::u16string& line, std::size_t open, std::u16string& word)
{
    const std::size_t close = line.find(u'\'', open + 1);
    const std::size_t end = close == std::u16string::npos ? line.size() : close;
    word.append(line, open + 1, end - open - 1);
    return end;
}

// Inside double quotes a backslash escapes only ", \, $ and `, and joins lines before a newline.
std::size_t appendDoubleQuoted(const std::u16string& line, std::size_t open, std::u16string& word)
{
    const std::size_t n = line.size();
    std::size_t i = open + 1;
    for (; i < n && line[i] != u'"'; ++i) {
        const char16_t d = line[i];
        if (d == u'\\' && i + 1 < n) {
            const char16_t e = line[i + 1];
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
    return i;
}

// Outside quotes a backslash takes the next character as it is, and joins lines before a newline;
// a backslash at the very end is dropped.
std::size_t appendEscaped(const std::u16string& line, std::size_t open, std::u16string& word)
{
    if (open + 1 >= line.size()) {
        return open;
    }
    if (line[open + 1] != u'\n') {
        word += line[open + 1];
    }
    return open + 1;
}

}  // namespace

std::vector<std::u16string> splitCommandLine(const std::u16string& commandLine)
{
    std::vector<std::u16string> words;
    std::u16string word;
    bool inWord = false;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        const char16_t c = commandLine[i];
        if (isBlank(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        switch (c) {
            case u'\'':
                i = appendSingleQuoted(commandLine, i, word);
                break;
            case u'"':
                i = appendDoubleQuoted(commandLine, i, word);
                break;
            case u'\\':
                i = appendEscaped(commandLine, i, word);
                break;
            default:
                word += c;
                break;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace qvplat
