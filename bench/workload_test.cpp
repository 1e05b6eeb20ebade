#include "bench/workload.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace vg::bench {
namespace {

constexpr std::size_t kQuaternionTag = 12;

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

sim::BoardConfig boardConfig(double noise) {
    sim::BoardConfig c = sim::defaultConfig();
    c.seed = 3;
    c.noise = noise;
    return c;
}

// The stream's own counts agree with what the framer and decoder find in its bytes.
TEST(Workload, StreamsHoldThePacketsTheyCount) {
    struct Case {
        const char* name;
        Stream stream;
        std::size_t packets, angleAccel, quaternions;
    };
    const Case cases[] = {
        {"angleAccel", angleAccelStream(300, 1), 300, 300, 0},
        {"quaternions", quaternionStream(257, 1), 257, 0, 257},
        {"board", boardStream(400, boardConfig(0)), 0, 400, 400},
        {"noisy board", boardStream(400, boardConfig(0.3)), 0, 400, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.packets != 0) {
            EXPECT_EQ(c.stream.packets, c.packets);
        }
        EXPECT_EQ(c.stream.angleAccel, c.angleAccel);
        EXPECT_EQ(c.stream.quaternions, c.quaternions);
        const Decoded d = decodeStream(c.stream);
        EXPECT_EQ(d.packets, c.stream.packets);
        EXPECT_EQ(d.records.size(), c.stream.angleAccel);
        EXPECT_EQ(d.miscLogBytes == 0, c.stream.others == 0);
    }
    // The board's default mix has unknown kinds, and junk only when asked for.
    EXPECT_GT(cases[2].stream.others, 0u);
    EXPECT_LT(cases[2].stream.bytes.size(), cases[3].stream.bytes.size());
}

TEST(Workload, AngleAccelPacketsCarryTheirIndexAsSampleNumber) {
    const Decoded d = decodeStream(angleAccelStream(70000, 2));
    ASSERT_EQ(d.records.size(), 70000u);
    for (std::size_t i : {0u, 1u, 999u, 65535u, 65536u, 69999u}) {
        EXPECT_EQ(d.records[i].sample, static_cast<std::uint16_t>(i)) << i;
    }
    // The board's angles and accelerations fit their columns: 151 bytes a line.
    EXPECT_EQ(d.samplesLogBytes, 70000u * 151u);
    EXPECT_EQ(d.miscLogBytes, 0u);
}

// Every quaternion packet must make the tracker run: a new tag (also when the stream is replayed
// from its start) and a non-zero q1 word.
TEST(Workload, EveryQuaternionPacketRunsTheTracker) {
    for (std::size_t n : {2u, 255u, 256u, 257u, 513u, 1000u}) {
        SCOPED_TRACE(n);
        const Stream s = quaternionStream(n, 5);
        ASSERT_EQ(s.bytes.size(), n * sim::kQuaternionLength);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = &s.bytes[i * sim::kQuaternionLength];
            const std::uint8_t* next = &s.bytes[(i + 1) % n * sim::kQuaternionLength];
            ASSERT_EQ(p[2], sim::kQuaternionKind) << i;
            EXPECT_TRUE(p[5] != 0 || p[6] != 0) << i;
            EXPECT_NE(p[kQuaternionTag], next[kQuaternionTag]) << i;
        }
    }
}

TEST(Workload, FeedingTheLoopTracksEveryQuaternion) {
    const Stream s = quaternionStream(600, 9);
    auto app = std::make_unique<app::App>();
    prepareApp(*app);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(feedStream(*app, s.bytes.data(), s.bytes.size(), 4096), 600u);
        EXPECT_EQ(app->state.lastSampleTag, s.bytes.back());
    }
    EXPECT_NE(app->state.angleSum, (std::array<float, 3>{}));
}

// The loop's pass writes exactly the lines the packet-by-packet decode predicts, however the
// stream is cut into reads.
TEST(Workload, FeedingTheLoopLogsEveryLineWhateverTheReadSize) {
    const Stream s = boardStream(300, boardConfig(0.1));
    const Decoded d = decodeStream(s);
    std::string expectedSamples = logging::kSamplesHeader;
    char line[logging::kMaxSampleLine];
    for (const auto& r : d.records) {
        expectedSamples.append(line, logging::formatAngleAccelLine(line, r));
    }
    for (std::size_t chunk : {1u, 13u, 42u, 4096u, 1u << 20}) {
        SCOPED_TRACE(chunk);
        ScratchDir dir;
        ASSERT_TRUE(dir.ok());
        auto app = std::make_unique<app::App>();
        prepareApp(*app);
        ASSERT_EQ(logging::openLogFiles(app->files.logs), 0);
        const std::filesystem::path samples =
            logging::logName(app->files.logs, logging::kSamplesLog);
        const std::filesystem::path misc = logging::logName(app->files.logs, logging::kMiscLog);
        EXPECT_EQ(feedStream(*app, s.bytes.data(), s.bytes.size(), chunk), s.packets);
        ASSERT_EQ(logging::closeLogFiles(app->files.logs), 0);
        EXPECT_EQ(readFile(samples), expectedSamples);
        EXPECT_EQ(readFile(misc).size(), d.miscLogBytes);
    }
}

TEST(Workload, ScratchDirIsWorkedInAndRemoved) {
    const auto home = std::filesystem::current_path();
    std::filesystem::path made;
    {
        ScratchDir dir;
        ASSERT_TRUE(dir.ok());
        made = dir.path();
        EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(made));
        std::filesystem::create_directory("sub");
        std::ofstream("sub/file") << "x";
        ScratchDir inner;  // a second one while the first is current
        ASSERT_TRUE(inner.ok());
        EXPECT_NE(inner.path(), made);
    }
    EXPECT_EQ(std::filesystem::current_path(), home);
    EXPECT_FALSE(std::filesystem::exists(made));
}

}  // namespace
}  // namespace vg::bench
