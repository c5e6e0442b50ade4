#pragma once

#include <cstddef>
#include <vector>

// Growable contiguous sequence. No lock: users serialize access.
template <class T>
class QvArray {
public:
    using iterator = typename std::vector<T>::iterator;
    using const_iterator = typename std::vector<T>::const_iterator;

    QvArray() = default;
    QvArray(const QvArray&) = default;
    QvArray(QvArray&&) noexcept = default;
    QvArray& operator=(const QvArray&) = default;
    QvArray& operator=(QvArray&&) noexcept = default;
    virtual ~QvArray() = default;

    void add(const T& value) { m_items.push_back(value); }
    void add(T&& value) { m_items.push_back(std::move(value)); }
    void removeAt(int index) { m_items.erase(m_items.begin() + index); }
    void clear() { m_items.clear(); }
    int size() const { return static_cast<int>(m_items.size()); }
    int capacity() const { return static_cast<int>(m_items.capacity()); }
    bool isEmpty() const { return m_items.empty(); }
    T& operator[](int index) { return m_items[static_cast<std::size_t>(index)]; }
    const T& operator[](int index) const { return m_items[static_cast<std::size_t>(index)]; }
    T* data() { return m_items.data(); }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

private:
    std::vector<T> m_items;
};
