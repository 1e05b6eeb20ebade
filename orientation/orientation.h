// Orientation tracker: angles, per-sample steps, unwrapped sums and smoothed angles from each
// new quaternion sample. All of its memory is the SensorState record.
#pragma once

#include <array>

#include "app/sensor_state.h"

namespace vg::orientation {

using Quat = std::array<float, 4>;  // scalar part first

void quatConjugate(const Quat& in, Quat& out);
// Hamilton product a * b. out is meant to be distinct from a and b; the components are
// computed and stored one by one in the order 0 to 3, so a shared output feeds the later ones.
void quatMultiply(const Quat& a, const Quat& b, Quat& out);

void updateOrientation(SensorState& state);
void trackSmallTilt(SensorState& state);
void trackLargeTilt(SensorState& state);

}  // namespace vg::orientation
