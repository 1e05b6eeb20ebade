#include "platform/clock.h"

#include <gtest/gtest.h>

namespace vg::platform {
namespace {

// The loop paces passes a few milliseconds apart by monotonicMs: it must be the microsecond
// clock in other units, not a clock that moves in steps of a system tick.
TEST(MonotonicClock, MillisecondsAreTheMicrosecondClocksOwn) {
    int agreed = 0;
    for (int i = 0; i < 200 && agreed < 20; ++i) {
        const std::uint64_t before = monotonicMs();
        const std::int64_t us = monotonicUs();
        if (monotonicMs() != before) {
            continue;  // a millisecond boundary (or a preemption) between the reads
        }
        ASSERT_EQ(static_cast<std::uint64_t>(us / 1000), before);
        ++agreed;
    }
    EXPECT_EQ(agreed, 20);
}

TEST(MonotonicClock, MovesInSingleMilliseconds) {
    // Watch the clock move ten times: a tick-stepped clock jumps about 16 ms at each move.
    std::uint64_t last = monotonicMs();
    int singleSteps = 0;
    for (int moves = 0; moves < 10;) {
        const std::uint64_t now = monotonicMs();
        if (now != last) {
            singleSteps += now - last == 1 ? 1 : 0;
            last = now;
            ++moves;
        }
    }
    EXPECT_GE(singleSteps, 5);  // some moves may span a preemption
}

}  // namespace
}  // namespace vg::platform
