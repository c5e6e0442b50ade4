#pragma once

#include <list>

// Doubly linked list, first in first out when used with pushBack/popFront.
template <class T>
class QvList {
public:
    using iterator = typename std::list<T>::iterator;
    using const_iterator = typename std::list<T>::const_iterator;

    QvList() = default;
    QvList(const QvList&) = default;
    QvList(QvList&&) noexcept = default;
    QvList& operator=(const QvList&) = default;
    QvList& operator=(QvList&&) noexcept = default;
    virtual ~QvList() = default;

    void pushBack(const T& value) { m_items.push_back(value); }
    void pushFront(const T& value) { m_items.push_front(value); }
    // Takes the first element; false when the list is empty.
    bool popFront(T& out)
    {
        if (m_items.empty()) {
            return false;
        }
        out = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }
    T& front() { return m_items.front(); }
    void remove(const T& value) { m_items.remove(value); }
    void clear() { m_items.clear(); }
    int size() const { return static_cast<int>(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

private:
    std::list<T> m_items;
};
