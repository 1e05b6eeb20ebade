#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "app/app.h"
#include "app/health.h"
#include "app/options.h"
#include "app/replay.h"
#include "app/set_names.h"
#include "live/live.h"
#include "logging/raw_capture.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "timing/read_pacing.h"

namespace vg::app {

namespace {

constexpr unsigned kPassSleepMs = 2;  // the least time between two passes
// While bytes flow, passes start this far apart: at 115 200 baud that is about 580 bytes a pass,
// far inside what the driver and the ring hold, and it wakes the process 20 times a second
// rather than once for every few bytes the line delivers. Keys wait at most this long; signals
// cut the sleep short.
constexpr std::uint64_t kPassPeriodMs = 50;
// A drain that read this much met a backlog: a 50 ms pass at line rate reads about 580 bytes.
constexpr std::size_t kBacklogBytes = 2048;
constexpr unsigned kPromptPollMs = 5000;
// Keys taken in one pass at most: a flood on standard input cannot hold the data path up.
constexpr int kKeysPerPass = 4096;
// How long the last messages get to reach a console on the way out; one that takes nothing
// cannot hold the exit longer.
constexpr int kExitDrainMs = 500;

void printBanner() {
    platform::consolePrint(platform::ConsoleStream::Out, "Varnel-Gyrelle Data Log App %s %s %s\r\n",
                           kVersion, __DATE__, __TIME__);
}

// Ends the run the way the exit key does; the status says whether every line reached disk.
int finishRun(App& app) {
    endRunStatus(app.run);
    const int closed = logging::closeLogFiles(app.logs);
    const int captured = logging::closeRawCapture(app.capture);
    const int timed = closeTimes(app.times);
    summarizeRun(app);
    sio::closePort(app.link);  // gives up exclusive use, for whoever holds the device next
    platform::consoleRestore();
    return closed == 0 && captured == 0 && timed == 0 && !app.recording.closeFailed ? 0 : 1;
}

// Creates the times file (and the capture's times, with a capture) beside the logs, named from
// their stamp, and hooks them to the decoder and the link. 0 on success.
int startTimes(App& app, const std::tm& stamp, const char* dir) {
    timing::startSampleTimes(app.times, app.ring, platform::monotonicUs(), platform::wallClockUs());
    if (logging::openTimesFile(app.times.file, dir, stamp) != 0) {
        return 1;
    }
    const bool capturing = app.capture.file.handle != platform::kNoFile;
    if (capturing && logging::openCaptureTimes(app.times.companion, app.capture.file.name.data(),
                                               app.times.wallStartUs) != 0) {
        logging::discardOutputFile(app.times.file.file);
        return 1;
    }
    app.decoder.sampleTaps[0] = {timing::sampleTimesTap, &app.times};
    if (capturing) {
        app.link.readSink = timing::captureReadTap;
        app.link.readSinkContext = &app.times;
    }
    return 0;
}

// Leaves nothing of a start that failed after the logs were created.
void discardLogsAndCapture(App& app) {
    for (auto& file : app.logs.files) {
        logging::discardOutputFile(file);
    }
    logging::discardRawCapture(app.capture);
}

int failStart(App& app, const char* message) {
    sio::closePort(app.link);  // whatever was opened before the failure
    platform::consoleWrite(platform::ConsoleStream::Out, message);
    platform::consoleRestore();
    return 1;
}

// True when the exit key is among the keys waiting; every other key is dropped.
bool exitKeyTyped() {
    for (int n = 0; n < kKeysPerPass && platform::keyWaiting(); ++n) {
        if (platform::readKey() == platform::kExitKey) {
            return true;
        }
    }
    return false;
}

int runUntilEnd(App& app, const Options& options, RunTap& tap);

// The live view of a run (--serve): fed from the data path, ended with the run.
struct LiveView {
    App& app;
    std::unique_ptr<live::Server, void (*)(live::Server*)> server{nullptr, live::stopServer};

    explicit LiveView(App& a) : app(a) {}
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;
    ~LiveView() {
        if (server) {
            platform::consoleObserve(nullptr, nullptr);
            app.decoder.sampleTaps[1] = {};
        }
    }

    // False (with the reason said) when the address cannot be served.
    bool start(const char* address) {
        std::string url;
        std::string error;
        server = live::startServer(address, url, error);
        if (!server) {
            platform::consolePrint(platform::ConsoleStream::Err, "vglog: %s\n", error.c_str());
            return false;
        }
        app.decoder.sampleTaps[1] = live::sampleTap(*server);
        platform::consoleObserve(
            [](void* context, platform::ConsoleStream, const char* text, std::size_t length) {
                live::publishMessage(*static_cast<live::Server*>(context), text, length);
            },
            server.get());
        platform::consolePrint(platform::ConsoleStream::Err, "live view at %s\n", url.c_str());
        return true;
    }

    void publish(const RunCounters& c, std::uint64_t nowMs) {
        if (!server) {
            return;
        }
        live::Status s;
        s.elapsedMs = nowMs - app.run.startMs;
        s.linkUp = !app.link.lost;
        if (app.link.lost) {
            std::snprintf(s.lossReason.data(), s.lossReason.size(), "%s",
                          app.link.lossReason.data());
        }
        s.samples = c.packets.angleAccel;
        s.quaternion = c.packets.quaternion;
        s.vector = c.packets.vector;
        s.other = c.packets.other;
        s.noiseBytes = c.noiseBytes;
        s.ringDrops = c.ringDrops;
        s.cutPackets = c.cutPackets;
        s.linkLosses = c.linkLosses;
        const char* files[] = {logging::logName(app.logs, logging::kSamplesLog),
                               logging::logName(app.logs, logging::kMiscLog),
                               app.capture.file.name.data()};
        for (std::size_t i = 0; i < live::kFiles; ++i) {
            std::snprintf(s.files[i].data(), s.files[i].size(), "%s", files[i]);
        }
        live::publishStatus(*server, s);
    }
};

// Whether the capture at path has its times beside it.
bool captureHasTimes(const char* path) {
    logging::CaptureTimesReader reader;
    const bool there = logging::openCaptureTimesReader(reader, path) != -1;
    logging::closeCaptureTimesReader(reader);
    return there;
}

}  // namespace

void decodeWaitingPackets(App& app) {
    // Packets that arrive meanwhile wait for the next call.
    std::uint16_t pktsInBuffer = 0;
    sio::countPackets(app.ring, pktsInBuffer);
    for (std::uint16_t i = 0; i < pktsInBuffer && !sampleLimitReached(app); ++i) {
        decode::decodeNextPacket(app.decoder, app.ring, app.state, app.logs);
    }
}

void summarizeRun(App& app) {
    const std::uint64_t now = platform::monotonicMs();
    RunSummary& s = app.summary;
    s.counters = countersOf(app.link, app.ring, app.decoder, now);
    s.durationMs = now - app.run.startMs;
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

int closeTimes(timing::SampleTimes& times) {
    const int file = logging::closeOutputFile(times.file.file);
    const int companion = logging::closeOutputFile(times.companion.file);
    return file == 0 && companion == 0 ? 0 : -1;
}

std::uint16_t portFromArgument(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Modular arithmetic keeps exactly the low bits of the decimal value, however long it is.
    std::uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::uint16_t>(value);
}

void configureLink(sio::SerialLink& link, const char* argument) {
    if (std::strpbrk(argument, "/\\") != nullptr) {
        sio::setLinkDevice(link, argument, kBaudRate);
    } else if ((argument[0] >= 'a' && argument[0] <= 'z') ||
               (argument[0] >= 'A' && argument[0] <= 'Z') ||
               static_cast<unsigned char>(argument[0]) >= 0x80) {
        // A letter beyond ASCII (UTF-8 lead bytes) starts a name as any other letter does.
        const std::string path = platform::deviceForName(argument, platform::defaultPortRoots());
        std::snprintf(link.deviceName.data(), link.deviceName.size(), "%s", path.c_str());
        sio::setLinkDevice(link, link.deviceName.data(), kBaudRate);
    } else {
        sio::setLinkConfig(link, portFromArgument(argument), kBaudRate);
    }
}

int runLogger(App& app, int argc, char** argv) {
    platform::prepareStandardStreams();
    app.recording.startedWall = std::time(nullptr);
    const Options options = parseOptions(argc, argv);
    SummaryJsonFile json;
    Health health;
    int status = 0;
    RunSummary first;
    first.running = true;
    first.startedUtc = app.recording.startedWall;
    first.updatedUtc = first.startedUtc;
    first.linkUp = false;  // not opened yet
    first.linkReason = "not opened yet";
    if (options.port != nullptr && options.action == Action::Log) {
        first.device = options.port;  // as given: the record of the start says its path
    }
    if (options.summaryJson != nullptr && openSummaryJson(json, options.summaryJson, first) != 0) {
        status = 1;  // a script waiting for the summary would never get one
    } else {
        startHealth(health, json.open ? &json : nullptr);
        status = runUntilEnd(app, options, health);
    }
    app.summary.exitStatus = status;
    app.summary.startedUtc = app.recording.startedWall;
    app.summary.endedUtc = std::time(nullptr);
    if (json.open && writeSummaryJson(json, app.summary) != 0) {
        status = status == 0 ? 1 : status;
    }
    health.finished(app, app.summary);
    stopHealth(health);
    platform::consoleFlush(kExitDrainMs);
    return status;
}

namespace {

// After the start-up banner: a folder that cannot take the run's files is known before anything
// is opened. 0 when fine, else 1 with the reason on standard error.
int checkOutputFolder(const char* dir) {
    if (dir == nullptr) {
        return 0;
    }
    const int err = platform::checkWritableFolder(dir);
    if (err != 0) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: cannot create files in %s: %s\n", dir, std::strerror(err));
        return 1;
    }
    return 0;
}

// --wait-for-port: a port not there yet (the service started before the board's adapter) is
// waited for as a board that went away is. True when the run starts so.
bool startAbsentPort(App& app, const Options& options) {
    std::error_code ec;  // a link left to nowhere is no port either
    if (!options.waitForPort ||
        std::filesystem::exists(pathOfUtf8(app.summary.device.c_str()), ec) || ec) {
        return false;
    }
    sio::startLinkAbsent(app.link, app.ring, platform::monotonicMs(),
                         "the device is not there yet");
    platform::consolePrint(platform::ConsoleStream::Err,
                           "vglog: %s is not there yet; waiting for it (--wait-for-port)\n",
                           app.summary.device.c_str());
    return true;
}

int runUntilEnd(App& app, const Options& options, RunTap& tap) {
    platform::setErrorDialogs(!options.noDialog);
    switch (options.action) {
        case Action::Help:
            platform::consoleWrite(platform::ConsoleStream::Out, usageText());
            return 0;
        case Action::UsageError:
            // Two short lines: what is wrong, and where to read more; the whole usage would bury
            // the first.
            platform::consolePrint(platform::ConsoleStream::Err,
                                   "vglog: %s\r\nTry 'vglog --help' for more information.\r\n",
                                   options.error);
            return 2;
        case Action::List:
            return listPorts();
        default:
            break;
    }
    if (options.action == Action::Replay && options.times && !captureHasTimes(options.replayFile)) {
        // A usage error like the others: the times of a replay come from the capture's times.
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: --replay --times needs the capture's times %s%s, which is "
                               "not there (--raw --times writes them)\r\n"
                               "Try 'vglog --help' for more information.\r\n",
                               options.replayFile, logging::kCaptureTimesSuffix);
        return 2;
    }
    if (options.rotateMs != 0 && options.rotateMs < rotateMinimumMs()) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: --rotate must be at least %llu s\r\nTry 'vglog --help' for "
                               "more information.\r\n",
                               static_cast<unsigned long long>(rotateMinimumMs() / 1000));
        return 2;
    }
    printBanner();
    if (options.action == Action::Version) {
        // The banner's version names the board's protocol; this one names the release.
        platform::consolePrint(platform::ConsoleStream::Out, "vglog %s\r\n", VGLOG_RELEASE);
        return 0;
    }
    if (checkOutputFolder(options.dir) != 0) {
        return 1;
    }
    // Before anything is opened: an address that cannot be served leaves nothing behind.
    LiveView live(app);
    if (options.serve != nullptr && !live.start(options.serve)) {
        return 1;
    }
    if (options.action == Action::Replay) {
        platform::consoleOpen();  // Ctrl+C and the signals end a replay with its logs complete
        startReplayProgress(app.run, options.quiet, options.replayFile, platform::monotonicMs());
        startRecording(app.recording, options, app.run.startMs);
        bool logsCreated = false;
        const int status =
            runReplay(app, options.replayFile, options.times, logsCreated, options.dir);
        endRunStatus(app.run);
        const std::uint64_t now = platform::monotonicMs();
        live.publish(countersOf(app.link, app.ring, app.decoder, now), now);
        if (logsCreated) {
            summarizeRun(app);
        }
        platform::consoleRestore();
        return status;
    }
    platform::consoleOpen();

    if (options.port != nullptr) {
        configureLink(app.link, options.port);
    } else {
        platform::consoleWrite(platform::ConsoleStream::Out,
                               "Please assign the com port number!!\r\n");
        // The key is left waiting for the loop. No key can come once input has ended.
        while (!platform::keyWaiting() && !platform::inputEnded()) {
            platform::waitForActivity(platform::kInvalidPort, static_cast<int>(kPromptPollMs));
        }
    }

    {
        char device[platform::kPortNameSize];
        app.summary.device = sio::linkDeviceName(app.link, device);
    }
    app.link.reconnect = !options.noReconnect;
    // Device identities are read under the same roots for the whole run.
    static const platform::PortRoots roots = platform::defaultPortRoots();
    app.link.identityRoots = &roots;
    if (!startAbsentPort(app, options) && sio::openLink(app.link, app.ring) == -1) {
        const int status = failStart(app, "ERROR opening serial port.  Exiting\r\n");
        suggestPorts();
        return status;
    }
    std::tm stamp{};
    if (!platform::toLocalTime(std::time(nullptr), stamp) ||
        logging::openLogsAndCaptureAt(app.logs, app.capture, options.raw, options.rawFile, stamp,
                                      options.dir) != 0) {
        return failStart(app, "Error opening log file(s).  Exiting.\r\n");
    }
    if (options.times && startTimes(app, stamp, options.dir) != 0) {
        discardLogsAndCapture(app);
        return failStart(app, "Error opening log file(s).  Exiting.\r\n");
    }
    if (options.raw) {
        app.link.rawSink = logging::rawCaptureSink;
        app.link.rawSinkContext = &app.capture;
    }
    initSensorState(&app.state);
    {
        char device[platform::kPortNameSize];
        startRunStatus(app.run, options.quiet, sio::linkDeviceName(app.link, device),
                       logging::logName(app.logs, logging::kSamplesLog),
                       logging::logName(app.logs, logging::kMiscLog), platform::monotonicMs(),
                       options.times ? app.times.file.name.data() : nullptr);
    }
    startRecording(app.recording, options, app.run.startMs, localMsOfDay());
    app.recording.currentStamp = stamp;
    tap.started(app, app.run.startMs);

    timing::ReadPacing pacing;
    timing::NextPass nextPass;
    for (;;) {
        const std::uint64_t passStart = platform::monotonicMs();
        sio::drainPort(app.link, app.ring);
        decodeWaitingPackets(app);
        const std::uint64_t workDone = platform::monotonicMs();
        if (sampleLimitReached(app) || durationReached(app.recording, workDone)) {
            return finishRun(app);  // as the exit key would
        }
        const std::size_t setsBefore = app.recording.closedSets.size() + app.recording.unlistedSets;
        if (rotateIfDue(app, workDone) != 0) {
            finishRun(app);
            return 1;
        }
        if (app.recording.closedSets.size() + app.recording.unlistedSets != setsBefore) {
            tap.rotated(app, workDone);
        }
        // The times go out with the lines and the bytes they belong to (closed without --times).
        logging::flushLogsAndCaptureIfDue(app.logs, app.capture, workDone,
                                          {&app.times.file.file, &app.times.companion.file});
        if (logging::logsOrCaptureFailed(app.logs, app.capture) || app.times.file.file.failed ||
            app.times.companion.file.failed) {
            // Nothing more can be appended to that file (a full disk, a log deleted with its
            // folder): end the run now, with the status saying a file is incomplete.
            return finishRun(app);
        }
        const sio::LinkEvent linkEvent = sio::watchLink(app.link, workDone);
        if (linkEvent == sio::LinkEvent::Lost && options.times) {
            timing::noteLinkLoss(app.times, platform::monotonicUs());
        }
        reportLinkEvent(app.run, app.link, linkEvent, workDone);
        tap.linkEvent(app, linkEvent, workDone);
        if (linkEvent == sio::LinkEvent::Lost && !app.link.reconnect) {
            return finishRun(app) == 0 ? 3 : 1;
        }
        const RunCounters counters = countersOf(app.link, app.ring, app.decoder, workDone);
        updateRunStatus(app.run, app.link, counters, app.decoder.record, workDone);
        live.publish(counters, workDone);
        tap.pass(app, counters, workDone);

        // After a backlog the next pass comes as soon as allowed, so a burst drains at speed.
        // With times the next pass waits only for bytes, so each read is stamped close to their
        // arrival; bytes that keep coming in quick pieces are read every few milliseconds
        // (timing::ReadPacing) rather than piece by piece.
        const std::uint64_t spent = workDone - passStart;
        const bool backlog = app.link.drainedBytes >= kBacklogBytes;
        if (!options.times) {
            platform::sleepMs(backlog || spent + kPassSleepMs >= kPassPeriodMs
                                  ? kPassSleepMs
                                  : static_cast<unsigned>(kPassPeriodMs - spent));
        } else {
            nextPass = timing::planNextPass(pacing, passStart, app.link.drainedBytes, workDone);
            if (backlog) {
                nextPass = {};  // a backlog drains at speed
            }
            if (nextPass.sleepMs > 0) {
                platform::sleepMs(static_cast<unsigned>(nextPass.sleepMs));
            }
        }
        if (exitKeyTyped()) {
            return finishRun(app);
        }
        // A silent board costs nothing: sleep until bytes or a key arrive, or a flush, a retry
        // of a lost link or the status display is due.
        const std::uint64_t now = platform::monotonicMs();
        std::int64_t due = logging::msUntilLogsOrCaptureDue(app.logs, app.capture, now);
        for (const std::int64_t other :
             {sio::msUntilRetry(app.link, now), msUntilStatusDue(app.run, app.link, now),
              msUntilRecordingDue(app.recording, now), tap.msUntilDue(now)}) {
            if (other >= 0 && (due < 0 || other < due)) {
                due = other;
            }
        }
        if (nextPass.waitForPort) {
            platform::waitForActivity(app.link.portHandle, static_cast<int>(due));
        }
    }
}

}  // namespace

}  // namespace vg::app
