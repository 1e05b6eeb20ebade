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

AngleAccelRecord recordOf(std::uint16_t sample, const float* v, std::size_t n) {
    AngleAccelRecord r;
    r.sample = sample;
    float* fields[] = {&r.phi,     &r.theta,   &r.psi,    &r.x,      &r.y,
                       &r.z,       &r.xWorld,  &r.yWorld, &r.zWorld, &r.quat[0],
                       &r.quat[1], &r.quat[2], &r.quat[3]};
    for (std::size_t i = 0; i < 13; ++i) {
        *fields[i] = v[i % n];
    }
    return r;
}

std::string ourLine(const AngleAccelRecord& r) {
    char buf[kMaxSampleLine];
    return std::string(buf, formatAngleAccelLine(buf, r));
}

// What the C library prints for the same record with the one format string.
std::string referenceLine(const AngleAccelRecord& r) {
    char buf[kMaxSampleLine];
    const int n = std::snprintf(
        buf, sizeof buf,
        "%6hd %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f "
        "%10.5f %10.5f\r\n",
        static_cast<short>(r.sample), double{r.phi}, double{r.theta}, double{r.psi}, double{r.x},
        double{r.y}, double{r.z}, double{r.xWorld}, double{r.yWorld}, double{r.zWorld},
        double{r.quat[0]}, double{r.quat[1]}, double{r.quat[2]}, double{r.quat[3]});
    return std::string(buf, static_cast<std::size_t>(n));
}

// Every value of the list, thirteen to a line, prints as the C library prints it.
void expectSameAsCLibrary(const std::vector<float>& values) {
    for (std::size_t i = 0; i < values.size(); i += 13) {
        const auto r = recordOf(static_cast<std::uint16_t>(i), &values[i],
                                std::min<std::size_t>(13, values.size() - i));
        ASSERT_EQ(ourLine(r), referenceLine(r)) << "values from index " << i;
    }
}

TEST(SampleLineTest, MatchesTheCLibraryForFloatsOfEveryMagnitude) {
    std::mt19937 rng(12345);
    std::vector<float> values;
    // Uniform bit patterns cover every exponent, subnormals included.
    std::uniform_int_distribution<std::uint32_t> bits;
    while (values.size() < 1300000) {
        const float f = std::bit_cast<float>(bits(rng));
        if (std::isfinite(f)) {
            values.push_back(f);
        }
    }
    // And the values samples carry: n / 65536 (S24), n / 256 (T24), n / 16384 (Q14).
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
    using L = std::numeric_limits<float>;
    // 0.015625 is a tie at the fifth decimal (goes to the even digit); -0.0000001 prints
    // "-0.00000"; 2^46 is where the C library takes over; samples are always finite, but
    // a record can hold anything.
    std::vector<float> values = {0.0f,          -0.0f,          0.015625f,      0.046875f,
                                 -0.015625f,    0.000005f,      -0.000005f,     -1e-7f,
                                 0.99999f,      0.999995f,      9.999995f,      99999.99f,
                                 12345.5f,      -32768.0f,      0x1p46f,        0x1.fffffep45f,
                                 L::max(),      L::lowest(),    L::min(),       L::denorm_min(),
                                 L::infinity(), -L::infinity(), L::quiet_NaN(), -L::quiet_NaN()};
    // Every odd multiple of 2^-6 .. 2^-17 between -4 and 4 is an exact tie or near one.
    for (int shift = 6; shift <= 17; ++shift) {
        for (int k = -(4 << shift) + 1; k < (4 << shift); k += 2) {
            values.push_back(std::ldexp(static_cast<float>(k), -shift));
        }
    }
    expectSameAsCLibrary(values);
}

TEST(SampleLineTest, FieldsAreRightAlignedAndWideValuesPushTheLine) {
    const struct {
        std::uint16_t sample;
        float value;
        const char* sampleText;
        const char* valueText;
        std::size_t length;
    } cases[] = {
        {7, 1.0f, "     7", "   1.00000", 151},
        {40000, -0.5f, "-25536", "  -0.50000", 151},
        {65535, 0.0f, "    -1", "   0.00000", 151},
        {32767, 1e-6f, " 32767", "   0.00000", 151},
        {32768, 12345.5f, "-32768", "12345.50000", 164},
    };
    for (const auto& c : cases) {
        std::string expected = c.sampleText;
        for (int i = 0; i < 13; ++i) {
            expected += std::string(" ") + c.valueText;
        }
        const std::string line = ourLine(recordOf(c.sample, &c.value, 1));
        EXPECT_EQ(line, expected + "\r\n");
        EXPECT_EQ(line.size(), c.length);
    }
    const float oneWide[] = {1.0f, 1.0f, 12345.5f};
    EXPECT_EQ(ourLine(recordOf(7, oneWide, 3)).size(), 151u + 4);  // every third value is wider
}

TEST(SampleLineTest, HeaderHasItsColumnsAndSpacing) {
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
    EXPECT_EQ(kSamplesHeader, expected + "\r\n");
    EXPECT_EQ(sizeof kSamplesHeader - 1, 151u);
}

TEST(DumpLineTest, PrintableBytesAsTheyAreOthersAsDecimalEscapes) {
    const struct {
        std::vector<std::uint8_t> bytes;
        std::string text;
    } cases[] = {
        {{0x24, 0x0E, 0x03, 0x41, 0x5C, 0x7F, 0x80, 0xFF, 0x20, 0x00, 0x0A, 0x0D, 0x7E, 0x25},
         "$\\014\\003A\\\\127\\128\\255 \\000\\010\\013~%\r\n"},
        {{}, "\r\n"},
        {{0x1F, 0x20, 0x7E, 0x7F, 0x09, 0x64, 0xC8}, "\\031 ~\\127\\009d\\200\r\n"},
    };
    for (const auto& c : cases) {
        char buf[5 * 16 + 2];
        const auto count = static_cast<std::int32_t>(c.bytes.size());
        EXPECT_EQ(std::string(buf, formatDumpLine(buf, c.bytes.data(), count)), c.text);
    }
    char buf[8];
    EXPECT_EQ(std::string(buf, formatDumpLine(buf, cases[0].bytes.data(), -5)), "\r\n");
}

}  // namespace
}  // namespace vg::logging
