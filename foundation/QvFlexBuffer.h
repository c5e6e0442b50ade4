#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "foundation/QvAutoCriticalLock.h"
#include "platform/Memory.h"

namespace qvflex {

// Blocks of freed buffers kept for the next buffer of the same size, so that a buffer per
// connection costs no mapping and unmapping of pages (each unmapping stops every core's address
// translation) while connections come and go. Bounded: beyond it, blocks go back to the system.
class BlockCache {
public:
    static constexpr size_t kMaxBlocks = 64;
    static constexpr size_t kMaxBlockBytes = size_t{1} << 20;  // larger blocks are rare: not kept

    static void* take(size_t bytes)
    {
        {
            std::lock_guard lock(mutex());
            auto& list = blocks();
            for (auto it = list.rbegin(); it != list.rend(); ++it) {
                if (it->second == bytes) {
                    void* block = it->first;
                    list.erase(std::next(it).base());
                    return block;
                }
            }
        }
        return qvplat::allocatePages(bytes);
    }

    static void give(void* block, size_t bytes)
    {
        if (block == nullptr) {
            return;
        }
        if (bytes <= kMaxBlockBytes) {
            std::lock_guard lock(mutex());
            if (blocks().size() < kMaxBlocks) {
                try {
                    blocks().emplace_back(block, bytes);
                    return;
                } catch (const std::bad_alloc&) {
                    // No memory to keep it (give runs in destructors): the block goes back instead.
                }
            }
        }
        qvplat::freePages(block, bytes);
    }

private:
    // Never destroyed: a thread still running at exit (a timer's, say) may give a block back
    // after static destructors have run.
    static std::mutex& mutex()
    {
        static auto* const s_mutex = new std::mutex;
        return *s_mutex;
    }
    static std::vector<std::pair<void*, size_t>>& blocks()
    {
        static auto* const s_blocks = new std::vector<std::pair<void*, size_t>>;
        return *s_blocks;
    }
};

}  // namespace qvflex

// Growable byte buffer that guards its own fields. Appends always keep one byte spare:
// when the free space is not larger than the data, the capacity doubles once and the copy
// is bounded by the new free space minus one byte.
template <class T>
class QvFlexBuffer {
    static_assert(sizeof(T) == 1, "QvFlexBuffer holds bytes");

public:
    // The block is taken when the first bytes arrive and given back whenever the buffer is empty
    // again: an idle buffer holds no memory, not even address space. Blocks are whole pages,
    // resident only where written, and come from the block cache when one of the size is free.
    // Bytes beyond the count in use are never read, so a reused block needs no clearing.
    explicit QvFlexBuffer(size_t initialCapacity) : m_capacity(std::max<size_t>(initialCapacity, 1)) {}
    virtual ~QvFlexBuffer() { qvflex::BlockCache::give(m_data, m_capacity); }
    QvFlexBuffer(const QvFlexBuffer&) = delete;
    QvFlexBuffer& operator=(const QvFlexBuffer&) = delete;

    // Returns the number of bytes actually appended.
    size_t append(const void* bytes, size_t n)
    {
        CQvAutoCriticalLock lock(&m_section);
        if (bytes == nullptr || n == 0) {
            return 0;
        }
        if (!m_data) {
            m_data = static_cast<T*>(qvflex::BlockCache::take(m_capacity));
            if (!m_data) {
                throw std::bad_alloc();
            }
        }
        if (m_capacity - m_used <= n) {
            T* grown = static_cast<T*>(qvflex::BlockCache::take(m_capacity * 2));
            if (!grown) {
                throw std::bad_alloc();
            }
            std::memcpy(grown, m_data, m_used);
            qvflex::BlockCache::give(m_data, m_capacity);
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
        if (count == m_used) {
            m_used = 0;
            qvflex::BlockCache::give(m_data, m_capacity);
            m_data = nullptr;
            return count;
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
    T* m_data = nullptr;
    mutable QvCriticalSection m_section;
    size_t m_used = 0;
    size_t m_capacity;
};
