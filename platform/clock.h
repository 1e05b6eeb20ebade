// Wall-clock and monotonic time.
#pragma once

#include <cstdint>
#include <ctime>

namespace vg::platform {

// Milliseconds from an arbitrary fixed point, moving a millisecond at a time; never goes back.
std::uint64_t monotonicMs();
// Microseconds on the same monotonic clock (monotonicMs is this divided by 1000; the times of
// reads are taken from it).
std::int64_t monotonicUs();
// The shortest sleep the system keeps, in milliseconds: a shorter one lasts about this long.
std::uint64_t sleepStepMs();
// Microseconds since 1970-01-01 00:00:00 UTC on the wall clock.
std::int64_t wallClockUs();
// Broken-down local time of t; false when it cannot be converted.
bool toLocalTime(std::time_t t, std::tm& out);
// Broken-down UTC of t; false when it cannot be converted.
bool toUtcTime(std::time_t t, std::tm& out);

}  // namespace vg::platform
