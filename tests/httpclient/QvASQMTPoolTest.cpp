#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "HttpTestSupport.h"
#include "httpclient/QvASQMTPool.h"

namespace {

// Every job notes its start and end in a journal; jobs below 100 wait to be released in between.
class QvASQMTPoolTest : public ::testing::Test {
protected:
    struct Entry {
        bool start;
        int id;
        std::thread::id thread;
    };

    void SetUp() override
    {
        m_pool->start([this](void* item) { return run(*static_cast<int*>(item)); });
    }
    void TearDown() override
    {
        release(-1);
        m_pool.reset();
    }

    bool run(int id)
    {
        note(true, id);
        if (id < 100) {
            std::unique_lock lock(m_mutex);  // bounded, so a broken pool cannot hang the run
            m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                               [&] { return m_released.count(-1) > 0 || m_released.count(id) > 0; });
        }
        note(false, id);
        return true;
    }
    void note(bool start, int id)
    {
        std::lock_guard lock(m_mutex);
        m_entries.push_back({start, id, std::this_thread::get_id()});
        m_changed.notify_all();
    }
    // Lets a gated job end; -1 releases every one.
    void release(int id)
    {
        std::lock_guard lock(m_mutex);
        m_released.insert(id);
        m_changed.notify_all();
    }
    int* job(int id) { return &m_ids.emplace_back(id); }
    bool waitFor(bool start, size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
            return size_t(std::count_if(m_entries.begin(), m_entries.end(),
                                        [&](const Entry& e) { return e.start == start; })) >= count;
        });
    }
    std::vector<Entry> entries()
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    static long position(const std::vector<Entry>& entries, bool start, int id)
    {
        const auto at = std::find_if(entries.begin(), entries.end(),
                                     [&](const Entry& e) { return e.start == start && e.id == id; });
        return at == entries.end() ? -1 : long(at - entries.begin());
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    std::set<int> m_released;
    std::deque<int> m_ids;  // the items' storage; never moves
    std::unique_ptr<QvASQMTPool<int*>> m_pool = std::make_unique<QvASQMTPool<int*>>();
};

TEST_F(QvASQMTPoolTest, FourRunAtOnceAndQueuedItemsTakeFreedWorkersInQueueOrder)
{
    for (int id = 1; id <= 4; ++id) {
        m_pool->submit(job(id));
    }
    ASSERT_TRUE(waitFor(true, 4));
    for (int id = 100; id < 110; ++id) {
        m_pool->submit(job(id));
    }
    EXPECT_EQ(m_pool->pendingCount(), 10);
    release(2);
    ASSERT_TRUE(waitFor(false, 11));
    auto e = entries();
    // Only job 2's worker was free: the queued items run on that thread, in order.
    for (int id = 100; id < 110; ++id) {
        ASSERT_GE(position(e, true, id), 0) << id;
        EXPECT_EQ(e[size_t(position(e, true, id))].thread, e[size_t(position(e, false, 2))].thread);
        EXPECT_LT(position(e, true, id - 1), position(e, true, id)) << id;
    }
    EXPECT_EQ(m_pool->pendingCount(), 0);
    release(-1);
    ASSERT_TRUE(waitFor(false, 14));
}

TEST_F(QvASQMTPoolTest, DestructionWaitsForRunningItemsWithOthersStillQueued)
{
    for (int id = 1; id <= 6; ++id) {
        m_pool->submit(job(id));
    }
    ASSERT_TRUE(waitFor(true, 4));
    std::thread destroyer([this] { m_pool.reset(); });
    // The destructor waits for the running items; release them while it does. Whether a queued item
    // slips in before the stop is a matter of timing; every item that started must have finished.
    release(-1);
    destroyer.join();
    const auto e = entries();
    const auto starts = std::count_if(e.begin(), e.end(), [](const Entry& x) { return x.start; });
    EXPECT_GE(starts, 4);
    EXPECT_EQ(starts * 2, long(e.size()));

    // Pools that never started, or ran nothing, end cleanly too.
    QvASQMTPool<int*> neverStarted;
    QvASQMTPool<int*> idle;
    idle.start([](void*) { return true; });
}

}  // namespace
