// The loop driven by a scripted source and a clock that moves only when told: every way a run
// ends, rotation, and the times file kept one row per samples-log line when a write fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/run_loop.h"
#include "app/sources.h"
#include "logging/scratch_dir_test_util.h"
#include "platform/clock.h"
#include "sio/sio.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vg::app {
namespace {

struct FakeClock final : LoopClock {
    std::uint64_t ms = 0;
    int stopAtPass = -1;
    int passes = 0;
    std::uint64_t backAtMs = UINT64_MAX;  // from then the wall clock reads backMs earlier
    std::int64_t backMs = 0;
    std::uint64_t nowMs() override { return ms; }
    std::int64_t wallNowMs() override {
        return 1796771647000 + static_cast<std::int64_t>(ms) - (ms >= backAtMs ? backMs : 0);
    }
    bool stopAsked() override { return ++passes == stopAtPass; }
};

// What a scripted source does; -1: never.
struct Script {
    int packetsPerPull = 2;
    int pulls = -1;  // then the capture ends
    std::uint64_t stepMs = 300;
    int lostAt = -1;   // the link is lost at this pull
    int breakAt = -1;  // at this pull, the file in breakSlot stops taking writes
    std::size_t breakSlot = kSamplesFile;
};

struct FakeSource final : Source {
    Script script;
    FakeClock& clock;
    int pulled = 0;
    FakeSource(const Script& s, FakeClock& c) : script(s), clock(c) {}

    Pull pull(App& app, std::uint64_t /*nowMs*/) override {
        clock.ms += script.stepMs;
        if (script.pulls >= 0 && pulled >= script.pulls) {
            return Pull::Ended;
        }
        if (pulled++ == script.breakAt) {
            breakFile(setFile(app.files, script.breakSlot));
        }
        std::uint8_t packet[42] = {sio::kPacketStart, 42, 10};
        for (int i = 0; i < script.packetsPerPull; ++i) {
            packet[3] = static_cast<std::uint8_t>(pulled * 16 + i);
            app.ring.stampUs = static_cast<std::int64_t>(clock.ms) * 1000;
            sio::frameBytes(app.link.framer, app.ring, packet, sizeof packet);
        }
        return Pull::More;
    }
    sio::LinkEvent watch(App& app, std::uint64_t /*nowMs*/) override {
        if (pulled - 1 != script.lostAt || app.link.lost) {
            return sio::LinkEvent::None;
        }
        app.link.lost = true;
        ++app.link.losses;
        return sio::LinkEvent::Lost;
    }
    void show(App&, const RunCounters&, std::uint64_t) override {}
    void wait(App&, std::int64_t) override {}

    // Every later write to the file fails, as on a full disk.
    static void breakFile(logging::OutputFile& file) {
#ifndef _WIN32
        const int readOnly = open("/dev/null", O_RDONLY);
        dup2(readOnly, file.handle);
        close(readOnly);
#else
        (void)file;
#endif
    }
};

struct Case {
    const char* name;
    Script script;
    bool times = false;
    std::uint64_t sampleLimit = 0;
    std::uint64_t durationMs = 0;
    std::uint64_t rotateMs = 0;
    bool noReconnect = false;
    int stopAtPass = -1;
    int status = 0;
    std::uint64_t samples = 0;  // lines the samples logs hold; 0: not checked
    std::size_t sets = 1;
};

std::size_t lineCount(const std::string& path) {
    const std::string text = testutil::readFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(RunLoop, EndsEveryWayThroughOneFinish) {
    const Case cases[] = {
        {"end of capture", {2, 10}, false, 0, 0, 0, false, -1, 0, 20},
        {"end of capture with times", {3, 10}, true, 0, 0, 0, false, -1, 0, 30},
        {"sample limit", {4, -1}, true, 10, 0, 0, false, -1, 0, 10},
        {"duration", {2, -1, 250}, false, 0, 1000, 0, false, -1, 0, 8},
        {"exit key", {2, -1}, false, 0, 0, 0, false, 5, 0, 10},
        {"rotation", {2, 30, 10000}, true, 0, 0, 60000, false, -1, 0, 60, 6},
        {"link lost", {2, -1, 300, 3}, false, 0, 0, 0, true, -1, 3, 8},
        {"link lost, reconnecting", {2, 6, 300, 3}, false, 0, 0, 0, false, -1, 0, 12},
#ifndef _WIN32
        {"failed samples log", {5, -1, 300, -1, 7, kSamplesFile}, true, 0, 0, 0, false, -1, 1},
        {"failed times file", {5, -1, 300, -1, 7, kTimesFile}, true, 0, 0, 0, false, -1, 1},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::ScratchDir dir;
        auto app = std::make_unique<App>();
        FakeClock clock;
        clock.stopAtPass = c.stopAtPass;
        sio::setRingSize(app->ring, sio::kMaxSlots);
        Options options;
        options.times = c.times;
        options.sampleLimit = c.sampleLimit;
        options.durationMs = c.durationMs;
        options.rotateMs = c.rotateMs;
        startRecording(app->recording, options, clock.ms);
        timing::startSampleTimes(app->times, app->ring, 0, 0);
        std::tm stamp{};
        ASSERT_TRUE(
            platform::toLocalTime(static_cast<std::time_t>(clock.wallNowMs() / 1000), stamp));
        ASSERT_EQ(openFileSet(app->files, app->recording.plan, stamp, clock.ms), 0);
        hookFileSet(*app);
        app->link.reconnect = !c.noReconnect;
        FakeSource source(c.script, clock);

        EXPECT_EQ(runLoop(*app, source, clock, {}), c.status);

        const std::vector<RunFile> files = runFiles(*app);
        EXPECT_EQ(files.size(), c.sets * (c.times ? 3 : 2));
        if (c.samples != 0) {
            EXPECT_EQ(app->summary.samplesLogged, c.samples);
        }
        // Every set's times file has a row for each line of its samples log, and no more.
        std::uint64_t lines = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string& path = files[i].path;
            if (path.rfind("anglesAndAccels", 0) == 0) {
                lines += std::max<std::size_t>(lineCount(path), 1) - 1;
                if (c.times) {
                    EXPECT_EQ(lineCount(files[i + 2].path), lineCount(path)) << path;
                }
            }
        }
        EXPECT_EQ(lines, app->summary.samplesLogged);
    }
}

// A rotation whose names are taken (the wall clock went back a minute) takes a suffix and the run
// goes on; --keep 2 leaves the two newest sets and nothing else is touched.
TEST(RunLoop, RotationsSurviveTakenNamesAndKeepTheNewestSets) {
    testutil::ScratchDir dir;
    std::ofstream("notes.txt") << "not a set";
    auto app = std::make_unique<App>();
    FakeClock clock;
    clock.backAtMs = 100000;
    clock.backMs = 60000;
    sio::setRingSize(app->ring, sio::kMaxSlots);
    Options options;
    options.rotateMs = 60000;
    options.keepSets = 2;
    startRecording(app->recording, options, clock.ms);
    std::tm stamp{};
    ASSERT_TRUE(platform::toLocalTime(static_cast<std::time_t>(clock.wallNowMs() / 1000), stamp));
    ASSERT_EQ(openFileSet(app->files, app->recording.plan, stamp, clock.ms), 0);
    hookFileSet(*app);
    FakeSource source(Script{2, 30, 10000}, clock);

    EXPECT_EQ(runLoop(*app, source, clock, {}), 0);

    EXPECT_EQ(app->summary.samplesLogged, 60u);
    EXPECT_EQ(app->summary.deletedSets, 4u);
    bool suffixed = false;
    for (const RunFile& file : runFiles(*app)) {
        suffixed = suffixed || file.path.find("-2.txt") != std::string::npos;
    }
    EXPECT_TRUE(suffixed);
    std::size_t samplesLogs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        samplesLogs += entry.path().filename().string().rfind("anglesAndAccels", 0) == 0 ? 1u : 0u;
    }
    EXPECT_EQ(samplesLogs, 2u);
    EXPECT_EQ(testutil::readFile("notes.txt"), "not a set");
}

TEST(RunLoop, PortPassesAreWholeSleepStepsOfAboutFiftyMilliseconds) {
    const struct {
        std::uint64_t step, period;
    } cases[] = {{0, 50}, {1, 50}, {16, 64}, {25, 50}, {60, 60}};
    for (const auto& c : cases) {
        EXPECT_EQ(portPassPeriodMs(c.step), c.period) << "sleep step " << c.step;
    }
}

}  // namespace
}  // namespace vg::app
