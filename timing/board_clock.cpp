#include "timing/board_clock.h"

#include <algorithm>
#include <cmath>

namespace vg::timing {

namespace {

// Forgets everything but what outlives a fit: the last estimate and the counts.
void clearFit(BoardClock& clock) {
    const std::int64_t lastUs = clock.lastUs;
    const std::uint64_t restarts = clock.restarts;
    const std::uint64_t shifts = clock.shifts;
    clock = BoardClock{};
    clock.lastUs = lastUs;
    clock.restarts = restarts;
    clock.shifts = shifts;
}

void startAt(BoardClock& clock, std::int64_t index, std::int64_t arrivalUs) {
    clearFit(clock);
    clock.originIndex = index;
    clock.originUs = arrivalUs;
    clock.started = true;
}

double lineValue(const BoardClock& clock, double x) {
    return clock.lineAt.t + clock.periodUs * (x - clock.lineAt.x);
}

// Positive when a, b, c turn left (b lies below the segment a-c).
double turn(const ClockPoint& a, const ClockPoint& b, const ClockPoint& c) {
    return (b.x - a.x) * (c.t - a.t) - (b.t - a.t) * (c.x - a.x);
}

void refit(BoardClock& clock) {
    // The minima in index order, oldest first.
    std::array<ClockPoint, kFitBuckets> hull{};
    std::size_t n = 0;
    double sumX = 0;
    const std::size_t first = (clock.minimaNext + kFitBuckets - clock.minimaCount) % kFitBuckets;
    for (std::size_t i = 0; i < clock.minimaCount; ++i) {
        const ClockPoint& p = clock.minima[(first + i) % kFitBuckets];
        sumX += p.x;
        if (n > 0 && p.x <= hull[n - 1].x) {
            // The same index again: the earlier arrival is the one that bounds the clock.
            if (p.t >= hull[n - 1].t) {
                continue;
            }
            --n;
        }
        while (n >= 2 && turn(hull[n - 2], hull[n - 1], p) <= 0) {
            --n;
        }
        hull[n++] = p;
    }
    if (n < 2) {
        return;
    }
    const double meanX = sumX / static_cast<double>(clock.minimaCount);
    std::size_t edge = 0;
    while (edge + 2 < n && hull[edge + 1].x < meanX) {
        ++edge;
    }
    const ClockPoint& a = hull[edge];
    const ClockPoint& b = hull[edge + 1];
    clock.periodUs = (b.t - a.t) / (b.x - a.x);
    clock.lineAt = a;
    clock.fitted = true;
}

// A bucket came late by lateUs (whole microseconds), its samples arriving from headUs to tailUs.
// Late buckets whose lateness keeps falling are a backlog draining: the delay is the link's.
// Lateness that holds for kShiftSpanUs of arrivals is the board's clock having moved: the fit
// moves up by the least of it and keeps its rate.
void holdLateBucket(BoardClock& clock, double lateUs, double headUs, double tailUs) {
    if (clock.lateBuckets == 0 || lateUs < clock.lateRefUs - kLateBucketUs) {
        clock.lateBuckets = 0;
        clock.lateRefUs = lateUs;
        clock.lateMinUs = lateUs;
        clock.lateSinceUs = headUs;
    }
    ++clock.lateBuckets;
    clock.lateMinUs = std::min(clock.lateMinUs, lateUs);
    if (tailUs - clock.lateSinceUs < kShiftSpanUs) {
        return;
    }
    for (ClockPoint& p : clock.minima) {
        p.t += clock.lateMinUs;
    }
    clock.lateBuckets = 0;
    ++clock.shifts;
    refit(clock);
}

// Keeps the bucket's earliest arrival against the current rate (or, before the first fit,
// against the bucket's own mean rate) and fits again; a late one is held out of the fit.
void closeBucket(BoardClock& clock) {
    const ClockPoint& head = clock.bucket[0];
    const ClockPoint& tail = clock.bucket[clock.inBucket - 1];
    double period = clock.periodUs;
    if (!clock.fitted) {
        period = tail.x > head.x ? (tail.t - head.t) / (tail.x - head.x) : 0.0;
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < clock.inBucket; ++i) {
        const ClockPoint& p = clock.bucket[i];
        const ClockPoint& q = clock.bucket[best];
        if (p.t - period * p.x < q.t - period * q.x) {
            best = i;
        }
    }
    const ClockPoint earliest = clock.bucket[best];
    clock.inBucket = 0;
    if (clock.fitted) {
        const double lateUs = std::round(earliest.t - lineValue(clock, earliest.x));
        if (lateUs > kLateBucketUs) {
            holdLateBucket(clock, lateUs, head.t, tail.t);
            return;
        }
        clock.lateBuckets = 0;
    }
    clock.minima[clock.minimaNext] = earliest;
    clock.minimaNext = (clock.minimaNext + 1) % kFitBuckets;
    clock.minimaCount = std::min(clock.minimaCount + 1, kFitBuckets);
    refit(clock);
}

}  // namespace

void restartFit(BoardClock& clock) {
    clearFit(clock);
}

std::int64_t boardTimeUs(BoardClock& clock, std::int64_t index, std::int64_t arrivalUs) {
    if (!clock.started) {
        startAt(clock, index, arrivalUs);
    }
    ClockPoint p{static_cast<double>(index - clock.originIndex),
                 static_cast<double>(arrivalUs - clock.originUs)};
    if (clock.fitted && p.t < lineValue(clock, p.x) - kEarlyRestartUs) {
        ++clock.restarts;
        startAt(clock, index, arrivalUs);
        p = ClockPoint{};
    }
    clock.last = p;
    clock.bucket[clock.inBucket++] = p;
    if (clock.inBucket == kBucketSamples) {
        closeBucket(clock);
    }
    std::int64_t estimate = arrivalUs;
    if (clock.fitted) {
        const double fromOrigin = std::round(lineValue(clock, p.x));
        estimate = std::min(arrivalUs, clock.originUs + static_cast<std::int64_t>(fromOrigin));
    }
    estimate = std::max(estimate, clock.lastUs);
    clock.lastUs = estimate;
    return estimate;
}

double samplePeriodUs(const BoardClock& clock) {
    if (clock.fitted) {
        return clock.periodUs;
    }
    return clock.started && clock.last.x > 0 ? clock.last.t / clock.last.x : 0.0;
}

double indexSentAt(const BoardClock& clock, std::int64_t arrivalUs) {
    const double t = static_cast<double>(arrivalUs - clock.originUs);
    return static_cast<double>(clock.originIndex) + clock.lineAt.x +
           (t - clock.lineAt.t) / clock.periodUs;
}

namespace {

constexpr std::size_t kClockScalars = 14;

std::int64_t whole(double v) {
    return static_cast<std::int64_t>(std::llround(v));
}

}  // namespace

std::size_t packClock(const BoardClock& clock, std::int64_t* out) {
    const std::int64_t scalars[kClockScalars] = {clock.originIndex,
                                                 clock.originUs,
                                                 clock.started ? 1 : 0,
                                                 static_cast<std::int64_t>(clock.inBucket),
                                                 static_cast<std::int64_t>(clock.minimaCount),
                                                 static_cast<std::int64_t>(clock.lateBuckets),
                                                 whole(clock.lateRefUs),
                                                 whole(clock.lateMinUs),
                                                 whole(clock.lateSinceUs),
                                                 whole(clock.last.x),
                                                 whole(clock.last.t),
                                                 clock.lastUs,
                                                 static_cast<std::int64_t>(clock.restarts),
                                                 static_cast<std::int64_t>(clock.shifts)};
    std::size_t n = 0;
    for (const std::int64_t v : scalars) {
        out[n++] = v;
    }
    for (std::size_t i = 0; i < clock.inBucket; ++i) {
        out[n++] = whole(clock.bucket[i].x);
        out[n++] = whole(clock.bucket[i].t);
    }
    // The minima oldest first: only their order counts.
    const std::size_t first = (clock.minimaNext + kFitBuckets - clock.minimaCount) % kFitBuckets;
    for (std::size_t i = 0; i < clock.minimaCount; ++i) {
        const ClockPoint& p = clock.minima[(first + i) % kFitBuckets];
        out[n++] = whole(p.x);
        out[n++] = whole(p.t);
    }
    return n;
}

bool unpackClock(BoardClock& clock, const std::int64_t* in, std::size_t count) {
    if (count < kClockScalars || in[3] < 0 || in[3] >= static_cast<std::int64_t>(kBucketSamples) ||
        in[4] < 0 || in[4] > static_cast<std::int64_t>(kFitBuckets) || in[5] < 0 || in[12] < 0 ||
        in[13] < 0 || count != kClockScalars + 2 * static_cast<std::size_t>(in[3] + in[4])) {
        return false;
    }
    clock = BoardClock{};
    clock.originIndex = in[0];
    clock.originUs = in[1];
    clock.started = in[2] != 0;
    clock.inBucket = static_cast<std::size_t>(in[3]);
    clock.minimaCount = static_cast<std::size_t>(in[4]);
    clock.minimaNext = clock.minimaCount % kFitBuckets;
    clock.lateBuckets = static_cast<std::size_t>(in[5]);
    clock.lateRefUs = static_cast<double>(in[6]);
    clock.lateMinUs = static_cast<double>(in[7]);
    clock.lateSinceUs = static_cast<double>(in[8]);
    clock.last = {static_cast<double>(in[9]), static_cast<double>(in[10])};
    clock.lastUs = in[11];
    clock.restarts = static_cast<std::uint64_t>(in[12]);
    clock.shifts = static_cast<std::uint64_t>(in[13]);
    const std::int64_t* p = in + kClockScalars;
    for (std::size_t i = 0; i < clock.inBucket; ++i, p += 2) {
        clock.bucket[i] = {static_cast<double>(p[0]), static_cast<double>(p[1])};
    }
    for (std::size_t i = 0; i < clock.minimaCount; ++i, p += 2) {
        clock.minima[i] = {static_cast<double>(p[0]), static_cast<double>(p[1])};
    }
    refit(clock);
    return true;
}

}  // namespace vg::timing
