#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

class QvString;

// One argument of the printf-style formatter. Arguments are captured by kind, so a
// mismatch between a conversion and an argument prints the argument sensibly instead of
// reading garbage off the stack.
struct QvFormatArg {
    enum class Kind { Signed, Unsigned, Double, Text, Narrow, Char, Pointer };
    Kind kind = Kind::Signed;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0.0;
    std::u16string_view text;
    std::string_view narrow;
    const void* ptr = nullptr;

    QvFormatArg(int v) : i(v) {}
    QvFormatArg(long v) : i(v) {}
    QvFormatArg(long long v) : i(v) {}
    QvFormatArg(short v) : i(v) {}
    QvFormatArg(signed char v) : i(v) {}
    QvFormatArg(unsigned v) : kind(Kind::Unsigned), u(v) {}
    QvFormatArg(unsigned long v) : kind(Kind::Unsigned), u(v) {}
    QvFormatArg(unsigned long long v) : kind(Kind::Unsigned), u(v) {}
    QvFormatArg(unsigned short v) : kind(Kind::Unsigned), u(v) {}
    QvFormatArg(unsigned char v) : kind(Kind::Unsigned), u(v) {}
    QvFormatArg(bool v) : i(v ? 1 : 0) {}
    QvFormatArg(double v) : kind(Kind::Double), d(v) {}
    QvFormatArg(float v) : kind(Kind::Double), d(v) {}
    QvFormatArg(char16_t c) : kind(Kind::Char), u(c) {}
    QvFormatArg(char c) : kind(Kind::Char), u(static_cast<unsigned char>(c)) {}
    QvFormatArg(const char16_t* s);
    QvFormatArg(char16_t* s) : QvFormatArg(static_cast<const char16_t*>(s)) {}
    QvFormatArg(const std::u16string& s) : kind(Kind::Text), text(s) {}
    QvFormatArg(std::u16string_view s) : kind(Kind::Text), text(s) {}
    QvFormatArg(const QvString& s);
    // Narrow text is taken as UTF-8.
    QvFormatArg(const char* s);
    QvFormatArg(const std::string& s) : kind(Kind::Narrow), narrow(s) {}
    QvFormatArg(const void* p) : kind(Kind::Pointer), ptr(p) {}
};

// Formats into a UTF-16 text of at most maxChars characters (longer output is cut).
// Conversions: %s %d %i %u %x %X %c %f %p %%, with flags "-+ 0#", width, precision and the
// length modifiers l, ll, h, I64 (accepted and ignored: every argument carries its own size).
std::u16string qvFormatArgs(size_t maxChars, const char16_t* fmt, const QvFormatArg* args, size_t count);

template <class... A>
std::u16string qvFormat(size_t maxChars, const char16_t* fmt, const A&... args)
{
    if constexpr (sizeof...(A) == 0) {
        return qvFormatArgs(maxChars, fmt, nullptr, 0);
    } else {
        const QvFormatArg list[] = {QvFormatArg(args)...};
        return qvFormatArgs(maxChars, fmt, list, sizeof...(A));
    }
}
