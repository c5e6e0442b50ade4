#pragma once

#include <map>
#include <memory>
#include <stdexcept>

// Ordered map with unique keys, iterated in key order. Copies share one tree until one of them
// is changed (copy on write): thousands of server definitions carry the same content-type table
// at the cost of one. Every non-const access makes the tree private first, so iterators and
// pointers obtained from a non-const map stay valid until that map is copied. No lock: users
// serialize access to one map; copies may live on other threads.
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
        if (!contains(key)) {
            return nullptr;
        }
        return &own().find(key)->second;
    }
    const V* find(const K& key) const
    {
        const Storage& items = view();
        auto it = items.find(key);
        return it == items.end() ? nullptr : &it->second;
    }
    bool contains(const K& key) const { return view().find(key) != view().end(); }

    // Inserts, or replaces the value of a present key.
    void set(const K& key, const V& value)
    {
        Storage& items = own();
        auto it = items.find(key);
        if (it != items.end()) {
            it->second = value;
            return;
        }
        checkRoom();
        items.emplace(key, value);
    }
    V& operator[](const K& key)
    {
        Storage& items = own();
        auto it = items.find(key);
        if (it != items.end()) {
            return it->second;
        }
        checkRoom();
        return items[key];
    }
    bool erase(const K& key) { return contains(key) && own().erase(key) > 0; }
    iterator erase(const_iterator it)
    {
        if (m_items.use_count() > 1) {
            const K key = it->first;  // the iterator points into the shared tree
            Storage& items = own();
            return items.erase(items.find(key));
        }
        return own().erase(it);
    }
    void clear() { m_items.reset(); }

    int size() const { return static_cast<int>(view().size()); }
    bool isEmpty() const { return view().empty(); }

    iterator begin() { return own().begin(); }
    iterator end() { return own().end(); }
    const_iterator begin() const { return view().begin(); }
    const_iterator end() const { return view().end(); }

    bool operator==(const QvMap& other) const { return m_items == other.m_items || view() == other.view(); }

private:
    static const Storage& emptyStorage()
    {
        static const Storage s_empty;
        return s_empty;
    }
    const Storage& view() const { return m_items ? *m_items : emptyStorage(); }
    Storage& own()
    {
        if (!m_items) {
            m_items = std::make_shared<Storage>();
        } else if (m_items.use_count() > 1) {
            m_items = std::make_shared<Storage>(*m_items);
        }
        return *m_items;
    }
    void checkRoom() const
    {
        if (view().size() >= view().max_size()) {
            throw std::length_error("map/set<T> too long");
        }
    }

    std::shared_ptr<Storage> m_items;
};
