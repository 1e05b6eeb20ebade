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
    // The files of the set open now (the run's; null for none): the times file, and the
    // capture's times.
    logging::TimesFile* file = nullptr;
    logging::CaptureTimes* companion = nullptr;
    BoardClock clock;
    logging::TimesRowCache rowCache;
    const sio::PacketRing* ring = nullptr;  // the decoder's ring: its takenUs is the arrival
    std::int64_t startUs = 0;               // the run's start on the stamps' clock
    std::int64_t wallStartUs = 0;           // the same moment in microseconds since 1970 UTC
    bool indexed = false;                   // a row was written (lastSample and index hold)
    std::int16_t lastSample = 0;
    std::int64_t index = 0;
    std::int64_t lastHostUs = 0;  // the last row's arrival, from the run's start
    bool lossPending = false;     // the link was lost since the last row
    // The link's framer, when there is one: a packet it holds when a set of files gives way to
    // the next (its head in the earlier capture) is carried to the next set with the state.
    const sio::Framer* framer = nullptr;
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

// The link was lost at nowUs (on the stamps' clock): the companion records the loss, and the
// next sample tells whether the board kept running (see nextTimesRow).
void noteLinkLoss(SampleTimes& times, std::int64_t nowUs);

// The row of a sample: the index unwrapped from its 16-bit counter, the times from the arrival.
// The index never jumps further than the elapsed time allows: a counter step that would have the
// sample sent well after it arrived (the board restarted; after a link loss, also one that falls
// well short of the elapsed time) starts a new stretch after the last index by the elapsed time
// at the board's rate, and the board's clock is fitted anew. After a link loss a counter that
// kept running gives its true step, wraps included.
logging::TimesRow nextTimesRow(SampleTimes& times, std::int16_t sample, std::uint64_t line,
                               std::int64_t arrivalUs);

// What a later file needs to go on as if it had seen every sample before it: the index, the
// counter, the bytes of a packet the framer holds and the board's clock, as whole numbers
// (kMaxTimesState at most), and back. A capture's times carry it for the set they start (see
// logging/capture_times.h).
inline constexpr std::size_t kMaxTimesState = 6 + sio::kSlotBytes + kMaxClockState;
static_assert(kMaxTimesState <= logging::kMaxCaptureState);
std::size_t packSampleTimes(const SampleTimes& times, std::int64_t* out);
// The held packet's bytes are checked, not taken up (resumeFromCapture feeds them on).
bool unpackSampleTimes(SampleTimes& times, const std::int64_t* in, std::size_t count);
// Takes up the state a capture's times carry, if any, the held packet's bytes through the
// framer into the ring; false when it is not a state.
bool resumeFromCapture(SampleTimes& times, const logging::CaptureTimesReader& reader,
                       sio::Framer& framer, sio::PacketRing& ring);

}  // namespace vg::timing
