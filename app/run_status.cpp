#include "app/run_status.h"

#include <filesystem>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/ports.h"
#include "platform/serial.h"

namespace vg::app {

namespace {

using platform::ConsoleStream;

// Appends to a fixed buffer; output past its end is cut, never overrun.
struct Text {
    char* buf;
    std::size_t size;
    std::size_t used = 0;

    void add(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        if (used + 1 >= size) {
            return;
        }
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buf + used, size - used, format, args);
        va_end(args);
        if (n > 0) {
            used += static_cast<std::size_t>(n) < size - used ? static_cast<std::size_t>(n)
                                                              : size - used - 1;
        }
    }
};

// H:MM:SS
void addDuration(Text& t, std::uint64_t ms) {
    const std::uint64_t s = ms / 1000;
    t.add("%llu:%02u:%02u", static_cast<unsigned long long>(s / 3600),
          static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
}

unsigned long long ull(std::uint64_t v) {
    return static_cast<unsigned long long>(v);
}

}  // namespace

RunCounters countersOf(const sio::SerialLink& link, const sio::PacketRing& ring,
                       const decode::Decoder& decoder, std::uint64_t nowMs) {
    RunCounters c;
    c.packets = decoder.counts;
    c.noiseBytes = link.framer.noiseBytes;
    c.cutPackets = link.framer.cutPackets;
    c.ringDrops = ring.dropped;
    c.linkLosses = link.losses;
    c.msLost = link.lostTotalMs + (link.lost ? nowMs - link.lostSinceMs : 0);
    return c;
}

void startRunStatus(RunStatus& status, bool quiet, const char* device, const char* samplesLog,
                    const char* miscLog, std::uint64_t nowMs, const char* timesFile) {
    status = RunStatus{};
    status.showLine = !quiet && platform::consoleIsTerminal(ConsoleStream::Err);
    status.startMs = nowMs;
    status.lastDrawMs = nowMs;
    status.lastBytesMs = nowMs;
    if (timesFile != nullptr) {
        platform::consolePrint(ConsoleStream::Err, "logging %s into %s, %s and %s\n", device,
                               samplesLog, miscLog, timesFile);
    } else {
        platform::consolePrint(ConsoleStream::Err, "logging %s into %s and %s\n", device,
                               samplesLog, miscLog);
    }
}

void updateRunStatus(RunStatus& status, const sio::SerialLink& link, const RunCounters& counters,
                     const logging::AngleAccelRecord& latest, std::uint64_t nowMs) {
    if (link.drainedBytes > 0) {
        status.lastBytesMs = nowMs;
        status.silenceWarned = false;
    } else if (link.lost) {
        status.lastBytesMs = nowMs;  // a lost board has its own message; silence counts anew
    } else if (!status.silenceWarned && nowMs - status.lastBytesMs >= kSilenceWarnMs) {
        status.silenceWarned = true;
        char device[platform::kPortNameSize];
        char text[512];
        std::snprintf(text, sizeof text,
                      "no data from %s for %llu s: check the board's power and cable, that it "
                      "sends at 115200 baud, and that this is its port (vglog --list)\n",
                      sio::linkDeviceName(link, device), ull(kSilenceWarnMs / 1000));
        platform::consoleWrite(ConsoleStream::Err, text);
    }
    if (!status.showLine || nowMs - status.lastDrawMs < kStatusPeriodMs) {
        return;
    }
    const std::uint64_t samples = counters.packets.angleAccel;
    status.samplesPerSecond = static_cast<double>(samples - status.samplesAtDraw) * 1000.0 /
                              static_cast<double>(nowMs - status.lastDrawMs);
    status.samplesAtDraw = samples;
    status.lastDrawMs = nowMs;
    char line[512];
    formatStatusLine(line, sizeof line, counters, nowMs - status.startMs, status.samplesPerSecond,
                     !link.lost, latest, platform::consoleDroppedMessages());
    platform::consoleStatus(line);
}

std::int64_t msUntilStatusDue(const RunStatus& status, const sio::SerialLink& link,
                              std::uint64_t nowMs) {
    std::int64_t due = -1;
    auto consider = [&](std::uint64_t at) {
        const std::int64_t ms = at > nowMs ? static_cast<std::int64_t>(at - nowMs) : 0;
        due = due < 0 ? ms : std::min(due, ms);
    };
    if (status.showLine) {
        consider(status.lastDrawMs + kStatusPeriodMs);
    }
    if (!status.silenceWarned && !link.lost) {
        consider(status.lastBytesMs + kSilenceWarnMs);
    }
    return due;
}

void reportLinkEvent(RunStatus& status, const sio::SerialLink& link, sio::LinkEvent event,
                     std::uint64_t nowMs) {
    char device[platform::kPortNameSize];
    char text[512];
    if (event == sio::LinkEvent::Lost) {
        std::snprintf(text, sizeof text, "link lost: %s: %s; waiting for it to come back\n",
                      sio::linkDeviceName(link, device), link.lossReason.data());
    } else if (event == sio::LinkEvent::Back) {
        const std::uint64_t away = nowMs - link.lostSinceMs;
        std::snprintf(text, sizeof text, "link back after %llu s\n", ull((away + 500) / 1000));
        status.lastBytesMs = nowMs;
    } else {
        return;
    }
    platform::consoleWrite(ConsoleStream::Err, text);
}

void endRunStatus(const RunStatus& status) {
    if (status.showLine) {
        platform::consoleStatus(nullptr);
    }
}

std::size_t formatStatusLine(char* buf, std::size_t size, const RunCounters& counters,
                             std::uint64_t elapsedMs, double samplesPerSecond, bool linkUp,
                             const logging::AngleAccelRecord& latest, std::uint64_t consoleDrops) {
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    addDuration(t, elapsedMs);
    t.add(
        " link %s | %llu samples %.1f/s | quat %llu vec %llu other %llu | noise %llu B | "
        "ring drops %llu | console drops %llu | phi %.3f theta %.3f psi %.3f",
        linkUp ? "up" : "LOST", ull(counters.packets.angleAccel), samplesPerSecond,
        ull(counters.packets.quaternion), ull(counters.packets.vector), ull(counters.packets.other),
        ull(counters.noiseBytes), ull(counters.ringDrops), ull(consoleDrops),
        static_cast<double>(latest.phi), static_cast<double>(latest.theta),
        static_cast<double>(latest.psi));
    return t.used;
}

std::size_t formatRunSummary(char* buf, std::size_t size, const RunCounters& counters,
                             std::uint64_t durationMs, const logging::LogFiles& logs,
                             const logging::RawCapture* capture, const char* timesFile,
                             const char* captureTimes) {
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    t.add("run summary: ");
    addDuration(t, durationMs);
    t.add(", %llu samples logged\n", ull(logging::samplesHeld(logs)));
    t.add("  other packets: %llu quaternion, %llu vector, %llu other (misc log)\n",
          ull(counters.packets.quaternion), ull(counters.packets.vector),
          ull(counters.packets.other));
    t.add("  bytes skipped as noise: %llu; ring drops: %llu; cut packets dropped: %llu\n",
          ull(counters.noiseBytes), ull(counters.ringDrops), ull(counters.cutPackets));
    t.add("  link losses: %u, time lost: ", static_cast<unsigned>(counters.linkLosses));
    addDuration(t, counters.msLost);
    t.add("\n");
    const logging::OutputFile* files[] = {&logs.files[logging::kSamplesLog],
                                          &logs.files[logging::kMiscLog],
                                          capture != nullptr ? &capture->file : nullptr};
    for (const logging::OutputFile* file : files) {
        if (file == nullptr || file->name[0] == '\0') {
            continue;
        }
        static char name[4 * logging::kPathBytes];  // the summary is made once, at the end
        logging::escapeName(name, sizeof name, file->name.data());
        if (file->lost) {
            t.add("  %s: deleted during the run and not put back\n", name);
            continue;
        }
        if (file->movedTo[0] != '\0') {
            static char now[4 * logging::kPathBytes];
            logging::escapeName(now, sizeof now, file->movedTo.data());
            t.add("  %s", now);
        } else {
            t.add("  %s", name);
        }
        t.add(": %llu bytes", ull(file->heldBytes));
        if (file->lines) {
            t.add(", %llu lines", ull(file->heldLines));
        }
        if (file->movedTo[0] != '\0') {
            t.add(" (moved from %s)", name);
        }
        t.add(file->failed ? " (incomplete: writing failed)\n" : "\n");
    }
    for (const char* extra : {timesFile, captureTimes}) {
        if (extra == nullptr || extra[0] == '\0') {
            continue;
        }
        static char name[4 * logging::kPathBytes];
        logging::escapeName(name, sizeof name, extra);
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(extra, ec);
        if (ec) {
            t.add("  %s: missing\n", name);
        } else {
            t.add("  %s: %llu bytes\n", name, ull(bytes));
        }
    }
    return t.used;
}

void printRunSummary(const RunCounters& counters, std::uint64_t durationMs,
                     const logging::LogFiles& logs, const logging::RawCapture* capture,
                     const char* timesFile, const char* captureTimes) {
    static char text[14 * logging::kPathBytes + 2048];
    const std::size_t n = formatRunSummary(text, sizeof text, counters, durationMs, logs, capture,
                                           timesFile, captureTimes);
    platform::consoleWrite(ConsoleStream::Err, text, n);
}

namespace {

void printPortLine(const platform::SerialPortInfo& p) {
    char line[1024];
    Text t{line, sizeof line};
    t.add("%s", p.device.c_str());
    for (const std::string* detail : {&p.byId, &p.vendor, &p.product, &p.serial, &p.details}) {
        if (!detail->empty()) {
            t.add("  %s", detail->c_str());
        }
    }
    t.add("\n");
    platform::consoleWrite(ConsoleStream::Out, line, t.used);
}

}  // namespace

int listPorts() {
    std::string failure;
    const auto ports = platform::listSerialPorts(platform::defaultPortRoots(), &failure);
    if (!failure.empty()) {
        platform::consolePrint(ConsoleStream::Err, "vglog: cannot list the serial ports: %s\n",
                               failure.c_str());
        return 1;
    }
    if (ports.empty()) {
        platform::consoleWrite(ConsoleStream::Err, "no serial ports found\n");
    }
    for (const auto& p : ports) {
        printPortLine(p);
    }
    return 0;
}

void suggestPorts() {
    // A port that is busy or refused is the right one: a list would only lead away from it.
    if (platform::serialOpenFailure() != platform::OpenFailure::Missing) {
        return;
    }
    std::string failure;
    const auto ports = platform::listSerialPorts(platform::defaultPortRoots(), &failure);
    if (!failure.empty()) {
        platform::consolePrint(ConsoleStream::Err, "The serial ports could not be listed: %s\n",
                               failure.c_str());
        return;
    }
    if (ports.empty()) {
        platform::consoleWrite(ConsoleStream::Err, "This machine shows no serial ports.\n");
        return;
    }
    platform::consoleWrite(ConsoleStream::Err, "Serial ports on this machine:\n");
    for (const auto& p : ports) {
        platform::consolePrint(ConsoleStream::Err, "  %s%s%s\n", p.device.c_str(),
                               p.byId.empty() ? "" : "  ", p.byId.c_str());
    }
    // The by-id name stays the adapter's own across replugs, where ttyUSB numbers move.
    const auto& first = ports.front();
    platform::consolePrint(ConsoleStream::Err,
                           "Pass one of them as the port, for example: vglog %s\n",
                           first.byId.empty() ? first.device.c_str() : first.byId.c_str());
}

}  // namespace vg::app
