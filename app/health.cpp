#include "app/health.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/app.h"
#include "platform/console.h"

namespace vg::app {

namespace {

// The rate is taken over at least this long, so it does not jump with each pass.
constexpr std::uint64_t kRateWindowMs = 2000;

RunSummary runningSummary(const App& app, const Health& h, std::uint64_t nowMs) {
    RunSummary s;
    s.running = true;
    s.device = app.summary.device;
    s.startedUtc = app.recording.startedWall;
    s.updatedUtc = std::time(nullptr);
    s.durationMs = nowMs - app.run.startMs;
    s.counters = countersOf(app.link, app.ring, app.decoder, nowMs);
    s.samplesLogged = samplesLogged(app);
    s.deletedSets = app.recording.deletedSets;
    s.files = runFiles(app);
    s.linkUp = !app.link.lost;
    s.linkReason = app.link.lost ? app.link.lossReason.data() : "";
    s.samplesPerSecond = h.samplesPerSecond;
    return s;
}

void send(const Health& h, const std::string& text) {
    platform::notify(h.notifier, text.data(), text.size());
}

void sendStatus(Health& h, const App& app, std::uint64_t nowMs) {
    h.nextStatusMs = nowMs + kNotifyStatusPeriodMs;
    const std::string text = healthStatusText(!app.link.lost, app.link.lossReason.data(),
                                              app.decoder.counts.angleAccel, h.samplesPerSecond);
    if (text != h.statusSent.data()) {
        std::snprintf(h.statusSent.data(), h.statusSent.size(), "%s", text.c_str());
        send(h, "STATUS=" + text);
    }
}

void writeRecord(Health& h, const App& app, std::uint64_t nowMs) {
    h.nextRecordMs = nowMs + kRecordPeriodMs;
    if (h.record == nullptr) {
        return;
    }
    const int err = refreshSummaryJson(*h.record, runningSummary(app, h, nowMs));
    if (err != 0 && !h.recordFailed) {
        h.recordFailed = true;  // the record keeps its last numbers; the final one has room
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: cannot refresh the running summary %s: %s\n",
                               h.record->path.c_str(), std::strerror(err));
    } else if (err == 0) {
        h.recordFailed = false;
    }
}

}  // namespace

std::string healthStatusText(bool linkUp, const char* lossReason, std::uint64_t samples,
                             double samplesPerSecond) {
    char text[256];
    if (linkUp) {
        std::snprintf(text, sizeof text, "link up, %llu samples, %.1f/s",
                      static_cast<unsigned long long>(samples), samplesPerSecond);
    } else {
        std::snprintf(text, sizeof text, "link LOST: %s",
                      lossReason[0] != '\0' ? lossReason : "waiting for the board");
    }
    return text;
}

void startHealth(Health& h, SummaryJsonFile* record) {
    h.record = record;
    if (const int err = platform::openNotifier(h.notifier)) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: cannot tell the service manager (NOTIFY_SOCKET): %s\n",
                               std::strerror(err));
    }
}

void stopHealth(Health& h) {
    platform::closeNotifier(h.notifier);
}

void Health::started(const App& app, std::uint64_t nowMs) {
    rateSinceMs = nowMs;
    rateSinceSamples = app.decoder.counts.angleAccel;
    writeRecord(*this, app, nowMs);
    send(*this, "READY=1");
    sendStatus(*this, app, nowMs);
    if (notifier.watchdogUs != 0) {
        send(*this, "WATCHDOG=1");
        nextWatchdogMs = nowMs + notifier.watchdogUs / 2000;
    }
}

void Health::pass(const App& app, const RunCounters& c, std::uint64_t nowMs) {
    if (nowMs - rateSinceMs >= kRateWindowMs) {
        samplesPerSecond = static_cast<double>(c.packets.angleAccel - rateSinceSamples) * 1000.0 /
                           static_cast<double>(nowMs - rateSinceMs);
        rateSinceMs = nowMs;
        rateSinceSamples = c.packets.angleAccel;
    }
    if (notifier.socket >= 0 && nowMs >= nextStatusMs) {
        sendStatus(*this, app, nowMs);
    }
    // From the loop itself: a loop that stalls stops the pings, and the manager restarts us.
    if (notifier.watchdogUs != 0 && nowMs >= nextWatchdogMs) {
        send(*this, "WATCHDOG=1");
        nextWatchdogMs = nowMs + notifier.watchdogUs / 2000;
    }
    if (nowMs >= nextRecordMs) {
        writeRecord(*this, app, nowMs);
    }
}

void Health::linkEvent(const App& app, sio::LinkEvent e, std::uint64_t nowMs) {
    if (e == sio::LinkEvent::Lost || e == sio::LinkEvent::Back) {
        samplesPerSecond = 0;
        rateSinceMs = nowMs;
        rateSinceSamples = app.decoder.counts.angleAccel;
        if (notifier.socket >= 0) {
            sendStatus(*this, app, nowMs);
        }
        writeRecord(*this, app, nowMs);
    }
}

void Health::rotated(const App& app, std::uint64_t nowMs) {
    writeRecord(*this, app, nowMs);  // the files changed
}

std::int64_t Health::msUntilDue(std::uint64_t nowMs) const {
    auto until = [nowMs](std::uint64_t at) {
        return at > nowMs ? static_cast<std::int64_t>(at - nowMs) : 0;
    };
    std::int64_t due = record != nullptr ? until(nextRecordMs) : -1;
    for (const std::int64_t other : {notifier.socket >= 0 ? until(nextStatusMs) : -1,
                                     notifier.watchdogUs != 0 ? until(nextWatchdogMs) : -1}) {
        if (other >= 0 && (due < 0 || other < due)) {
            due = other;
        }
    }
    return due;
}

void endHealth(Health& h, const RunSummary& summary) {
    send(h, "STOPPING=1\nSTATUS=" + std::string(summary.exitStatus == 0 ? "ended" : "failed") +
                ", exit status " + std::to_string(summary.exitStatus));
}

}  // namespace vg::app
