#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/QvFlexBuffer.h"
#include "foundation/QvMap.h"
#include "foundation/QvStringArray.h"

namespace {

TEST(QvStringArrayTest, SplitKeepsInnerEmptiesAndDropsOneTrailingPiece)
{
    const struct {
        const char16_t* text;
        const char16_t* sep;
        std::vector<std::u16string> pieces;
    } cases[] = {
        {u"a,b,c", u",", {u"a", u"b", u"c"}},
        {u"a,,b", u",", {u"a", u"", u"b"}},
        {u",a", u",", {u"", u"a"}},
        {u"a,", u",", {u"a"}},
        {u"a,,", u",", {u"a", u""}},
        {u"", u",", {}},
        {u"GET  / HTTP/1.1", u" ", {u"GET", u"", u"/", u"HTTP/1.1"}},
        {u"l1\r\nl2\r\n\r\n", u"\r\n", {u"l1", u"l2", u""}},
        {u"grp`name`8080`Run", u"`", {u"grp", u"name", u"8080", u"Run"}},
    };
    for (const auto& c : cases) {
        QvStringArray out;
        out.add(u"stale");
        const int n = out.split(c.text, c.sep);
        ASSERT_EQ(n, static_cast<int>(c.pieces.size())) << std::string(c.text, c.text + 3);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(out[i].toStd(), c.pieces[static_cast<size_t>(i)]);
        }
    }
}

TEST(QvStringArrayTest, JoinSkipsSeparatorWhileResultIsEmpty)
{
    const struct {
        std::vector<const char16_t*> items;
        const char16_t* joined;
    } cases[] = {
        {{u"", u"b"}, u"b"}, {{u"a", u"", u"c"}, u"a,,c"}, {{u"", u"", u"c"}, u"c"}, {{u"a", u"b"}, u"a,b"}, {{}, u""},
    };
    for (const auto& c : cases) {
        QvStringArray arr;
        for (auto* item : c.items) {
            arr.add(item);
        }
        EXPECT_EQ(arr.join(u","), c.joined);
    }
    QvStringArray lines;
    lines.addFormat(u"HTTP/1.1 %d %s", 200, u"OK");
    lines.addFormat(u"Content-Length: %d", 5);
    EXPECT_EQ(lines.join(u"\r\n"), u"HTTP/1.1 200 OK\r\nContent-Length: 5");
}

TEST(QvMapTest, OrderIsCaseSensitiveCodeUnitOrderAndSetReplaces)
{
    QvMap<QvString, int> m;
    m.set(u"beta", 1);
    m.set(u"alpha", 2);
    m.set(u"Gamma", 3);
    m.set(u"alpha", 4);
    std::vector<std::u16string> order;
    for (const auto& [k, v] : m) {
        order.push_back(k.toStd());
    }
    EXPECT_EQ(order, (std::vector<std::u16string>{u"Gamma", u"alpha", u"beta"}));
    EXPECT_EQ(*m.find(u"alpha"), 4);
    EXPECT_EQ(m.size(), 3);
    EXPECT_TRUE(m.erase(u"beta"));
    EXPECT_FALSE(m.erase(u"beta"));
    EXPECT_EQ(m.find(u"BETA"), nullptr);
}

// Copies share one tree; every way of changing one copy leaves the others as they were.
TEST(QvMapTest, ChangingACopyNeverChangesTheOriginal)
{
    QvMap<QvString, int> original;
    original.set(u"a", 1);
    original.set(u"b", 2);
    const auto changes = std::vector<std::function<void(QvMap<QvString, int>&)>>{
        [](auto& m) { m.set(u"a", 9); },
        [](auto& m) { m[u"c"] = 3; },
        [](auto& m) { *m.find(u"b") = 7; },
        [](auto& m) { m.erase(u"a"); },
        [](auto& m) { m.erase(std::as_const(m).begin()); },
        [](auto& m) { m.begin()->second = 5; },
        [](auto& m) { m.clear(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        QvMap<QvString, int> copy = original;
        changes[i](copy);
        EXPECT_EQ(original.size(), 2) << "change " << i;
        EXPECT_EQ(*std::as_const(original).find(u"a"), 1) << "change " << i;
        EXPECT_EQ(*std::as_const(original).find(u"b"), 2) << "change " << i;
        EXPECT_FALSE(copy == original) << "change " << i;
    }
}

TEST(QvFlexBufferTest, TakeFromFrontMovesTheRestForward)
{
    QvFlexBuffer<unsigned char> buf(1024);
    buf.append("hello world", 11);
    char out[8] = {};
    EXPECT_EQ(buf.take(out, 6), 6u);
    EXPECT_EQ(std::string(out, 6), "hello ");
    EXPECT_EQ(buf.size(), 5u);
    char rest[128] = {};
    EXPECT_EQ(buf.take(rest, 100), 5u);
    EXPECT_EQ(std::string(rest, 5), "world");
    EXPECT_EQ(buf.take(rest, 3), 0u);
}

TEST(QvFlexBufferTest, ConcurrentAppendAndTakeLoseNoBytes)
{
    QvFlexBuffer<unsigned char> buf(1 << 20);
    constexpr int kChunks = 5000;
    std::thread writer([&] {
        unsigned char chunk[64];
        for (int i = 0; i < kChunks; ++i) {
            std::fill(std::begin(chunk), std::end(chunk), static_cast<unsigned char>(i & 0xFF));
            size_t done = 0;
            while (done < sizeof chunk) {
                done += buf.append(chunk + done, sizeof chunk - done);
            }
        }
    });
    size_t total = 0;
    unsigned char out[256];
    while (total < kChunks * 64u) {
        total += buf.take(out, sizeof out);
    }
    writer.join();
    EXPECT_EQ(total, kChunks * 64u);
}

}  // namespace
