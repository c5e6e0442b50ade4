#include "foundation/QvFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "foundation/QvCodePage.h"
#include "foundation/QvString.h"

QvFormatArg::QvFormatArg(const char16_t* s)
    : kind(Kind::Text), text(s ? std::u16string_view(s) : std::u16string_view(u"(null)"))
{
}

QvFormatArg::QvFormatArg(const QvString& s) : kind(Kind::Text), text(s.view()) {}

QvFormatArg::QvFormatArg(const char* s)
    : kind(Kind::Narrow), narrow(s ? std::string_view(s) : std::string_view("(null)"))
{
}

namespace {

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alt = false;
    int width = -1;
    int precision = -1;
    char16_t conv = 0;
};

std::u16string widen(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string argText(const QvFormatArg& a)
{
    switch (a.kind) {
        case QvFormatArg::Kind::Text:
            return std::u16string(a.text);
        case QvFormatArg::Kind::Narrow:
            return qvDecodeBytes(a.narrow, kCodePageUtf8);
        case QvFormatArg::Kind::Signed:
            return widen(std::to_string(a.i));
        case QvFormatArg::Kind::Unsigned:
            return widen(std::to_string(a.u));
        case QvFormatArg::Kind::Double:
            return widen(std::to_string(a.d));
        case QvFormatArg::Kind::Char:
            return std::u16string(1, static_cast<char16_t>(a.u));
        case QvFormatArg::Kind::Pointer: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%p", a.ptr);
            return widen(buf);
        }
    }
    return {};
}

// Renders numbers through snprintf with a narrow pattern rebuilt from the parsed one.
std::u16string number(const Conversion& s, const QvFormatArg& a)
{
    std::string pattern = "%";
    if (s.left)
        pattern += '-';
    if (s.plus)
        pattern += '+';
    if (s.space)
        pattern += ' ';
    if (s.zero)
        pattern += '0';
    if (s.alt)
        pattern += '#';
    if (s.width >= 0)
        pattern += std::to_string(s.width);
    if (s.precision >= 0)
        pattern += "." + std::to_string(s.precision);
    char buf[512];
    switch (s.conv) {
        case u'd':
        case u'i': {
            long long v = a.kind == QvFormatArg::Kind::Unsigned || a.kind == QvFormatArg::Kind::Char
                              ? static_cast<long long>(a.u)
                          : a.kind == QvFormatArg::Kind::Double ? static_cast<long long>(a.d)
                                                                : a.i;
            std::snprintf(buf, sizeof buf, (pattern + "lld").c_str(), v);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned long long v = a.kind == QvFormatArg::Kind::Signed
                                       ? static_cast<unsigned long long>(static_cast<uint32_t>(a.i))
                                   : a.kind == QvFormatArg::Kind::Double ? static_cast<unsigned long long>(a.d)
                                                                         : a.u;
            if (a.kind == QvFormatArg::Kind::Signed && (a.i > 0xFFFFFFFFLL || a.i < -0x80000000LL)) {
                v = static_cast<unsigned long long>(a.i);
            }
            std::snprintf(buf, sizeof buf, (pattern + "ll" + static_cast<char>(s.conv)).c_str(), v);
            break;
        }
        default: {  // f, e, g
            double v = a.kind == QvFormatArg::Kind::Double     ? a.d
                       : a.kind == QvFormatArg::Kind::Unsigned ? static_cast<double>(a.u)
                                                               : static_cast<double>(a.i);
            std::snprintf(buf, sizeof buf, (pattern + static_cast<char>(s.conv)).c_str(), v);
            break;
        }
    }
    return widen(buf);
}

std::u16string pad(std::u16string text, const Conversion& s)
{
    if (s.width > 0 && text.size() < static_cast<size_t>(s.width)) {
        const std::u16string fill(static_cast<size_t>(s.width) - text.size(), u' ');
        text = s.left ? text + fill : fill + text;
    }
    return text;
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

bool isTextArg(const QvFormatArg& a)
{
    return a.kind == QvFormatArg::Kind::Text || a.kind == QvFormatArg::Kind::Narrow;
}

// The arguments in the order the conversions consume them; a "*" width takes one too.
class ArgCursor {
public:
    ArgCursor(const QvFormatArg* args, size_t count) : m_args(args), m_count(count) {}

    // nullptr once the list is used up.
    const QvFormatArg* take() { return m_next < m_count ? &m_args[m_next++] : nullptr; }

private:
    const QvFormatArg* m_args;
    size_t m_count;
    size_t m_next = 0;
};

constexpr int kMaxField = 4096;  // no field is ever wider than a whole result

void parseFlags(const char16_t*& p, Conversion& s)
{
    for (;; ++p) {
        switch (*p) {
            case u'-':
                s.left = true;
                break;
            case u'+':
                s.plus = true;
                break;
            case u' ':
                s.space = true;
                break;
            case u'0':
                s.zero = true;
                break;
            case u'#':
                s.alt = true;
                break;
            default:
                return;
        }
    }
}

// A width or precision: digits, or "*" for the next argument (0 when none is left).
int readNumber(const char16_t*& p, ArgCursor& args)
{
    if (*p == u'*') {
        ++p;
        const QvFormatArg* a = args.take();
        if (a == nullptr) {
            return 0;
        }
        return a->kind == QvFormatArg::Kind::Unsigned ? static_cast<int>(a->u) : static_cast<int>(a->i);
    }
    int v = 0;
    while (isDigit(*p)) {
        v = std::min(v * 10 + (*p++ - u'0'), kMaxField);
    }
    return v;
}

// Reads what follows a "%" up to the conversion character, which it leaves at p (0 at the end
// of an unfinished conversion).
Conversion parseConversion(const char16_t*& p, ArgCursor& args)
{
    Conversion s;
    parseFlags(p, s);
    if (isDigit(*p) || *p == u'*') {
        s.width = readNumber(p, args);
    }
    if (*p == u'.') {
        ++p;
        s.precision = readNumber(p, args);
    }
    // Length modifiers carry no information: each argument knows its own size.
    while (*p == u'l' || *p == u'h' || *p == u'z' || *p == u'j' || *p == u't' || *p == u'L') {
        ++p;
    }
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
        p += 3;
    }
    s.conv = *p;
    return s;
}

std::u16string renderText(const Conversion& s, const QvFormatArg& a)
{
    std::u16string text = argText(a);
    if (s.precision >= 0 && text.size() > static_cast<size_t>(s.precision)) {
        text.resize(static_cast<size_t>(s.precision));
    }
    return pad(std::move(text), s);
}

std::u16string renderChar(const Conversion& s, const QvFormatArg& a)
{
    if (isTextArg(a)) {
        return pad(argText(a).substr(0, 1), s);
    }
    return pad(std::u16string(1, static_cast<char16_t>(a.kind == QvFormatArg::Kind::Signed ? a.i : a.u)), s);
}

// nullopt for a conversion character the formatter does not know: the caller keeps its text.
std::optional<std::u16string> render(const Conversion& s, const QvFormatArg& a)
{
    switch (s.conv) {
        case u's':
        case u'S':
            return renderText(s, a);
        case u'c':
        case u'C':
            return renderChar(s, a);
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
        case u'f':
        case u'e':
        case u'g':
            return isTextArg(a) ? pad(argText(a), s) : number(s, a);
        case u'p':
            return pad(argText(a), s);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::u16string qvFormatArgs(size_t maxChars, const char16_t* fmt, const QvFormatArg* args, size_t count)
{
    std::u16string out;
    if (fmt == nullptr) {
        return out;
    }
    ArgCursor argsLeft(args, count);
    const char16_t* p = fmt;
    while (*p != 0 && out.size() < maxChars) {
        if (*p != u'%') {
            out.push_back(*p++);
            continue;
        }
        const char16_t* start = p++;
        if (*p == u'%') {
            out.push_back(u'%');
            ++p;
            continue;
        }
        const Conversion s = parseConversion(p, argsLeft);
        if (s.conv == 0) {
            out.append(start, p);  // an unfinished conversion is kept as text
            break;
        }
        ++p;
        const QvFormatArg* a = argsLeft.take();
        if (a == nullptr) {
            continue;  // a missing argument prints nothing
        }
        if (const std::optional<std::u16string> text = render(s, *a)) {
            out += *text;
        } else {
            out.append(start, p);
        }
    }
    if (out.size() > maxChars) {
        out.resize(maxChars);
    }
    return out;
}
