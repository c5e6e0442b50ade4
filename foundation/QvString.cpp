#include "foundation/QvString.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "foundation/QvCodePage.h"

struct QvString::Header {
    std::atomic<int> refs;
    int length;
    int capacity;
};

namespace {

size_t textLength(const char16_t* text)
{
    if (text == nullptr) {
        return 0;
    }
    return std::char_traits<char16_t>::length(text);
}

// Allocates a buffer with one reference, room for capacity characters plus the NUL.
char16_t* allocate(int length, int capacity)
{
    // An allocation failure throws std::bad_alloc; the places that read outside input turn it into
    // an ordinary error.
    void* block = ::operator new(3 * sizeof(int) + sizeof(char16_t) * (static_cast<size_t>(capacity) + 1));
    auto* ints = static_cast<int*>(block);
    new (block) std::atomic<int>(1);
    ints[1] = length;
    ints[2] = capacity;
    auto* data = reinterpret_cast<char16_t*>(ints + 3);
    data[length] = u'\0';
    return data;
}

}  // namespace

int QvString::capacityFor(int length)
{
    const int64_t n = std::max(length, 0);
    const int64_t rule = (n / 4) * 256 + 32;
    // The NUL behind the last character must still be countable in an int.
    constexpr int64_t kLargest = std::numeric_limits<int>::max() - 1;
    return static_cast<int>(std::min({rule, n + kMaxSpareChars, std::max(n, kLargest)}));
}

QvString QvString::compact(std::u16string_view text)
{
    QvString s;
    const int length = static_cast<int>(text.size());
    s.m_data = allocate(length, length);
    if (length > 0) {
        std::memcpy(s.m_data, text.data(), sizeof(char16_t) * text.size());
    }
    return s;
}

QvString::Header* QvString::header() const
{
    return m_data ? reinterpret_cast<Header*>(reinterpret_cast<int*>(m_data) - 3) : nullptr;
}

QvString::QvString(const char16_t* text)
{
    assign(text, static_cast<int>(textLength(text)));
}

QvString::QvString(const char16_t* text, int length)
{
    assign(text, length);
}

QvString::QvString(const std::u16string& text)
{
    assign(text.data(), static_cast<int>(text.size()));
}

QvString::QvString(std::u16string_view text)
{
    assign(text.data(), static_cast<int>(text.size()));
}

QvString::QvString(const char* bytes, int length, unsigned codePage)
{
    const std::u16string wide = qvDecodeBytes(
        std::string_view(bytes ? bytes : "", bytes && length > 0 ? static_cast<size_t>(length) : 0), codePage);
    assign(wide.data(), static_cast<int>(wide.size()));
}

QvString::QvString(const QvString& other) noexcept : m_data(other.m_data)
{
    if (Header* h = header()) {
        h->refs.fetch_add(1, std::memory_order_relaxed);
    }
}

QvString::QvString(QvString&& other) noexcept : m_data(other.m_data)
{
    other.m_data = nullptr;
}

QvString::~QvString()
{
    release();
}

// Self-assignment shares the buffer, so the pointer test below covers it.
QvString& QvString::operator=(const QvString& other) noexcept  // NOLINT(bugprone-unhandled-self-assignment)
{
    if (m_data != other.m_data) {
        if (Header* h = other.header()) {
            h->refs.fetch_add(1, std::memory_order_relaxed);
        }
        release();
        m_data = other.m_data;
    }
    return *this;
}

QvString& QvString::operator=(QvString&& other) noexcept
{
    if (this != &other) {
        release();
        m_data = other.m_data;
        other.m_data = nullptr;
    }
    return *this;
}

QvString& QvString::operator=(const char16_t* text)
{
    assign(text, static_cast<int>(textLength(text)));
    return *this;
}

void QvString::release()
{
    if (Header* h = header()) {
        if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            h->refs.~atomic();
            ::operator delete(static_cast<void*>(h));
        }
    }
    m_data = nullptr;
}

void QvString::assign(const char16_t* text, int length)
{
    if (length < 0) {
        length = 0;
    }
    if (text == nullptr) {
        length = 0;
    }
    // The source may live inside our own buffer (s = s.mid(...)), so copy before releasing.
    Header* h = header();
    if (h && h->refs.load(std::memory_order_acquire) == 1 && length <= h->capacity) {
        if (length > 0) {
            std::memmove(m_data, text, sizeof(char16_t) * static_cast<size_t>(length));
        }
        h->length = length;
        m_data[length] = u'\0';
        return;
    }
    char16_t* fresh = allocate(length, capacityFor(length));
    if (length > 0) {
        std::memcpy(fresh, text, sizeof(char16_t) * static_cast<size_t>(length));
    }
    release();
    m_data = fresh;
}

void QvString::reserveUnique(int length)
{
    Header* h = header();
    if (h && h->refs.load(std::memory_order_acquire) == 1 && length <= h->capacity) {
        return;
    }
    const int keep = h ? h->length : 0;
    char16_t* fresh = allocate(keep, capacityFor(std::max(length, keep)));
    if (keep > 0) {
        std::memcpy(fresh, m_data, sizeof(char16_t) * static_cast<size_t>(keep));
    }
    release();
    m_data = fresh;
}

int QvString::length() const
{
    const Header* h = header();
    return h ? h->length : 0;
}

int QvString::capacity() const
{
    const Header* h = header();
    return h ? h->capacity : 0;
}

int QvString::refCount() const
{
    const Header* h = header();
    return h ? h->refs.load(std::memory_order_relaxed) : 0;
}

char16_t QvString::at(int index) const
{
    if (index < 0 || index >= length()) {
        return u'\0';
    }
    return m_data[index];
}

QvString QvString::fromUtf8(std::string_view bytes)
{
    QvString s;
    s.assign(qvDecodeBytes(bytes, kCodePageUtf8));
    return s;
}

std::string QvString::toUtf8() const
{
    return qvEncodeText(view(), kCodePageUtf8);
}

const char* QvString::toMultiByte(unsigned codePage, int* byteLength)
{
    const std::string bytes = qvEncodeText(view(), codePage);
    m_narrow = std::make_unique<char[]>(bytes.size() + 1);
    std::memcpy(m_narrow.get(), bytes.data(), bytes.size());
    m_narrow[bytes.size()] = '\0';
    m_narrowLength = static_cast<int>(bytes.size());
    if (byteLength) {
        *byteLength = m_narrowLength;
    }
    return m_narrow.get();
}

QvString& QvString::append(const char16_t* text)
{
    return append(text, static_cast<int>(textLength(text)));
}

QvString& QvString::append(const char16_t* text, int count)
{
    if (text == nullptr || count <= 0) {
        if (isNull()) {
            assign(u"", 0);
        }
        return *this;
    }
    const int old = length();
    // Appending a piece of ourselves: keep the source alive across a reallocation.
    const QvString keepAlive = (m_data && text >= m_data && text < m_data + old) ? *this : QvString();
    if (count > std::numeric_limits<int>::max() - 1 - old) {
        throw std::bad_alloc();  // a length an int cannot count
    }
    reserveUnique(old + count);
    std::memmove(m_data + old, text, sizeof(char16_t) * static_cast<size_t>(count));
    header()->length = old + count;
    m_data[old + count] = u'\0';
    return *this;
}

QvString& QvString::append(const QvString& text)
{
    // The copy survives a reallocation of *this when text is *this.
    const QvString copy(text);  // NOLINT(performance-unnecessary-copy-initialization)
    return append(copy.c_str(), copy.length());
}

QvString& QvString::append(char16_t ch)
{
    return append(&ch, 1);
}

bool QvString::operator==(const QvString& other) const
{
    if (isNull() || other.isNull()) {
        return false;
    }
    return view() == other.view();
}

bool QvString::operator==(const char16_t* other) const
{
    if (isNull() || other == nullptr) {
        return false;
    }
    return view() == std::u16string_view(other);
}

bool operator==(const char16_t* left, const QvString& right)
{
    return right == left;
}

bool QvString::operator<(const QvString& other) const
{
    return view() < other.view();
}

QvString QvString::mid(int start, int count) const
{
    const int len = length();
    start = std::clamp(start, 0, len);
    if (count < 0 || count > len - start) {
        count = len - start;
    }
    return QvString(c_str() + start, count);
}

int QvString::find(char16_t ch, int from) const
{
    const int len = length();
    for (int i = std::max(from, 0); i < len; ++i) {
        if (m_data[i] == ch) {
            return i;
        }
    }
    return -1;
}

int QvString::reverseFind(char16_t ch) const
{
    for (int i = length() - 1; i >= 0; --i) {
        if (m_data[i] == ch) {
            return i;
        }
    }
    return -1;
}

int QvString::find(const char16_t* sub, int from) const
{
    if (sub == nullptr || from < 0 || from > length()) {
        return -1;
    }
    const size_t pos = view().find(std::u16string_view(sub), static_cast<size_t>(from));
    return pos == std::u16string_view::npos ? -1 : static_cast<int>(pos);
}

int QvString::replace(const char16_t* from, const char16_t* to)
{
    const std::u16string_view needle(from ? from : u"");
    const std::u16string_view with(to ? to : u"");
    if (needle.empty() || isNull()) {
        return 0;
    }
    std::u16string result;
    const std::u16string_view text = view();
    int count = 0;
    size_t pos = 0;
    while (true) {
        const size_t hit = text.find(needle, pos);
        if (hit == std::u16string_view::npos) {
            break;
        }
        result.append(text.substr(pos, hit - pos));
        result.append(with);
        pos = hit + needle.size();
        ++count;
    }
    if (count > 0) {
        result.append(text.substr(pos));
        assign(result);
    }
    return count;
}

void QvString::clear()
{
    assign(u"", 0);
}
