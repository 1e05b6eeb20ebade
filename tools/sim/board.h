// The simulated board: a deterministic motion model and the packets a board sends about it.
// Used by vglog-sim and by tests, benchmarks and fuzz corpora that need realistic streams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vg::sim {

inline constexpr std::uint8_t kQuaternionKind = 2;
inline constexpr std::uint8_t kRateKind = 7;   // three S24 axes
inline constexpr std::uint8_t kAngleKind = 8;  // three T24 axes
inline constexpr std::uint8_t kAccelKind = 9;  // three S24 axes
inline constexpr std::uint8_t kAngleAccelKind = 10;
inline constexpr std::uint8_t kVectorLength = 13;
inline constexpr std::uint8_t kQuaternionLength = 13;
inline constexpr std::uint8_t kAngleAccelLength = 42;

// Where the board is at one instant. Angles in radians (phi about x, theta about y, psi about z,
// applied z, y, x), accelerations in units of gravity, rates in radians per second.
struct Motion {
    double phi = 0, theta = 0, psi = 0;
    std::array<double, 4> quat{};  // scalar first
    std::array<double, 3> accel{};
    std::array<double, 3> worldAccel{};
    std::array<double, 3> rate{};
    std::uint8_t buttons = 0;
};

struct BoardConfig {
    std::uint64_t seed = 1;
    double sampleRate = 100.0;  // motion samples per second
    double noise = 0.0;         // fraction of the stream that is junk bytes, 0 to 0.9
    // Kinds to send. 2, 7, 8, 9 and 10 are the board's own; any other kind enabled here is sent
    // now and then as a packet the logger does not decode.
    std::array<bool, 256> kinds{};
};

// The default mix: every decoded kind, and unknown kinds 3 and 11.
BoardConfig defaultConfig();

inline constexpr std::size_t kMaxPacketsPerSample = 4;
inline constexpr std::size_t kMaxSampleBytes = 2048;

struct SentPacket {
    std::size_t offset = 0;  // in SampleBytes::bytes
    std::uint8_t length = 0;
    std::uint8_t kind = 0;
};

// The bytes the board sends for one motion sample, and where its packets lie among them.
// Junk bytes never contain "$", so every packet sent can be framed again.
struct SampleBytes {
    std::array<std::uint8_t, kMaxSampleBytes> bytes{};
    std::size_t size = 0;
    std::array<SentPacket, kMaxPacketsPerSample> packets{};
    std::size_t packetCount = 0;
    std::size_t junk = 0;
};

struct Board {
    BoardConfig config;
    std::uint64_t sample = 0;  // index of the next sample
    std::uint64_t rng = 0;
    double junkDebt = 0;
    std::size_t vectorTurn = 0;
    std::size_t unknownTurn = 0;
    // Motion parameters drawn from the seed.
    double yawRate = 0, yaw0 = 0, tiltPhase = 0, rollPhase = 0, buttonPhase = 0;
};

void initBoard(Board& board, const BoardConfig& config);
// The motion at sample index n.
Motion motionAt(const Board& board, std::uint64_t n);
// Builds the next sample's bytes and advances the board.
void nextSample(Board& board, SampleBytes& out);

// Packet encoders; each writes one whole packet at out and gives its length.
std::size_t encodeQuaternion(std::uint8_t* out, const std::array<double, 4>& quat,
                             std::uint8_t buttons, std::uint8_t tag);
// kind 8 carries T24 axes, the others S24.
std::size_t encodeVector(std::uint8_t* out, std::uint8_t kind, const std::array<double, 3>& v,
                         std::uint8_t tag);
std::size_t encodeAngleAccel(std::uint8_t* out, std::uint16_t sample, const Motion& m);
// A packet of a kind the logger does not decode: length at least 3, payload from seed.
std::size_t encodeOther(std::uint8_t* out, std::uint8_t kind, std::uint8_t length,
                        std::uint64_t seed);

}  // namespace vg::sim
