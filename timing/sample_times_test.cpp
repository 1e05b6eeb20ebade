#include "timing/sample_times.h"

#include <gtest/gtest.h>

#include <vector>

namespace vg::timing {
namespace {

TEST(SampleTimes, IndexCountsTheCountersStepsAcrossBothWraps) {
    struct Case {
        const char* name;
        std::vector<std::int16_t> samples;
        std::vector<std::int64_t> indices;
    };
    const Case cases[] = {
        {"signed wrap", {32766, 32767, -32768, -32767}, {32766, 32767, 32768, 32769}},
        {"unsigned wrap", {-2, -1, 0, 1}, {65534, 65535, 65536, 65537}},
        {"gaps and a repeat", {10, 13, 13, 12}, {10, 13, 13, 65548}},
        {"first row negative", {-32768, -32767}, {32768, 32769}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sio::PacketRing ring;
        SampleTimes times;
        startSampleTimes(times, ring, 1000000, 1796771647000000);
        std::vector<std::int64_t> got;
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            const auto row = nextTimesRow(times, c.samples[i], i + 1,
                                          1000000 + 10000 * static_cast<std::int64_t>(i));
            EXPECT_EQ(row.line, i + 1);
            EXPECT_EQ(row.sample, c.samples[i]);
            EXPECT_EQ(row.hostUs, 10000 * static_cast<std::int64_t>(i));
            EXPECT_EQ(row.wallUs, 1796771647000000 + row.hostUs);
            got.push_back(row.index);
        }
        EXPECT_EQ(got, c.indices);
    }
}

}  // namespace
}  // namespace vg::timing
