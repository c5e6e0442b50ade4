#pragma once

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/QvAutoCriticalLock.h"
#include "platform/Memory.h"

// Growable byte buffer that guards its own fields. Appends always keep one byte spare:
// when the free space is not larger than the data, the capacity doubles once and the copy
// is bounded by the new free space minus one byte.
template <class T>
class QvFlexBuffer {
    static_assert(sizeof(T) == 1, "QvFlexBuffer holds bytes");

public:
    // The initial block is zero-filled. Blocks come as whole pages from the system: zeroed
    // without a memset and resident only where written, so the 1 MiB receive buffer of an
    // idle connection costs next to nothing.
    explicit QvFlexBuffer(size_t initialCapacity)
        : m_data(static_cast<T*>(qvplat::allocatePages(std::max<size_t>(initialCapacity, 1)))),
          m_capacity(std::max<size_t>(initialCapacity, 1))
    {
        if (!m_data) {
            throw std::bad_alloc();
        }
    }
    virtual ~QvFlexBuffer() { qvplat::freePages(m_data, m_capacity); }
    QvFlexBuffer(const QvFlexBuffer&) = delete;
    QvFlexBuffer& operator=(const QvFlexBuffer&) = delete;

    // Returns the number of bytes actually appended.
    size_t append(const void* bytes, size_t n)
    {
        CQvAutoCriticalLock lock(&m_section);
        if (bytes == nullptr || n == 0) {
            return 0;
        }
        if (m_capacity - m_used <= n) {
            T* grown = static_cast<T*>(qvplat::allocatePages(m_capacity * 2));
            if (!grown) {
                throw std::bad_alloc();
            }
            std::memcpy(grown, m_data, m_used);
            qvplat::freePages(m_data, m_capacity);
            m_data = grown;
            m_capacity *= 2;
        }
        const size_t copy = std::min(n, m_capacity - m_used - 1);
        std::memcpy(m_data + m_used, bytes, copy);
        m_used += copy;
        return copy;
    }

    // Copies out the first n bytes (at most the count in use) and moves the rest forward.
    size_t take(void* out, size_t n)
    {
        CQvAutoCriticalLock lock(&m_section);
        const size_t count = std::min(n, m_used);
        if (out != nullptr && count > 0) {
            std::memcpy(out, m_data, count);
        }
        std::memmove(m_data, m_data + count, m_used - count);
        m_used -= count;
        return count;
    }

    // Copies the first n bytes (at most the count in use) without removing them.
    size_t peek(void* out, size_t n) const
    {
        CQvAutoCriticalLock lock(&m_section);
        const size_t count = std::min(n, m_used);
        if (out != nullptr && count > 0) {
            std::memcpy(out, m_data, count);
        }
        return count;
    }

    size_t size() const
    {
        CQvAutoCriticalLock lock(&m_section);
        return m_used;
    }
    size_t capacity() const
    {
        CQvAutoCriticalLock lock(&m_section);
        return m_capacity;
    }
    // For callers that must read the size and take the bytes as one step.
    QvCriticalSection* criticalSection() const { return &m_section; }

private:
    T* m_data;
    mutable QvCriticalSection m_section;
    size_t m_used = 0;
    size_t m_capacity;
};
