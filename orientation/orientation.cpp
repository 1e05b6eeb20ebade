#include "orientation/orientation.h"

#include <cfloat>
#include <cmath>
#include <cstddef>

// The logged angles must come out bit for bit the same on every build: each formula is worked
// in double from its float operands and rounded to float where it is stored. Value-changing
// optimisations and wider intermediate evaluation would silently break that. Fused
// multiply-adds are kept out by the build and, for clang, here as well; they could not change
// these results anyway, as every product is of two floats (or by 2) and so exact in double.
#if defined(__FAST_MATH__)
#error "the orientation tracker must not be built with fast-math"
#endif
static_assert(FLT_EVAL_METHOD == 0 || FLT_EVAL_METHOD == 1,
              "double expressions must be evaluated in double, not in a wider format");
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace vg::orientation {
namespace {

// pi/2 as the float nearest to it, used in double to take the offset off the relative
// rotation's arc tangents (an unchanged orientation then gives a step of exactly 0).
constexpr double kHalfPi = static_cast<double>(1.5707964f);
constexpr double kWrapLimit = 6.0;
// A seam crossing is taken off with this decimal, not with 2*pi, so every corrected crossing
// leaves the sum 2*pi - 6.28 (about 0.0031853 rad) short of the true turn.
constexpr double kWrapCorrection = 6.28;

float toFloat(double v) {
    return static_cast<float>(v);
}

double wide(float v) {
    return static_cast<double>(v);
}

// The three absolute-angle formulas, each over a quaternion stored as floats. Products of two
// floats are exact in double, so only the sums round before the final atan2.
float phiOf(const Quat& q) {
    const double y = 1.0 - 2.0 * (wide(q[1]) * wide(q[1]) + wide(q[3]) * wide(q[3]));
    const double x = 2.0 * (wide(q[1]) * wide(q[2]) - wide(q[0]) * wide(q[3]));
    return toFloat(std::atan2(y, x));
}

float psiOf(const Quat& q) {
    const double y = 1.0 - 2.0 * (wide(q[1]) * wide(q[1]) + wide(q[2]) * wide(q[2]));
    const double x = 2.0 * (wide(q[1]) * wide(q[3]) - wide(q[0]) * wide(q[2]));
    return toFloat(std::atan2(y, x));
}

// The sine is kept as a float before it is clamped and fed to the arc sine; a non-unit
// quaternion can push it past +-1.
float thetaOf(const Quat& q, float& sinClamp) {
    sinClamp = toFloat(2.0 * (wide(q[0]) * wide(q[1]) + wide(q[2]) * wide(q[3])));
    if (wide(sinClamp) > 1.0) {
        sinClamp = 1.0f;
    }
    if (wide(sinClamp) < -1.0) {
        sinClamp = -1.0f;
    }
    return toFloat(std::asin(wide(sinClamp)));
}

// Adds a phi or psi step to its sum, taking a jump across the +-pi seam back off. The step
// itself is left as measured.
void addWrapped(float step, float& sum) {
    if (wide(step) > kWrapLimit) {
        const float corrected = toFloat(wide(step) - kWrapCorrection);
        sum = toFloat(wide(sum) + wide(corrected));
    } else if (wide(step) < -kWrapLimit) {
        const float corrected = toFloat(wide(step) + kWrapCorrection);
        sum = toFloat(wide(sum) + wide(corrected));
    } else {
        sum = toFloat(wide(sum) + wide(step));
    }
}

// Step of one angle against the previous small-tilt sample's value, which it then replaces.
float stepFrom(float now, float& prev) {
    const float step = toFloat(wide(now) - wide(prev));
    prev = now;
    return step;
}

}  // namespace

void quatConjugate(const Quat& in, Quat& out) {
    out[0] = in[0];
    out[1] = -in[1];
    out[2] = -in[2];
    out[3] = -in[3];
}

void quatMultiply(const Quat& a, const Quat& b, Quat& out) {
    // Each component reads its operands afresh and is stored before the next one is worked
    // out, so an output that shares storage with an input sees the components already stored.
    out[0] = toFloat(wide(a[0]) * wide(b[0]) - wide(a[1]) * wide(b[1]) - wide(a[2]) * wide(b[2]) -
                     wide(a[3]) * wide(b[3]));
    out[1] = toFloat(wide(a[0]) * wide(b[1]) + wide(a[1]) * wide(b[0]) + wide(a[2]) * wide(b[3]) -
                     wide(a[3]) * wide(b[2]));
    out[2] = toFloat(wide(a[0]) * wide(b[2]) - wide(a[1]) * wide(b[3]) + wide(a[2]) * wide(b[0]) +
                     wide(a[3]) * wide(b[1]));
    out[3] = toFloat(wide(a[0]) * wide(b[3]) + wide(a[1]) * wide(b[2]) - wide(a[2]) * wide(b[1]) +
                     wide(a[3]) * wide(b[0]));
}

void trackSmallTilt(SensorState& state) {
    state.phiNow = state.euler[0];
    state.angleStep[0] = stepFrom(state.phiNow, state.phiPrev);
    addWrapped(state.angleStep[0], state.angleSum[0]);

    // Theta never nears the seam here, and its sum is simply the absolute tilt.
    state.thetaNow = state.euler[1];
    state.angleStep[1] = stepFrom(state.thetaNow, state.thetaPrev);
    state.angleSum[1] = state.euler[1];

    state.psiNow = state.euler[2];
    state.angleStep[2] = stepFrom(state.psiNow, state.psiPrev);
    addWrapped(state.angleStep[2], state.angleSum[2]);
}

void trackLargeTilt(SensorState& state) {
    // Near the poles the absolute phi and psi are unreliable, so the steps come from the
    // rotation between the previous sample and this one instead.
    Quat quatInv{};
    Quat quatDelta{};
    quatConjugate(state.quatPrev, quatInv);
    quatMultiply(quatInv, state.quat, quatDelta);

    // Both arc tangents read pi/2 for no rotation; the offset is taken off phi and psi alike
    // so that a board held still adds nothing to either sum.
    state.angleStep[0] = toFloat(wide(phiOf(quatDelta)) - kHalfPi);
    state.angleStep[1] = thetaOf(quatDelta, state.sinClamp);
    state.angleStep[2] = toFloat(wide(psiOf(quatDelta)) - kHalfPi);

    for (std::size_t i = 0; i < 3; ++i) {
        state.angleSum[i] = toFloat(wide(state.angleSum[i]) + wide(state.angleStep[i]));
    }
}

void updateOrientation(SensorState& state) {
    if (state.sampleTag == state.lastSampleTag) {
        return;  // the same sample again
    }
    state.lastSampleTag = state.sampleTag;

    state.euler[0] = phiOf(state.quat);
    state.euler[1] = thetaOf(state.quat, state.sinClamp);
    state.euler[2] = psiOf(state.quat);

    if (std::fabs(wide(state.euler[1])) <= 1.0) {
        trackSmallTilt(state);
    } else {
        trackLargeTilt(state);
    }

    for (std::size_t i = 0; i < 3; ++i) {
        state.angleSmooth[i] =
            toFloat((wide(state.angleSmooth[i]) * 2.0 + wide(state.angleSum[i])) / 3.0);
    }
    state.quatPrev = state.quat;
}

}  // namespace vg::orientation
