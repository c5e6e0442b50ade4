#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// ASCII-only case folding for protocol text (header names, verbs, charset names, file extensions):
// letters outside A-Z and a-z are left as they are, whatever the locale.
namespace qvplat {

template <typename Char>
constexpr Char toLowerAscii(Char c)
{
    return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
std::basic_string<Char> toLowerAscii(std::basic_string<Char> text)
{
    for (Char& c : text) {
        c = toLowerAscii(c);
    }
    return text;
}

template <typename Char>
constexpr bool equalsIgnoreAsciiCase(std::basic_string_view<Char> left, std::basic_string_view<Char> right)
{
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (toLowerAscii(left[i]) != toLowerAscii(right[i])) {
            return false;
        }
    }
    return true;
}

// The first position at or after from where needle stands in text, ignoring ASCII case; npos if none.
template <typename Char>
constexpr std::size_t findIgnoreAsciiCase(std::basic_string_view<Char> text, std::basic_string_view<Char> needle,
                                          std::size_t from = 0)
{
    for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
        if (equalsIgnoreAsciiCase(text.substr(at, needle.size()), needle)) {
            return at;
        }
    }
    return std::basic_string_view<Char>::npos;
}

}  // namespace qvplat
