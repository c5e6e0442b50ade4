#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "webserver/WebServerInfo.h"

namespace {

TEST(WebServerInfoTest, CopyReplacesTheFieldsAndMergesTheTable)
{
    _tag_WebServerInfo source;
    source.name = u"Docs";
    source.grpname = u"None";
    source.port = 9090;
    source.basepath = u"/srv/docs";
    source.basehtml = u"start.html";
    source.contentstype.set(u"html", u"text/html; charset=utf-8");

    _tag_WebServerInfo target;
    target.name = u"Old";
    target.basehtml = u"old.html";
    target.contentstype.set(u"html", u"text/html");
    target.contentstype.set(u"png", u"image/png");

    target = source;
    EXPECT_EQ(target.name, QvString(u"Docs"));
    EXPECT_EQ(target.grpname, QvString(u"None"));
    EXPECT_EQ(target.port, 9090);
    EXPECT_EQ(target.basepath, QvString(u"/srv/docs"));
    EXPECT_EQ(target.basehtml, QvString(u"start.html"));
    ASSERT_EQ(target.contentstype.size(), 2);
    EXPECT_EQ(*target.contentstype.find(u"html"), QvString(u"text/html; charset=utf-8"));
    EXPECT_EQ(*target.contentstype.find(u"png"), QvString(u"image/png"));
    // The source is untouched, and a copy-constructed record is a plain copy.
    EXPECT_EQ(source.contentstype.size(), 1);
    const _tag_WebServerInfo copy(target);
    EXPECT_EQ(copy.name, QvString(u"Docs"));
    EXPECT_EQ(copy.contentstype.size(), 2);
    target = target;
    EXPECT_EQ(target.contentstype.size(), 2);
}

TEST(WebServerInfoTest, EditsUnderTheWriteLockAreNeverSeenHalfDoneByReaders)
{
    _tag_WebServerInfo live;
    live.basepath = u"/a";
    live.basehtml = u"a.html";
    live.contentstype.set(u"html", u"type/a");
    _tag_WebServerInfo editA(live);
    _tag_WebServerInfo editB;
    editB.basepath = u"/b";
    editB.basehtml = u"b.html";
    editB.contentstype.set(u"html", u"type/b");

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                // Readers only read, as the web worker does: a non-const access would copy a shared
                // table, which is a write.
                const _tag_WebServerInfo& seen = live;
                const auto lock = seen.readLock();
                const bool isA = seen.basepath == u"/a";
                const bool consistent = (seen.basehtml == (isA ? u"a.html" : u"b.html")) &&
                                        (*seen.contentstype.find(u"html") == (isA ? u"type/a" : u"type/b"));
                if (!consistent) {
                    ++torn;
                }
            }
        });
    }
    // Readers that never pause must not hold the edits off: they finish well within the bound.
    auto edits = std::async(std::launch::async, [&] {
        for (int i = 0; i < 2000; ++i) {
            live = (i % 2 == 0) ? editB : editA;
        }
    });
    const bool finished = edits.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    done = true;
    edits.wait();
    EXPECT_TRUE(finished) << "edits starved by readers";
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
