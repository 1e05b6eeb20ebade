#include "logging/raw_capture.h"

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace vg::logging {

bool formatRawCaptureName(char* buf, std::size_t size, const std::tm& local, unsigned take) {
    // The logs' stamp, with the capture's own prefix and extension.
    char logName[kNameBytes];
    if (!formatLogFileName(logName, sizeof logName, "raw", local, take)) {
        return false;
    }
    const std::size_t len = std::strlen(logName);
    if (len + 1 > size) {
        return false;
    }
    std::memcpy(buf, logName, len - 3);
    std::memcpy(buf + len - 3, "bin", 4);
    return true;
}

int openRawCapture(RawCapture& capture, const char* name, const std::tm& localStart,
                   const char* dir, CreateFailure* failure, unsigned take) {
    if (capture.file.handle != platform::kNoFile) {
        return 1;
    }
    capture = RawCapture{};
    // A stamped name, or one given relative, goes in dir; an absolute one stays where it says.
    char placed[kPathBytes] = "";
    if (name == nullptr) {
        if (!formatRawCaptureName(placed, kNameBytes, localStart, take)) {
            return createFailed(failure, "raw capture file", dir, true, ENAMETOOLONG);
        }
    } else if (name[0] != '/' && name[0] != '\\' && (name[0] == '\0' || name[1] != ':') &&
               std::strlen(name) < sizeof placed) {
        std::strcpy(placed, name);
    }
    if (placed[0] != '\0') {
        if (!prependDir(placed, sizeof placed, dir)) {
            return createFailed(failure, "raw capture file", dir, true, ENAMETOOLONG);
        }
        name = placed;
    }
    // Exclusive like the logs: a capture of an earlier run is never overwritten.
    const int err = createOutputFile(capture.file, name, "raw capture file", false);
    if (err != 0) {
        return createFailed(failure, "raw capture file", name, false, err);
    }
    return 0;
}

void writeRawBytes(RawCapture& capture, const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) {
        return;
    }
    capture.unflushed = true;
    appendToFile(capture.file, reinterpret_cast<const char*>(bytes), count);
}

void rawCaptureSink(void* context, const std::uint8_t* bytes, std::size_t count) {
    writeRawBytes(*static_cast<RawCapture*>(context), bytes, count);
}

namespace {

std::int64_t msUntilFlushOfEither(const LogFiles& logs, const RawCapture& capture,
                                  std::uint64_t nowMs) {
    const std::int64_t logsDue = msUntilFlushDue(logs, nowMs);
    if (!capture.unflushed || logsDue >= 0) {
        return logsDue;
    }
    // Only capture bytes wait (a board sending nothing the logs keep): the logs' clock decides.
    const std::uint64_t due = logs.lastFlushMs + kFlushIntervalMs;
    return nowMs >= due ? 0 : static_cast<std::int64_t>(due - nowMs);
}

}  // namespace

std::int64_t msUntilLogsOrCaptureDue(const LogFiles& logs, const RawCapture& capture,
                                     std::uint64_t nowMs) {
    const std::int64_t flushDue = msUntilFlushOfEither(logs, capture, nowMs);
    // The files' places are looked at once a second also while nothing is written, so a folder
    // deleted under a silent board is said at once.
    const std::uint64_t checkAt = logs.lastCheckMs + kFlushIntervalMs;
    const std::int64_t checkDue = nowMs >= checkAt ? 0 : static_cast<std::int64_t>(checkAt - nowMs);
    return common::earliestDue({flushDue, checkDue});
}

void flushLogsAndCaptureIfDue(LogFiles& logs, RawCapture& capture, std::uint64_t nowMs,
                              std::initializer_list<OutputFile*> followers) {
    if (msUntilFlushOfEither(logs, capture, nowMs) == 0) {
        flushOutputFile(capture.file);
        checkOutputFile(capture.file);
        capture.unflushed = false;
        // Forces the logs' flush too, so both share one clock and one pace.
        logs.unflushed = true;
        flushLogsIfDue(logs, nowMs);
        for (OutputFile* file : followers) {
            flushOutputFile(*file);
            checkOutputFile(*file);
        }
    } else if (nowMs >= logs.lastCheckMs + kFlushIntervalMs) {
        for (OutputFile* file : {&logs.files[kSamplesLog], &logs.files[kMiscLog], &capture.file}) {
            checkOutputFile(*file);
        }
        for (OutputFile* file : followers) {
            checkOutputFile(*file);
        }
        logs.lastCheckMs = nowMs;
    }
}

bool logsOrCaptureFailed(const LogFiles& logs, const RawCapture& capture) {
    return logsFailed(logs) || capture.file.failed;
}

int closeRawCapture(RawCapture& capture) {
    capture.unflushed = false;
    return closeOutputFile(capture.file);
}

void discardRawCapture(RawCapture& capture) {
    discardOutputFile(capture.file);
}

int openLogsAndCaptureAt(LogFiles& logs, RawCapture& capture, bool raw, const char* rawName,
                         const std::tm& local, const char* dir, CreateFailure* failure,
                         unsigned take) {
    // One reading of the clock names all three, so the capture sits beside its logs.
    if (raw && openRawCapture(capture, rawName, local, dir, failure, take) != 0) {
        return 1;
    }
    if (openLogFilesAt(logs, local, dir, failure, take) != 0) {
        discardRawCapture(capture);
        return 1;
    }
    return 0;
}

}  // namespace vg::logging
