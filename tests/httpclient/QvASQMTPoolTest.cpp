#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestSupport.h"
#include "httpclient/QvASQMTPool.h"

namespace {

// A job that announces its start and end in a shared journal and, when gated, waits to be released.
struct Job {
    int id = 0;
    bool gated = false;
};

class Journal {
public:
    struct Entry {
        bool start;
        int id;
        std::thread::id thread;
    };

    void add(bool start, int id)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_entries.push_back({start, id, std::this_thread::get_id()});
        }
        m_changed.notify_all();
    }

    void release(int id)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released.push_back(id);
        }
        m_changed.notify_all();
    }

    void releaseAll()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_releaseAll = true;
        }
        m_changed.notify_all();
    }

    // Blocks a gated job until it is released (bounded, so a broken pool cannot hang the test run).
    bool waitReleased(int id)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
            return m_releaseAll || std::find(m_released.begin(), m_released.end(), id) != m_released.end();
        });
    }

    bool waitFor(const std::function<bool(const std::vector<Entry>&)>& condition)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return condition(m_entries); });
    }

    std::vector<Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }

    static int count(const std::vector<Entry>& entries, bool start)
    {
        int n = 0;
        for (const Entry& e : entries) {
            n += e.start == start ? 1 : 0;
        }
        return n;
    }

    static long position(const std::vector<Entry>& entries, bool start, int id)
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].start == start && entries[i].id == id) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    std::vector<int> m_released;
    bool m_releaseAll = false;
};

class QvASQMTPoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pool = std::make_unique<QvASQMTPool<Job*>>();
        m_pool->start([this](void* item) {
            auto* job = static_cast<Job*>(item);
            m_journal.add(true, job->id);
            if (job->gated) {
                m_journal.waitReleased(job->id);
            }
            m_journal.add(false, job->id);
            return true;
        });
    }

    void TearDown() override
    {
        m_journal.releaseAll();
        m_pool.reset();
    }

    Job* job(int id, bool gated)
    {
        m_jobs.push_back(std::make_unique<Job>(Job{id, gated}));
        return m_jobs.back().get();
    }

    Journal m_journal;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<QvASQMTPool<Job*>> m_pool;
};

TEST_F(QvASQMTPoolTest, FiveAtOnceRunFourAndTheFifthTakesTheFirstFreedWorker)
{
    for (int id = 1; id <= 5; ++id) {
        m_pool->submit(job(id, true));
    }
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, true) == 4; }));
    EXPECT_EQ(m_pool->pendingCount(), 1);
    EXPECT_EQ(Journal::position(m_journal.entries(), true, 5), -1);

    m_journal.release(2);
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::position(e, true, 5) >= 0; }));
    const auto entries = m_journal.entries();
    EXPECT_GT(Journal::position(entries, true, 5), Journal::position(entries, false, 2));
    // Only job 2's worker was free: the fifth runs on that thread.
    EXPECT_EQ(entries[static_cast<size_t>(Journal::position(entries, true, 5))].thread,
              entries[static_cast<size_t>(Journal::position(entries, false, 2))].thread);
    EXPECT_EQ(m_pool->pendingCount(), 0);
    for (int id : {1, 3, 4}) {
        EXPECT_EQ(Journal::position(entries, false, id), -1) << id;
    }
}

TEST_F(QvASQMTPoolTest, QueuedItemsStartInTheOrderTheyWereQueued)
{
    for (int id = 1; id <= 4; ++id) {
        m_pool->submit(job(id, true));
    }
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, true) == 4; }));
    for (int id = 10; id < 20; ++id) {
        m_pool->submit(job(id, false));
    }
    EXPECT_EQ(m_pool->pendingCount(), 10);
    m_journal.releaseAll();
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, false) == 14; }));
    const auto entries = m_journal.entries();
    for (int id = 11; id < 20; ++id) {
        EXPECT_LT(Journal::position(entries, true, id - 1), Journal::position(entries, true, id)) << id;
    }
}

TEST_F(QvASQMTPoolTest, AHandlerMaySubmitMoreWork)
{
    QvASQMTPool<Job*> pool;
    std::atomic<int> runs{0};
    Job follow{2, false};
    Job first{1, false};
    pool.start([&](void* item) {
        if (static_cast<Job*>(item)->id == 1) {
            pool.submit(&follow);
        }
        runs.fetch_add(1);
        m_journal.add(false, static_cast<Job*>(item)->id);
        return true;
    });
    pool.submit(&first);
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, false) == 2; }));
    EXPECT_EQ(runs.load(), 2);
}

TEST_F(QvASQMTPoolTest, EveryItemRunsExactlyOnceUnderConcurrentSubmits)
{
    constexpr int kThreads = 3;
    constexpr int kPerThread = 100;  // most of them queue, and start one per 10 ms tick
    std::vector<std::unique_ptr<Job>> jobs;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        jobs.push_back(std::make_unique<Job>(Job{1000 + i, false}));
    }
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                m_pool->submit(jobs[static_cast<size_t>(t * kPerThread + i)].get());
            }
        });
    }
    for (auto& s : submitters) {
        s.join();
    }
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, false) == kThreads * kPerThread; }));
    std::vector<int> ids;
    for (const auto& e : m_journal.entries()) {
        if (!e.start) {
            ids.push_back(e.id);
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(m_pool->pendingCount(), 0);
}

TEST_F(QvASQMTPoolTest, DestructionWaitsForRunningItemsWithOthersStillQueued)
{
    for (int id = 1; id <= 6; ++id) {
        m_pool->submit(job(id, true));
    }
    ASSERT_TRUE(m_journal.waitFor([](const auto& e) { return Journal::count(e, true) == 4; }));
    std::thread destroyer([this] { m_pool.reset(); });
    // The destructor waits for the running items; release them while it does. Whether a queued item
    // slips in before the stop is a matter of timing; every item that started must have finished.
    m_journal.releaseAll();
    destroyer.join();
    const auto entries = m_journal.entries();
    EXPECT_GE(Journal::count(entries, true), 4);
    EXPECT_EQ(Journal::count(entries, true), Journal::count(entries, false));
}

TEST(QvASQMTPoolLifetimeTest, PoolsThatNeverStartedOrRanNothingEndCleanly)
{
    {
        QvASQMTPool<Job*> neverStarted;
    }
    {
        QvASQMTPool<Job*> idle;
        idle.start([](void*) { return true; });
    }
    SUCCEED();
}

}  // namespace
