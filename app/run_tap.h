// What follows a run from the loop without being part of it: the live view, the health record,
// the broker. Each is told of the run's start, every pass, the link's events, each rotation and
// the end, and may ask the loop to wake for it. Per-sample data reaches a tap through the
// decoder's sample taps instead (decode::Decoder::sampleTaps), on the data path: called there,
// a tap must not block or allocate.
#pragma once

#include <cstdint>

#include "app/run_status.h"
#include "sio/sio.h"

namespace vg::app {

struct App;
struct RunSummary;

// Something that follows a run from the loop (the live view, the health record, the broker).
struct RunTap {
    virtual ~RunTap() = default;
    // The set is open and the start line said.
    virtual void started(const App& /*app*/, std::uint64_t /*nowMs*/) {}
    // Every pass, after the status.
    virtual void pass(const App& /*app*/, const RunCounters& /*c*/, std::uint64_t /*nowMs*/) {}
    virtual void linkEvent(const App& /*app*/, sio::LinkEvent /*e*/, std::uint64_t /*nowMs*/) {}
    // The next set is open.
    virtual void rotated(const App& /*app*/, std::uint64_t /*nowMs*/) {}
    // For the wait; -1 never.
    virtual std::int64_t msUntilDue(std::uint64_t /*nowMs*/) const { return -1; }
    // After the summary.
    virtual void finished(const App& /*app*/, const RunSummary& /*summary*/) {}
};

}  // namespace vg::app
