// The one loop of every run, live or replayed: start, pass until an end, finish.
//
// A source (the port, or a capture read at full speed or read by read as its times tell) hands
// bytes, each packet stamped with its arrival, to the same pass: decode, limits, rotation,
// flush, the files' checks, the link's events, the status and the taps. Every end (the exit key
// or a signal, a limit, a failed file, a lost link under --no-reconnect, the capture's end)
// leaves through one finish: the set closed, the summary said, the taps told.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "app/app.h"
#include "app/run_tap.h"

namespace vg::app {

// Why a run ended.
enum class End {
    None,           // not yet
    Stop,           // the exit key, Ctrl+C or a signal
    Limit,          // --duration or --samples
    FileFailed,     // a file of the set could not be written (or was lost)
    NoNextSet,      // a rotation could not create the next set
    LinkLost,       // the board was lost under --no-reconnect
    CaptureEnd,     // a replay read its capture to the end
    CaptureFailed,  // a replay's capture (or its times) could not be read
};

// What the loop asks of the world besides its source: the clocks and the operator's stop.
// Tests fake it.
struct LoopClock {
    virtual ~LoopClock() = default;
    virtual std::uint64_t nowMs() = 0;
    virtual std::int64_t wallNowMs() = 0;  // since 1970 UTC: names the sets
    virtual bool stopAsked() = 0;          // the exit key was typed or a stop requested
};

// The system's clocks and keys.
LoopClock& systemClock();

enum class Pull { More, Ended, Failed };

// Where a run's bytes come from.
struct Source {
    virtual ~Source() = default;
    // Frames what has arrived into the ring, each packet stamped with its arrival.
    virtual Pull pull(App& app, std::uint64_t nowMs) = 0;
    // After the decode: what became of the link (a capture has none).
    virtual sio::LinkEvent watch(App& /*app*/, std::uint64_t /*nowMs*/) {
        return sio::LinkEvent::None;
    }
    // The operator's view of the pass (the status line, a replay's progress).
    virtual void show(App& app, const RunCounters& counters, std::uint64_t nowMs) = 0;
    // When the source next has something to do without new bytes; -1 never.
    virtual std::int64_t msUntilDue(const App& /*app*/, std::uint64_t /*nowMs*/) const {
        return -1;
    }
    // Before the next pass: a pause that paces the reads, given when the pass began.
    virtual void pace(App& /*app*/, std::uint64_t /*passStartMs*/, std::uint64_t /*nowMs*/) {}
    // Sleeps until bytes or a key arrive, or dueMs passes (-1: no limit); returns at once while
    // the source has bytes to give.
    virtual void wait(App& app, std::int64_t dueMs) = 0;
    // The run is over: what the source leaves behind (a replay's cut packet is counted).
    virtual void finish(App& /*app*/) {}
};

// Runs passes until an end, then finishes the run (set closed, summary said, taps told) and
// returns the exit status: 0 when every file holds all it was handed, 1 when not (or the next
// set could not be created, or the capture could not be read), 3 for a lost link under
// --no-reconnect. The set must be open and hooked (hookFileSet), the run's status started.
int runLoop(App& app, Source& source, LoopClock& clock, std::span<RunTap* const> taps);

}  // namespace vg::app
