// The two log-line formats, built in a caller's buffer so that each line is one write. The
// numbers come out byte for byte as the C library's "%6hd" and "%10.5f" print them (C locale),
// but without parsing a format string per line: that is most of the cost of a samples line.
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "logging/logging.h"

namespace vg::logging {

namespace {

constexpr std::uint64_t kScale = 100000;  // five decimals
constexpr int kValueWidth = 10;
constexpr int kSampleWidth = 6;

// Writes the decimal digits of v at p and returns the end.
char* putUnsigned(char* p, std::uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        *p++ = tmp[--n];
    }
    return p;
}

// v rounded to five decimals as "[-]digits.ddddd", exactly as "%.5f" prints the value widened to
// double. A float is m * 2^e with m below 2^24, so m * 10^5 fits in 64 bits and the scaled
// value, rounded half to even like the C library, is exact integer arithmetic. Values of 2^46 and
// above and non-finite values are left to the C library itself; samples never come near them.
char* putFixed5(char* p, float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    const bool negative = (bits >> 31) != 0;
    const auto expField = static_cast<int>((bits >> 23) & 0xFF);
    std::uint64_t mant = bits & 0x7FFFFF;
    if (expField != 0) {
        mant |= 0x800000;
    }
    const int e = (expField == 0 ? 1 : expField) - 150;  // v = mant * 2^e
    if (expField == 0xFF || e > 22) {
        const int n = std::snprintf(p, 64, "%.5f", static_cast<double>(v));
        return p + (n > 0 ? n : 0);
    }
    const std::uint64_t scaled = mant * kScale;
    std::uint64_t q = 0;
    if (e >= 0) {
        q = scaled << e;
    } else if (e > -64) {
        const int shift = -e;
        q = scaled >> shift;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (q & 1) != 0)) {
            ++q;
        }
    }  // else: below 2^-23 after scaling by 10^5 < 2^17, far under half a unit; q stays 0
    if (negative) {
        *p++ = '-';
    }
    p = putUnsigned(p, q / kScale);
    *p++ = '.';
    auto frac = static_cast<std::uint32_t>(q % kScale);
    for (int i = 4; i >= 0; --i) {
        p[i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
    }
    return p + 5;
}

// Right-aligns what put writes at p within width characters, as a printf minimum width does.
template <typename Put>
char* putRightAligned(char* p, int width, Put put) {
    char tmp[64];
    const char* end = put(tmp);
    const auto len = static_cast<int>(end - tmp);
    for (int i = len; i < width; ++i) {
        *p++ = ' ';
    }
    std::memcpy(p, tmp, static_cast<std::size_t>(len));
    return p + len;
}

}  // namespace

std::size_t formatAngleAccelLine(char* buf, const AngleAccelRecord& r) {
    char* p = buf;
    // The sample number is printed as a signed 16-bit value: 40000 shows as -25536.
    const auto sample = static_cast<std::int16_t>(r.sample);
    p = putRightAligned(p, kSampleWidth, [sample](char* q) {
        if (sample < 0) {
            *q++ = '-';
        }
        return putUnsigned(q, static_cast<std::uint64_t>(sample < 0 ? -sample : sample));
    });
    const float values[] = {r.phi,    r.theta,  r.psi,     r.x,       r.y,       r.z,      r.xWorld,
                            r.yWorld, r.zWorld, r.quat[0], r.quat[1], r.quat[2], r.quat[3]};
    for (const float v : values) {
        *p++ = ' ';
        p = putRightAligned(p, kValueWidth, [v](char* q) { return putFixed5(q, v); });
    }
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<std::size_t>(p - buf);
}

std::size_t formatLogValue(char* buf, float value) {
    return static_cast<std::size_t>(putFixed5(buf, value) - buf);
}

std::size_t formatDumpLine(char* buf, const std::uint8_t* bytes, std::int32_t count) {
    char* p = buf;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        if (b >= 0x20 && b <= 0x7E) {
            *p++ = static_cast<char>(b);
        } else {  // a backslash and three decimal digits
            *p++ = '\\';
            *p++ = static_cast<char>('0' + b / 100);
            *p++ = static_cast<char>('0' + b / 10 % 10);
            *p++ = static_cast<char>('0' + b % 10);
        }
    }
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<std::size_t>(p - buf);
}

}  // namespace vg::logging
