// Fuzz target: arbitrary quaternion samples, tags and button bytes through the orientation
// tracker, the pointer controller and the button relay, one step of each per sample, with a
// recording cursor in place of the screen's.
//
// Input: a flags byte, then (flag 0x04) the cursor's start position as two 32-bit integers,
// then samples. Flag 0x01 makes the samples wire values: four big-endian 16-bit words scaled by
// 1/16384, as the board sends them, then buttons and tag (10 bytes). Without it a sample is four
// arbitrary 32-bit floats (NaN, infinities and huge values included), buttons and tag (18
// bytes). Flag 0x02 makes every cursor query fail.
//
// What may be NaN: with a non-finite component in the quaternion, every angle; with finite but
// huge components, the relative rotation on the large-tilt path can overflow, so the steps,
// sums and smoothed angles can become NaN or infinite and stay so. What may not: with finite
// components the absolute angles are finite; the sine stays within [-1, 1] and the angles within
// their ranges whenever they are numbers; wire values keep everything finite and bounded; and
// whatever the tracker yields, the pointer reference, gains, state and cursor stay sane.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fuzz/harness.h"
#include "orientation/orientation.h"
#include "platform/cursor.h"
#include "pointer/pointer.h"
#include "state/sensor_state.h"

namespace {

using namespace vg;

constexpr float kPi = 3.14159265358979323846f;
constexpr float kHalfPi = 1.57079632679489661923f;
// A step of an angle in [-pi, pi] (small tilt) or of an arc tangent less pi/2 (large tilt).
constexpr float kMaxWireStep = 2.0f * kPi;
constexpr double kPixelsPerRadian = 2048.0;
// Room for float rounding of angles below 128 radians (a few of their units in the last place).
constexpr double kRounding = 1e-4;

struct ButtonEvent {
    std::uint32_t flags = 0;
    std::int32_t x = 0, y = 0;
};

// A cursor that remembers where it was put and what it was told.
class RecordingCursor final : public platform::CursorDevice {
  public:
    platform::CursorPoint position;
    bool queryWorks = true;
    int placements = 0;
    platform::CursorPoint placedAt;
    std::array<ButtonEvent, 2> events{};
    int eventCount = 0;

    bool queryPosition(platform::CursorPoint& where) override {
        if (queryWorks) {
            where = position;
        }
        return queryWorks;
    }
    bool setPosition(std::int32_t x, std::int32_t y) override {
        ++placements;
        placedAt = {x, y};
        position = placedAt;
        return true;
    }
    void buttonEvent(std::uint32_t flags, std::int32_t x, std::int32_t y) override {
        FUZZ_CHECK(eventCount < 2, "more than two button events in one relay call");
        events[static_cast<std::size_t>(eventCount++)] = {flags, x, y};
    }
};

bool isNumberWithin(float v, float limit) {
    return std::isnan(v) || (v >= -limit && v <= limit);
}

template <std::size_t N>
bool allFinite(const std::array<float, N>& a) {
    for (const float v : a) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    return true;
}

// The tracker's fields, to see that a repeated tag leaves them alone.
struct TrackerFields {
    std::array<float, 4> quatPrev;
    std::array<float, 3> euler, angleStep, angleSum, angleSmooth;
    std::array<float, 6> nowPrev;
    float sinClamp;
    std::uint8_t lastSampleTag;

    explicit TrackerFields(const SensorState& s)
        : quatPrev(s.quatPrev),
          euler(s.euler),
          angleStep(s.angleStep),
          angleSum(s.angleSum),
          angleSmooth(s.angleSmooth),
          nowPrev{s.phiNow, s.phiPrev, s.thetaNow, s.thetaPrev, s.psiNow, s.psiPrev},
          sinClamp(s.sinClamp),
          lastSampleTag(s.lastSampleTag) {}

    bool sameBits(const TrackerFields& o) const {
        return std::memcmp(quatPrev.data(), o.quatPrev.data(), sizeof quatPrev) == 0 &&
               std::memcmp(euler.data(), o.euler.data(), sizeof euler) == 0 &&
               std::memcmp(angleStep.data(), o.angleStep.data(), sizeof angleStep) == 0 &&
               std::memcmp(angleSum.data(), o.angleSum.data(), sizeof angleSum) == 0 &&
               std::memcmp(angleSmooth.data(), o.angleSmooth.data(), sizeof angleSmooth) == 0 &&
               std::memcmp(nowPrev.data(), o.nowPrev.data(), sizeof nowPrev) == 0 &&
               std::memcmp(&sinClamp, &o.sinClamp, sizeof sinClamp) == 0 &&
               lastSampleTag == o.lastSampleTag;
    }
};

void checkTracker(const SensorState& s, const TrackerFields& before, bool processed, bool wire,
                  std::array<float, 3>& maxAbsSum) {
    if (!processed) {
        FUZZ_CHECK(TrackerFields(s).sameBits(before), "a repeated tag changed the tracker");
        return;
    }
    FUZZ_CHECK(std::memcmp(s.quatPrev.data(), s.quat.data(), sizeof s.quat) == 0,
               "quatPrev is not the processed quaternion");
    FUZZ_CHECK(s.lastSampleTag == s.sampleTag, "tag not taken");
    FUZZ_CHECK(isNumberWithin(s.sinClamp, 1.0f), "sine %g", double(s.sinClamp));
    FUZZ_CHECK(isNumberWithin(s.euler[1], kHalfPi), "theta %g", double(s.euler[1]));
    FUZZ_CHECK(isNumberWithin(s.euler[0], kPi) && isNumberWithin(s.euler[2], kPi), "phi %g psi %g",
               double(s.euler[0]), double(s.euler[2]));
    if (allFinite(s.quat)) {
        FUZZ_CHECK(allFinite(s.euler), "angles %g %g %g of a finite quaternion", double(s.euler[0]),
                   double(s.euler[1]), double(s.euler[2]));
    }
    if (!wire) {
        return;
    }
    FUZZ_CHECK(std::isfinite(s.sinClamp), "sine not finite");
    FUZZ_CHECK(allFinite(s.angleStep) && allFinite(s.angleSum) && allFinite(s.angleSmooth),
               "steps %g %g %g sums %g %g %g", double(s.angleStep[0]), double(s.angleStep[1]),
               double(s.angleStep[2]), double(s.angleSum[0]), double(s.angleSum[1]),
               double(s.angleSum[2]));
    for (std::size_t i = 0; i < 3; ++i) {
        FUZZ_CHECK(std::fabs(s.angleStep[i]) <= kMaxWireStep, "step %zu is %g", i,
                   double(s.angleStep[i]));
        // The smoothed angle is a running weighted mean of the sums, so it never leaves their
        // range (but for rounding).
        maxAbsSum[i] = std::fmax(maxAbsSum[i], std::fabs(s.angleSum[i]));
        FUZZ_CHECK(std::fabs(s.angleSmooth[i]) <= maxAbsSum[i] * (1.0f + 1e-6f),
                   "smoothed %g beyond every sum (%g)", double(s.angleSmooth[i]),
                   double(maxAbsSum[i]));
    }
}

bool movesCursor(std::uint8_t state) {
    return state == pointer::Moving || state == pointer::Settling || state == pointer::Held;
}

bool knownState(std::uint8_t state) {
    return state == pointer::Start || state == pointer::Rest || state == pointer::Pressed ||
           state == pointer::Released || movesCursor(state);
}

std::int32_t offsetSaturated(std::int32_t at, std::int16_t step) {
    const std::int64_t v = std::int64_t{at} - step;
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

void checkPointer(const SensorState& s, const SensorState& before, RecordingCursor& cursor,
                  const platform::CursorPoint& positionBefore, bool wire) {
    FUZZ_CHECK(knownState(s.pointerState), "pointer state %u", unsigned{s.pointerState});
    FUZZ_CHECK(s.pointerGain[0] == 0.8f && s.pointerGain[1] == 0.8f, "gains %g %g",
               double(s.pointerGain[0]), double(s.pointerGain[1]));
    FUZZ_CHECK(std::isfinite(s.pointerRef[0]) && std::isfinite(s.pointerRef[1]), "reference %g %g",
               double(s.pointerRef[0]), double(s.pointerRef[1]));
    FUZZ_CHECK(s.stateTicks == before.stateTicks + 1 || s.stateTicks == 0, "ticks %u after %u",
               s.stateTicks, before.stateTicks);
    if (wire) {
        FUZZ_CHECK(allFinite(s.pointerMove), "pending move %g %g", double(s.pointerMove[0]),
                   double(s.pointerMove[1]));
    }

    if (!movesCursor(before.pointerState)) {
        FUZZ_CHECK(cursor.placements == 0, "the cursor moved in state %u",
                   unsigned{before.pointerState});
        FUZZ_CHECK(s.pointerStep[0] == 0 && s.pointerStep[1] == 0, "a step in state %u",
                   unsigned{before.pointerState});
        return;
    }
    FUZZ_CHECK(cursor.placements == 1, "%d placements in state %u", cursor.placements,
               unsigned{before.pointerState});
    const platform::CursorPoint from = cursor.queryWorks ? positionBefore : platform::CursorPoint{};
    FUZZ_CHECK(cursor.placedAt.x == offsetSaturated(from.x, s.pointerStep[0]) &&
                   cursor.placedAt.y == offsetSaturated(from.y, s.pointerStep[1]),
               "placed at %d %d from %d %d with steps %d %d", cursor.placedAt.x, cursor.placedAt.y,
               from.x, from.y, s.pointerStep[0], s.pointerStep[1]);

    // The reference advances by the whole pixels moved: what stays pending is less than a
    // pixel, on the side the move was. Checked where float rounding of the angles is far below
    // a pixel and the step did not wrap.
    for (std::size_t i = 0; i < 2; ++i) {
        const double scale = double(s.pointerGain[i]) * kPixelsPerRadian;
        const double move = double(s.pointerMove[i]);
        if (!std::isfinite(move) || std::fabs(move) * scale >= 32767.0 ||
            std::fabs(s.angleSmooth[i]) > 100.0f || std::fabs(before.pointerRef[i]) > 100.0f) {
            continue;
        }
        const double left = double(s.angleSmooth[i]) - double(s.pointerRef[i]);
        const bool sameSide = move > 0 ? left > -kRounding : left < kRounding;
        FUZZ_CHECK(std::fabs(left) < 1.0 / scale + kRounding && sameSide,
                   "axis %zu: pending %g after a move of %g (step %d)", i, left, move,
                   s.pointerStep[i]);
    }
}

void checkRelay(const SensorState& s, const pointer::ButtonLatches& latchesBefore,
                const pointer::ButtonLatches& latches, const RecordingCursor& cursor,
                const platform::CursorPoint& at) {
    const bool left = (s.buttons & 1) != 0;
    const bool right = (s.buttons & 2) != 0;
    FUZZ_CHECK(latches.leftLatch == (left ? 1 : 0) && latches.rightLatch == (right ? 1 : 0),
               "latches %u %u for buttons %u", unsigned{latches.leftLatch},
               unsigned{latches.rightLatch}, unsigned{s.buttons});
    std::array<std::uint32_t, 2> want{};
    int wanted = 0;
    if ((latchesBefore.leftLatch != 0) != left) {
        want[static_cast<std::size_t>(wanted++)] = left ? platform::kLeftDown : platform::kLeftUp;
    }
    if ((latchesBefore.rightLatch != 0) != right) {
        want[static_cast<std::size_t>(wanted++)] =
            right ? platform::kRightDown : platform::kRightUp;
    }
    FUZZ_CHECK(cursor.eventCount == wanted, "%d events, %d changes", cursor.eventCount, wanted);
    for (std::size_t k = 0; k < static_cast<std::size_t>(wanted); ++k) {
        const ButtonEvent& e = cursor.events[k];
        FUZZ_CHECK(e.flags == want[k] && e.x == at.x && e.y == at.y, "event %zu: flags %u at %d %d",
                   k, e.flags, e.x, e.y);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.byte();
    const bool wire = (flags & 0x01) != 0;

    RecordingCursor cursor;
    cursor.queryWorks = (flags & 0x02) == 0;
    if ((flags & 0x04) != 0) {
        cursor.position.x = in.value<std::int32_t>();
        cursor.position.y = in.value<std::int32_t>();
    }

    SensorState state;
    initSensorState(&state);
    pointer::ButtonLatches latches;
    std::array<float, 3> maxAbsSum{};

    const std::size_t sampleBytes = wire ? 10 : 18;
    while (in.left() >= sampleBytes) {
        if (wire) {
            for (std::size_t i = 0; i < 4; ++i) {
                const auto hi = in.byte();
                const auto word = static_cast<std::int16_t>((hi << 8) | in.byte());
                state.quatRaw[i] = word;
                state.quat[i] = static_cast<float>(word / 16384.0);
            }
        } else {
            for (float& q : state.quat) {
                q = in.value<float>();
            }
        }
        state.buttons = in.byte();
        state.sampleTag = in.byte();

        const TrackerFields trackerBefore(state);
        const bool processed = state.sampleTag != state.lastSampleTag;
        orientation::updateOrientation(state);
        checkTracker(state, trackerBefore, processed, wire, maxAbsSum);

        const SensorState before = state;
        const platform::CursorPoint positionBefore = cursor.position;
        cursor.placements = 0;
        pointer::stepPointer(state, cursor);
        checkPointer(state, before, cursor, positionBefore, wire);

        const pointer::ButtonLatches latchesBefore = latches;
        cursor.eventCount = 0;
        pointer::relayButtons(state, latches, cursor);
        checkRelay(state, latchesBefore, latches, cursor,
                   cursor.queryWorks ? cursor.position : platform::CursorPoint{});
    }
    return 0;
}
