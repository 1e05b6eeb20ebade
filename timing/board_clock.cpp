#include "timing/board_clock.h"

#include <algorithm>
#include <cmath>

namespace vg::timing {

namespace {

void startAt(BoardClock& clock, std::int64_t index, std::int64_t arrivalUs) {
    const std::int64_t lastUs = clock.lastUs;
    const std::uint64_t restarts = clock.restarts;
    clock = BoardClock{};
    clock.lastUs = lastUs;
    clock.restarts = restarts;
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

// Keeps the bucket's earliest arrival against the current rate (or, before the first fit,
// against the bucket's own mean rate) and fits again.
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
    if (clock.fitted && earliest.t - lineValue(clock, earliest.x) > kLateRestartUs) {
        ++clock.restarts;
        startAt(clock, clock.originIndex + static_cast<std::int64_t>(earliest.x),
                clock.originUs + static_cast<std::int64_t>(earliest.t));
        clock.bucket[0] = ClockPoint{};
        clock.inBucket = 1;
        return;
    }
    clock.minima[clock.minimaNext] = earliest;
    clock.minimaNext = (clock.minimaNext + 1) % kFitBuckets;
    clock.minimaCount = std::min(clock.minimaCount + 1, kFitBuckets);
    refit(clock);
}

}  // namespace

void restartFit(BoardClock& clock) {
    const std::int64_t lastUs = clock.lastUs;
    const std::uint64_t restarts = clock.restarts;
    clock = BoardClock{};
    clock.lastUs = lastUs;
    clock.restarts = restarts;
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

}  // namespace vg::timing
