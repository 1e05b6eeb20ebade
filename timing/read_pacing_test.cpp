#include "timing/read_pacing.h"

#include <gtest/gtest.h>

namespace vg::timing {
namespace {

// Pieces arrive every `period` ms (a pass takes 1 ms); the loop sleeps as told and then waits
// for the next piece or reads at once. Gives the passes per second and how late a piece was
// read at the latest.
struct Outcome {
    double passesPerSecond;
    std::uint64_t latestMs;
};

Outcome simulate(ReadPacing& pacing, std::uint64_t period, std::uint64_t seconds,
                 std::uint64_t& now) {
    const std::uint64_t end = now + seconds * 1000;
    std::uint64_t nextPiece = now;  // the earliest piece not yet read
    std::uint64_t passes = 0, latest = 0;
    while (now < end) {
        const std::uint64_t arrived = nextPiece;
        if (arrived <= now) {
            while (nextPiece <= now) {
                nextPiece += period;
            }
            latest = std::max(latest, now - arrived);
        }
        ++passes;
        const std::uint64_t passStart = now;
        const std::uint64_t drained = arrived <= now ? 100 : 0;
        now += 1;
        const NextPass next = planNextPass(pacing, passStart, drained, now);
        now += next.sleepMs;
        if (next.waitForPort && nextPiece > now) {
            now = nextPiece;
        }
    }
    return {static_cast<double>(passes) / static_cast<double>(seconds), latest};
}

TEST(ReadPacing, HoldsPassesApartOnlyWhilePiecesComeFast) {
    // Fast pieces: a pass per passMs. Slow ones: a pass per piece, read at once. Where a sleep
    // lasts a 16 ms tick, passes are held a tick apart, and stay so after the holding ends.
    for (const std::uint64_t step : {std::uint64_t{1}, std::uint64_t{16}}) {
        const std::uint64_t passMs = timesPassMs(step);
        SCOPED_TRACE(passMs);
        const std::uint64_t periods[] = {2, 6, passMs - 1, 2 * passMs + 1, 100, 3};
        ReadPacing pacing;  // one instance through all: the rate changes both ways
        pacing.passMs = passMs;
        std::uint64_t now = 0;
        for (const std::uint64_t period : periods) {
            SCOPED_TRACE(period);
            const Outcome o = simulate(pacing, period, 10, now);
            const bool fast = period < passMs;
            EXPECT_LE(o.passesPerSecond, 1000.0 / static_cast<double>(fast ? passMs : period) + 1);
            EXPECT_LE(o.latestMs, passMs + 1);
            if (!fast) {
                EXPECT_FALSE(pacing.holding);
                EXPECT_LE(o.latestMs, 1u) << "a slow piece is read as it arrives";
            }
        }
    }
}

}  // namespace
}  // namespace vg::timing
