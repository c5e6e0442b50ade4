#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/QvFlexBuffer.h"
#include "foundation/QvMap.h"
#include "foundation/QvString.h"

namespace {

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

TEST(QvFlexBufferTest, ConcurrentAppendAndTakeLoseAndReorderNoBytes)
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
    // Takes of 100 bytes split the writer's 64-byte chunks: the rest moves forward in order.
    size_t total = 0;
    size_t misplaced = 0;
    unsigned char out[100];
    while (total < kChunks * 64u) {
        const size_t n = buf.take(out, sizeof out);
        for (size_t i = 0; i < n; ++i, ++total) {
            misplaced += out[i] != static_cast<unsigned char>((total / 64) & 0xFF) ? 1 : 0;
        }
    }
    writer.join();
    EXPECT_EQ(total, kChunks * 64u);
    EXPECT_EQ(misplaced, 0u);
    EXPECT_EQ(buf.take(out, 3), 0u);
}

}  // namespace
