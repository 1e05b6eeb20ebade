#include "app/replay.h"

#include "app/sources.h"
#include "common/common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A pass frames at most one live read's worth. The shortest packet is 2 bytes, so that completes
// at most half its size in packets, plus the one the framer carried in: far below the ring's
// 4095 usable slots.
constexpr std::size_t kReadBytes = sizeof(sio::SerialLink::sioRxBuffer);
static_assert(kReadBytes / 2 + 1 < sio::kMaxSlots - 1);

bool digits(const char* p, std::size_t n, int& value) {
    char field[8] = {};
    std::memcpy(field, p, n);
    std::uint64_t v = 0;
    std::size_t count = 0;
    common::readDecimal(field, v, count);
    value = static_cast<int>(v);
    return count == n;
}

void failReplay(const char* path, const char* what, int err) {
    platform::consolePrint(platform::ConsoleStream::Err, "vglog: %s %s: %s\r\n", what, path,
                           std::strerror(err != 0 ? err : EIO));
}

}  // namespace

bool stampFromCaptureName(const char* path, std::tm& out) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    // raw.YYYYMonDD-HHMMSS.bin
    if (std::strlen(base) != 24 || std::strncmp(base, "raw.", 4) != 0 || base[13] != '-' ||
        std::strcmp(base + 20, ".bin") != 0) {
        return false;
    }
    int year = 0, day = 0, hour = 0, minute = 0, second = 0;
    int month = -1;
    for (int m = 0; m < 12; ++m) {
        if (std::strncmp(base + 8, kMonths[m], 3) == 0) {
            month = m;
        }
    }
    if (month < 0 || !digits(base + 4, 4, year) || !digits(base + 11, 2, day) ||
        !digits(base + 14, 2, hour) || !digits(base + 16, 2, minute) ||
        !digits(base + 18, 2, second) || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60) {
        return false;
    }
    out = std::tm{};
    out.tm_year = year - 1900;
    out.tm_mon = month;
    out.tm_mday = day;
    out.tm_hour = hour;
    out.tm_min = minute;
    out.tm_sec = second;
    out.tm_isdst = -1;
    return true;
}

int openCaptureSource(CaptureSource& source, App& app, const char* path, bool timed) {
    source.path = path;
    source.timed = timed;
    source.buffer = app.link.sioRxBuffer.data();
    if (timed) {
        errno = 0;
        const int opened = logging::openCaptureTimesReader(source.reader, path);
        if (opened != 0) {
            platform::consolePrint(
                platform::ConsoleStream::Err, "vglog: %s%s: %s\r\n", path,
                logging::kCaptureTimesSuffix,
                opened < 0 ? std::strerror(errno != 0 ? errno : EIO) : "not a capture's times");
            return 1;
        }
    }
    int err = 0;
    source.in = platform::openForReading(path, err);
    if (source.in == platform::kNoFile) {
        failReplay(path, "cannot open", err);
        logging::closeCaptureTimesReader(source.reader);
        return 1;
    }
    // The first read comes before the logs exist: a capture that cannot be read (a directory,
    // for instance) leaves no logs behind.
    if (source.refill() == Pull::Failed) {
        platform::closeFile(source.in, err);
        logging::closeCaptureTimesReader(source.reader);
        return 1;
    }
    sio::setRingSize(app.ring, sio::kMaxSlots);
    app.link.framer = sio::Framer{};
    return 0;
}

Pull CaptureSource::refill() {
    // Takes what the capture has now, never waiting for a buffer's worth: a FIFO or pipe hands
    // over its bytes as they come, and the loop waits for more with the keys and signals.
    std::size_t got = 0;
    int err = 0;
    again = false;
    at = have = 0;
    switch (platform::readFile(in, buffer, kReadBytes, got, err)) {
        case platform::ReadResult::Data:
            have = got;
            passBytes += got;
            return Pull::More;
        case platform::ReadResult::End:
            return Pull::Ended;
        case platform::ReadResult::Again:
            again = true;
            return Pull::More;
        case platform::ReadResult::Interrupted:
            return Pull::More;
        case platform::ReadResult::Failed:
            break;
    }
    failReplay(path, "cannot read", err);
    return Pull::Failed;
}

Pull CaptureSource::pull(App& app, std::uint64_t /*nowMs*/) {
    if (timed && !timesEnded) {
        return pullTimed(app);
    }
    // Bytes beyond the last recorded read (a run cut short between two flushes) are replayed
    // with the last time there was.
    if (at == have) {
        const Pull read = refill();
        if (read != Pull::More) {
            return read;
        }
    }
    beyondTimes = beyondTimes || (timed && have > at);
    sio::frameBytes(app.link.framer, app.ring, buffer + at, have - at);
    at = have;
    return Pull::More;
}

// One buffer's worth of recorded reads, each read's packets stamped with its time: the times
// file comes out as the live run wrote it.
Pull CaptureSource::pullTimed(App& app) {
    if (lossPending) {
        // As live: the packet then arriving is dropped and the board's clock fitted anew.
        lossPending = false;
        sio::dropPartialPacket(app.link.framer);
        timing::noteLinkLoss(app.times, lossUs);
    }
    std::size_t framed = 0;
    while (framed < kReadBytes) {
        if (entryLeft == 0) {
            std::int64_t hostUs = 0;
            std::size_t bytes = 0;
            switch (logging::nextCaptureTimesEntry(reader, hostUs, bytes)) {
                case logging::CaptureTimesEntry::End:
                    timesEnded = true;
                    return Pull::More;
                case logging::CaptureTimesEntry::Bad:
                    platform::consolePrint(
                        platform::ConsoleStream::Err,
                        "vglog: %s%s: line %llu is not a read's time and size\r\n", path,
                        logging::kCaptureTimesSuffix,
                        static_cast<unsigned long long>(reader.lineNumber));
                    return Pull::Failed;
                case logging::CaptureTimesEntry::Loss:
                    lossPending = true;  // once the packets before it are decoded
                    lossUs = hostUs;
                    return Pull::More;
                case logging::CaptureTimesEntry::Read:
                    app.ring.stampUs = hostUs;
                    entryLeft = bytes;
                    break;
            }
        }
        if (at == have) {
            const Pull read = refill();
            if (read == Pull::Ended) {
                platform::consolePrint(platform::ConsoleStream::Err,
                                       "vglog: %s ends before its times do\r\n", path);
            }
            if (read != Pull::More || have == 0) {
                return read;
            }
        }
        const std::size_t take = std::min({entryLeft, have - at, kReadBytes - framed});
        sio::frameBytes(app.link.framer, app.ring, buffer + at, take);
        at += take;
        entryLeft -= take;
        framed += take;
    }
    return Pull::More;
}

void CaptureSource::show(App& app, const RunCounters& counters, std::uint64_t nowMs) {
    updateReplayProgress(app.run, passBytes, counters.packets, nowMs);
    passBytes = 0;
}

void CaptureSource::wait(App& /*app*/, std::int64_t dueMs) {
    if (again) {
        platform::waitForFile(in, static_cast<int>(dueMs));
    }
}

void CaptureSource::finish(App& app) {
    int err = 0;
    platform::closeFile(in, err);
    in = platform::kNoFile;
    logging::closeCaptureTimesReader(reader);
    // A packet the capture cut off never completes: like a live run's last partial packet, it
    // is not logged, only counted.
    sio::dropPartialPacket(app.link.framer);
    if (beyondTimes) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: %s holds bytes beyond its times; they got the last time\r\n",
                               path);
    }
}

int runReplay(App& app, const Options& options, std::span<RunTap* const> taps) {
    platform::consoleOpen();  // Ctrl+C and the signals end a replay with its logs complete
    const char* path = options.replayFile;
    startReplayProgress(app.run, options.quiet, path, platform::monotonicMs());
    startRecording(app.recording, options, app.run.startMs);
    auto source = std::make_unique<CaptureSource>();
    if (openCaptureSource(*source, app, path, options.times) != 0) {
        platform::consoleRestore();
        return 1;
    }
    std::tm stamp{};
    if (!stampFromCaptureName(path, stamp) && !platform::toLocalTime(std::time(nullptr), stamp)) {
        stamp = std::tm{};  // an impossible clock: the open below fails on it
        stamp.tm_mon = -1;
    }
    // The recorded times are already from the run's start.
    timing::startSampleTimes(app.times, app.ring, 0, source->reader.wallStartUs);
    if (openFileSet(app.files, app.recording.plan, stamp, platform::monotonicMs()) != 0) {
        platform::consoleWrite(platform::ConsoleStream::Out,
                               "Error opening log file(s).  Exiting.\r\n");
        source->finish(app);
        platform::consoleRestore();
        return 1;
    }
    hookFileSet(app);
    initSensorState(&app.state);
    // A later set of a rotated run goes on from where the set before it ended.
    if (options.times &&
        !timing::resumeFromCapture(app.times, source->reader, app.link.framer, app.ring)) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: %s%s: line 3 is not a state\r\n", path,
                               logging::kCaptureTimesSuffix);
        source->finish(app);
        discardFileSet(app.files);
        platform::consoleRestore();
        return 1;
    }
    const int status = runLoop(app, *source, systemClock(), taps);
    platform::consoleRestore();
    return status;
}

}  // namespace vg::app
