// Wall-clock and monotonic time.
#pragma once

#include <cstdint>
#include <ctime>

namespace vg::platform {

// Milliseconds from an arbitrary fixed point; never goes back.
std::uint64_t monotonicMs();
// Broken-down local time of t; false when it cannot be converted.
bool toLocalTime(std::time_t t, std::tm& out);

}  // namespace vg::platform
