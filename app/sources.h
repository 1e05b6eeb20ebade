// The sources of a run's bytes: the port, and a capture replayed from disk (at full speed, or
// read by read as its times tell).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/run_loop.h"
#include "logging/capture_times.h"
#include "platform/file.h"
#include "timing/read_pacing.h"

namespace vg::app {

// Without times, while bytes flow, the time between two passes' starts, for a system whose
// sleeps last whole steps of sleepStepMs. About 50 ms: at 115 200 baud that is about 580 bytes a
// pass, far inside what the driver and the ring hold, and it wakes the process 20 times a second
// rather than once for every few bytes the line delivers. Keys wait at most this long; signals
// cut the sleep short. It is whole sleep steps: where a sleep lasts a 16 ms timer tick (Windows)
// a 50 ms pass took 62.5 ms or 47 anyway, and each pass there costs more than the bytes it reads
// (under wine: 27 system calls and a signal against about 4).
constexpr std::uint64_t portPassPeriodMs(std::uint64_t sleepStepMs) {
    constexpr std::uint64_t kPassPeriodMs = 50;
    const std::uint64_t step = sleepStepMs > 0 ? sleepStepMs : 1;
    return (kPassPeriodMs + step - 1) / step * step;
}

// The board on its serial port.
struct PortSource final : Source {
    bool times = false;  // every read stamped close to its arrival (--times)
    std::uint64_t passPeriodMs = portPassPeriodMs(1);  // without times
    timing::ReadPacing pacing;
    timing::NextPass nextPass;

    Pull pull(App& app, std::uint64_t nowMs) override;
    sio::LinkEvent watch(App& app, std::uint64_t nowMs) override;
    void show(App& app, const RunCounters& counters, std::uint64_t nowMs) override;
    std::int64_t msUntilDue(const App& app, std::uint64_t nowMs) const override;
    void pace(App& app, std::uint64_t passStartMs, std::uint64_t nowMs) override;
    void wait(App& app, std::int64_t dueMs) override;
};

// A raw capture, replayed through the live run's framer, ring, decoder and writers. The capture
// is read into the link's receive buffer one live read's worth at a time and decoded before the
// next, so no packet is ever dropped for a full ring and memory stays the same whatever the
// capture's size. With its times, every read is stamped with the time it arrived live.
struct CaptureSource final : Source {
    const char* path = nullptr;
    std::uint8_t* buffer = nullptr;  // the link's receive buffer
    platform::FileHandle in = platform::kNoFile;
    bool timed = false;
    logging::CaptureTimesReader reader;  // open when timed
    std::size_t at = 0;                  // the buffer holds the capture's bytes [at, have)
    std::size_t have = 0;
    bool again = false;         // the capture had nothing yet (a FIFO): wait for it
    std::size_t entryLeft = 0;  // bytes of the current recorded read not yet framed
    bool timesEnded = false;    // past the last recorded read
    bool beyondTimes = false;   // bytes came after it
    bool lossPending = false;   // a recorded loss, after the packets before it are decoded
    std::int64_t lossUs = 0;
    std::size_t passBytes = 0;  // read since the progress was last shown

    Pull pull(App& app, std::uint64_t nowMs) override;
    void show(App& app, const RunCounters& counters, std::uint64_t nowMs) override;
    void wait(App& app, std::int64_t dueMs) override;
    void finish(App& app) override;
    Pull pullTimed(App& app);
    // Reads what the capture has now into the buffer.
    Pull refill();
};

// Opens the capture at path (and, when timed, its times) and reads its first bytes, before any
// log exists: a capture that cannot be read leaves nothing behind. 0, or 1 with the reason said.
int openCaptureSource(CaptureSource& source, App& app, const char* path, bool timed);

}  // namespace vg::app
