#include "app/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The capture is read into the link's receive buffer, one live read's worth at a time. The
// shortest packet is 2 bytes, so a read completes at most half its size in packets, plus the one
// the framer carried in: far below the ring's 4095 usable slots. Every read is decoded before
// the next, so no packet is ever dropped for a full ring, and memory stays the same whatever the
// capture's size.
constexpr std::size_t kReadBytes = sizeof(sio::SerialLink::sioRxBuffer);
static_assert(kReadBytes / 2 + 1 < sio::kMaxSlots - 1);

bool digits(const char* p, std::size_t n, int& value) {
    value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

void failReplay(const char* path, const char* what, int err) {
    platform::consolePrint(platform::ConsoleStream::Err, "vglog: %s %s: %s\r\n", what, path,
                           std::strerror(err != 0 ? err : EIO));
}

// True when the exit key is among the keys waiting (others are dropped), or a stop was asked.
bool stopAsked() {
    while (platform::keyWaiting()) {
        if (platform::readKey() == platform::kExitKey) {
            return true;
        }
    }
    return platform::stopPending();
}

enum class Read { Data, End, Failed };

// Takes what the capture has now, never waiting for a buffer's worth: a FIFO or pipe hands over
// its bytes as they come, and a stop (Ctrl+C, a signal, the exit key) while it is empty or in
// the middle of a read ends the capture there, like its end, with everything read so far kept.
Read readCapture(platform::FileHandle in, const char* path, std::uint8_t* buf, std::size_t& got) {
    for (;;) {
        int err = 0;
        switch (platform::readFile(in, buf, kReadBytes, got, err)) {
            case platform::ReadResult::Data:
                return Read::Data;
            case platform::ReadResult::End:
                return Read::End;
            case platform::ReadResult::Again:
                if (stopAsked()) {
                    return Read::End;
                }
                platform::waitForFile(in, -1);
                break;
            case platform::ReadResult::Interrupted:
                if (stopAsked()) {
                    return Read::End;
                }
                break;
            case platform::ReadResult::Failed:
                failReplay(path, "cannot read", err);
                return Read::Failed;
        }
    }
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

namespace {

// Replays the capture read by read as its times tell, each read's packets stamped with its
// time: the times file comes out as the live run wrote it. The capture itself is read a buffer
// at a time; its packets are decoded before each refill, so the ring never holds more than one
// buffer's worth. False when the capture or its times could not be read (said on standard
// error).
bool replayTimedReads(App& app, const char* path, platform::FileHandle in,
                      logging::CaptureTimesReader& reader, std::size_t have) {
    std::uint8_t* const buffer = app.link.sioRxBuffer.data();
    std::size_t at = 0;  // the buffer holds the capture's first `have` bytes already
    auto refill = [&]() -> bool {
        decodeWaitingPackets(app);
        updateReplayProgress(app.run, have, app.decoder.counts, platform::monotonicMs());
        at = 0;
        const Read read = readCapture(in, path, buffer, have);
        if (read == Read::End) {
            have = 0;
        }
        return read != Read::Failed;
    };
    bool ended = false;  // the capture ended before its times did
    while (!ended && !platform::stopPending() && !logging::logsFailed(app.logs) &&
           !sampleLimitReached(app)) {
        std::int64_t hostUs = 0;
        std::size_t bytes = 0;
        const logging::CaptureTimesEntry entry =
            logging::nextCaptureTimesEntry(reader, hostUs, bytes);
        if (entry == logging::CaptureTimesEntry::End) {
            break;
        }
        if (entry == logging::CaptureTimesEntry::Bad) {
            decodeWaitingPackets(app);
            platform::consolePrint(platform::ConsoleStream::Err,
                                   "vglog: %s%s: line %llu is not a read's time and size\r\n", path,
                                   logging::kCaptureTimesSuffix,
                                   static_cast<unsigned long long>(reader.lineNumber));
            return false;
        }
        if (entry == logging::CaptureTimesEntry::Loss) {
            // As live: the packet then arriving is dropped and the board's clock fitted anew.
            decodeWaitingPackets(app);
            sio::dropPartialPacket(app.link.framer);
            timing::noteLinkLoss(app.times, hostUs);
            continue;
        }
        app.ring.stampUs = hostUs;
        while (bytes > 0) {
            if (at == have) {
                if (!refill()) {
                    return false;
                }
                if (have == 0) {
                    platform::consolePrint(platform::ConsoleStream::Err,
                                           "vglog: %s ends before its times do\r\n", path);
                    ended = true;
                    break;
                }
            }
            const std::size_t take = std::min(bytes, have - at);
            sio::frameBytes(app.link.framer, app.ring, buffer + at, take);
            at += take;
            bytes -= take;
        }
    }
    // Bytes beyond the last recorded read (a run cut short between two flushes) are replayed
    // with the last time there was.
    bool extra = false;
    while (!ended && !platform::stopPending() && !logging::logsFailed(app.logs) &&
           !sampleLimitReached(app)) {
        if (at < have) {
            extra = true;
            sio::frameBytes(app.link.framer, app.ring, buffer + at, have - at);
            at = have;
        }
        if (!refill()) {
            return false;
        }
        if (have == 0) {
            break;
        }
    }
    decodeWaitingPackets(app);
    if (extra) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: %s holds bytes beyond its times; they got the last time\r\n",
                               path);
    }
    return true;
}

}  // namespace

int runReplay(App& app, const char* path, bool withTimes, bool& logsCreated, const char* dir) {
    logsCreated = false;
    logging::CaptureTimesReader reader;
    if (withTimes) {
        errno = 0;
        const int opened = logging::openCaptureTimesReader(reader, path);
        if (opened != 0) {
            platform::consolePrint(
                platform::ConsoleStream::Err, "vglog: %s%s: %s\r\n", path,
                logging::kCaptureTimesSuffix,
                opened < 0 ? std::strerror(errno != 0 ? errno : EIO) : "not a capture's times");
            return 1;
        }
    }
    int err = 0;
    const platform::FileHandle in = platform::openForReading(path, err);
    if (in == platform::kNoFile) {
        failReplay(path, "cannot open", err);
        logging::closeCaptureTimesReader(reader);
        return 1;
    }
    // The first read comes before the logs exist: a capture that cannot be read (a directory,
    // for instance) leaves no logs behind.
    std::uint8_t* const buffer = app.link.sioRxBuffer.data();
    std::size_t got = 0;
    Read read = readCapture(in, path, buffer, got);
    if (read == Read::Failed) {
        platform::closeFile(in, err);
        logging::closeCaptureTimesReader(reader);
        return 1;
    }
    std::tm stamp{};
    if (!stampFromCaptureName(path, stamp) && !platform::toLocalTime(std::time(nullptr), stamp)) {
        stamp = std::tm{};  // an impossible clock: the open below fails on it
        stamp.tm_mon = -1;
    }
    bool opened = logging::openLogFilesAt(app.logs, stamp, dir) == 0;
    if (opened && withTimes && logging::openTimesFile(app.times.file, dir, stamp) != 0) {
        for (auto& file : app.logs.files) {
            logging::discardOutputFile(file);
        }
        opened = false;
    }
    if (!opened) {
        platform::consoleWrite(platform::ConsoleStream::Out,
                               "Error opening log file(s).  Exiting.\r\n");
        platform::closeFile(in, err);
        logging::closeCaptureTimesReader(reader);
        return 1;
    }
    logsCreated = true;
    initSensorState(&app.state);
    sio::setRingSize(app.ring, sio::kMaxSlots);
    app.link.framer = sio::Framer{};

    bool timesFailed = false;
    if (withTimes) {
        // The recorded times are already from the run's start.
        timing::startSampleTimes(app.times, app.ring, 0, reader.wallStartUs);
        app.decoder.sampleTaps[0] = {timing::sampleTimesTap, &app.times};
        // A later set of a rotated run goes on from where the set before it ended.
        timesFailed = !timing::resumeFromCapture(app.times, reader, app.link.framer, app.ring);
        if (timesFailed) {
            platform::consolePrint(platform::ConsoleStream::Err,
                                   "vglog: %s%s: line 3 is not a state\r\n", path,
                                   logging::kCaptureTimesSuffix);
        } else {
            timesFailed = !replayTimedReads(app, path, in, reader, read == Read::Data ? got : 0);
        }
        logging::closeCaptureTimesReader(reader);
        read = Read::End;
    }
    while (read == Read::Data) {
        sio::frameBytes(app.link.framer, app.ring, buffer, got);
        decodeWaitingPackets(app);
        updateReplayProgress(app.run, got, app.decoder.counts, platform::monotonicMs());
        if (platform::stopPending() || logging::logsFailed(app.logs) || sampleLimitReached(app)) {
            break;  // a full disk: the logs keep their clean prefix, the status says so
        }
        read = readCapture(in, path, buffer, got);
    }
    platform::closeFile(in, err);
    // A packet the capture cut off never completes: like a live run's last partial packet, it
    // is not logged, only counted.
    sio::dropPartialPacket(app.link.framer);
    const int closed = logging::closeLogFiles(app.logs);
    const int timed = closeTimes(app.times);
    return closed == 0 && timed == 0 && !timesFailed && read != Read::Failed ? 0 : 1;
}

}  // namespace vg::app
