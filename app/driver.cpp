#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/options.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/serial.h"

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

void printBanner() {
    platform::consolePrint(platform::ConsoleStream::Out, "Varnel-Gyrelle Data Log App %s %s %s\r\n",
                           kVersion, __DATE__, __TIME__);
}

// Ends the run the way the exit key does; the status says whether every line reached disk.
int finishRun(App& app) {
    const int closed = logging::closeLogFiles(app.logs);
    platform::consoleRestore();
    return closed == 0 ? 0 : 1;
}

int failStart(const char* message) {
    platform::consoleWrite(platform::ConsoleStream::Out, message);
    platform::consoleRestore();
    return 1;
}

}  // namespace

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
    if (argument[0] == '/') {
        sio::setLinkDevice(link, argument, kBaudRate);
    } else {
        sio::setLinkConfig(link, portFromArgument(argument), kBaudRate);
    }
}

int runLogger(App& app, int argc, char** argv) {
    platform::prepareStandardStreams();
    const Options options = parseOptions(argc, argv);
    platform::setErrorDialogs(!options.noDialog);
    switch (options.action) {
        case Action::Help:
            platform::consoleWrite(platform::ConsoleStream::Out, usageText());
            return 0;
        case Action::UsageError:
            platform::consolePrint(platform::ConsoleStream::Err,
                                   "vglog: unknown or incomplete argument \"%s\"\r\n",
                                   options.badArgument);
            platform::consoleWrite(platform::ConsoleStream::Err, usageText());
            return 2;
        default:
            break;
    }
    printBanner();
    if (options.action == Action::Version) {
        return 0;
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

    if (sio::openLink(app.link, app.ring) == -1) {
        return failStart("ERROR opening serial port.  Exiting\r\n");
    }
    if (logging::openLogFiles(app.logs) != 0) {
        return failStart("Error opening log file(s).  Exiting.\r\n");
    }
    initSensorState(&app.state);

    for (;;) {
        const std::uint64_t passStart = platform::monotonicMs();
        sio::drainPort(app.link, app.ring);
        std::uint16_t pktsInBuffer = 0;
        sio::countPackets(app.ring, pktsInBuffer);
        for (std::uint16_t i = 0; i < pktsInBuffer; ++i) {
            decode::decodeNextPacket(app.decoder, app.ring, app.state, app.logs);
        }
        const std::uint64_t workDone = platform::monotonicMs();
        logging::flushLogsIfDue(app.logs, workDone);

        // After a backlog the next pass comes as soon as allowed, so a burst drains at speed.
        const std::uint64_t spent = workDone - passStart;
        const bool backlog = app.link.drainedBytes >= kBacklogBytes;
        platform::sleepMs(backlog || spent + kPassSleepMs >= kPassPeriodMs
                              ? kPassSleepMs
                              : static_cast<unsigned>(kPassPeriodMs - spent));
        if (platform::keyWaiting() && platform::readKey() == platform::kExitKey) {
            return finishRun(app);
        }
        // A silent board costs nothing: sleep until bytes or a key arrive, or a flush is due.
        const std::int64_t flushDue = logging::msUntilFlushDue(app.logs, platform::monotonicMs());
        platform::waitForActivity(app.link.portHandle, static_cast<int>(flushDue));
    }
}

}  // namespace vg::app
