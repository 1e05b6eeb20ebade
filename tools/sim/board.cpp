#include "tools/sim/board.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vg::sim {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::size_t kMaxJunkPerPacket = 300;
constexpr std::uint64_t kOtherEvery = 25;  // samples between packets of other kinds

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A uniform number in [0, 1).
double unit(std::uint64_t& state) {
    return static_cast<double>(splitmix(state) >> 11) * 0x1.0p-53;
}

std::int32_t fixed(double v, double scale, std::int32_t lo, std::int32_t hi) {
    const double r = std::round(v * scale);
    return static_cast<std::int32_t>(
        std::clamp(r, static_cast<double>(lo), static_cast<double>(hi)));
}

void put16(std::uint8_t* out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    out[0] = static_cast<std::uint8_t>(u >> 8);
    out[1] = static_cast<std::uint8_t>(u);
}

void put24(std::uint8_t* out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    out[0] = static_cast<std::uint8_t>(u >> 16);
    out[1] = static_cast<std::uint8_t>(u >> 8);
    out[2] = static_cast<std::uint8_t>(u);
}

constexpr std::int32_t kMin24 = -(1 << 23), kMax24 = (1 << 23) - 1;

// 16-bit word, 1/16384 per step.
void putQ14(std::uint8_t* out, double v) {
    put16(out, fixed(v, 16384.0, -32768, 32767));
}
// 24-bit signed, 1/65536 per step.
void putS24(std::uint8_t* out, double v) {
    put24(out, fixed(v, 65536.0, kMin24, kMax24));
}
// 24-bit signed, 1/256 per step (the top three bytes of a 32-bit value in 1/65536 steps).
void putT24(std::uint8_t* out, double v) {
    put24(out, fixed(v, 256.0, kMin24, kMax24));
}

void header(std::uint8_t* out, std::uint8_t length, std::uint8_t kind) {
    out[0] = 0x24;
    out[1] = length;
    out[2] = kind;
}

bool isDecodedKind(std::size_t k) {
    return k == kQuaternionKind || k == kRateKind || k == kAngleKind || k == kAccelKind ||
           k == kAngleAccelKind;
}

double wrapAngle(double a) {
    a = std::fmod(a + kPi, 2 * kPi);
    if (a < 0) {
        a += 2 * kPi;
    }
    return a - kPi;
}

}  // namespace

BoardConfig defaultConfig() {
    BoardConfig c;
    for (std::uint8_t k : {kQuaternionKind, kRateKind, kAngleKind, kAccelKind, kAngleAccelKind,
                           std::uint8_t{3}, std::uint8_t{11}}) {
        c.kinds[k] = true;
    }
    return c;
}

void initBoard(Board& board, const BoardConfig& config) {
    board = Board{};
    board.config = config;
    board.config.noise = std::clamp(config.noise, 0.0, 0.9);
    if (!(board.config.sampleRate > 0)) {
        board.config.sampleRate = 100.0;
    }
    board.rng = config.seed;
    // A slow turn, fast enough to cross the +-pi seam within a minute either way.
    const double speed = 0.3 + 0.2 * unit(board.rng);
    board.yawRate = unit(board.rng) < 0.5 ? -speed : speed;
    board.yaw0 = wrapAngle(2 * kPi * unit(board.rng));
    board.tiltPhase = 2 * kPi * unit(board.rng);
    board.rollPhase = 2 * kPi * unit(board.rng);
    board.buttonPhase = unit(board.rng);
}

Motion motionAt(const Board& board, std::uint64_t n) {
    const double t = static_cast<double>(n) / board.config.sampleRate;
    const double tiltW = 2 * kPi / 20.0, rollW = 2 * kPi / 13.0;
    Motion m;
    m.psi = wrapAngle(board.yaw0 + board.yawRate * t);
    m.theta = 1.2 * std::sin(tiltW * t + board.tiltPhase);  // past a tilt of 1 radian
    m.phi = 0.5 * std::sin(rollW * t + board.rollPhase);
    m.rate = {0.5 * rollW * std::cos(rollW * t + board.rollPhase),
              1.2 * tiltW * std::cos(tiltW * t + board.tiltPhase), board.yawRate};

    const double cr = std::cos(m.phi / 2), sr = std::sin(m.phi / 2);
    const double cp = std::cos(m.theta / 2), sp = std::sin(m.theta / 2);
    const double cy = std::cos(m.psi / 2), sy = std::sin(m.psi / 2);
    m.quat = {cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
              cr * cp * sy - sr * sp * cy};

    m.worldAccel = {0.05 * std::sin(2 * kPi * t / 3.0), 0.05 * std::cos(2 * kPi * t / 4.0),
                    0.02 * std::sin(2 * kPi * t / 5.0)};
    // Gravity as the tilted board feels it, plus the small motion.
    m.accel = {-std::sin(m.theta) + m.worldAccel[0],
               std::sin(m.phi) * std::cos(m.theta) + m.worldAccel[1],
               std::cos(m.phi) * std::cos(m.theta) + m.worldAccel[2]};

    const double press = std::fmod(t / 4.0 + board.buttonPhase, 1.0);
    m.buttons = static_cast<std::uint8_t>((press >= 0.8 && press < 0.9 ? 1 : 0) |
                                          (press >= 0.3 && press < 0.35 ? 2 : 0));
    return m;
}

std::size_t encodeQuaternion(std::uint8_t* out, const std::array<double, 4>& quat,
                             std::uint8_t buttons, std::uint8_t tag) {
    header(out, kQuaternionLength, kQuaternionKind);
    for (std::size_t i = 0; i < 4; ++i) {
        putQ14(out + 3 + 2 * i, quat[i]);
    }
    out[11] = buttons;
    out[12] = tag;
    return kQuaternionLength;
}

std::size_t encodeVector(std::uint8_t* out, std::uint8_t kind, const std::array<double, 3>& v,
                         std::uint8_t tag) {
    header(out, kVectorLength, kind);
    for (std::size_t i = 0; i < 3; ++i) {
        if (kind == kAngleKind) {
            putT24(out + 3 + 3 * i, v[i]);
        } else {
            putS24(out + 3 + 3 * i, v[i]);
        }
    }
    out[12] = tag;
    return kVectorLength;
}

std::size_t encodeAngleAccel(std::uint8_t* out, std::uint16_t sample, const Motion& m) {
    header(out, kAngleAccelLength, kAngleAccelKind);
    put16(out + 3, sample);
    putT24(out + 5, m.phi);
    putT24(out + 8, m.theta);
    putT24(out + 11, m.psi);
    for (std::size_t i = 0; i < 3; ++i) {
        putS24(out + 14 + 3 * i, m.accel[i]);
        putS24(out + 23 + 3 * i, m.worldAccel[i]);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        putQ14(out + 32 + 2 * i, m.quat[i]);
    }
    out[40] = 0;
    out[41] = 0;
    return kAngleAccelLength;
}

std::size_t encodeOther(std::uint8_t* out, std::uint8_t kind, std::uint8_t length,
                        std::uint64_t seed) {
    length = std::clamp<std::uint8_t>(length, 3, 127);
    header(out, length, kind);
    for (std::size_t i = 3; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(splitmix(seed));
    }
    return length;
}

void nextSample(Board& board, SampleBytes& out) {
    out.size = 0;
    out.packetCount = 0;
    out.junk = 0;
    const std::uint64_t n = board.sample++;
    const Motion m = motionAt(board, n);
    const auto tag = static_cast<std::uint8_t>(n);
    const auto& kinds = board.config.kinds;
    const double junkPerByte = board.config.noise / (1.0 - board.config.noise);

    auto junkBefore = [&](std::size_t packetLength) {
        board.junkDebt += junkPerByte * static_cast<double>(packetLength);
        if (board.junkDebt < 1.0) {
            return;
        }
        const auto count = std::min(
            static_cast<std::size_t>(board.junkDebt * 2.0 * unit(board.rng)), kMaxJunkPerPacket);
        for (std::size_t i = 0; i < count; ++i) {
            auto b = static_cast<std::uint8_t>(splitmix(board.rng));
            out.bytes[out.size++] = b == 0x24 ? std::uint8_t{0x23} : b;
        }
        out.junk += count;
        board.junkDebt -= static_cast<double>(count);
    };
    auto place = [&](std::size_t length, std::uint8_t kind) {
        out.packets[out.packetCount++] = {out.size, static_cast<std::uint8_t>(length), kind};
        out.size += length;
    };

    if (kinds[kQuaternionKind]) {
        junkBefore(kQuaternionLength);
        place(encodeQuaternion(out.bytes.data() + out.size, m.quat, m.buttons, tag),
              kQuaternionKind);
    }
    // One of the vector kinds per sample, in turn.
    for (std::size_t tries = 0; tries < 3; ++tries) {
        const auto kind = static_cast<std::uint8_t>(kRateKind + board.vectorTurn++ % 3);
        if (!kinds[kind]) {
            continue;
        }
        const std::array<double, 3> angles = {m.phi * 180 / kPi, m.theta * 180 / kPi,
                                              m.psi * 180 / kPi};
        const auto& v = kind == kRateKind ? m.rate : kind == kAngleKind ? angles : m.accel;
        junkBefore(kVectorLength);
        place(encodeVector(out.bytes.data() + out.size, kind, v, tag), kind);
        break;
    }
    if (kinds[kAngleAccelKind]) {
        junkBefore(kAngleAccelLength);
        place(encodeAngleAccel(out.bytes.data() + out.size, static_cast<std::uint16_t>(n), m),
              kAngleAccelKind);
    }
    if (n % kOtherEvery == kOtherEvery / 2) {
        for (std::size_t tries = 0; tries < 256; ++tries) {
            const std::size_t kind = board.unknownTurn++ % 256;
            if (!kinds[kind] || isDecodedKind(kind)) {
                continue;
            }
            const auto length = static_cast<std::uint8_t>(3 + splitmix(board.rng) % 60);
            junkBefore(length);
            place(encodeOther(out.bytes.data() + out.size, static_cast<std::uint8_t>(kind), length,
                              splitmix(board.rng)),
                  static_cast<std::uint8_t>(kind));
            break;
        }
    }
}

}  // namespace vg::sim
