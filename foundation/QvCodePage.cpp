#include "foundation/QvCodePage.h"

#include <cstdint>

#include "foundation/QvString.h"

namespace {

// Windows-1252 bytes 0x80..0x9F; the five undefined bytes map to the C1 controls as
// Windows' own converter does, so every byte decodes to something.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char16_t kReplacement = 0xFFFD;

void appendCodePoint(std::u16string& out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

std::u16string decodeUtf8(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra = 0;
        uint32_t cp = 0;
        uint32_t minimum = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1F;
            minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0F;
            minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07;
            minimum = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra); ++j) {
            if (i + j >= n || (p[i + j] & 0xC0) != 0x80) {
                break;
            }
            cp = (cp << 6) | (p[i + j] & 0x3F);
        }
        if (j <= static_cast<size_t>(extra) || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // One replacement for the lead byte and the continuation bytes read so far.
            out.push_back(kReplacement);
            i += j;
            continue;
        }
        appendCodePoint(out, cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string encodeUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string decodeCp1252(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
    }
    return out;
}

std::string encodeCp1252(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char16_t ch : text) {
        if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) {
            out.push_back(static_cast<char>(ch));
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k) {
            if (kCp1252High[k] == ch) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        }
        out.push_back(mapped);
    }
    return out;
}

}  // namespace

std::u16string qvDecodeBytes(std::string_view bytes, unsigned codePage)
{
    return codePage == kCodePageUtf8 ? decodeUtf8(bytes) : decodeCp1252(bytes);
}

std::string qvEncodeText(std::u16string_view text, unsigned codePage)
{
    return codePage == kCodePageUtf8 ? encodeUtf8(text) : encodeCp1252(text);
}
