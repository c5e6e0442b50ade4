#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qvplat {

// Owns the process-wide services (INI settings, registry, managers, timers): each is made on first use
// and all are destroyed newest first, so a service outlives every service made after it. A service
// whose destructor uses another one therefore uses it while it is made. Any thread; a service's
// making and its destructor may use other services of the same context.
class ServiceContext {
public:
    ServiceContext();
    ~ServiceContext();  // clear()
    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    // The service of type T. On first use make() returns a new T, owned by the context from then
    // on; concurrent first uses make it once, while other types can be made meanwhile.
    template <class T, class Make>
    T* get(Make make)
    {
        if (void* found = lookup<T>()) {
            return static_cast<T*>(found);
        }
        Slot& slot = slotOf(typeid(T));
        std::lock_guard making(slot.making);
        if (void* found = lookup<T>()) {
            return static_cast<T*>(found);
        }
        std::unique_ptr<T> made(make());
        adopt(slot, made.get(), [](void* object) { delete static_cast<T*>(object); });
        return made.release();
    }

    // The service of type T, or null when there is none; makes nothing.
    template <class T>
    T* find() const
    {
        return static_cast<T*>(lookup<T>());
    }

    // Destroys the service of type T now, if there is one; a later get() makes a new one. While a
    // service's destructor runs, get() and find() still return it.
    template <class T>
    void release()
    {
        release(typeid(T));
    }

    // Destroys every service, newest first, and any that a destructor makes meanwhile. Never from a
    // timer callback: the timer service joins its threads when it ends. Settings stay.
    void clear();

    // A setting of the context (see ContextSetting): made on first use, kept until the context
    // itself ends, so services made after a clear() see it too.
    template <class T>
    T& setting()
    {
        std::unique_lock lock(m_mutex);
        std::shared_ptr<void>& held = m_settings[typeid(T)];
        if (held == nullptr) {
            held = std::make_shared<T>();
        }
        return *static_cast<T*>(held.get());
    }

    // The setting of type T, or null when none was made.
    template <class T>
    T* findSetting() const
    {
        std::shared_lock lock(m_mutex);
        const auto found = m_settings.find(typeid(T));
        return found == m_settings.end() ? nullptr : static_cast<T*>(found->second.get());
    }

    // The context the services' accessors use: the newest ScopedServiceContext's, else the
    // process's own, whose services end when the process ends normally (after main returns).
    static ServiceContext& current();

private:
    using Destroy = void (*)(void*);
    struct Slot {
        std::mutex making;                   // held while the service is made, so it is made once
        std::atomic<void*> object{nullptr};  // written under m_mutex, read without it
        Destroy destroy = nullptr;
        bool ending = false;  // its destructor runs
    };

    // The service of type T, or null. Accessors run many times per request, so each thread keeps
    // where T's slot lies in the context it last asked: slots never move or go while their context
    // lives, and no two contexts get one number, so a kept slot is found again without the lock.
    template <class T>
    void* lookup() const
    {
        struct Kept {
            std::uint64_t context = 0;
            Slot* slot = nullptr;
        };
        thread_local Kept t_kept;
        if (t_kept.context != m_number) {
            Slot* slot = findSlot(typeid(T));
            if (slot == nullptr) {
                return nullptr;
            }
            t_kept = {m_number, slot};
        }
        return t_kept.slot->object.load(std::memory_order_acquire);
    }

    Slot* findSlot(std::type_index type) const;
    Slot& slotOf(std::type_index type);
    void adopt(Slot& slot, void* object, Destroy destroy);
    void release(std::type_index type);
    void end(Slot& slot);

    const std::uint64_t m_number;  // this context's, never 0 and never given twice
    mutable std::shared_mutex m_mutex;
    std::unordered_map<std::type_index, std::unique_ptr<Slot>> m_slots;  // never erased: slots stay put
    std::vector<Slot*> m_order;                                          // living services, oldest first
    std::unordered_map<std::type_index, std::shared_ptr<void>> m_settings;
};

// A value that tests set (a fault to inject, a smaller limit) for the current context only, so a
// fresh context starts without it; T{} when none was set. Reading makes nothing. Tag names it.
template <class Tag, class T>
class ContextSetting {
public:
    static T get()
    {
        const Holder* holder = ServiceContext::current().findSetting<Holder>();
        if (holder == nullptr) {
            return T{};
        }
        std::lock_guard lock(holder->mutex);
        return holder->value;
    }

    static void set(T value)
    {
        Holder& holder = ServiceContext::current().setting<Holder>();
        std::lock_guard lock(holder.mutex);
        holder.value = std::move(value);
    }

private:
    struct Holder {
        mutable std::mutex mutex;
        T value{};
    };
};

// Makes a fresh, empty context current for its lifetime, then the one before it again; its services
// are destroyed first, while it is still current. Tests and fuzz harnesses start each case from one
// instead of releasing the singletons one by one. Not for use from several threads at once.
class ScopedServiceContext {
public:
    ScopedServiceContext();
    ~ScopedServiceContext();
    ScopedServiceContext(const ScopedServiceContext&) = delete;
    ScopedServiceContext& operator=(const ScopedServiceContext&) = delete;

    ServiceContext& context() { return m_context; }

private:
    ServiceContext m_context;
    ServiceContext* m_previous;
};

}  // namespace qvplat
