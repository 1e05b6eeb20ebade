// When the loop reads the port under --times. Each read is stamped as it returns, so the loop
// waits for bytes and reads them as they arrive. A board whose bytes come in many small pieces
// would then wake the process for every piece; once pieces keep arriving less than passMs
// apart, passes are held that far apart instead (a stamp is then at most that much late) and
// read without waiting, until a pass finds the port empty again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vg::timing {

inline constexpr std::uint64_t kTimesPassMs = 12;
// Passes are never held closer than a system's sleep lasts: where a sleep lasts at least a
// timer tick (16 ms on Windows), passes held 12 ms apart would come a tick apart anyway, only
// with the pacing's arithmetic off by the difference.
constexpr std::uint64_t timesPassMs(std::uint64_t sleepStepMs) {
    return sleepStepMs > kTimesPassMs ? sleepStepMs : kTimesPassMs;
}
// Fast arrivals in a row that turn the holding on.
inline constexpr int kFastPassesToHold = 2;

struct ReadPacing {
    std::uint64_t passMs = kTimesPassMs;  // held passes come this far apart
    bool holding = false;
    int fastPasses = 0;
    bool readBefore = false;
    std::uint64_t lastReadPassMs = 0;
};

struct NextPass {
    std::uint64_t sleepMs = 0;  // sleep this long first
    bool waitForPort = true;    // then wait until bytes arrive (else read at once)
};

// Called after a pass that began at passStartMs and read `drained` bytes, at nowMs.
NextPass planNextPass(ReadPacing& pacing, std::uint64_t passStartMs, std::size_t drained,
                      std::uint64_t nowMs);

}  // namespace vg::timing
