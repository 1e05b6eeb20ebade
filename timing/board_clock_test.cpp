#include "timing/board_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vg::timing {
namespace {

// A board that sends sample k at sendUs[k] (its own clock on the host's scale); each arrives
// later by a delay drawn from [0, jitterUs].
struct Stream {
    std::vector<std::int64_t> index;
    std::vector<double> sendUs;
    std::vector<std::int64_t> arrivalUs;
};

struct Case {
    const char* name;
    double rateHz;
    double jitterMs;
    double ppm;         // the board's clock against the host's, constant part
    double ppmPerHour;  // and how fast that changes (a warming crystal)
    int skipEvery;      // every n-th sample never arrives (0: none)
    int stallEvery;     // every n-th sample is held 300 ms and the next ones queue behind it
    int samples;
};

Stream makeStream(const Case& c, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> delay(0.0, c.jitterMs * 1000.0);
    Stream s;
    double t = 5e6;  // the board started before the run
    double lastArrival = 0;
    for (int k = 0; k < c.samples; ++k) {
        const double hours = t / 3.6e9;
        t += 1e6 / c.rateHz * (1 + (c.ppm + c.ppmPerHour * hours) * 1e-6);
        if (c.skipEvery != 0 && k % c.skipEvery == c.skipEvery - 1) {
            continue;
        }
        double arrival = t + delay(rng);
        if (c.stallEvery != 0 && k % c.stallEvery == 0 && k > 0) {
            arrival += 300e3;
        }
        arrival = std::max(arrival, lastArrival);  // a link delivers in order
        lastArrival = arrival;
        s.index.push_back(60000 + k);  // near the 16-bit counter's wrap, which is unwrapped
        s.sendUs.push_back(t);
        s.arrivalUs.push_back(static_cast<std::int64_t>(arrival));
    }
    return s;
}

// RMS distance from the send times after the first `skip` samples, one constant offset removed.
double rmsFromSend(const std::vector<double>& est, const Stream& s, std::size_t skip) {
    double mean = 0;
    const std::size_t n = est.size() - skip;
    for (std::size_t i = skip; i < est.size(); ++i) {
        mean += est[i] - s.sendUs[i];
    }
    mean /= static_cast<double>(n);
    double sum = 0;
    for (std::size_t i = skip; i < est.size(); ++i) {
        const double e = est[i] - s.sendUs[i] - mean;
        sum += e * e;
    }
    return std::sqrt(sum / static_cast<double>(n));
}

TEST(BoardClock, FollowsTheBoardsClockThroughJitterAndDrift) {
    const Case cases[] = {
        {"100 Hz, 0-20 ms", 100, 20, 0, 0, 0, 0, 3000},
        {"100 Hz, 0-20 ms, fast crystal drifting", 100, 20, 80, 400, 0, 0, 6000},
        {"1000 Hz, 0-5 ms", 1000, 5, -30, 0, 0, 0, 20000},
        {"10 Hz, 0-20 ms", 10, 20, 0, 0, 0, 0, 1000},
        {"100 Hz, every 7th sample lost", 100, 20, 0, 0, 7, 0, 3000},
        {"100 Hz, a 300 ms stall every 1000", 100, 20, 0, 0, 0, 1000, 5000},
        {"100 Hz, 0-20 ms, 200 ppm fast, 10 min", 100, 20, 200, 0, 0, 0, 60000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Stream s = makeStream(c, 7);
        BoardClock clock;
        std::vector<double> board, host;
        std::int64_t last = 0;
        for (std::size_t i = 0; i < s.index.size(); ++i) {
            const std::int64_t b = boardTimeUs(clock, s.index[i], s.arrivalUs[i]);
            ASSERT_LE(b, s.arrivalUs[i]) << "sample " << i << " sent after it arrived";
            ASSERT_GE(b, last) << "sample " << i << " goes back";
            last = b;
            board.push_back(static_cast<double>(b));
            host.push_back(static_cast<double>(s.arrivalUs[i]));
        }
        const double boardRms = rmsFromSend(board, s, 200);
        const double hostRms = rmsFromSend(host, s, 200);
        EXPECT_LE(boardRms, hostRms / 4) << "board " << boardRms << " us, host " << hostRms;
        EXPECT_EQ(clock.restarts, 0u);
        EXPECT_EQ(clock.shifts, 0u);
    }
}

TEST(BoardClock, StartsAgainAfterALinkLossOrAJumpOfTheBoardsCounter) {
    const Case c{"100 Hz", 100, 20, 0, 0, 0, 0, 2000};
    const Stream before = makeStream(c, 3);
    for (const bool linkLoss : {true, false}) {
        SCOPED_TRACE(linkLoss ? "link loss" : "counter jump on a live link");
        BoardClock clock;
        std::int64_t last = 0;
        for (std::size_t i = 0; i < before.index.size(); ++i) {
            last = boardTimeUs(clock, before.index[i], before.arrivalUs[i]);
        }
        if (linkLoss) {
            restartFit(clock);
        }
        // The board comes back 4 s later, restarted: its counter begins again (the unwrapped
        // index jumps by the counter's step) and its clock from a new offset.
        Stream after = makeStream(c, 4);
        const std::int64_t shift = before.arrivalUs.back() + 4000000 - after.arrivalUs.front();
        std::vector<double> board;
        for (std::size_t i = 0; i < after.index.size(); ++i) {
            after.arrivalUs[i] += shift;
            after.sendUs[i] += static_cast<double>(shift);
            const std::int64_t b = boardTimeUs(clock, after.index[i] + 65536, after.arrivalUs[i]);
            ASSERT_GE(b, last);
            last = b;
            board.push_back(static_cast<double>(b));
        }
        EXPECT_LE(rmsFromSend(board, after, 200), 1000.0);
        EXPECT_EQ(clock.restarts, linkLoss ? 0u : 1u);
    }
}

}  // namespace
}  // namespace vg::timing
