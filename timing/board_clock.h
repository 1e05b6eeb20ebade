// The board's own clock, estimated from when its samples arrive.
//
// A sample with index x arrives at t = offset + period * x + delay: the board sends at its own
// steady (slowly drifting) rate, and the link and the scheduler add a delay that varies but is
// never negative. So the line below every arrival that hugs the earliest ones is the board's
// clock. The samples are taken in buckets of kBucketSamples; each bucket keeps its earliest
// arrival (against the current rate), and the last kFitBuckets of those are fitted: the edge of
// their lower convex hull above their mean index is the line that lies below all of them and is
// closest to them on average. Old buckets leave the window, so the fit follows a drifting
// clock. Everything is causal: an estimate uses only the arrivals before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vg::timing {

inline constexpr std::size_t kBucketSamples = 32;
inline constexpr std::size_t kFitBuckets = 32;
// An arrival this far before the fitted line, or a whole bucket this far after it, means the
// board's counter or clock jumped (the board restarted, a stall): the fit starts again.
inline constexpr double kEarlyRestartUs = 250e3;
inline constexpr double kLateRestartUs = 1e6;

struct ClockPoint {
    double x = 0;  // the sample's index, from the fit's first
    double t = 0;  // its arrival in microseconds, from the fit's first
};

struct BoardClock {
    // The fit's origin: its first sample's index and arrival.
    std::int64_t originIndex = 0;
    std::int64_t originUs = 0;
    bool started = false;
    std::array<ClockPoint, kBucketSamples> bucket{};
    std::size_t inBucket = 0;
    std::array<ClockPoint, kFitBuckets> minima{};  // the buckets' earliest, a ring
    std::size_t minimaCount = 0;
    std::size_t minimaNext = 0;  // where the next goes
    bool fitted = false;
    ClockPoint lineAt{};  // the fitted line: through lineAt with slope periodUs
    double periodUs = 0;
    std::int64_t lastUs = std::numeric_limits<std::int64_t>::min();  // the last estimate given
    std::uint64_t restarts = 0;  // fits started again for a jump (not for a link loss)
};

// Forgets the fit (after a link loss: the board may have restarted). Estimates stay
// non-decreasing across it.
void restartFit(BoardClock& clock);

// The board's time, in microseconds on the arrivals' scale, of the sample with this (unwrapped)
// index that arrived at arrivalUs. Never later than the arrival and never earlier than the
// estimate before it. Indices are expected in increasing order.
std::int64_t boardTimeUs(BoardClock& clock, std::int64_t index, std::int64_t arrivalUs);

}  // namespace vg::timing
