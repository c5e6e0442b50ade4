#include "platform/CommandLine.h"

namespace qvplat {

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

}  // namespace qvplat
