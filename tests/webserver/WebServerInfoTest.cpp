#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
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
    target = target;
    const auto describe = [](const _tag_WebServerInfo& d) {
        std::string text = d.name.toUtf8() + "|" + d.grpname.toUtf8() + "|" + std::to_string(d.port) + "|" +
                           d.basepath.toUtf8() + "|" + d.basehtml.toUtf8();
        for (const auto& [extension, type] : d.contentstype) {
            text += "|" + extension.toUtf8() + "=" + type.toUtf8();
        }
        return text;
    };
    const std::string expected = "Docs|None|9090|/srv/docs|start.html|html=text/html; charset=utf-8|png=image/png";
    EXPECT_EQ(describe(target), expected);
    EXPECT_EQ(describe(_tag_WebServerInfo(target)), expected);  // a plain copy
    EXPECT_EQ(source.contentstype.size(), 1);
}

TEST(WebServerInfoTest, EditsUnderTheWriteLockAreNeverSeenHalfDoneByReaders)
{
    const auto edit = [](const char16_t* name) {
        _tag_WebServerInfo info;
        info.basepath = name;
        info.basehtml = name;
        info.contentstype.set(u"html", name);
        return info;
    };
    const _tag_WebServerInfo editA = edit(u"a");
    const _tag_WebServerInfo editB = edit(u"b");
    _tag_WebServerInfo live(editA);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                // Reads only, as the web worker does: a non-const access would copy a shared table.
                const _tag_WebServerInfo& seen = live;
                const auto lock = seen.readLock();
                torn += seen.basehtml != seen.basepath || *seen.contentstype.find(u"html") != seen.basepath;
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
