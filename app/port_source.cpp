#include "app/sources.h"

#include "common/common.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace vg::app {

namespace {

constexpr unsigned kPassSleepMs = 2;  // the least time between two passes
// A drain that read this much met a backlog: a 50 ms pass at line rate reads about 580 bytes.
constexpr std::size_t kBacklogBytes = 2048;

}  // namespace

Pull PortSource::pull(App& app, std::uint64_t /*nowMs*/) {
    sio::drainPort(app.link, app.ring);
    return Pull::More;
}

sio::LinkEvent PortSource::watch(App& app, std::uint64_t nowMs) {
    const sio::LinkEvent event = sio::watchLink(app.link, nowMs);
    if (event == sio::LinkEvent::Lost && times) {
        timing::noteLinkLoss(app.times, platform::monotonicUs());
    }
    return event;
}

void PortSource::show(App& app, const RunCounters& counters, std::uint64_t nowMs) {
    updateRunStatus(app.run, app.link, counters, app.decoder.record, nowMs);
}

std::int64_t PortSource::msUntilDue(const App& app, std::uint64_t nowMs) const {
    return common::earliestDue(
        {sio::msUntilRetry(app.link, nowMs), msUntilStatusDue(app.run, app.link, nowMs)});
}

void PortSource::pace(App& app, std::uint64_t passStartMs, std::uint64_t nowMs) {
    // After a backlog the next pass comes as soon as allowed, so a burst drains at speed. With
    // times the next pass waits only for bytes, so each read is stamped close to its arrival;
    // bytes that keep coming in quick pieces are read every few milliseconds (ReadPacing)
    // rather than piece by piece.
    const std::uint64_t spent = nowMs - passStartMs;
    const bool backlog = app.link.drainedBytes >= kBacklogBytes;
    if (!times) {
        platform::sleepMs(backlog || spent + kPassSleepMs >= passPeriodMs
                              ? kPassSleepMs
                              : static_cast<unsigned>(passPeriodMs - spent));
        return;
    }
    nextPass = timing::planNextPass(pacing, passStartMs, app.link.drainedBytes, nowMs);
    if (backlog) {
        nextPass = {};  // a backlog drains at speed
    }
    if (nextPass.sleepMs > 0) {
        platform::sleepMs(static_cast<unsigned>(nextPass.sleepMs));
    }
}

void PortSource::wait(App& app, std::int64_t dueMs) {
    if (nextPass.waitForPort) {
        platform::waitForActivity(app.link.portHandle, static_cast<int>(dueMs));
    }
}

}  // namespace vg::app
