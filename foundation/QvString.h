#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/QvFormat.h"

namespace qvplat {
struct SystemTime;
}

constexpr unsigned kCodePageAnsi = 0;      // CP_ACP: Windows-1252 here
constexpr unsigned kCodePageUtf8 = 65001;  // CP_UTF8
constexpr size_t kMaxFormatChars = 4096;   // the longest text format() produces

// Reference-counted UTF-16 string with copy on write. Copies share one buffer whose
// reference count changes atomically, so copies may travel between threads; a single
// QvString object is not safe for concurrent modification.
//
// A default-constructed string is null: it reads as empty, but equality with anything
// (even "") is false and inequality is true. Assigning any text makes it non-null.
class QvString {
public:
    QvString() = default;
    QvString(const char16_t* text);
    QvString(const char16_t* text, int length);
    QvString(const std::u16string& text);
    QvString(std::u16string_view text);
    // Decodes bytes in a code page: kCodePageUtf8 or kCodePageAnsi (Windows-1252).
    QvString(const char* bytes, int length, unsigned codePage);
    QvString(const QvString& other) noexcept;
    QvString(QvString&& other) noexcept;
    ~QvString();

    QvString& operator=(const QvString& other) noexcept;
    QvString& operator=(QvString&& other) noexcept;
    QvString& operator=(const char16_t* text);

    static QvString fromUtf8(std::string_view bytes);
    // A string whose buffer holds just the text, for values kept in bulk and rarely grown (the
    // settings' values, stored definitions): the capacity rule would reserve 64 times their size.
    // A later modification that does not fit allocates by the rule.
    static QvString compact(std::u16string_view text);
    std::string toUtf8() const;
    // Encodes into the string's own cache; the pointer stays valid until the next
    // conversion or the string's destruction. byteLength excludes the terminating NUL.
    const char* toMultiByte(unsigned codePage, int* byteLength = nullptr);

    bool isNull() const { return m_data == nullptr; }
    bool isEmpty() const { return length() == 0; }
    int length() const;
    int capacity() const;
    int refCount() const;
    const char16_t* c_str() const { return m_data ? m_data : u""; }
    char16_t at(int index) const;
    std::u16string toStd() const { return std::u16string(c_str(), static_cast<size_t>(length())); }
    std::u16string_view view() const { return std::u16string_view(c_str(), static_cast<size_t>(length())); }

    QvString& append(const char16_t* text);
    QvString& append(const char16_t* text, int length);
    QvString& append(const QvString& text);
    QvString& append(char16_t ch);
    QvString& operator+=(const QvString& text) { return append(text); }
    QvString& operator+=(const char16_t* text) { return append(text); }
    QvString& operator+=(char16_t ch) { return append(ch); }

    // Replaces the content by the formatted text (at most kMaxFormatChars characters).
    template <class... A>
    QvString& format(const char16_t* fmt, const A&... args)
    {
        assign(qvFormat(kMaxFormatChars, fmt, args...));
        return *this;
    }
    template <class... A>
    static QvString formatted(const char16_t* fmt, const A&... args)
    {
        QvString s;
        s.format(fmt, args...);
        return s;
    }

    bool operator==(const QvString& other) const;
    bool operator==(const char16_t* other) const;
    bool operator!=(const QvString& other) const { return !(*this == other); }
    bool operator!=(const char16_t* other) const { return !(*this == other); }
    // Plain code-unit order; a null string orders like the empty one.
    bool operator<(const QvString& other) const;

    QvString mid(int start, int count = -1) const;
    int find(char16_t ch, int from = 0) const;
    int reverseFind(char16_t ch) const;
    int find(const char16_t* sub, int from = 0) const;
    // Replaces every occurrence, scanning on behind each inserted text; returns the count.
    int replace(const char16_t* from, const char16_t* to);
    // Makes the string empty but not null.
    void clear();

    // Random text of length characters from the alphabet of mode 0, 1 or 2.
    void makeRandomString(int mode, int length);
    // The template with its date tokens replaced from the present local time;
    // language 1 is English, any other value Korean.
    void formatLocalTime(const char16_t* tmpl, int language);
    void formatTime(const char16_t* tmpl, int language, const qvplat::SystemTime& time);

    // Allocation size for a buffer of n characters: (n / 4) * 256 + 32, computed in 64 bits, with
    // the spare room beyond n limited to kMaxSpareChars so that a very long text (a file read into
    // a string) does not reserve 64 times its size.
    static int capacityFor(int length);
    static constexpr int64_t kMaxSpareChars = int64_t(1) << 24;

private:
    struct Header;
    Header* header() const;
    void assign(const char16_t* text, int length);
    void assign(const std::u16string& text) { assign(text.data(), static_cast<int>(text.size())); }
    // Makes the buffer private and able to hold length characters, keeping the content.
    void reserveUnique(int length);
    void release();

    char16_t* m_data = nullptr;
    std::unique_ptr<char[]> m_narrow;
    int m_narrowLength = 0;
};

bool operator==(const char16_t* left, const QvString& right);
