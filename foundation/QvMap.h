#pragma once

#include <map>
#include <stdexcept>

// Ordered map with unique keys, iterated in key order. No lock: users serialize access.
template <class K, class V>
class QvMap {
public:
    using Storage = std::map<K, V>;
    using iterator = typename Storage::iterator;
    using const_iterator = typename Storage::const_iterator;

    QvMap() = default;
    QvMap(const QvMap&) = default;
    QvMap(QvMap&&) noexcept = default;
    QvMap& operator=(const QvMap&) = default;
    QvMap& operator=(QvMap&&) noexcept = default;
    virtual ~QvMap() = default;

    V* find(const K& key)
    {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : &it->second;
    }
    const V* find(const K& key) const
    {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : &it->second;
    }
    bool contains(const K& key) const { return m_items.find(key) != m_items.end(); }

    // Inserts, or replaces the value of a present key.
    void set(const K& key, const V& value)
    {
        auto it = m_items.find(key);
        if (it != m_items.end()) {
            it->second = value;
            return;
        }
        checkRoom();
        m_items.emplace(key, value);
    }
    V& operator[](const K& key)
    {
        auto it = m_items.find(key);
        if (it != m_items.end()) {
            return it->second;
        }
        checkRoom();
        return m_items[key];
    }
    bool erase(const K& key) { return m_items.erase(key) > 0; }
    iterator erase(const_iterator it) { return m_items.erase(it); }
    void clear() { m_items.clear(); }

    int size() const { return static_cast<int>(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    bool operator==(const QvMap& other) const { return m_items == other.m_items; }

private:
    void checkRoom() const
    {
        if (m_items.size() >= m_items.max_size()) {
            throw std::length_error("map/set<T> too long");
        }
    }

    Storage m_items;
};
