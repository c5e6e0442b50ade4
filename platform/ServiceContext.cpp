#include "platform/ServiceContext.h"

#include <algorithm>
#include <atomic>

namespace qvplat {
namespace {

std::atomic<ServiceContext*> s_current{nullptr};  // the newest scoped context; null: the process's
std::atomic<std::uint64_t> s_lastNumber{0};       // of the newest context

// Never destroyed, so that a call from a late static destructor still finds it (empty by then).
ServiceContext& processContext()
{
    static ServiceContext* const s_context = new ServiceContext;
    return *s_context;
}

// Ends the process context's services when the process ends normally.
struct ProcessContextEnd {
    ProcessContextEnd() { processContext(); }
    ~ProcessContextEnd() { processContext().clear(); }
};

}  // namespace

ServiceContext::ServiceContext() : m_number(s_lastNumber.fetch_add(1, std::memory_order_relaxed) + 1) {}

ServiceContext::~ServiceContext()
{
    clear();
}

void ServiceContext::clear()
{
    for (;;) {
        Slot* newest = nullptr;
        {
            std::unique_lock lock(m_mutex);
            const auto last = std::find_if(m_order.rbegin(), m_order.rend(), [](Slot* slot) { return !slot->ending; });
            if (last == m_order.rend()) {
                return;
            }
            newest = *last;
            newest->ending = true;
        }
        end(*newest);
    }
}

void ServiceContext::end(Slot& slot)
{
    // Outside the lock: the destructor may use older services, or make one (ended next). Until it
    // returns, other threads still find the service, as they did while it lived.
    slot.destroy(slot.object.load(std::memory_order_relaxed));
    std::unique_lock lock(m_mutex);
    slot.object.store(nullptr, std::memory_order_release);
    slot.ending = false;
    std::erase(m_order, &slot);
}

ServiceContext& ServiceContext::current()
{
    static const ProcessContextEnd s_end;
    ServiceContext* scoped = s_current.load(std::memory_order_acquire);
    return scoped != nullptr ? *scoped : processContext();
}

ServiceContext::Slot* ServiceContext::findSlot(std::type_index type) const
{
    std::shared_lock lock(m_mutex);
    const auto found = m_slots.find(type);
    return found == m_slots.end() ? nullptr : found->second.get();
}

ServiceContext::Slot& ServiceContext::slotOf(std::type_index type)
{
    std::unique_lock lock(m_mutex);
    std::unique_ptr<Slot>& slot = m_slots[type];
    if (slot == nullptr) {
        slot = std::make_unique<Slot>();
    }
    return *slot;
}

void ServiceContext::adopt(Slot& slot, void* object, Destroy destroy)
{
    std::unique_lock lock(m_mutex);
    m_order.reserve(m_order.size() + 1);  // may throw before the slot holds the object, never after
    slot.object.store(object, std::memory_order_release);
    slot.destroy = destroy;
    m_order.push_back(&slot);
}

void ServiceContext::release(std::type_index type)
{
    Slot* slot = nullptr;
    {
        std::unique_lock lock(m_mutex);
        const auto found = m_slots.find(type);
        if (found == m_slots.end() || found->second->object == nullptr || found->second->ending) {
            return;
        }
        slot = found->second.get();
        slot->ending = true;
    }
    end(*slot);
}

ScopedServiceContext::ScopedServiceContext() : m_previous(s_current.exchange(&m_context, std::memory_order_acq_rel)) {}

ScopedServiceContext::~ScopedServiceContext()
{
    m_context.clear();
    s_current.store(m_previous, std::memory_order_release);
}

}  // namespace qvplat
