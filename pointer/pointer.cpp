#include "pointer/pointer.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace vg::pointer {
namespace {

constexpr std::uint8_t kPrimary = 0x01;
constexpr std::uint8_t kSecondary = 0x02;
constexpr double kPixelsPerRadian = 2048.0;  // at a gain of 1
constexpr float kDefaultGain = 0.8f;
constexpr float kRestPull = 0.1f;

// Rounds a double result to the float it is stored as. Values beyond the float range are
// converted by hand, as round-to-nearest would (largest float, or infinity past the halfway
// point), because the language leaves that conversion undefined.
float toStored(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax || value < -kMax) {
        constexpr double kHalfwayToOverflow = 0x1.ffffffp127;
        const float big = std::fabs(value) >= kHalfwayToOverflow
                              ? std::numeric_limits<float>::infinity()
                              : std::numeric_limits<float>::max();
        return value < 0 ? -big : big;
    }
    return static_cast<float>(value);
}

// The product truncated toward zero, keeping the low 16 bits of the whole number as a signed
// step. Done with an exact remainder instead of a cast, so values past the 32-bit range wrap
// like any other (the low 16 bits of the exact integer) rather than being undefined. NaN and
// infinities have no integer part and give 0.
std::int16_t truncateToStep(double product) {
    if (!std::isfinite(product)) {
        return 0;
    }
    double low = std::fmod(std::trunc(product), 65536.0);  // exact, sign of the product
    if (low < 0) {
        low += 65536.0;
    }
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(low));
}

// Adds `delta` to a reference angle unless the sum is not a finite float: one bad sample must
// not leave the reference NaN or infinite, which would freeze the pointer for the rest of the
// run.
void advanceReference(float& ref, double delta) {
    const float next = toStored(static_cast<double>(ref) + delta);
    if (std::isfinite(next)) {
        ref = next;
    }
}

// Cursor coordinates are 32-bit; a step taken near the edge of that range stops at the edge.
std::int32_t offsetCoordinate(std::int32_t at, std::int16_t step) {
    const std::int64_t target = std::int64_t{at} - step;
    if (target > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (target < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(target);
}

bool atOrAbove(float value, float threshold) {
    return std::fabs(static_cast<double>(value)) >= static_cast<double>(threshold);
}

void resetGains(SensorState& state) {
    state.pointerGain[0] = kDefaultGain;
    state.pointerGain[1] = kDefaultGain;
}

void relayOne(bool down, std::uint8_t& latch, std::uint32_t downFlag, std::uint32_t upFlag,
              const platform::CursorPoint& at, platform::CursorDevice& cursor) {
    if (latch == 0 && down) {
        cursor.buttonEvent(downFlag, at.x, at.y);
        latch = 1;
    } else if (latch != 0 && !down) {
        cursor.buttonEvent(upFlag, at.x, at.y);
        latch = 0;
    }
}

}  // namespace

bool stepAboveThreshold(const SensorState& state) {
    return atOrAbove(state.angleStep[0], state.stepThreshold) ||
           atOrAbove(state.angleStep[1], state.stepThreshold);
}

bool moveAboveThreshold(const SensorState& state) {
    return atOrAbove(state.pointerMove[0], state.moveThreshold) ||
           atOrAbove(state.pointerMove[1], state.moveThreshold);
}

void pullReference(SensorState& state, float fraction) {
    if (fraction > 1.0f) {
        fraction = 1.0f;
    } else if (!(fraction >= 0.0f)) {  // below 0, or NaN
        fraction = 0.0f;
    }
    for (std::size_t i = 0; i < 2; ++i) {
        advanceReference(state.pointerRef[i],
                         static_cast<double>(state.pointerMove[i]) * static_cast<double>(fraction));
    }
}

bool moveCursor(SensorState& state, platform::CursorDevice& cursor) {
    // A failed query leaves the origin, so the cursor then lands at the negated step.
    platform::CursorPoint tmpPt{0, 0};
    cursor.queryPosition(tmpPt);

    for (std::size_t i = 0; i < 2; ++i) {
        const double scale = static_cast<double>(state.pointerGain[i]) * kPixelsPerRadian;
        const std::int16_t step = truncateToStep(static_cast<double>(state.pointerMove[i]) * scale);
        state.pointerStep[i] = step;
        // Advance by exactly the pixels moved, so the unmoved fraction stays pending. A zero
        // step leaves the reference as it is (and needs no division by a possibly zero scale).
        if (step != 0) {
            advanceReference(state.pointerRef[i], static_cast<double>(step) / scale);
        }
    }

    return cursor.setPosition(offsetCoordinate(tmpPt.x, state.pointerStep[0]),
                              offsetCoordinate(tmpPt.y, state.pointerStep[1]));
}

void stepPointer(SensorState& state, platform::CursorDevice& cursor) {
    for (std::size_t i = 0; i < 2; ++i) {
        state.pointerMove[i] = toStored(static_cast<double>(state.angleSmooth[i]) -
                                        static_cast<double>(state.pointerRef[i]));
        state.pointerStep[i] = 0;
    }
    ++state.stateTicks;

    // Within a state's work later decisions overwrite pointerState, while their other effects
    // (tick resets, saved buttons, gains) stay done.
    switch (state.pointerState) {
        case Start:
            state.pointerState = stepAboveThreshold(state) ? Moving : Rest;
            break;

        case Rest:
            pullReference(state, kRestPull);
            if (state.buttons != 0) {
                state.pointerState = Pressed;
                state.stateTicks = 0;
                state.savedButtons = state.buttons;
            }
            // pointerMove is the pending move from before the pull, which does not touch it.
            if (moveAboveThreshold(state)) {
                state.pointerState = Moving;
            }
            break;

        case Pressed:
            pullReference(state, 1.0f);
            if ((state.buttons & kPrimary) != 0) {
                if (state.stateTicks >= state.holdTicks) {
                    state.pointerState = Held;
                    state.stateTicks = 0;
                    resetGains(state);
                }
            } else if (state.buttons == 0) {
                state.pointerState = Released;
                state.stateTicks = 0;
            }
            break;

        case Released:
            pullReference(state, 1.0f);
            if (state.stateTicks >= state.releaseTicks) {
                state.pointerState = Start;
            } else if (state.buttons == state.savedButtons) {
                state.pointerState = Start;
                state.stateTicks = 0;
            }
            break;

        case Moving:
            if (!stepAboveThreshold(state)) {
                state.pointerState = Settling;
                state.stateTicks = 0;
            }
            if ((state.buttons & kPrimary) != 0) {
                state.pointerState = Held;
                state.stateTicks = 0;
                resetGains(state);
            }
            moveCursor(state, cursor);
            break;

        case Settling:
            if (stepAboveThreshold(state)) {
                state.pointerState = Moving;
            } else if (state.stateTicks >= state.settleTicks) {
                state.pointerState = Rest;
            }
            if (state.buttons != 0) {
                state.pointerState = Pressed;
                state.stateTicks = 0;
            }
            moveCursor(state, cursor);
            break;

        case Held:
            if ((state.buttons & kPrimary) == 0) {
                resetGains(state);
                state.pointerState = Rest;
            }
            moveCursor(state, cursor);
            break;

        default:
            // Not a state this machine ever enters; start over rather than stay stuck.
            state.pointerState = Start;
            break;
    }
}

void relayButtons(const SensorState& state, ButtonLatches& latches,
                  platform::CursorDevice& cursor) {
    platform::CursorPoint tmpPt{0, 0};
    cursor.queryPosition(tmpPt);
    relayOne((state.buttons & kPrimary) != 0, latches.leftLatch, platform::kLeftDown,
             platform::kLeftUp, tmpPt, cursor);
    relayOne((state.buttons & kSecondary) != 0, latches.rightLatch, platform::kRightDown,
             platform::kRightUp, tmpPt, cursor);
}

}  // namespace vg::pointer
