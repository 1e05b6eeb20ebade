#include "timing/sample_times.h"

namespace vg::timing {

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
}

logging::TimesRow nextTimesRow(SampleTimes& times, std::int16_t sample, std::uint64_t line,
                               std::int64_t arrivalUs) {
    if (times.indexed) {
        // The counter's step modulo 65536: 32767 to -32768 is one step, and so is 65535 to 0.
        times.index += static_cast<std::uint16_t>(static_cast<std::uint16_t>(sample) -
                                                  static_cast<std::uint16_t>(times.lastSample));
    } else {
        times.index = static_cast<std::uint16_t>(sample);
        times.indexed = true;
    }
    times.lastSample = sample;
    logging::TimesRow row;
    row.line = line;
    row.sample = sample;
    row.index = times.index;
    row.hostUs = arrivalUs - times.startUs;
    row.wallUs = times.wallStartUs + row.hostUs;
    row.boardUs = boardTimeUs(times.clock, times.index, row.hostUs);
    return row;
}

void sampleTimesTap(void* context, const logging::AngleAccelRecord& record, std::uint64_t line) {
    auto& times = *static_cast<SampleTimes*>(context);
    times.lastRow =
        nextTimesRow(times, static_cast<std::int16_t>(record.sample), line, times.ring->takenUs);
    logging::writeTimesRow(times.file, times.lastRow, times.rowCache);
}

void captureReadTap(void* context, std::int64_t returnedUs, std::size_t count) {
    auto& times = *static_cast<SampleTimes*>(context);
    logging::noteCaptureRead(times.companion, returnedUs - times.startUs, count);
}

void noteLinkLoss(SampleTimes& times, std::int64_t nowUs) {
    restartFit(times.clock);
    logging::noteCaptureLoss(times.companion, nowUs - times.startUs);
}

}  // namespace vg::timing
