#include "timing/sample_times.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace vg::timing {
namespace {

TEST(SampleTimes, IndexCountsTheCountersStepsAcrossBothWraps) {
    struct Case {
        const char* name;
        std::vector<std::int16_t> samples;
        std::vector<std::int64_t> indices;
    };
    const Case cases[] = {
        {"signed wrap", {32766, 32767, -32768, -32767}, {32766, 32767, 32768, 32769}},
        {"unsigned wrap", {-2, -1, 0, 1}, {65534, 65535, 65536, 65537}},
        {"gaps and a repeat", {10, 13, 13, 14}, {10, 13, 13, 14}},
        // A step back is the board starting again: the index goes on by the time elapsed.
        {"a step back", {10, 11, 12, 3}, {10, 11, 12, 13}},
        {"first row negative", {-32768, -32767}, {32768, 32769}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sio::PacketRing ring;
        SampleTimes times;
        startSampleTimes(times, ring, 1000000, 1796771647000000);
        std::vector<std::int64_t> got;
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            const auto row = nextTimesRow(times, c.samples[i], i + 1,
                                          1000000 + 10000 * static_cast<std::int64_t>(i));
            EXPECT_EQ(row.line, i + 1);
            EXPECT_EQ(row.sample, c.samples[i]);
            EXPECT_EQ(row.hostUs, 10000 * static_cast<std::int64_t>(i));
            EXPECT_EQ(row.wallUs, 1796771647000000 + row.hostUs);
            got.push_back(row.index);
        }
        EXPECT_EQ(got, c.indices);
    }
}

}  // namespace
}  // namespace vg::timing

namespace vg::timing {
namespace {

// A board at 100 Hz, 200 ppm fast, each sample arriving 0 to 20 ms late, with one event at
// sample 1000 (9.5 s in). send is the board's true send time on the host's clock.
enum class Event {
    None,
    StallAndBurst,
    Restart,
    Pause,
    UnplugKeptRunning,
    UnplugLong,
    UnplugRestarted
};

struct Arrival {
    std::int16_t sample;
    std::int64_t sendUs;
    std::int64_t arrivalUs;
};

std::vector<Arrival> boardWith(Event event, std::vector<bool>& lossBefore) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> delay(0.0, 20e3);
    const double period = 1e4 / (1 + 200e-6);
    std::vector<Arrival> out;
    double send = 1e6;
    std::int64_t lastArrival = 0;
    int counter = 7000;
    for (int k = 0; k < 3000; ++k, ++counter, send += period) {
        bool loss = false;
        if (k == 1000) {
            if (event == Event::Restart || event == Event::UnplugRestarted) {
                counter = 0;
                send += 3e6;
            } else if (event == Event::Pause) {
                send += 3e6;
            } else if (event == Event::UnplugKeptRunning || event == Event::UnplugLong) {
                const int away = event == Event::UnplugLong ? 2000 : 400;  // sent, never received
                counter += away;
                send += away * period;
            }
            loss = event == Event::UnplugKeptRunning || event == Event::UnplugLong ||
                   event == Event::UnplugRestarted;
        }
        auto arrival = static_cast<std::int64_t>(send + delay(rng));
        if (event == Event::StallAndBurst && k >= 1000 && k < 2000) {
            arrival = static_cast<std::int64_t>(1e6 + 2000 * period);  // held, then all at once
        }
        arrival = std::max(arrival, lastArrival);
        lastArrival = arrival;
        out.push_back(
            {static_cast<std::int16_t>(counter), static_cast<std::int64_t>(send), arrival});
        lossBefore.push_back(loss);
    }
    return out;
}

TEST(SampleTimes, LateDeliveryNeverMovesTheFitButAChangeOfTheBoardsClockDoes) {
    struct Case {
        const char* name;
        Event event;
        double settleS;          // after the event, board_s is within 1 ms of the send times
        std::int64_t indexStep;  // across the event (0: by the elapsed time)
        std::uint64_t shifts;
    };
    const Case cases[] = {
        {"steady", Event::None, 0, 1, 0},
        {"10 s stall, then a burst", Event::StallAndBurst, 0, 1, 0},
        {"restart on a live link", Event::Restart, 3, 0, 0},
        {"3 s pause of sampling", Event::Pause, 3, 1, 1},
        {"unplugged 4 s, counter kept running", Event::UnplugKeptRunning, 0, 401, 0},
        {"unplugged 20 s, counter kept running", Event::UnplugLong, 3, 2001, 0},
        {"unplugged 3 s, counter restarted", Event::UnplugRestarted, 3, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<bool> loss;
        const std::vector<Arrival> board = boardWith(c.event, loss);
        sio::PacketRing ring;
        SampleTimes times;
        startSampleTimes(times, ring, 0, 0);
        std::vector<logging::TimesRow> rows;
        double sum = 0, sumSq = 0;
        int settled = 0;
        for (std::size_t i = 0; i < board.size(); ++i) {
            if (loss[i]) {
                noteLinkLoss(times, board[i].arrivalUs - 1);
            }
            rows.push_back(nextTimesRow(times, board[i].sample, i + 1, board[i].arrivalUs));
            const logging::TimesRow& r = rows.back();
            ASSERT_LE(r.boardUs, r.hostUs) << i;
            ASSERT_TRUE(i == 0 || r.boardUs >= rows[i - 1].boardUs) << i;
            const double fromSend = static_cast<double>(r.boardUs - board[i].sendUs);
            const double sinceEvent = static_cast<double>(board[i].sendUs - board[1000].sendUs);
            if (i >= 500 && (i < 1000 || sinceEvent >= c.settleS * 1e6)) {
                // At least as close as the arrival, and never more than a millisecond early.
                ASSERT_LE(std::abs(fromSend),
                          std::max(static_cast<double>(r.hostUs - board[i].sendUs), 1e3))
                    << i;
            }
            if (i >= 1000 && sinceEvent >= (c.settleS + 5) * 1e6) {
                sum += fromSend;
                sumSq += fromSend * fromSend;
                ++settled;
            }
        }
        const double mean = sum / settled;
        EXPECT_LE(std::sqrt(sumSq / settled - mean * mean), 1000.0);
        const std::int64_t step = rows[1000].index - rows[999].index;
        if (c.indexStep != 0) {
            EXPECT_EQ(step, c.indexStep);
        } else {
            const double elapsed =
                static_cast<double>(board[1000].arrivalUs - board[999].arrivalUs);
            EXPECT_NEAR(static_cast<double>(step), elapsed / 1e4, 3.0);
        }
        EXPECT_EQ(rows.back().index - rows[1000].index, 1999);
        EXPECT_EQ(times.clock.shifts, c.shifts);
    }
}

TEST(SampleTimes, ALaterFileGoesOnFromTheStateCarriedToIt) {
    std::vector<bool> loss;
    const std::vector<Arrival> board = boardWith(Event::StallAndBurst, loss);
    sio::PacketRing ring;
    SampleTimes whole, later;
    startSampleTimes(whole, ring, 0, 0);
    for (std::size_t i = 0; i < board.size(); ++i) {
        if (i == 1500) {
            std::int64_t state[kMaxTimesState];
            startSampleTimes(later, ring, 0, 0);
            const std::size_t n = packSampleTimes(whole, state);
            EXPECT_FALSE(unpackSampleTimes(later, state, 7));
            state[2] += std::int64_t{1} << 60;  // no run gets there
            EXPECT_FALSE(unpackSampleTimes(later, state, n));
            state[2] -= std::int64_t{1} << 60;
            ASSERT_TRUE(unpackSampleTimes(later, state, n));
        }
        const auto row = nextTimesRow(whole, board[i].sample, i, board[i].arrivalUs);
        if (i >= 1500) {
            const auto again = nextTimesRow(later, board[i].sample, i, board[i].arrivalUs);
            ASSERT_EQ(again.index, row.index) << i;
            ASSERT_EQ(again.boardUs, row.boardUs) << i;
        }
    }
}

}  // namespace
}  // namespace vg::timing
