#include <gtest/gtest.h>

#include "decode/decode.h"

namespace vg::decode {
namespace {

TEST(FixedPointTest, Q14WordsAreSignFixedAndScaled) {
    const struct {
        std::uint8_t bytes[2];
        std::int32_t word;
        float value;
    } cases[] = {
        {{0x40, 0x00}, 16384, 1.0f},
        {{0xC0, 0x00}, -16384, -1.0f},
        {{0x80, 0x00}, -32768, -2.0f},
        {{0x7F, 0xFF}, 32767, 32767.0f / 16384.0f},
        {{0x00, 0x00}, 0, 0.0f},
        {{0xFF, 0xFF}, -1, -1.0f / 16384.0f},
        {{0x00, 0x01}, 1, 1.0f / 16384.0f},
        {{0x12, 0x34}, 0x1234, 0x1234 / 16384.0f},
        {{0x80, 0x01}, -32767, -32767.0f / 16384.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int{c.bytes[0]} << ' ' << int{c.bytes[1]});
        EXPECT_EQ(readQ14Word(c.bytes), c.word);
        EXPECT_EQ(q14ToFloat(c.word), c.value);
    }
}

TEST(FixedPointTest, S24AndT24AreSigned24BitValues) {
    const struct {
        std::uint8_t bytes[3];
        float s24;  // value / 65536
        float t24;  // value / 256
    } cases[] = {
        {{0x00, 0x01, 0x00}, 0.00390625f, 1.0f},
        {{0xFF, 0xFF, 0xFF}, -1.0f / 65536.0f, -1.0f / 256.0f},
        {{0x80, 0x00, 0x00}, -128.0f, -32768.0f},
        {{0x7F, 0xFF, 0xFF}, 8388607.0f / 65536.0f, 8388607.0f / 256.0f},
        {{0x00, 0x00, 0x01}, 1.0f / 65536.0f, 1.0f / 256.0f},
        {{0x01, 0x00, 0x00}, 1.0f, 256.0f},
        {{0x00, 0x00, 0x00}, 0.0f, 0.0f},
        {{0xFF, 0x00, 0x00}, -1.0f, -256.0f},
        {{0x80, 0x00, 0x01}, -8388607.0f / 65536.0f, -8388607.0f / 256.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int{c.bytes[0]} << ' ' << int{c.bytes[1]}
                                        << ' ' << int{c.bytes[2]});
        EXPECT_EQ(readS24(c.bytes), c.s24);
        EXPECT_EQ(readT24(c.bytes), c.t24);
    }
}

}  // namespace
}  // namespace vg::decode
