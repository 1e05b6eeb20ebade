#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sio/sio.h"
#include "tools/sim/board.h"

extern char** environ;

namespace vg::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Stream {
    Bytes bytes;
    std::vector<Bytes> packets;
    std::size_t junk = 0;
};

Stream generate(const BoardConfig& config, std::size_t samples) {
    Board board;
    initBoard(board, config);
    auto sample = std::make_unique<SampleBytes>();
    Stream s;
    for (std::size_t i = 0; i < samples; ++i) {
        nextSample(board, *sample);
        for (std::size_t k = 0; k < sample->packetCount; ++k) {
            const auto& p = sample->packets[k];
            EXPECT_EQ(p.kind, sample->bytes[p.offset + 2]);
            s.packets.emplace_back(
                sample->bytes.begin() + static_cast<std::ptrdiff_t>(p.offset),
                sample->bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.length));
        }
        s.bytes.insert(s.bytes.end(), sample->bytes.begin(),
                       sample->bytes.begin() + static_cast<std::ptrdiff_t>(sample->size));
        s.junk += sample->junk;
    }
    return s;
}

std::vector<Bytes> frame(const Bytes& stream, std::uint32_t chunkSeed) {
    auto ring = std::make_unique<sio::PacketRing>();
    sio::setRingSize(*ring, sio::kMaxSlots);
    sio::Framer framer;
    std::mt19937 rng(chunkSeed);
    std::vector<Bytes> out;
    std::array<std::uint8_t, sio::kSlotBytes> dest{};
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t len = std::min<std::size_t>(1 + rng() % 200, stream.size() - at);
        sio::frameBytes(framer, *ring, stream.data() + at, len);
        at += len;
        while (sio::takePacket(*ring, dest.data()) == 0) {
            out.emplace_back(dest.begin(), dest.begin() + dest[1]);
        }
    }
    return out;
}

std::uint8_t expectedLength(std::uint8_t kind) {
    switch (kind) {
        case kQuaternionKind:
            return kQuaternionLength;
        case kRateKind:
        case kAngleKind:
        case kAccelKind:
            return kVectorLength;
        case kAngleAccelKind:
            return kAngleAccelLength;
        default:
            return 0;
    }
}

BoardConfig withKinds(std::initializer_list<int> kinds, double noise = 0) {
    BoardConfig c;
    for (int k : kinds) {
        c.kinds[static_cast<std::size_t>(k)] = true;
    }
    c.noise = noise;
    return c;
}

TEST(BoardTest, FramerReadsBackExactlyThePacketsSent) {
    const struct {
        const char* name;
        BoardConfig config;
        std::vector<int> kinds;
    } cases[] = {
        {"default mix", defaultConfig(), {2, 3, 7, 8, 9, 10, 11}},
        {"with junk",
         [] {
             auto c = defaultConfig();
             c.noise = 0.3;
             return c;
         }(),
         {2, 3, 7, 8, 9, 10, 11}},
        {"AngleAccel only", withKinds({10}), {10}},
        {"quaternions and an unknown kind", withKinds({2, 200}, 0.1), {2, 200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Stream s = generate(c.config, 3000);
        EXPECT_EQ(frame(s.bytes, 1), s.packets);
        EXPECT_EQ(frame(s.bytes, 2), s.packets);

        std::map<int, std::size_t> seen;
        for (const auto& p : s.packets) {
            ++seen[p[2]];
            const std::uint8_t want = expectedLength(p[2]);
            if (want != 0) {
                EXPECT_EQ(p[1], want) << "kind " << int{p[2]};
            } else {
                EXPECT_GE(p[1], 3);
                EXPECT_LE(p[1], 127);
            }
        }
        std::vector<int> kinds;
        for (const auto& [k, n] : seen) {
            kinds.push_back(k);
        }
        EXPECT_EQ(kinds, c.kinds);
    }
}

TEST(BoardTest, JunkIsTheAskedFractionOfTheStream) {
    for (double noise : {0.0, 0.05, 0.3, 0.6}) {
        auto c = defaultConfig();
        c.noise = noise;
        const Stream s = generate(c, 5000);
        const double fraction = static_cast<double>(s.junk) / static_cast<double>(s.bytes.size());
        EXPECT_NEAR(fraction, noise, 0.02) << noise;
    }
}

TEST(BoardTest, SeedMakesTheStreamRepeatable) {
    auto a = defaultConfig(), b = defaultConfig();
    a.noise = b.noise = 0.1;
    b.seed = 2;
    EXPECT_EQ(generate(a, 500).bytes, generate(a, 500).bytes);
    EXPECT_NE(generate(a, 500).bytes, generate(b, 500).bytes);
}

// The board turns past the +-pi seam and tilts past a radian, and its quaternion is a rotation.
TEST(BoardTest, MotionCoversTheAwkwardAngles) {
    for (std::uint64_t seed : {1u, 2u, 3u, 99u}) {
        Board board;
        auto c = defaultConfig();
        c.seed = seed;
        initBoard(board, c);
        bool crossedSeam = false, tiltedPastOne = false, pressed = false;
        double prevPsi = motionAt(board, 0).psi;
        for (std::uint64_t n = 1; n < 60 * 100; ++n) {
            const Motion m = motionAt(board, n);
            crossedSeam |= std::fabs(m.psi - prevPsi) > 3.0;
            tiltedPastOne |= std::fabs(m.theta) > 1.0;
            pressed |= m.buttons != 0;
            prevPsi = m.psi;
            const double norm = std::sqrt(m.quat[0] * m.quat[0] + m.quat[1] * m.quat[1] +
                                          m.quat[2] * m.quat[2] + m.quat[3] * m.quat[3]);
            ASSERT_NEAR(norm, 1.0, 1e-9);
            ASSERT_LE(std::fabs(m.psi), M_PI);
        }
        EXPECT_TRUE(crossedSeam) << seed;
        EXPECT_TRUE(tiltedPastOne) << seed;
        EXPECT_TRUE(pressed) << seed;
    }
}

std::int32_t be(const Bytes& p, std::size_t at, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v = (v << 8) | p[at + i];
    }
    const std::uint32_t sign = 1u << (8 * n - 1);
    return static_cast<std::int32_t>(v ^ sign) - static_cast<std::int32_t>(sign);
}

// Fields land at their offsets in the board's fixed-point encodings.
TEST(BoardTest, AngleAccelAndQuaternionFieldsEncodeTheMotion) {
    const BoardConfig c = withKinds({2, 10});
    Board board;
    initBoard(board, c);
    const Stream s = generate(c, 400);
    ASSERT_EQ(s.packets.size(), 800u);
    for (std::uint64_t n = 0; n < 400; ++n) {
        const Motion m = motionAt(board, n);
        const Bytes& q = s.packets[2 * n];
        const Bytes& aa = s.packets[2 * n + 1];
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_NEAR(be(q, 3 + 2 * i, 2) / 16384.0, m.quat[i], 0.5 / 16384 + 1e-12);
            EXPECT_NEAR(be(aa, 32 + 2 * i, 2) / 16384.0, m.quat[i], 0.5 / 16384 + 1e-12);
        }
        EXPECT_EQ(q[11], m.buttons);
        EXPECT_EQ(q[12], static_cast<std::uint8_t>(n));
        EXPECT_EQ(static_cast<std::uint16_t>(be(aa, 3, 2)), n);
        const double angles[] = {m.phi, m.theta, m.psi};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_NEAR(be(aa, 5 + 3 * i, 3) * 256 / 65536.0, angles[i], 0.5 / 256 + 1e-12);
            EXPECT_NEAR(be(aa, 14 + 3 * i, 3) / 65536.0, m.accel[i], 0.5 / 65536 + 1e-12);
            EXPECT_NEAR(be(aa, 23 + 3 * i, 3) / 65536.0, m.worldAccel[i], 0.5 / 65536 + 1e-12);
        }
    }
}

// Runs vglog-sim on a pseudo-terminal, linked into a scratch folder, with a logger link on it.
struct SimProgramTest : ::testing::Test {
    std::string dir, link, err, rec;
    pid_t pid = -1;
    std::unique_ptr<sio::SerialLink> serial = std::make_unique<sio::SerialLink>();
    std::unique_ptr<sio::PacketRing> ring = std::make_unique<sio::PacketRing>();

    void SetUp() override {
        char tmp[] = "/tmp/vglog-sim-XXXXXX";
        ASSERT_NE(mkdtemp(tmp), nullptr);
        dir = tmp;
        link = dir + "/port";
        err = dir + "/err";
        rec = dir + "/rec";
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        for (const auto& f : {link, err, rec}) {
            unlink(f.c_str());
        }
        rmdir(dir.c_str());
    }

    // Starts the program and opens the logger's link on its device.
    void start(std::vector<std::string> args) {
        const char* buildDir = std::getenv("VGLOG_BUILD_DIR");
        ASSERT_NE(buildDir, nullptr);
        const std::string sim = std::string(buildDir) + "/vglog-sim";
        args.insert(args.begin(), {sim, "--link", link, "--record", rec});
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        ASSERT_EQ(posix_spawn(&pid, sim.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        struct stat st {};
        // Up to 30 s: a busy machine may take its time to start a program.
        for (int i = 0; i < 3000 && lstat(link.c_str(), &st) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        sio::setLinkDevice(*serial, link.c_str(), 115200);
        ASSERT_EQ(sio::openLink(*serial, *ring), 0);
    }

    // Drains until count packets came or time ran out.
    std::vector<Bytes> receive(std::size_t count) {
        std::vector<Bytes> got;
        std::array<std::uint8_t, sio::kSlotBytes> dest{};
        ::testing::internal::CaptureStdout();  // backlog warnings while the board outruns us
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (got.size() < count && std::chrono::steady_clock::now() < until) {
            sio::drainPort(*serial, *ring);
            while (sio::takePacket(*ring, dest.data()) == 0) {
                got.emplace_back(dest.begin(), dest.begin() + dest[1]);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        return got;
    }

    // Hangs up and gives the program's summary line once it has left.
    std::string finish() {
        sio::closePort(*serial);
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the simulator";
        std::ifstream in(err);
        std::string summary;
        std::getline(in, summary);
        return summary;
    }

    Bytes recorded() const {
        std::ifstream in(rec, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), {});
    }
};

// What the logger's link reads is exactly what the program says it sent, and what it recorded.
TEST_F(SimProgramTest, LoggerLinkReadsWhatTheSimSays) {
    start({"--count", "3000", "--seed", "5", "--noise", "0.1", "--no-pace"});
    const std::vector<Bytes> got = receive(3000);
    const std::string summary = finish();

    std::map<int, std::size_t> byKind;
    for (const auto& p : got) {
        ++byKind[p[2]];
    }
    const Bytes bytes = recorded();
    const std::string head = "vglog-sim: sent 3000 packets, " + std::to_string(bytes.size());
    EXPECT_EQ(summary.rfind(head, 0), 0u) << summary;
    for (const auto& [kind, n] : byKind) {
        EXPECT_NE(summary.find("; kind " + std::to_string(kind) + ": " + std::to_string(n) + ";"),
                  std::string::npos)
            << "kind " << kind << " x" << n << " in: " << summary;
    }
    ASSERT_EQ(got.size(), 3000u);
    auto c = defaultConfig();
    c.seed = 5;
    c.noise = 0.1;
    Stream s = generate(c, 3000);
    s.packets.resize(3000);
    EXPECT_EQ(got, s.packets);
    EXPECT_EQ(frame(bytes, 3), s.packets);
}

// Asked for more than the line carries, the board sends no faster than 115200 baud allows.
TEST_F(SimProgramTest, PacesNoFasterThanTheLine) {
    const auto t0 = std::chrono::steady_clock::now();
    start({"--kinds", "10", "--rate", "1000", "--count", "300"});
    EXPECT_EQ(receive(300).size(), 300u);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    const std::string summary = finish();
    EXPECT_EQ(summary.rfind("vglog-sim: sent 300 packets, 12600 bytes", 0), 0u) << summary;
    // 12600 bytes at 11520 a second: 1.09 s, though 300 samples at 1000 Hz would take 0.3 s.
    EXPECT_GT(took.count(), 1.0);
    EXPECT_LT(took.count(), 3.0);
}

}  // namespace
}  // namespace vg::sim
