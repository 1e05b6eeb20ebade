// The wire's big-endian fixed-point encodings. Each value is exact in double and is rounded to
// float once, when it is stored.
#include "decode/decode.h"

namespace vg::decode {

float q14ToFloat(std::int32_t signFixedWord) {
    return static_cast<float>(signFixedWord / 16384.0);
}

std::int32_t readQ14Word(const std::uint8_t* p) {
    const std::int32_t word = (p[0] << 8) | p[1];
    return word > 32767 ? word - 65536 : word;
}

float readS24(const std::uint8_t* p) {
    std::int32_t value = (p[0] << 16) | (p[1] << 8) | p[2];
    if ((value & 0x800000) != 0) {
        value -= 0x1000000;  // sign-extend from bit 23
    }
    return static_cast<float>(value / 65536.0);
}

float readT24(const std::uint8_t* p) {
    // The 24 bits fill the top of a 32-bit two's complement integer, low byte zero.
    const auto value = static_cast<std::int32_t>(
        (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8));
    return static_cast<float>(value / 65536.0);
}

}  // namespace vg::decode
