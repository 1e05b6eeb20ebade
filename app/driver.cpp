#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/health.h"
#include "app/live_view.h"
#include "app/mqtt_tap.h"
#include "app/options.h"
#include "app/replay.h"
#include "app/run_loop.h"
#include "app/set_names.h"
#include "app/sources.h"
#include "common/common.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/serial.h"

namespace vg::app {

namespace {

constexpr unsigned kPromptPollMs = 5000;
// How long the last messages get to reach a console on the way out; one that takes nothing
// cannot hold the exit longer.
constexpr int kExitDrainMs = 500;

void printBanner() {
    platform::consolePrint(platform::ConsoleStream::Out, "Varnel-Gyrelle Data Log App %s %s %s\r\n",
                           kVersion, __DATE__, __TIME__);
}

int failStart(App& app, const char* message) {
    sio::closePort(app.link);  // whatever was opened before the failure
    platform::consoleWrite(platform::ConsoleStream::Out, message);
    platform::consoleRestore();
    return 1;
}

int runUntilEnd(App& app, const Options& options, MqttTap* mqtt, RunTap* health);

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
        decode::decodeNextPacket(app.decoder, app.ring, app.state, app.files.logs);
    }
}

void hookFileSet(App& app) {
    FileSet& set = app.files;
    const bool capturing = set.capture.file.handle != platform::kNoFile;
    app.link.rawSink = capturing ? logging::rawCaptureSink : nullptr;
    app.link.rawSinkContext = &set.capture;
    if (set.times.file.handle == platform::kNoFile) {
        return;
    }
    app.times.file = &set.times;
    app.times.framer = &app.link.framer;  // a packet cut by a rotation goes with the next set
    app.decoder.sampleTaps[0] = {timing::sampleTimesTap, &app.times};
    if (set.captureTimes.file.handle != platform::kNoFile) {
        app.times.companion = &set.captureTimes;
        app.link.readSink = timing::captureReadTap;
        app.link.readSinkContext = &app.times;
    }
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
    std::uint64_t value = 0;
    std::size_t digits = 0;
    common::readDecimal(p, value, digits);
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
    // Made only when asked for: nothing of the broker stands in a run without it.
    std::optional<MqttTap> mqtt;
    if (options.mqtt != nullptr) {
        mqtt.emplace();
    }
    // Only a run has a health record to keep.
    std::optional<Health> health;
    if (options.action == Action::Log || options.action == Action::Replay) {
        health.emplace();
    }
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
        if (health) {
            startHealth(*health, json.open ? &json : nullptr);
        }
        status = runUntilEnd(app, options, mqtt ? &*mqtt : nullptr, health ? &*health : nullptr);
    }
    app.summary.exitStatus = status;
    app.summary.startedUtc = app.recording.startedWall;
    app.summary.endedUtc = std::time(nullptr);
    if (mqtt && mqtt->on()) {  // the loop's finish published the final status
        mqtt->fillSummary(app.summary);
    }
    if (json.open && writeSummaryJson(json, app.summary) != 0) {
        status = status == 0 ? 1 : status;
    }
    if (health) {
        endHealth(*health, app.summary);
        stopHealth(*health);
    }
    platform::consoleFlush(kExitDrainMs);
    return status;
}

namespace {

// After the start-up banner: a folder that cannot take the run's files is known before anything
// is opened. 0 when fine, else 1 with the reason on standard error.
int usageError(const char* what) {
    platform::consolePrint(platform::ConsoleStream::Err,
                           "vglog: %s\r\nTry 'vglog --help' for more information.\r\n", what);
    return 2;
}

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

// The answers that need no run (help, usage errors, the ports, the version); -1 for a run.
int answerWithoutRun(const Options& options, MqttTap* mqtt) {
    switch (options.action) {
        case Action::Help:
            platform::consoleWrite(platform::ConsoleStream::Out, usageText());
            return 0;
        case Action::UsageError:
            // Two short lines: what is wrong, and where to read more; the whole usage would bury
            // the first.
            return usageError(options.error);
        case Action::List:
            return listPorts();
        default:
            break;
    }
    if (options.action == Action::Replay && options.times && !captureHasTimes(options.replayFile)) {
        // A usage error like the others: the times of a replay come from the capture's times.
        char text[logging::kPathBytes + 128];
        std::snprintf(text, sizeof text,
                      "--replay --times needs the capture's times %s%s, which is not there "
                      "(--raw --times writes them)",
                      options.replayFile, logging::kCaptureTimesSuffix);
        return usageError(text);
    }
    if (options.rotateMs != 0 && options.rotateMs < rotateMinimumMs()) {
        char text[64];
        std::snprintf(text, sizeof text, "--rotate must be at least %llu s",
                      static_cast<unsigned long long>(rotateMinimumMs() / 1000));
        return usageError(text);
    }
    if (const int status = mqtt != nullptr ? mqtt->check(options) : 0) {
        return status;
    }
    printBanner();
    if (options.action == Action::Version) {
        // The banner's version names the board's protocol; this one names the release.
        platform::consolePrint(platform::ConsoleStream::Out, "vglog %s\r\n", VGLOG_RELEASE);
        return 0;
    }
    return checkOutputFolder(options.dir) != 0 ? 1 : -1;
}

// Opens the board's port, asking for it when the command line named none. 0, or the status.
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

int openBoard(App& app, const Options& options) {
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
        suggestPorts(app.link, options.port == nullptr);
        return status;
    }
    return 0;
}

// A live run: the board's port, a set of files named by the time now, the loop.
int runLive(App& app, const Options& options, MqttTap* mqtt, std::span<RunTap* const> taps) {
    platform::consoleOpen();
    if (const int status = openBoard(app, options); status != 0) {
        return status;
    }
    startRecording(app.recording, options, platform::monotonicMs());
    timing::startSampleTimes(app.times, app.ring, platform::monotonicUs(), platform::wallClockUs());
    SetPlan plan = app.recording.plan;
    plan.wallStartUs = app.times.wallStartUs;
    std::tm stamp{};
    if (!platform::toLocalTime(std::time(nullptr), stamp) ||
        openFileSet(app.files, plan, stamp, platform::monotonicMs()) != 0) {
        return failStart(app, "Error opening log file(s).  Exiting.\r\n");
    }
    hookFileSet(app);
    if (mqtt != nullptr && mqtt->start(app, options) != 0) {
        discardFileSet(app.files);
        return failStart(app, "");
    }
    initSensorState(&app.state);
    {
        char device[platform::kPortNameSize];
        startRunStatus(app.run, options.quiet, sio::linkDeviceName(app.link, device), app.files,
                       platform::monotonicMs(),
                       mqtt != nullptr && mqtt->on() ? mqtt->target() : nullptr);
    }
    // The run's time (the summary's, the duration's) counts from the start line.
    restartRecordingClock(app.recording, app.run.startMs, localMsOfDay());
    PortSource source;
    source.times = options.times;
    source.pacing.passMs = timing::timesPassMs(platform::sleepStepMs());
    source.passPeriodMs = portPassPeriodMs(platform::sleepStepMs());
    const int status = runLoop(app, source, systemClock(), taps);
    sio::closePort(app.link);  // gives up exclusive use, for whoever holds the device next
    platform::consoleRestore();
    return status;
}

int runUntilEnd(App& app, const Options& options, MqttTap* mqtt, RunTap* health) {
    platform::setErrorDialogs(!options.noDialog);
    if (const int status = answerWithoutRun(options, mqtt); status >= 0) {
        return status;
    }
    LiveView live(app);
    live.mqtt = mqtt;
    if (options.serve != nullptr && !live.start(options)) {
        return 1;
    }
    std::vector<RunTap*> taps;
    if (live.server) {
        taps.push_back(&live);
    }
    if (health != nullptr) {
        taps.push_back(health);
    }
    if (mqtt != nullptr) {
        taps.push_back(mqtt);
    }
    return options.action == Action::Replay ? runReplay(app, options, taps)
                                            : runLive(app, options, mqtt, taps);
}

}  // namespace

}  // namespace vg::app
