#include "common/common.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "common/spsc_queue.h"

namespace vg::common {
namespace {

TEST(Common, JsonStringsAreStrictJsonWhateverTheBytes) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("\n\x01\x1f", 3), "\"\\u000a\\u0001\\u001f\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {"\xFF", "\"\\u00ff\""},                                   // never a UTF-8 byte
        {"\xC3", "\"\\u00c3\""},                                   // cut off
        {"\xC0\xAF", "\"\\u00c0\\u00af\""},                        // overlong
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},             // a surrogate
        {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
        {"x\x80y", "\"x\\u0080y\""},
    };
    for (const auto& c : cases) {
        std::string out;
        appendJsonString(out, c.text);
        EXPECT_EQ(out, c.json);
    }
}

TEST(Common, DecimalsUtcAndDeadlines) {
    std::uint64_t v = 0;
    std::size_t digits = 0;
    EXPECT_STREQ(readDecimal("1234x", v, digits), "x");
    EXPECT_EQ(v, 1234u);
    EXPECT_EQ(digits, 4u);
    readDecimal("18446744073709551616", v, digits);  // 2^64 keeps its low bits
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(digits, 20u);
    readDecimal("-1", v, digits);
    EXPECT_EQ(digits, 0u);

    // Ports: digits only, within 16 bits, nothing after them.
    const struct {
        const char* text;
        bool ok;
        std::uint16_t port;
    } ports[] = {{"0", true, 0},      {"8080", true, 8080}, {"65535", true, 65535},
                 {"65536", false, 0}, {"", false, 0},       {"80a", false, 0},
                 {"+80", false, 0},   {"000080", false, 0}};
    for (const auto& c : ports) {
        std::uint16_t port = 0;
        EXPECT_EQ(readPort(c.text, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.text;
        }
    }

    char text[20];
    ASSERT_TRUE(formatUtcSeconds(text, 951868799));
    EXPECT_STREQ(text, "2000-02-29T23:59:59");
    ASSERT_TRUE(formatUtcSeconds(text, -1));
    EXPECT_STREQ(text, "1969-12-31T23:59:59");

    EXPECT_EQ(earliestDue({}), -1);
    EXPECT_EQ(earliestDue({-1, -1}), -1);
    EXPECT_EQ(earliestDue({50, -1, 7, 0 + 9}), 7);
    EXPECT_EQ(earliestDue({-1, 0}), 0);
}

TEST(SpscQueue, HoldsItsBoundInOrderAndRefusesBeyond) {
    SpscQueue<int, 4> q;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(q.push(i));
    }
    EXPECT_FALSE(q.push(99));  // full: the caller counts it dropped
    int v = -1;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(q.pop(v));
        EXPECT_EQ(v, i);
    }
    EXPECT_FALSE(q.pop(v));
    EXPECT_TRUE(q.push(4));  // round the ring again
    ASSERT_TRUE(q.pop(v));
    EXPECT_EQ(v, 4);
}

TEST(SpscQueue, ConsumerOnAnotherThreadSeesEveryItemOnceInOrder) {
    static SpscQueue<std::uint64_t, 64> q;
    constexpr std::uint64_t kItems = 200000;
    std::uint64_t refused = 0;
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < kItems; ++i) {
            while (!q.push(i)) {
                ++refused;
                std::this_thread::yield();
            }
        }
    });
    std::uint64_t expected = 0;
    std::uint64_t v = 0;
    while (expected < kItems) {
        if (q.pop(v)) {
            ASSERT_EQ(v, expected);
            ++expected;
        }
    }
    producer.join();
    EXPECT_EQ(q.size(), 0u);
}

}  // namespace
}  // namespace vg::common
