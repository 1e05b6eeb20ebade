// A time for every sample: the times file's rows, written from the decoder's sample tap, and
// the times of a raw capture's reads. The arrival of each packet comes from the packet ring's
// stamps (the return of the read that completed it).
#pragma once

#include <cstdint>

#include "logging/capture_times.h"
#include "logging/logging.h"
#include "logging/times_file.h"
#include "sio/sio.h"
#include "timing/board_clock.h"

namespace vg::timing {

struct SampleTimes {
    logging::TimesFile file;          // the times file, open under --times
    logging::CaptureTimes companion;  // the capture's times, open under --raw --times
    BoardClock clock;
    logging::TimesRowCache rowCache;
    const sio::PacketRing* ring = nullptr;  // the decoder's ring: its takenUs is the arrival
    std::int64_t startUs = 0;               // the run's start on the stamps' clock
    std::int64_t wallStartUs = 0;           // the same moment in microseconds since 1970 UTC
    bool indexed = false;                   // a row was written (lastSample and index hold)
    std::int16_t lastSample = 0;
    std::int64_t index = 0;
    logging::TimesRow lastRow{};  // the row of the sample just logged, for the taps after this one
};

// Starts counting for a run whose start is startUs on the ring's stamp clock and wallStartUs on
// the wall clock; the files are left as they are.
void startSampleTimes(SampleTimes& times, const sio::PacketRing& ring, std::int64_t startUs,
                      std::int64_t wallStartUs);

// The decoder's sample tap (context: SampleTimes): one row for the line just logged.
void sampleTimesTap(void* context, const logging::AngleAccelRecord& record, std::uint64_t line);

// The link's read sink (context: SampleTimes): one companion line per read.
void captureReadTap(void* context, std::int64_t returnedUs, std::size_t count);

// The link was lost at nowUs (on the stamps' clock): the board's clock is fitted anew, and the
// companion records the loss.
void noteLinkLoss(SampleTimes& times, std::int64_t nowUs);

// The row of a sample: the index unwrapped from its 16-bit counter, the times from the arrival.
logging::TimesRow nextTimesRow(SampleTimes& times, std::int16_t sample, std::uint64_t line,
                               std::int64_t arrivalUs);

}  // namespace vg::timing
