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
//
// Only early arrivals tell where the line is; late ones are expected. A bucket whose earliest
// arrival is well after the line (bytes held back by a busy hub, then delivered in a burst) is
// kept out of the fit, and its samples get their times from the line. Only when buckets keep
// arriving that late at the board's own pace for kShiftSpanUs (no backlog draining) has the
// board's clock moved (its sampling paused): the line moves up to them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vg::timing {

inline constexpr std::size_t kBucketSamples = 32;
inline constexpr std::size_t kFitBuckets = 32;
// An arrival this far before the fitted line means the board's clock jumped: the fit starts
// again.
inline constexpr double kEarlyRestartUs = 250e3;
// A bucket whose earliest arrival is this far after the line came late; a run of such buckets
// whose lateness falls by more than this is a backlog draining.
inline constexpr double kLateBucketUs = 50e3;
// Late buckets at the board's pace for this long (arrival time) move the line up to them.
inline constexpr double kShiftSpanUs = 2e6;

struct ClockPoint {
    double x = 0;  // the sample's index, from the fit's first
    double t = 0;  // its arrival in microseconds, from the fit's first
};

// Every value is a whole number (points are kept in whole samples and microseconds), so the
// state can be written out and read back exactly; the line is derived from the minima.
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
    // The buckets held out of the fit for coming late, since the run's lateness last fell.
    std::size_t lateBuckets = 0;
    double lateRefUs = 0;    // the lateness the run (re)started at
    double lateMinUs = 0;    // the least lateness since
    double lateSinceUs = 0;  // the arrival it (re)started at, from the origin
    ClockPoint last{};       // the latest sample
    std::int64_t lastUs = std::numeric_limits<std::int64_t>::min();  // the last estimate given
    std::uint64_t restarts = 0;  // fits started again for a jump (not for a link loss)
    std::uint64_t shifts = 0;    // times the line moved up to late arrivals at the board's pace
    // Derived from the minima.
    bool fitted = false;
    ClockPoint lineAt{};  // the fitted line: through lineAt with slope periodUs
    double periodUs = 0;
};

// Forgets the fit (the board restarted). Estimates stay non-decreasing across it.
void restartFit(BoardClock& clock);

// The board's time, in microseconds on the arrivals' scale, of the sample with this (unwrapped)
// index that arrived at arrivalUs. Never later than the arrival and never earlier than the
// estimate before it. Indices are expected in increasing order.
std::int64_t boardTimeUs(BoardClock& clock, std::int64_t index, std::int64_t arrivalUs);

// The board's sample period in microseconds: the fit's, or before it the mean since the fit's
// first sample; 0 when not known yet.
double samplePeriodUs(const BoardClock& clock);
// The (fractional) index the board was sending at arrivalUs, by the fitted line; only when
// clock.fitted.
double indexSentAt(const BoardClock& clock, std::int64_t arrivalUs);

// The state as whole numbers, for carrying a fit across into another file, and back:
// kMaxClockState at most; unpacking gives false for values that are not a packed clock.
inline constexpr std::size_t kMaxClockState = 16 + 2 * (kBucketSamples + kFitBuckets);
std::size_t packClock(const BoardClock& clock, std::int64_t* out);
bool unpackClock(BoardClock& clock, const std::int64_t* in, std::size_t count);

}  // namespace vg::timing
