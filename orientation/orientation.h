// Orientation tracker: angles, per-sample steps, unwrapped sums and smoothed angles from each
// new quaternion sample. All of its memory is the SensorState record.
#pragma once

#include <array>

#include "state/sensor_state.h"

namespace vg::orientation {

using Quat = std::array<float, 4>;  // scalar part first

void quatConjugate(const Quat& in, Quat& out);
// Hamilton product a * b. out is meant to be distinct from a and b; the components are
// computed and stored one by one in the order 0 to 3, so a shared output feeds the later ones.
void quatMultiply(const Quat& a, const Quat& b, Quat& out);

// Processes state.quat when state.sampleTag differs from state.lastSampleTag: absolute angles,
// one of the two paths below, smoothing, and quatPrev; a repeated tag changes nothing.
void updateOrientation(SensorState& state);
// The two ways of stepping the sums, run by updateOrientation once euler holds this sample's
// angles: against the last small-tilt angles with seam correction (|theta| <= 1), or from the
// rotation since quatPrev (|theta| > 1).
void trackSmallTilt(SensorState& state);
void trackLargeTilt(SensorState& state);

}  // namespace vg::orientation
