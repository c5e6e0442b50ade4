#include "platform/posix/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvplat::detail {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80..0x9F; the rest of the byte range is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (unit < 0x80) {
            // A run of ASCII is sized once and then copied: most text here (paths, headers) is
            // nothing else.
            std::size_t end = i + 1;
            while (end < text.size() && text[end] < 0x80) {
                ++end;
            }
            const std::size_t at = out.size();
            out.resize(at + (end - i));
            for (std::size_t k = i; k < end; ++k) {
                out[at + (k - i)] = static_cast<char>(text[k]);
            }
            i = end - 1;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

namespace {

// One multi-byte sequence as read: the code point, or a failure, and the offset reading stopped at.
struct Utf8Sequence {
    char32_t cp = 0;
    std::size_t next = 0;
    bool ok = false;
};

// Reads the sequence whose lead byte (>= 0x80) is at i. A bad sequence fails with next at the byte
// that broke it, so that it becomes one replacement for its valid prefix (the way browsers decode).
Utf8Sequence readSequence(const unsigned char* p, std::size_t n, std::size_t i)
{
    const unsigned char b = p[i];
    int extra = 0;
    char32_t cp = 0;
    // The second byte's range rules out overlong forms, surrogates and values above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2;
        cp = b & 0x0F;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3;
        cp = b & 0x07;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return Utf8Sequence{0, i + 1, false};
    }
    std::size_t j = i + 1;
    for (int k = 0; k < extra; ++k, ++j) {
        const unsigned char lo = k == 0 ? low : 0x80;
        const unsigned char hi = k == 0 ? high : 0xBF;
        if (j >= n || p[j] < lo || p[j] > hi) {
            return Utf8Sequence{0, j, false};
        }
        cp = (cp << 6) | (p[j] & 0x3F);
    }
    return Utf8Sequence{cp, j, true};
}

// Writes cp (at most U+10FFFF) as one or two UTF-16 units and returns the position behind them.
char16_t* writeUtf16(char16_t* w, char32_t cp)
{
    if (cp < 0x10000) {
        *w++ = static_cast<char16_t>(cp);
        return w;
    }
    cp -= 0x10000;
    *w++ = static_cast<char16_t>(0xD800 + (cp >> 10));
    *w++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return w;
}

// Decodes into out (when given; room for bytes.size() units, which always suffices) and returns
// the number of units written, or -1 for invalid input when there is no out.
std::ptrdiff_t decodeUtf8(std::string_view bytes, char16_t* out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    char16_t* w = out;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            if (out) {
                *w++ = static_cast<char16_t>(b);
            }
            ++i;
            continue;
        }
        const Utf8Sequence sequence = readSequence(p, n, i);
        i = sequence.next;
        if (!sequence.ok) {
            if (!out) {
                return -1;
            }
            *w++ = static_cast<char16_t>(kReplacement);
        } else if (out) {
            w = writeUtf16(w, sequence.cp);
        }
    }
    return w - out;
}

}  // namespace

std::u16string fromUtf8(std::string_view bytes)
{
    std::u16string out(bytes.size(), u'\0');
    out.resize(static_cast<std::size_t>(decodeUtf8(bytes, out.data())));
    return out;
}

bool isValidUtf8(std::string_view bytes)
{
    // A settings file runs to tens of megabytes of nearly pure ASCII: skip it a block at a time and
    // check the rest from the block where something else begins.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (std::uint64_t words[4]; i + sizeof words <= bytes.size(); i += sizeof words) {
        std::memcpy(words, bytes.data() + i, sizeof words);
        if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) {
            break;
        }
    }
    return decodeUtf8(bytes.substr(i), nullptr) >= 0;
}

bool holdsUtf8MultiByte(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = p[i];
        int extra = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            continue;
        }
        bool ok = i + static_cast<std::size_t>(extra) < n;
        for (int k = 0; ok && k < extra; ++k) {
            const unsigned char c = p[i + 1 + static_cast<std::size_t>(k)];
            ok = c >= (k == 0 ? low : 0x80) && c <= (k == 0 ? high : 0xBF);
        }
        if (ok) {
            return true;
        }
    }
    return false;
}

std::u16string fromWindows1252(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
    }
    return out;
}

std::string toWindows1252(std::u16string_view text, bool* lossless)
{
    std::string out;
    out.reserve(text.size());
    for (const char16_t ch : text) {
        if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) {
            out += static_cast<char>(ch);
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k) {
            if (kCp1252High[k] == ch) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        }
        if (mapped == '?' && lossless) {
            *lossless = false;
        }
        out += mapped;
    }
    return out;
}

}  // namespace qvplat::detail
