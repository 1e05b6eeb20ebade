// The one record of quaternion-derived state, tracker results and pointer-controller state.
#pragma once

#include <array>
#include <cstdint>

namespace vg {

struct SensorState {
    std::array<std::int32_t, 4> quatRaw{};  // sign-fixed Q14 words of the latest quaternion
    std::array<float, 4> quat{};            // quatRaw / 16384: q0 (scalar), q1, q2, q3
    std::array<float, 4> quatPrev{};        // quat at the end of the previous processed sample
    std::array<float, 3> euler{};           // phi, theta, psi of quat
    float phiNow = 0, phiPrev = 0;
    float thetaNow = 0, thetaPrev = 0;
    float psiNow = 0, psiPrev = 0;
    std::array<float, 3> angleStep{};    // per-axis change in the last processed sample
    std::array<float, 3> angleSum{};     // per-axis accumulated angle, unwrapped
    std::array<float, 3> angleSmooth{};  // per-axis smoothed angleSum
    std::array<float, 3> pointerGain{};
    float sinClamp = 0;        // the sine fed to the arc sine, clamped to [-1, 1]
    std::uint8_t buttons = 0;  // bit 0 primary, bit 1 secondary
    std::uint8_t sampleTag = 0;
    std::uint8_t lastSampleTag = 0;  // tag of the last quaternion the tracker processed

    // Pointer block.
    std::array<float, 2> pointerRef{};
    std::array<float, 2> pointerMove{};
    std::array<std::int16_t, 2> pointerStep{};
    std::uint8_t pointerState = 0;
    std::uint8_t savedButtons = 0;
    std::uint32_t stateTicks = 0;
    std::uint32_t holdTicks = 0;
    std::uint32_t releaseTicks = 0;
    std::uint32_t settleTicks = 0;
    float stepThreshold = 0;
    float moveThreshold = 0;

    std::array<float, 3> kind7Vector{};
    std::array<float, 3> kind8Vector{};
    std::array<float, 3> kind9Vector{};
};

// Sets exactly the fields that have a start value (sums, smoothing, gains and the pointer
// block's tuning) and leaves every other field, lastSampleTag included, as it is.
SensorState* initSensorState(SensorState* state);

}  // namespace vg
