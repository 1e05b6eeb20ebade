#include "timing/sample_times.h"

#include <array>
#include <cmath>

namespace vg::timing {

namespace {

// Before the first entry of a capture's times, the state its set starts from (nothing while the
// run has seen no sample: it starts afresh).
void noteStateOnce(SampleTimes& times) {
    if (times.companion->stateNoted) {
        return;
    }
    times.companion->stateNoted = true;
    if (times.indexed) {
        std::int64_t state[kMaxTimesState];
        logging::noteCaptureState(*times.companion, state, packSampleTimes(times, state));
    }
}

// The index of the next sample, arrived at hostUs, whose counter stepped by `step`.
std::int64_t nextIndex(SampleTimes& times, std::int64_t step, std::int64_t hostUs) {
    const bool loss = times.lossPending;
    times.lossPending = false;
    if (step == 1 && !loss) {
        return times.index + 1;  // the board's next sample: nothing to weigh
    }
    const double period = samplePeriodUs(times.clock);
    if (period <= 0) {
        return times.index + (loss ? 1 : step);  // nothing yet tells what the time allows
    }
    const double elapsed = static_cast<double>(hostUs - times.lastHostUs) / period;
    const double expected = times.clock.fitted ? indexSentAt(times.clock, hostUs)
                                               : static_cast<double>(times.index) + elapsed;
    // After a loss the first sample may also come late (a busy machine), but by no more than
    // this: a counter that fell further behind the time away started again.
    constexpr double kLateAfterLossUs = 1e6;
    const double slack = kEarlyRestartUs / period + (loss ? 0.01 * elapsed : 0.0);
    std::int64_t index = times.index + step;
    if (loss && static_cast<double>(index) + 65536 <= expected + slack) {
        // A counter that kept running through the loss may have wrapped meanwhile.
        index += 65536 *
                 static_cast<std::int64_t>((expected + slack - static_cast<double>(index)) / 65536);
    }
    const bool restarted =
        static_cast<double>(index) > expected + slack ||
        (loss && static_cast<double>(index) < expected - slack - kLateAfterLossUs / period);
    if (!restarted) {
        if (loss && elapsed > static_cast<double>(kFitBuckets * kBucketSamples)) {
            restartFit(times.clock);  // away longer than the fit's window: its line is stale
        }
        return index;
    }
    restartFit(times.clock);
    return times.index + std::max<std::int64_t>(1, std::llround(elapsed));
}

}  // namespace

void startSampleTimes(SampleTimes& times, const sio::PacketRing& ring, std::int64_t startUs,
                      std::int64_t wallStartUs) {
    times.clock = BoardClock{};
    times.rowCache = logging::TimesRowCache{};
    times.ring = &ring;
    times.startUs = startUs;
    times.wallStartUs = wallStartUs;
    times.indexed = false;
    times.lastSample = 0;
    times.index = 0;
    times.lastHostUs = 0;
    times.lossPending = false;
}

logging::TimesRow nextTimesRow(SampleTimes& times, std::int16_t sample, std::uint64_t line,
                               std::int64_t arrivalUs) {
    const std::int64_t hostUs = arrivalUs - times.startUs;
    if (times.indexed) {
        // The counter's step modulo 65536: 32767 to -32768 is one step, and so is 65535 to 0.
        times.index =
            nextIndex(times,
                      static_cast<std::uint16_t>(static_cast<std::uint16_t>(sample) -
                                                 static_cast<std::uint16_t>(times.lastSample)),
                      hostUs);
    } else {
        times.index = static_cast<std::uint16_t>(sample);
        times.indexed = true;
        times.lossPending = false;
    }
    times.lastSample = sample;
    times.lastHostUs = hostUs;
    logging::TimesRow row;
    row.line = line;
    row.sample = sample;
    row.index = times.index;
    row.hostUs = hostUs;
    row.wallUs = times.wallStartUs + row.hostUs;
    row.boardUs = boardTimeUs(times.clock, times.index, row.hostUs);
    return row;
}

void sampleTimesTap(void* context, const logging::AngleAccelRecord& record, std::uint64_t line) {
    auto& times = *static_cast<SampleTimes*>(context);
    times.lastRow =
        nextTimesRow(times, static_cast<std::int16_t>(record.sample), line, times.ring->takenUs);
    if (times.file != nullptr) {
        logging::writeTimesRow(*times.file, times.lastRow, times.rowCache);
    }
}

void captureReadTap(void* context, std::int64_t returnedUs, std::size_t count) {
    auto& times = *static_cast<SampleTimes*>(context);
    if (times.companion != nullptr) {
        noteStateOnce(times);
        logging::noteCaptureRead(*times.companion, returnedUs - times.startUs, count);
    }
}

void noteLinkLoss(SampleTimes& times, std::int64_t nowUs) {
    times.lossPending = true;
    if (times.companion != nullptr) {
        noteStateOnce(times);
        logging::noteCaptureLoss(*times.companion, nowUs - times.startUs);
    }
}

std::size_t packSampleTimes(const SampleTimes& times, std::int64_t* out) {
    out[0] = times.indexed ? 1 : 0;
    out[1] = times.lastSample;
    out[2] = times.index;
    out[3] = times.lastHostUs;
    out[4] = times.lossPending ? 1 : 0;
    const std::size_t held = times.framer != nullptr ? times.framer->have : 0;
    out[5] = static_cast<std::int64_t>(held);
    for (std::size_t i = 0; i < held; ++i) {
        out[6 + i] = times.framer->packet[i];
    }
    return 6 + held + packClock(times.clock, out + 6 + held);
}

bool unpackSampleTimes(SampleTimes& times, const std::int64_t* in, std::size_t count) {
    // Times and indices of any run fit in 2^52 (142 years of microseconds); a state beyond that
    // was not written by a run, and sums of its values could overflow.
    constexpr std::int64_t kMost = std::int64_t{1} << 52;
    for (std::size_t i = 0; i < count; ++i) {
        if (in[i] > kMost || in[i] < -kMost) {
            return false;
        }
    }
    if (count < 6 || in[1] < -32768 || in[1] > 32767 || in[5] < 0 ||
        in[5] >= static_cast<std::int64_t>(sio::kSlotBytes) ||
        count < 6 + static_cast<std::size_t>(in[5])) {
        return false;
    }
    const auto held = static_cast<std::size_t>(in[5]);
    for (std::size_t i = 0; i < held; ++i) {
        if (in[6 + i] < 0 || in[6 + i] > 255) {
            return false;
        }
    }
    if (!unpackClock(times.clock, in + 6 + held, count - 6 - held)) {
        return false;
    }
    times.indexed = in[0] != 0;
    times.lastSample = static_cast<std::int16_t>(in[1]);
    times.index = in[2];
    times.lastHostUs = in[3];
    times.lossPending = in[4] != 0;
    return true;
}

bool resumeFromCapture(SampleTimes& times, const logging::CaptureTimesReader& reader,
                       sio::Framer& framer, sio::PacketRing& ring) {
    if (reader.stateCount == 0) {
        return true;
    }
    if (!unpackSampleTimes(times, reader.state.data(), reader.stateCount)) {
        return false;
    }
    // The head of a packet the earlier set's capture holds: the framer goes on as it did live.
    std::array<std::uint8_t, sio::kSlotBytes> held{};
    const auto count = static_cast<std::size_t>(reader.state[5]);
    for (std::size_t i = 0; i < count; ++i) {
        held[i] = static_cast<std::uint8_t>(reader.state[6 + i]);
    }
    sio::frameBytes(framer, ring, held.data(), count);
    return true;
}

}  // namespace vg::timing
