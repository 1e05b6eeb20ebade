#include "app/run_status.h"

#include <string>

#include <gtest/gtest.h>

namespace vg::app {
namespace {

TEST(StatusLineTest, FieldsGiveWayByPriorityAsTheTerminalNarrows) {
    struct Row {
        unsigned columns;  // 0: unknown
        bool linkUp;
        std::uint64_t samples;
        std::uint64_t elapsedMs;
        double rate;
        float angle;  // phi and psi; theta is its negative
        const char* line;
    };
    const Row rows[] = {
        {200, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 link up | 72410 samples 100.0/s | phi 0.123 theta -0.123 psi 0.123 | quat 1 vec "
         "2 other 12 | noise 3 B | ring drops 4 | console drops 5"},
        {120, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 link up | 72410 samples 100.0/s | phi 0.123 theta -0.123 psi 0.123 | quat 1 vec "
         "2 other 12 | noise 3 B"},
        {80, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 link up | 72410 samples 100.0/s | phi 0.123 theta -0.123 psi 0.123"},
        {0, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 link up | 72410 samples 100.0/s | phi 0.123 theta -0.123 psi 0.123"},
        {80, false, 100000000, 360000000, 1000.0, -3.1416f,
         "100:00:00 LOST | 100000000 samples 1000.0/s | phi -3.142 theta 3.142 psi -3.142"},
        {72, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 up | 72410 samples 100.0/s | phi 0.123 theta -0.123 psi 0.123"},
        {60, true, 72410, 724000, 100.0, 0.123f,
         "0:12:04 up | 72410 smp 100/s | phi 0.12 th -0.12 psi 0.12"},
        {40, true, 72410, 724000, 100.0, 0.123f, "0:12:04 link up | 72410 samples 100.0/s"},
        {40, false, 72410, 724000, 100.0, 0.123f, "0:12:04 LOST | 72410 samples 100.0/s"},
        {20, true, 72410, 724000, 100.0, 0.123f, "0:12:04 link up"},
        {10, true, 72410, 724000, 100.0, 0.123f, "0:12:04"},
        {1, true, 72410, 724000, 100.0, 0.123f, ""},
        // No sample yet: no angles, which would read as data.
        {80, true, 0, 3000, 0.0, 0.0f,
         "0:00:03 link up | 0 samples 0.0/s | quat 1 vec 2 other 12 | noise 3 B"},
        {30, true, 0, 3000, 0.0, 0.0f, "0:00:03 up | 0 samples 0.0/s"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.columns);
        RunCounters counters;
        counters.packets = {r.samples, 1, 2, 12};
        counters.noiseBytes = 3;
        counters.ringDrops = 4;
        logging::AngleAccelRecord latest{};
        latest.phi = r.angle;
        latest.theta = -r.angle;
        latest.psi = r.angle;
        char buf[512];
        const std::size_t n = formatStatusLine(buf, sizeof buf, counters, r.elapsedMs, r.rate,
                                               r.linkUp, latest, 5, r.columns);
        EXPECT_EQ(std::string(buf, n), r.line);
    }
}

TEST(StatusLineTest, NeverTakesTheLastColumnAtAnyWidth) {
    RunCounters counters;
    counters.packets = {123456789, 98765, 4321, 1234567};
    counters.noiseBytes = 1234567890;
    logging::AngleAccelRecord latest{};
    latest.phi = latest.theta = latest.psi = -3.1416f;
    char buf[512];
    for (unsigned columns = 1; columns < 250; ++columns) {
        const std::size_t n = formatStatusLine(buf, sizeof buf, counters, 3'600'000'000, 1234.5,
                                               false, latest, 7, columns);
        EXPECT_LT(n, columns);
        EXPECT_EQ(n, std::string(buf).size());
        const std::size_t progress = formatReplayProgress(
            buf, sizeof buf, 123456789, columns % 2 ? 999999999 : 0, 7654321, 61000, columns);
        EXPECT_LT(progress, columns);
    }
}

TEST(ReplayProgressTest, ShareAndTimeLeftOrBytesWhenTheSizeIsUnknown) {
    struct Row {
        std::uint64_t size;
        unsigned columns;
        const char* line;
    };
    // 4.2 MB and 123456 packets read in 2 s.
    for (const Row r :
         {Row{10'000'000, 80, "replay 42% | 123456 packets 61728/s | 0:00:02 left"},
          Row{10'000'000, 40, "42% | 61728 pkt/s | 0:00:02 left"},
          Row{0, 80, "replay 4.2 MB read | 123456 packets 61728/s | 2.1 MB/s"},
          Row{0, 40, "4.2 MB read | 61728 pkt/s | 2.1 MB/s"},
          Row{1'000'000, 80, "replay 100% | 123456 packets 61728/s | 0:00:00 left"}}) {
        char buf[256];
        const std::size_t n =
            formatReplayProgress(buf, sizeof buf, 4'200'000, r.size, 123456, 2000, r.columns);
        EXPECT_EQ(std::string(buf, n), r.line);
    }
}

}  // namespace
}  // namespace vg::app
