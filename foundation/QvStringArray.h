#pragma once

#include <vector>

#include "foundation/QvString.h"

// Ordered sequence of strings with the system's split and join rules.
class QvStringArray {
public:
    using iterator = std::vector<QvString>::iterator;
    using const_iterator = std::vector<QvString>::const_iterator;
    static constexpr int kNoLimit = 2147483647;

    QvStringArray() = default;
    QvStringArray(const QvStringArray&) = default;
    QvStringArray(QvStringArray&&) noexcept = default;
    QvStringArray& operator=(const QvStringArray&) = default;
    QvStringArray& operator=(QvStringArray&&) noexcept = default;
    virtual ~QvStringArray() = default;

    void add(const QvString& text) { m_items.push_back(text); }
    template <class... A>
    void addFormat(const char16_t* fmt, const A&... args)
    {
        m_items.push_back(QvString::formatted(fmt, args...));
    }

    // Clears the array, then adds the text before each separator (adjacent separators give
    // an empty element) and the text after the last one when it is not empty. After
    // maxPieces - 1 pieces the rest of the text becomes the last element. Returns the count.
    int split(const QvString& text, const QvString& separator, int maxPieces = kNoLimit);
    // Separator between elements, never after the last, and never while the result so far
    // is still empty (leading empty elements add nothing).
    QvString join(const QvString& separator) const;

    int size() const { return static_cast<int>(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }
    void clear() { m_items.clear(); }
    QvString& operator[](int index) { return m_items[static_cast<size_t>(index)]; }
    const QvString& operator[](int index) const { return m_items[static_cast<size_t>(index)]; }
    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

private:
    std::vector<QvString> m_items;
};
