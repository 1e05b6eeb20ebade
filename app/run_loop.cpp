#include "app/run_loop.h"

#include "common/common.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace vg::app {

namespace {

// Keys taken in one look at most: a flood on standard input cannot hold the data path up.
constexpr int kKeysPerLook = 4096;

struct SystemClock final : LoopClock {
    std::uint64_t nowMs() override { return platform::monotonicMs(); }
    std::int64_t wallNowMs() override { return platform::wallClockUs() / 1000; }
    // True when the exit key is among the keys waiting (a stop request reads as one); every
    // other key is dropped.
    bool stopAsked() override {
        for (int n = 0; n < kKeysPerLook && platform::keyWaiting(); ++n) {
            if (platform::readKey() == platform::kExitKey) {
                return true;
            }
        }
        return false;
    }
};

struct Loop {
    App& app;
    Source& source;
    LoopClock& clock;
    std::span<RunTap* const> taps;
};

// One pass over what the source has brought; the end it met, if any.
End pass(Loop& loop) {
    App& app = loop.app;
    const Pull pulled = loop.source.pull(app, loop.clock.nowMs());
    decodeWaitingPackets(app);
    const std::uint64_t now = loop.clock.nowMs();
    if (sampleLimitReached(app) || durationReached(app.recording, now)) {
        return End::Limit;  // as the exit key would
    }
    switch (rotateIfDue(app, now, static_cast<std::uint64_t>(loop.clock.wallNowMs()))) {
        case Rotation::None:
            break;
        case Rotation::Failed:
            return End::NoNextSet;
        case Rotation::Done:
            for (RunTap* tap : loop.taps) {
                tap->rotated(app, now);
            }
            break;
    }
    flushFileSetIfDue(app.files, now);
    sayFileNotes(app.files);
    if (fileSetFailed(app.files) || app.recording.closeFailed) {
        // Nothing more can be appended to that file (a full disk, a log deleted with its
        // folder), or the set a rotation closed lost lines: end the run now, with the status
        // saying a file is incomplete.
        return End::FileFailed;
    }
    const sio::LinkEvent event = loop.source.watch(app, now);
    if (event != sio::LinkEvent::None) {
        reportLinkEvent(app.run, app.link, event, now);
        for (RunTap* tap : loop.taps) {
            tap->linkEvent(app, event, now);
        }
        if (event == sio::LinkEvent::Lost && !app.link.reconnect) {
            return End::LinkLost;
        }
    }
    const RunCounters counters = countersOf(app.link, app.ring, app.decoder, now);
    loop.source.show(app, counters, now);
    for (RunTap* tap : loop.taps) {
        tap->pass(app, counters, now);
    }
    return pulled == Pull::Ended    ? End::CaptureEnd
           : pulled == Pull::Failed ? End::CaptureFailed
                                    : End::None;
}

// Until the next pass is due: a silent board costs nothing, the loop sleeps until bytes or a
// key arrive or a flush, a retry of a lost link, the status, a rotation or a tap is due.
End waitForNextPass(Loop& loop, std::uint64_t passStartMs) {
    loop.source.pace(loop.app, passStartMs, loop.clock.nowMs());
    if (loop.clock.stopAsked()) {
        return End::Stop;
    }
    const std::uint64_t now = loop.clock.nowMs();
    std::int64_t due = common::earliestDue({msUntilFileSetDue(loop.app.files, now),
                                            loop.source.msUntilDue(loop.app, now),
                                            msUntilRecordingDue(loop.app.recording, now)});
    for (const RunTap* tap : loop.taps) {
        due = common::earliestDue({due, tap->msUntilDue(now)});
    }
    loop.source.wait(loop.app, due);
    return End::None;
}

// Prints the run's summary on standard error (after the set is closed, for its sizes) and keeps
// it in app.summary.
void summarizeRun(App& app, std::uint64_t nowMs) {
    RunSummary& s = app.summary;
    s.counters = countersOf(app.link, app.ring, app.decoder, nowMs);
    s.durationMs = nowMs - app.run.startMs;
    s.samplesLogged = samplesLogged(app);
    s.files = runFiles(app);
    s.deletedSets = app.recording.deletedSets;
    printRunSummary(s.counters, s.durationMs, s.samplesLogged, s.files);
    if (app.recording.unlistedSets != 0) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "  (and %llu earlier sets of files not listed)\n",
                               static_cast<unsigned long long>(app.recording.unlistedSets));
    }
    if (s.deletedSets != 0) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "  (%llu earlier sets of files deleted under --keep)\n",
                               static_cast<unsigned long long>(s.deletedSets));
    }
}

int finish(Loop& loop, End end) {
    App& app = loop.app;
    endRunStatus(app.run);
    loop.source.finish(app);
    const bool complete = closeFileSet(app.files) == 0 && !app.recording.closeFailed;
    sayFileNotes(app.files);
    summarizeRun(app, loop.clock.nowMs());
    int status = end == End::LinkLost ? 3 : 0;
    if (!complete || end == End::NoNextSet || end == End::CaptureFailed) {
        status = 1;
    }
    app.summary.exitStatus = status;  // the taps' last word carries it
    for (RunTap* tap : loop.taps) {
        tap->finished(app, app.summary);
    }
    return status;
}

}  // namespace

LoopClock& systemClock() {
    static SystemClock clock;
    return clock;
}

int runLoop(App& app, Source& source, LoopClock& clock, std::span<RunTap* const> taps) {
    Loop loop{app, source, clock, taps};
    const std::uint64_t startMs = clock.nowMs();
    for (RunTap* tap : taps) {
        tap->started(app, startMs);
    }
    for (;;) {
        const std::uint64_t passStart = clock.nowMs();
        End end = pass(loop);
        if (end == End::None) {
            end = waitForNextPass(loop, passStart);
        }
        if (end != End::None) {
            return finish(loop, end);
        }
    }
}

}  // namespace vg::app
