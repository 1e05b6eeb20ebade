// What follows a run from the loop: the live view, the health record, the broker.
#pragma once

#include <cstdint>

#include "app/run_status.h"
#include "app/summary_json.h"
#include "sio/sio.h"

namespace vg::app {

struct App;

// Something that follows a run from the loop (the live view, the health record, the broker).
struct RunTap {
    virtual ~RunTap() = default;
    // The set of files is open and the start line said.
    virtual void started(const App& /*app*/, std::uint64_t /*nowMs*/) {}
    // Every pass, after the status.
    virtual void pass(const App& /*app*/, const RunCounters& /*c*/, std::uint64_t /*nowMs*/) {}
    virtual void linkEvent(const App& /*app*/, sio::LinkEvent /*e*/, std::uint64_t /*nowMs*/) {}
    // The next set is open.
    virtual void rotated(const App& /*app*/, std::uint64_t /*nowMs*/) {}
    // For the loop's wait: milliseconds until the tap has something to do; -1 for never.
    virtual std::int64_t msUntilDue(std::uint64_t /*nowMs*/) const { return -1; }
    // After the summary.
    virtual void finished(const App& /*app*/, const RunSummary& /*summary*/) {}
};

}  // namespace vg::app
