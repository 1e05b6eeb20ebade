// vglog-bench: how many packets per second the logger's data path handles.
//
//   vglog-bench [benchmark options]    the benchmarks below (--benchmark_filter=REGEX picks some)
//   vglog-bench --drain PATH SECONDS [sleep|poll|idle] [MS]
//       CPU share of a drain loop on the live device at PATH (e.g. vglog-sim --link PATH) that
//       sleeps 2 ms a pass, or waits for the port to become readable (then 2 ms), or only sleeps
//       (the loop's own cost); MS replaces the 2 ms.
//
// Every benchmark that writes logs runs in a fresh temporary directory, so the lines really go
// through the C library into files, and checks afterwards that every packet was decoded and
// every byte of every line reached its file.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/workload.h"
#include "orientation/orientation.h"
#include "platform/clock.h"

namespace {

using vg::bench::Decoded;
using vg::bench::Stream;

constexpr std::size_t kReadBytes = 4096;  // one read of the link's receive buffer
constexpr std::size_t kStreamPackets = 1000;
constexpr std::size_t kBoardSamples = 1000;
constexpr std::uint64_t kSeed = 1;

std::int64_t asInt(std::size_t n) {
    return static_cast<std::int64_t>(n);
}

void reportRates(benchmark::State& state, std::size_t packets, std::size_t bytes) {
    state.SetItemsProcessed(state.iterations() * asInt(packets));
    state.SetBytesProcessed(state.iterations() * asInt(bytes));
}

// The logger's state with both logs open in a scratch directory.
struct LoggingRun {
    vg::bench::ScratchDir dir;
    std::unique_ptr<vg::app::App> app = std::make_unique<vg::app::App>();
    bool ok = false;

    LoggingRun() {
        vg::bench::prepareApp(*app);
        ok = dir.ok() && vg::logging::openLogFiles(app->files.logs) == 0;
    }
    LoggingRun(const LoggingRun&) = delete;
    LoggingRun& operator=(const LoggingRun&) = delete;

    // Closes the logs and checks that they hold the header and passes times what one pass of the
    // stream writes.
    void finish(benchmark::State& state, const Decoded& pass, std::size_t passes) {
        const std::filesystem::path samples =
            vg::logging::logName(app->files.logs, vg::logging::kSamplesLog);
        const std::filesystem::path misc =
            vg::logging::logName(app->files.logs, vg::logging::kMiscLog);
        if (vg::logging::closeLogFiles(app->files.logs) != 0) {
            state.SkipWithError("a log write failed");
            return;
        }
        std::error_code ec;
        const auto samplesSize = std::filesystem::file_size(dir.path() / samples, ec);
        const auto miscSize = std::filesystem::file_size(dir.path() / misc, ec);
        if (ec ||
            samplesSize != sizeof vg::logging::kSamplesHeader - 1 + passes * pass.samplesLogBytes ||
            miscSize != passes * pass.miscLogBytes) {
            state.SkipWithError("the logs do not hold every line");
        }
    }
};

// Feeds the stream through framer, ring and decoder into real log files, in reads of chunk
// bytes, and checks that every packet was decoded and every line reached the files.
void logStream(benchmark::State& state, const Stream& s, std::size_t chunk) {
    const Decoded pass = vg::bench::decodeStream(s);
    LoggingRun run;
    if (!run.ok) {
        state.SkipWithError("cannot create the logs in a temporary directory");
        return;
    }
    std::size_t decoded = 0;
    for (auto _ : state) {
        decoded += vg::bench::feedStream(*run.app, s.bytes.data(), s.bytes.size(), chunk);
    }
    if (decoded != static_cast<std::size_t>(state.iterations()) * s.packets) {
        state.SkipWithError("packets were lost");
    }
    run.finish(state, pass, static_cast<std::size_t>(state.iterations()));
    reportRates(state, s.packets, s.bytes.size());
}

// The main loop's work for AngleAccel packets: 4096-byte reads framed into the ring, each
// packet decoded and written as a samples-log line into a file.
void angleAccelToSamplesLog(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    const Stream s = vg::bench::angleAccelStream(kStreamPackets, kSeed);
    logStream(state, s, chunk);
}
BENCHMARK(angleAccelToSamplesLog)->ArgName("read")->Arg(kReadBytes)->Arg(256)->Arg(42);

// Quaternion packets, each with a new tag and a non-zero q1, through the decoder into the
// tracker.
void quaternionsToTracker(benchmark::State& state) {
    const Stream s = vg::bench::quaternionStream(kStreamPackets, kSeed);
    auto app = std::make_unique<vg::app::App>();
    vg::bench::prepareApp(*app);
    std::size_t decoded = 0;
    for (auto _ : state) {
        decoded += vg::bench::feedStream(*app, s.bytes.data(), s.bytes.size(), kReadBytes);
    }
    const std::uint8_t lastTag = s.bytes[s.bytes.size() - 1];
    if (decoded != static_cast<std::size_t>(state.iterations()) * s.packets ||
        app->state.lastSampleTag != lastTag) {
        state.SkipWithError("the tracker did not see every sample");
    }
    benchmark::DoNotOptimize(app->state.angleSmooth);
    reportRates(state, s.packets, s.bytes.size());
}
BENCHMARK(quaternionsToTracker);

// The simulated board's default stream: quaternion, vector and AngleAccel packets and now and
// then an unknown kind for the misc log; the argument is the percentage of junk bytes.
void boardMix(benchmark::State& state) {
    vg::sim::BoardConfig config = vg::sim::defaultConfig();
    config.seed = kSeed;
    config.noise = static_cast<double>(state.range(0)) / 100.0;
    const Stream s = vg::bench::boardStream(kBoardSamples, config);
    logStream(state, s, kReadBytes);
    state.counters["misc_lines"] = static_cast<double>(s.others);
    state.counters["samples_lines"] = static_cast<double>(s.angleAccel);
}
BENCHMARK(boardMix)->ArgName("junk%")->Arg(0)->Arg(10);

// The framer and the ring alone: 4096-byte reads cut into packets that are taken out again.
void framerAndRing(benchmark::State& state) {
    const Stream s = vg::bench::angleAccelStream(kStreamPackets, kSeed);
    auto app = std::make_unique<vg::app::App>();
    vg::bench::prepareApp(*app);
    std::array<std::uint8_t, vg::sio::kSlotBytes> dest{};
    std::size_t taken = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < s.bytes.size(); at += kReadBytes) {
            vg::sio::frameBytes(app->link.framer, app->ring, s.bytes.data() + at,
                                std::min(kReadBytes, s.bytes.size() - at));
            while (vg::sio::takePacket(app->ring, dest.data()) == 0) {
                ++taken;
            }
        }
    }
    if (taken != static_cast<std::size_t>(state.iterations()) * s.packets) {
        state.SkipWithError("packets were lost");
    }
    reportRates(state, s.packets, s.bytes.size());
}
BENCHMARK(framerAndRing);

// The tracker alone, one new sample per call.
void trackerAlone(benchmark::State& state) {
    const Stream s = vg::bench::quaternionStream(kStreamPackets, kSeed);
    // The decoder leaves no quaternions behind, so take them from the packets directly.
    std::vector<vg::orientation::Quat> quats;
    for (std::size_t at = 0; at < s.bytes.size(); at += vg::sim::kQuaternionLength) {
        vg::orientation::Quat q{};
        for (std::size_t i = 0; i < 4; ++i) {
            q[i] = vg::decode::q14ToFloat(vg::decode::readQ14Word(&s.bytes[at + 3 + 2 * i]));
        }
        quats.push_back(q);
    }
    vg::SensorState sensor{};
    vg::initSensorState(&sensor);
    std::size_t i = 0;
    for (auto _ : state) {
        sensor.quat = quats[i];
        sensor.sampleTag = static_cast<std::uint8_t>(sensor.lastSampleTag + 1);
        vg::orientation::updateOrientation(sensor);
        benchmark::DoNotOptimize(sensor.angleSmooth);
        i = i + 1 == quats.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(trackerAlone);

// One samples-log line formatted into a buffer, nothing written.
void formatSamplesLine(benchmark::State& state) {
    const Decoded pass = vg::bench::decodeStream(vg::bench::angleAccelStream(kStreamPackets, 7));
    std::array<char, vg::logging::kMaxSampleLine> line{};
    std::size_t i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes += vg::logging::formatAngleAccelLine(line.data(), pass.records[i]);
        benchmark::DoNotOptimize(line);
        i = i + 1 == pass.records.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(formatSamplesLine);

// AngleAccel packets written into a pseudo-terminal in reads' worth of 2048 bytes (more would
// trip the backlog warning), drained from its other end by the link and logged: the figure with
// the system calls in it.
void angleAccelThroughPty(benchmark::State& state) {
    const Stream s = vg::bench::angleAccelStream(kStreamPackets, kSeed);
    const Decoded pass = vg::bench::decodeStream(s);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        if (master >= 0) {
            close(master);
        }
        return;
    }
    const std::string device = ptsname(master);
    LoggingRun run;
    vg::app::App& app = *run.app;
    vg::sio::setLinkDevice(app.link, device.c_str(), 115200);
    if (!run.ok || vg::sio::openLink(app.link, app.ring) != 0) {
        state.SkipWithError("cannot open the link or the logs");
        close(master);
        return;
    }
    std::uint8_t start = 0;
    pollfd startPoll{master, POLLIN, 0};
    poll(&startPoll, 1, 1000);
    if (read(master, &start, 1) != 1 || start != 'w') {
        state.SkipWithError("the link sent no start byte");
    }
    constexpr std::size_t kWriteBytes = 2048;
    std::size_t decoded = 0;
    for (auto _ : state) {
        if (!state.error_occurred()) {
            std::size_t sent = 0;
            std::size_t target = decoded + s.packets;
            while (decoded < target) {
                if (sent < s.bytes.size()) {
                    const ssize_t n = write(master, s.bytes.data() + sent,
                                            std::min(kWriteBytes, s.bytes.size() - sent));
                    sent += n > 0 ? static_cast<std::size_t>(n) : 0;
                }
                pollfd p{app.link.portHandle, POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0) {
                    state.SkipWithError("the pseudo-terminal stalled");
                    break;
                }
                vg::sio::drainPort(app.link, app.ring);
                std::uint16_t pktsInBuffer = 0;
                vg::sio::countPackets(app.ring, pktsInBuffer);
                for (std::uint16_t k = 0; k < pktsInBuffer; ++k) {
                    vg::decode::decodeNextPacket(app.decoder, app.ring, app.state, app.files.logs);
                    ++decoded;
                }
                vg::logging::flushLogsIfDue(app.files.logs, vg::platform::monotonicMs());
            }
        }
    }
    vg::sio::closePort(app.link);
    close(master);
    if (!state.error_occurred()) {
        run.finish(state, pass, static_cast<std::size_t>(state.iterations()));
    }
    reportRates(state, s.packets, s.bytes.size());
}
BENCHMARK(angleAccelThroughPty)->UseRealTime();

// --drain: the idle and light-load cost of the polling loop on a live port.
double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int drainMode(const char* path, double seconds, const char* mode, unsigned sleepMs) {
    const bool waitForPort = std::strcmp(mode, "poll") == 0;
    const bool idle = std::strcmp(mode, "idle") == 0;
    auto app = std::make_unique<vg::app::App>();
    vg::sio::setLinkDevice(app->link, path, 115200);
    if (vg::sio::openLink(app->link, app->ring) != 0) {
        return 1;
    }
    std::array<std::uint8_t, vg::sio::kSlotBytes> dest{};
    std::size_t packets = 0;
    double inDrain = 0;
    const double cpu0 = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        if (t.count() >= seconds) {
            break;
        }
        if (waitForPort) {
            pollfd p{app->link.portHandle, POLLIN, 0};
            poll(&p, 1, 100);
        }
        if (!idle) {
            const double before = threadCpuSeconds();
            vg::sio::drainPort(app->link, app->ring);
            while (vg::sio::takePacket(app->ring, dest.data()) == 0) {
                ++packets;
            }
            inDrain += threadCpuSeconds() - before;
        }
        usleep(sleepMs * 1000);
    }
    const double cpu = cpuSeconds() - cpu0;
    std::printf("drain (%s): %zu packets in %.1f s, CPU %.3f s = %.3f %% of a core\n", mode,
                packets, seconds, cpu, 100.0 * cpu / seconds);
    std::printf("  of which draining and taking: %.3f s = %.3f %% of a core\n", inDrain,
                100.0 * inDrain / seconds);
    vg::sio::closePort(app->link);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--drain") == 0) {
        if (argc < 4 || argc > 6) {
            std::fprintf(stderr,
                         "usage: vglog-bench --drain PATH SECONDS [sleep|poll|idle] [MS]\n");
            return 2;
        }
        return drainMode(argv[2], std::atof(argv[3]), argc >= 5 ? argv[4] : "sleep",
                         argc == 6 ? static_cast<unsigned>(std::atoi(argv[5])) : 2u);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
