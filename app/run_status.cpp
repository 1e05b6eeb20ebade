#include "app/run_status.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/options.h"
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

// One field of a fitted line, in its wide form and a narrower one (the same when it has none).
struct Field {
    char wide[96];
    char narrow[96];
};

constexpr std::size_t kMaxFields = 8;
constexpr char kSeparator[] = " | ";
constexpr std::size_t kSeparatorLength = sizeof kSeparator - 1;

void setField(char (&form)[96], const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void setField(char (&form)[96], const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(form, sizeof form, format, args);
    va_end(args);
}

// Joins fields with " | " into at most limit columns. The first `essential` ones go in, in
// their narrow forms, as long as they fit; then they are widened while room is left, the last
// first (a third decimal of the angles says more than the word "link"). Only when every one of
// them is in do the others follow, wide, each only while it fits: a field is never shown
// without all that come before it. When not even the first fits, its first words are shown.
std::size_t fitFields(char* buf, std::size_t size, const Field* fields, std::size_t count,
                      std::size_t essential, std::size_t limit) {
    bool wide[kMaxFields] = {};
    std::size_t length[kMaxFields][2] = {};
    for (std::size_t i = 0; i < count; ++i) {
        length[i][0] = std::strlen(fields[i].narrow);
        length[i][1] = std::strlen(fields[i].wide);
    }
    auto cost = [&](std::size_t i, bool isWide) {
        return (i > 0 ? kSeparatorLength : 0) + length[i][isWide ? 1 : 0];
    };
    std::size_t shown = 0;
    std::size_t total = 0;
    while (shown < essential && shown < count && total + cost(shown, false) <= limit) {
        total += cost(shown++, false);
    }
    for (std::size_t i = shown; i-- > 0 && total + length[i][1] - length[i][0] <= limit;) {
        wide[i] = true;
        total += length[i][1] - length[i][0];
    }
    if (shown == essential) {
        while (shown < count && total + cost(shown, true) <= limit) {
            wide[shown] = true;
            total += cost(shown++, true);
        }
    }
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    if (shown == 0 && count > 0) {
        // Whole words of it, where there is room for one.
        std::size_t cut = limit < length[0][0] ? limit : length[0][0];
        for (std::size_t i = cut; i > 0 && fields[0].narrow[cut] != '\0'; --i) {
            if (fields[0].narrow[i] == ' ') {
                cut = i;
                break;
            }
        }
        t.add("%.*s", static_cast<int>(cut), fields[0].narrow);
    }
    for (std::size_t i = 0; i < shown; ++i) {
        t.add("%s%s", i > 0 ? kSeparator : "", wide[i] ? fields[i].wide : fields[i].narrow);
    }
    return t.used;
}

std::size_t roomFor(unsigned columns) {
    return (columns == 0 ? kDefaultColumns : columns) - 1;
}

// H:MM:SS into a field's text.
void durationText(char (&out)[32], std::uint64_t ms) {
    Text t{out, sizeof out};
    out[0] = '\0';
    addDuration(t, ms);
}

// A byte count as people read it: B, kB, MB, GB (powers of 1000).
void bytesText(char (&out)[16], double bytes) {
    if (bytes < 10000) {
        std::snprintf(out, sizeof out, "%.0f B", bytes);
    } else if (bytes < 1e6) {
        std::snprintf(out, sizeof out, "%.1f kB", bytes / 1e3);
    } else if (bytes < 1e9) {
        std::snprintf(out, sizeof out, "%.1f MB", bytes / 1e6);
    } else {
        std::snprintf(out, sizeof out, "%.2f GB", bytes / 1e9);
    }
}

std::uint64_t packetsOf(const decode::PacketCounts& p) {
    return p.angleAccel + p.quaternion + p.vector + p.other;
}

// Bytes that arrive but form no packet for 5 s: said once, until a pass finds packets among
// little noise. A run of noise turns up the odd "packet" by chance, so a pass only counts as
// packets flowing when noise is at most a quarter of what it read.
void watchNoise(RunStatus& status, const sio::SerialLink& link, const RunCounters& counters,
                std::uint64_t nowMs) {
    const std::uint64_t packets = packetsOf(counters.packets) + counters.ringDrops;
    const std::uint64_t newPackets = packets - status.packetsSeen;
    const std::uint64_t newNoise = counters.noiseBytes - status.noiseSeen;
    status.packetsSeen = packets;
    status.noiseSeen = counters.noiseBytes;
    const bool flowing = newPackets > 0 && newNoise * 4 <= link.drainedBytes;
    if (link.lost || flowing) {
        // A lost board has its own message; what comes after it counts anew.
        status.lastPacketMs = nowMs;
        status.noiseAtPacket = counters.noiseBytes;
        status.noiseWarned = status.noiseWarned && !flowing;
        return;
    }
    if (link.drainedBytes == 0 || status.noiseWarned ||
        nowMs - status.lastPacketMs < kSilenceWarnMs) {
        return;
    }
    status.noiseWarned = true;
    char device[platform::kPortNameSize];
    char text[512];
    std::snprintf(text, sizeof text,
                  "no packets from %s for %llu s, only noise (%llu bytes): check that the board "
                  "sends at 115200 baud and that this is its port, not another device's "
                  "(vglog --list)\n",
                  sio::linkDeviceName(link, device), ull(kSilenceWarnMs / 1000),
                  ull(counters.noiseBytes - status.noiseAtPacket));
    platform::consoleWrite(ConsoleStream::Err, text);
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

std::size_t formatSetFiles(char* buf, std::size_t size, const FileSet& set) {
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    const char* names[kSetFiles];
    std::size_t count = 0;
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        if (setFileName(set, slot)[0] != '\0') {
            names[count++] = setFileName(set, slot);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        t.add("%s%s", i == 0 ? "" : i + 1 == count ? " and " : ", ", names[i]);
    }
    return t.used;
}

void startRunStatus(RunStatus& status, bool quiet, const char* device, const FileSet& set,
                    std::uint64_t nowMs, const char* publishing) {
    status = RunStatus{};
    status.showLine = !quiet && platform::consoleIsTerminal(ConsoleStream::Err);
    status.startMs = nowMs;
    status.lastDrawMs = nowMs;
    status.lastBytesMs = nowMs;
    status.lastPacketMs = nowMs;
    static char files[kSetFiles * logging::kPathBytes + 64];  // said once, at the start
    formatSetFiles(files, sizeof files, set);
    std::string line = std::string("logging ") + device + " into " + files;
    if (publishing != nullptr) {
        line += std::string(", publishing to ") + publishing;
    }
    line += "\n";
    platform::consoleWrite(ConsoleStream::Err, line.data(), line.size());
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
    watchNoise(status, link, counters, nowMs);
    if (!status.showLine) {
        return;
    }
    // A resize is drawn at once (its signal cut the loop's wait short).
    const unsigned columns = platform::consoleColumns();
    const bool due = nowMs - status.lastDrawMs >= kStatusPeriodMs;
    if (!due && columns == status.drawnColumns) {
        return;
    }
    if (due) {
        const std::uint64_t samples = counters.packets.angleAccel;
        status.samplesPerSecond = static_cast<double>(samples - status.samplesAtDraw) * 1000.0 /
                                  static_cast<double>(nowMs - status.lastDrawMs);
        status.samplesAtDraw = samples;
        status.lastDrawMs = nowMs;
    }
    status.drawnColumns = columns;
    char line[512];
    status.extraField.back() = '\0';
    formatStatusLine(line, sizeof line, counters, nowMs - status.startMs, status.samplesPerSecond,
                     !link.lost, latest, platform::consoleDroppedMessages(), columns,
                     status.extraField.data());
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
    char text[1024];
    if (event == sio::LinkEvent::Lost) {
        std::snprintf(
            text, sizeof text, "link lost: %s: %s; %s\n", sio::linkDeviceName(link, device),
            link.lossReason.data(),
            link.reconnect ? "waiting for it to come back" : "ending the run (--no-reconnect)");
    } else if (event == sio::LinkEvent::StillWaiting) {
        Text t{text, sizeof text};
        t.add("link lost: %s: still waiting: ", sio::linkDeviceName(link, device));
        switch (link.waitReason) {
            case sio::WaitReason::Missing:
                t.add("the device is not there");
                break;
            case sio::WaitReason::Busy:
                t.add("the device is in use by another program");
                break;
            case sio::WaitReason::Denied:
                t.add("permission denied (is your user in the dialout group?)");
                break;
            case sio::WaitReason::OtherDevice:
                t.add("another device is there now, %s, not the one this run began with, %s",
                      link.foundIdentity.shown[0] != '\0' ? link.foundIdentity.shown
                                                          : "one without an identity",
                      link.identity.shown);
                break;
            case sio::WaitReason::Other:
                t.add("%s", link.waitDetail.data());
                break;
        }
        t.add("\n");
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
                             const logging::AngleAccelRecord& latest, std::uint64_t consoleDrops,
                             unsigned columns, const char* extra) {
    Field f[8];
    char elapsed[32];
    durationText(elapsed, elapsedMs);
    const char* link = linkUp ? "up" : "LOST";
    setField(f[0].wide, "%s link %s", elapsed, link);
    setField(f[0].narrow, "%s %s", elapsed, link);
    const unsigned long long samples = ull(counters.packets.angleAccel);
    setField(f[1].wide, "%llu samples %.1f/s", samples, samplesPerSecond);
    setField(f[1].narrow, "%llu smp %.0f/s", samples, samplesPerSecond);
    std::size_t n = 2;
    // Before the first sample there are no angles to show, only zeros that look like data.
    if (samples > 0) {
        const auto phi = static_cast<double>(latest.phi);
        const auto theta = static_cast<double>(latest.theta);
        const auto psi = static_cast<double>(latest.psi);
        setField(f[n].wide, "phi %.3f theta %.3f psi %.3f", phi, theta, psi);
        setField(f[n++].narrow, "phi %.2f th %.2f psi %.2f", phi, theta, psi);
    }
    const std::size_t essential = n;
    if (extra != nullptr && extra[0] != '\0') {
        // Right after the angles: whether the samples leave the machine matters before counts.
        setField(f[n++].wide, "%s", extra);
    }
    setField(f[n++].wide, "quat %llu vec %llu other %llu", ull(counters.packets.quaternion),
             ull(counters.packets.vector), ull(counters.packets.other));
    setField(f[n++].wide, "noise %llu B", ull(counters.noiseBytes));
    setField(f[n++].wide, "ring drops %llu", ull(counters.ringDrops));
    setField(f[n++].wide, "console drops %llu", ull(consoleDrops));
    for (std::size_t i = essential; i < n; ++i) {
        std::memcpy(f[i].narrow, f[i].wide, sizeof f[i].wide);
    }
    return fitFields(buf, size, f, n, essential, roomFor(columns));
}

std::size_t formatReplayProgress(char* buf, std::size_t size, std::uint64_t bytesRead,
                                 std::uint64_t captureSize, std::uint64_t packets,
                                 std::uint64_t elapsedMs, unsigned columns) {
    Field f[3];
    const double seconds = static_cast<double>(elapsedMs > 0 ? elapsedMs : 1) / 1000.0;
    const double bytesPerSecond = static_cast<double>(bytesRead) / seconds;
    if (captureSize > 0) {
        const std::uint64_t read = bytesRead < captureSize ? bytesRead : captureSize;
        const auto percent = static_cast<unsigned>(read * 100 / captureSize);
        setField(f[0].wide, "replay %u%%", percent);
        setField(f[0].narrow, "%u%%", percent);
        char left[32];
        durationText(left, bytesPerSecond > 0 ? static_cast<std::uint64_t>(
                                                    static_cast<double>(captureSize - read) /
                                                    bytesPerSecond * 1000.0)
                                              : 0);
        setField(f[2].wide, "%s left", left);
        setField(f[2].narrow, "%s", left);
    } else {
        char amount[16];
        bytesText(amount, static_cast<double>(bytesRead));
        setField(f[0].wide, "replay %s read", amount);
        setField(f[0].narrow, "%s read", amount);
        bytesText(amount, bytesPerSecond);
        setField(f[2].wide, "%s/s", amount);
        setField(f[2].narrow, "%s/s", amount);
    }
    const double packetRate = static_cast<double>(packets) / seconds;
    setField(f[1].wide, "%llu packets %.0f/s", ull(packets), packetRate);
    setField(f[1].narrow, "%.0f pkt/s", packetRate);
    return fitFields(buf, size, f, 3, 3, roomFor(columns));
}

void startReplayProgress(RunStatus& status, bool quiet, const char* path, std::uint64_t nowMs) {
    status = RunStatus{};
    status.showLine = !quiet && platform::consoleIsTerminal(ConsoleStream::Err);
    status.startMs = nowMs;
    status.lastDrawMs = nowMs;
    // A FIFO or a device has no size to take a share of.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
        const auto bytes = std::filesystem::file_size(path, ec);
        status.replaySize = ec ? 0 : bytes;
    }
}

void updateReplayProgress(RunStatus& status, std::size_t chunkBytes,
                          const decode::PacketCounts& packets, std::uint64_t nowMs) {
    status.replayBytes += chunkBytes;
    if (!status.showLine || nowMs - status.lastDrawMs < kStatusPeriodMs) {
        return;
    }
    status.lastDrawMs = nowMs;
    char line[512];
    formatReplayProgress(line, sizeof line, status.replayBytes, status.replaySize,
                         packetsOf(packets), nowMs - status.startMs, platform::consoleColumns());
    platform::consoleStatus(line);
}

std::size_t formatRunSummary(char* buf, std::size_t size, const RunCounters& counters,
                             std::uint64_t durationMs, std::uint64_t samplesLogged) {
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    t.add("run summary: ");
    addDuration(t, durationMs);
    t.add(", %llu samples logged\n", ull(samplesLogged));
    t.add("  other packets: %llu quaternion, %llu vector, %llu other (misc log)\n",
          ull(counters.packets.quaternion), ull(counters.packets.vector),
          ull(counters.packets.other));
    t.add("  bytes skipped as noise: %llu; ring drops: %llu; cut packets dropped: %llu\n",
          ull(counters.noiseBytes), ull(counters.ringDrops), ull(counters.cutPackets));
    t.add("  link losses: %u, time lost: ", static_cast<unsigned>(counters.linkLosses));
    addDuration(t, counters.msLost);
    t.add("\n");
    return t.used;
}

std::size_t formatSummaryFileLine(char* buf, std::size_t size, const RunFile& file) {
    Text t{buf, size};
    if (size > 0) {
        buf[0] = '\0';
    }
    static char name[4 * logging::kPathBytes];  // the summary is made once, at the end
    logging::escapeName(name, sizeof name, file.path.c_str());
    if (file.lost) {
        t.add("  %s: deleted during the run and not put back\n", name);
        return t.used;
    }
    if (!file.movedTo.empty()) {
        static char now[4 * logging::kPathBytes];
        logging::escapeName(now, sizeof now, file.movedTo.c_str());
        t.add("  %s", now);
    } else {
        t.add("  %s", name);
    }
    t.add(": %llu bytes", ull(file.bytes));
    if (file.lines >= 0) {
        t.add(", %llu lines", ull(static_cast<std::uint64_t>(file.lines)));
    }
    if (!file.movedTo.empty()) {
        t.add(" (moved from %s)", name);
    } else if (file.moved) {
        t.add(" (moved during the run)");
    }
    t.add(file.failed ? " (incomplete: writing failed)\n" : "\n");
    return t.used;
}

void printRunSummary(const RunCounters& counters, std::uint64_t durationMs,
                     std::uint64_t samplesLogged, const std::vector<RunFile>& files) {
    static char text[12 * logging::kPathBytes + 2048];
    std::size_t n = formatRunSummary(text, sizeof text, counters, durationMs, samplesLogged);
    // The file lines go in the same write while they fit: one message, whole, on the console.
    for (const RunFile& file : files) {
        if (sizeof text - n < 9 * logging::kPathBytes) {
            platform::consoleWrite(ConsoleStream::Err, text, n);
            n = 0;
        }
        n += formatSummaryFileLine(text + n, sizeof text - n, file);
    }
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

namespace {

// What to do when the device's permissions refuse us: name the device's own group and the
// command that adds the user, or say that a login is all that is missing.
void adviseAccess(const char* path) {
    const platform::DeviceAccess access = platform::deviceAccess(path);
    const char* name = access.groupKnown ? access.group : "dialout";
    if (access.groupKnown && access.inSession) {
        platform::consolePrint(ConsoleStream::Err,
                               "Your user is in the group %s, yet the device refuses it: see its "
                               "permissions with: ls -l %s\n",
                               name, path);
    } else if (access.groupKnown && access.listed) {
        platform::consolePrint(ConsoleStream::Err,
                               "Your user was added to the group %s after this login: log out and "
                               "back in (or run: newgrp %s), then try again.\n",
                               name, name);
    } else {
        platform::consolePrint(ConsoleStream::Err,
                               "Your user needs the group %s to use serial ports. Add it with:\n"
                               "  sudo usermod -aG %s $USER\n"
                               "then log out and back in (a new group counts from the next "
                               "login).\n",
                               name, name);
    }
}

}  // namespace

void suggestPorts(const sio::SerialLink& link, bool prompted) {
    if (link.openFailure.kind == platform::OpenFailure::Denied) {
        char device[platform::kPortNameSize];
        adviseAccess(sio::linkDeviceName(link, device));
        return;
    }
    // A port that is busy or refused is the right one: a list would only lead away from it.
    if (link.openFailure.kind != platform::OpenFailure::Missing) {
        return;
    }
    if (prompted) {
        // No port was named: how to name one comes first.
        const char* usage = usageText();
        const char* end = std::strstr(usage, "\r\n");
        platform::consolePrint(ConsoleStream::Err, "%.*s\n",
                               static_cast<int>(end != nullptr ? end - usage : 0), usage);
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
    // Only an adapter makes the example: the machine's own first port is often its console.
    // The by-id name stays the adapter's own across replugs, where ttyUSB numbers move.
    const auto& first = ports.front();
    if (first.usb) {
        platform::consolePrint(ConsoleStream::Err,
                               "Pass one of them as the port, for example: vglog %s\n",
                               first.byId.empty() ? first.device.c_str() : first.byId.c_str());
    }
}

}  // namespace vg::app
