#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/logging.h"

namespace vg::logging {
namespace {

// What the C library prints for the same record with the original format string.
std::string referenceLine(const AngleAccelRecord& r) {
    char buf[kMaxSampleLine];
    const int n = std::snprintf(
        buf, sizeof buf,
        "%6hd %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f "
        "%10.5f %10.5f\r\n",
        static_cast<short>(r.sample), static_cast<double>(r.phi), static_cast<double>(r.theta),
        static_cast<double>(r.psi), static_cast<double>(r.x), static_cast<double>(r.y),
        static_cast<double>(r.z), static_cast<double>(r.xWorld), static_cast<double>(r.yWorld),
        static_cast<double>(r.zWorld), static_cast<double>(r.quat[0]),
        static_cast<double>(r.quat[1]), static_cast<double>(r.quat[2]),
        static_cast<double>(r.quat[3]));
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string ourLine(const AngleAccelRecord& r) {
    char buf[kMaxSampleLine];
    return std::string(buf, formatAngleAccelLine(buf, r));
}

AngleAccelRecord recordOf(std::uint16_t sample, const std::vector<float>& v) {
    AngleAccelRecord r;
    r.sample = sample;
    float* fields[] = {&r.phi,     &r.theta,   &r.psi,    &r.x,      &r.y,
                       &r.z,       &r.xWorld,  &r.yWorld, &r.zWorld, &r.quat[0],
                       &r.quat[1], &r.quat[2], &r.quat[3]};
    for (std::size_t i = 0; i < 13; ++i) {
        *fields[i] = v[i % v.size()];
    }
    return r;
}

// Compares every value of the list against the C library, thirteen to a line.
void expectSameAsCLibrary(const std::vector<float>& values, std::uint16_t sample = 1) {
    for (std::size_t i = 0; i < values.size(); i += 13) {
        std::vector<float> chunk(
            values.begin() + static_cast<std::ptrdiff_t>(i),
            values.begin() + static_cast<std::ptrdiff_t>(std::min(values.size(), i + 13)));
        const auto r = recordOf(sample, chunk);
        ASSERT_EQ(ourLine(r), referenceLine(r)) << "values from index " << i;
    }
}

TEST(SampleLineTest, MatchesTheCLibraryForFloatsOfEveryMagnitude) {
    std::mt19937 rng(12345);
    std::vector<float> values;
    // Uniform bit patterns cover every exponent, subnormals included; non-finite ones are
    // covered below.
    std::uniform_int_distribution<std::uint32_t> bits;
    while (values.size() < 1300000) {
        const float f = std::bit_cast<float>(bits(rng));
        if (std::isfinite(f)) {
            values.push_back(f);
        }
    }
    // And the values samples really carry: n / 65536 (S24), n / 256 (T24), n / 16384 (Q14).
    std::uniform_int_distribution<std::int32_t> s24(-(1 << 23), (1 << 23) - 1);
    std::uniform_int_distribution<std::int32_t> q14(-32768, 32767);
    for (int i = 0; i < 300000; ++i) {
        const std::int32_t n = s24(rng);
        values.push_back(static_cast<float>(n / 65536.0));
        values.push_back(static_cast<float>(n / 256.0));
        values.push_back(static_cast<float>(q14(rng) / 16384.0));
    }
    expectSameAsCLibrary(values);
}

TEST(SampleLineTest, MatchesTheCLibraryOnTiesAndEdges) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 0.015625f,  // ties at the fifth decimal go to the even digit
                                 0.046875f,
                                 -0.015625f,
                                 0.000005f,
                                 -0.000005f,
                                 0.0000049f,
                                 -0.0000001f,  // rounds to "-0.00000"
                                 0.99999f,
                                 0.999995f,
                                 9.999995f,
                                 99999.99f,
                                 12345.5f,
                                 32767.99998f,
                                 -32768.0f,
                                 70368744177663.0f,  // just below where the C library takes over
                                 70368744177664.0f,
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::lowest(),
                                 std::numeric_limits<float>::min(),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 -std::numeric_limits<float>::quiet_NaN()};
    // Every odd multiple of 2^-6 .. 2^-17 between -4 and 4 is an exact tie or near one.
    for (int shift = 6; shift <= 17; ++shift) {
        for (int k = -(4 << shift) + 1; k < (4 << shift); k += 2) {
            values.push_back(std::ldexp(static_cast<float>(k), -shift));
        }
    }
    expectSameAsCLibrary(values);
}

TEST(SampleLineTest, SampleNumberPrintsAsSigned16Bits) {
    const struct {
        std::uint16_t sample;
        const char* text;
    } cases[] = {{7, "     7"},     {0, "     0"},     {32767, " 32767"}, {32768, "-32768"},
                 {40000, "-25536"}, {65535, "    -1"}, {65526, "   -10"}};
    for (const auto& c : cases) {
        const auto r = recordOf(c.sample, {0.0f});
        const std::string line = ourLine(r);
        EXPECT_EQ(line.substr(0, 7), std::string(c.text) + " ") << c.sample;
        EXPECT_EQ(line, referenceLine(r)) << c.sample;
    }
}

TEST(SampleLineTest, ValuesAreRightAlignedInTenAndWiderValuesPushTheLine) {
    const struct {
        float value;
        const char* text;
        std::size_t lineLength;
    } cases[] = {{1.0f, "   1.00000", 151},      {-0.5f, "  -0.50000", 151},
                 {0.0f, "   0.00000", 151},      {-1234.5f, "-1234.50000", 164},
                 {12345.5f, "12345.50000", 164}, {1.0e-6f, "   0.00000", 151}};
    for (const auto& c : cases) {
        const std::string line = ourLine(recordOf(7, {c.value}));
        std::string expected = "     7";
        for (int i = 0; i < 13; ++i) {
            expected += std::string(" ") + c.text;
        }
        expected += "\r\n";
        EXPECT_EQ(line, expected) << c.value;
        EXPECT_EQ(line.size(), c.lineLength) << c.value;
    }
    // One wide value grows the line by exactly its extra character.
    auto r = recordOf(7, {1.0f});
    r.psi = 12345.5f;
    EXPECT_EQ(ourLine(r).size(), 152u);
}

TEST(SampleLineTest, TheRawQuaternionWordsAreNeverPrinted) {
    auto r = recordOf(7, {0.25f});
    const std::string before = ourLine(r);
    r.quatRaw = {123456, -98765, 4242, 31337};
    EXPECT_EQ(ourLine(r), before);
}

TEST(SampleLineTest, HeaderIsTheFixed151ByteLine) {
    const std::string header = kSamplesHeader;
    EXPECT_EQ(header.size(), 151u);
    // Column words and the spaces after each.
    const struct {
        const char* word;
        std::size_t spaces;
    } columns[] = {{"Sample", 6},  {"Phi", 7},     {"Theta", 7},   {"Psi", 9},    {"X", 10},
                   {"Y", 10},      {"Z", 7},       {"Xworld", 5},  {"YWorld", 5}, {"ZWorld", 5},
                   {"Quat[0]", 4}, {"Quat[1]", 4}, {"Quat[2]", 4}, {"Quat[3]", 0}};
    std::string expected;
    for (const auto& c : columns) {
        expected += c.word + std::string(c.spaces, ' ');
    }
    EXPECT_EQ(header, expected + "\r\n");
}

TEST(DumpLineTest, PrintableBytesAsTheyAreOthersAsDecimalEscapes) {
    const struct {
        std::vector<std::uint8_t> bytes;
        std::string text;
    } cases[] = {
        {{0x24, 0x0E, 0x03, 0x41, 0x5C, 0x7F, 0x80, 0xFF, 0x20, 0x00, 0x0A, 0x0D, 0x7E, 0x25},
         "$\\014\\003A\\\\127\\128\\255 \\000\\010\\013~%\r\n"},
        {{}, "\r\n"},
        {{0x1F, 0x20, 0x7E, 0x7F}, "\\031 ~\\127\r\n"},
        {{0x09, 0x64, 0xC8}, "\\009d\\200\r\n"},
    };
    for (const auto& c : cases) {
        char buf[5 * 16 + 2];
        const auto count = static_cast<std::int32_t>(c.bytes.size());
        EXPECT_EQ(std::string(buf, formatDumpLine(buf, c.bytes.data(), count)), c.text);
    }
    char buf[8];
    const std::uint8_t b[1] = {'A'};
    EXPECT_EQ(std::string(buf, formatDumpLine(buf, b, -5)), "\r\n");
}

}  // namespace
}  // namespace vg::logging
