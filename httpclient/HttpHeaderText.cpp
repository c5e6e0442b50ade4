#include "httpclient/HttpHeaderText.h"

#include <climits>
#include <string_view>

#include "platform/AsciiText.h"

namespace qvhttp {
namespace {

bool isCharsetChar(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// The run of accepted characters behind the first occurrence of key that has at least one.
template <typename Accept>
std::u16string_view firstValueAfter(std::u16string_view text, std::u16string_view key, Accept accept)
{
    for (std::size_t at = qvplat::findIgnoreAsciiCase(text, key); at != std::u16string_view::npos;
         at = qvplat::findIgnoreAsciiCase(text, key, at + 1)) {
        const std::size_t start = at + key.size();
        std::size_t end = start;
        while (end < text.size() && accept(text[end])) {
            ++end;
        }
        if (end > start) {
            return text.substr(start, end - start);
        }
    }
    return {};
}

std::string trimBlanks(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

QvString findCharset(const QvString& headers)
{
    return QvString(std::u16string(firstValueAfter(headers.view(), u"charset=", isCharsetChar)));
}

bool findContentLength(const QvString& headers, int32_t& length)
{
    const std::u16string_view digits = firstValueAfter(headers.view(), u"Content-Length: ", isDigit);
    if (digits.empty()) {
        return false;
    }
    int64_t value = 0;
    for (const char16_t digit : digits) {
        value = value * 10 + (digit - u'0');
        if (value > INT32_MAX) {
            value = INT32_MAX;
            break;
        }
    }
    length = static_cast<int32_t>(value);
    return true;
}

int parseStatusCode(const std::string& rawHeaders)
{
    // "HTTP/1.1 200 OK": three digits after the first blank.
    const size_t space = rawHeaders.find(' ');
    if (rawHeaders.compare(0, 5, "HTTP/") != 0 || space == std::string::npos || space + 3 >= rawHeaders.size()) {
        return 0;
    }
    int code = 0;
    for (size_t at = space + 1; at < space + 4; ++at) {
        if (!isDigit(rawHeaders[at])) {
            return 0;
        }
        code = code * 10 + (rawHeaders[at] - '0');
    }
    return code;
}

bool findContentLength64(const std::string& rawHeaders, uint64_t& length)
{
    for (const std::string& line : splitHeaderLines(rawHeaders)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || qvplat::toLowerAscii(trimBlanks(line.substr(0, colon))) != "content-length") {
            continue;
        }
        const std::string digits = trimBlanks(line.substr(colon + 1));
        uint64_t value = 0;
        for (const char digit : digits) {
            if (!isDigit(digit) || value > (UINT64_MAX - 9) / 10) {
                return false;
            }
            value = value * 10 + uint64_t(digit - '0');
        }
        length = value;
        return !digits.empty();
    }
    return false;
}

bool containsIgnoringCase(const QvString& text, const char16_t* needle)
{
    return qvplat::findIgnoreAsciiCase(text.view(), std::u16string_view(needle)) != std::u16string_view::npos;
}

std::vector<std::string> splitHeaderLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!trimBlanks(line).empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

void coalesceHeaders(HeaderList& headers, const std::string& text)
{
    for (const std::string& line : splitHeaderLines(text)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = trimBlanks(line.substr(0, colon));
        std::string value = trimBlanks(line.substr(colon + 1));
        if (name.empty()) {
            continue;
        }
        bool merged = false;
        for (auto& [present, presentValue] : headers) {
            if (qvplat::equalsIgnoreAsciiCase<char>(present, name)) {
                presentValue += "; ";
                presentValue += value;
                merged = true;
                break;
            }
        }
        if (!merged) {
            headers.emplace_back(std::move(name), std::move(value));
        }
    }
}

}  // namespace qvhttp
