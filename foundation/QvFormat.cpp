#include "foundation/QvFormat.h"

#include <cstdio>
#include <cstring>

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

}  // namespace

std::u16string qvFormatArgs(size_t maxChars, const char16_t* fmt, const QvFormatArg* args, size_t count)
{
    std::u16string out;
    if (fmt == nullptr) {
        return out;
    }
    size_t next = 0;
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
        Conversion s;
        for (;; ++p) {
            if (*p == u'-')
                s.left = true;
            else if (*p == u'+')
                s.plus = true;
            else if (*p == u' ')
                s.space = true;
            else if (*p == u'0')
                s.zero = true;
            else if (*p == u'#')
                s.alt = true;
            else
                break;
        }
        auto readNumber = [&]() {
            int v = 0;
            if (*p == u'*') {
                ++p;
                if (next < count) {
                    const QvFormatArg& a = args[next++];
                    v = a.kind == QvFormatArg::Kind::Unsigned ? static_cast<int>(a.u) : static_cast<int>(a.i);
                }
                return v;
            }
            while (*p >= u'0' && *p <= u'9') {
                v = v * 10 + (*p++ - u'0');
                if (v > 4096)
                    v = 4096;  // no field is ever wider than a whole result
            }
            return v;
        };
        if ((*p >= u'0' && *p <= u'9') || *p == u'*') {
            s.width = readNumber();
        }
        if (*p == u'.') {
            ++p;
            s.precision = readNumber();
        }
        // Length modifiers carry no information: each argument knows its own size.
        while (*p == u'l' || *p == u'h' || *p == u'z' || *p == u'j' || *p == u't' || *p == u'L') {
            ++p;
        }
        if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            p += 3;
        }
        s.conv = *p;
        if (s.conv == 0) {
            out.append(start, p);  // an unfinished conversion is kept as text
            break;
        }
        ++p;
        if (next >= count) {
            continue;  // a missing argument prints nothing
        }
        const QvFormatArg& a = args[next++];
        switch (s.conv) {
            case u's':
            case u'S': {
                std::u16string text = argText(a);
                if (s.precision >= 0 && text.size() > static_cast<size_t>(s.precision)) {
                    text.resize(static_cast<size_t>(s.precision));
                }
                out += pad(std::move(text), s);
                break;
            }
            case u'c':
            case u'C':
                out +=
                    pad(a.kind == QvFormatArg::Kind::Text || a.kind == QvFormatArg::Kind::Narrow
                            ? argText(a).substr(0, 1)
                            : std::u16string(1, static_cast<char16_t>(a.kind == QvFormatArg::Kind::Signed ? a.i : a.u)),
                        s);
                break;
            case u'd':
            case u'i':
            case u'u':
            case u'x':
            case u'X':
            case u'f':
            case u'e':
            case u'g':
                if (a.kind == QvFormatArg::Kind::Text || a.kind == QvFormatArg::Kind::Narrow) {
                    out += pad(argText(a), s);
                } else {
                    out += number(s, a);
                }
                break;
            case u'p':
                out += pad(argText(a), s);
                break;
            default:
                out.append(start, p);
                break;
        }
    }
    if (out.size() > maxChars) {
        out.resize(maxChars);
    }
    return out;
}
