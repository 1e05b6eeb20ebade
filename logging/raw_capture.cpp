#include "logging/raw_capture.h"

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::logging {

namespace {

void noteFailure(RawCapture& capture, const char* what, int err) {
    if (!capture.failed) {
        platform::consolePrint(platform::ConsoleStream::Err, "Error %s raw capture file %s: %s\r\n",
                               what, capture.name.data(), std::strerror(err != 0 ? err : EIO));
    }
    capture.failed = true;
}

}  // namespace

bool formatRawCaptureName(char* buf, std::size_t size, const std::tm& local) {
    // The logs' stamp, with the capture's own prefix and extension.
    char logName[kNameBytes];
    if (!formatLogFileName(logName, sizeof logName, "raw", local)) {
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

int openRawCapture(RawCapture& capture, const char* name, const std::tm& localStart) {
    if (capture.file != nullptr) {
        return 1;
    }
    capture = RawCapture{};
    if (name != nullptr) {
        if (std::strlen(name) >= kNameBytes) {
            platform::consolePrint(platform::ConsoleStream::Err,
                                   "Error creating raw capture file %s: name too long\r\n", name);
            return 1;
        }
        std::strcpy(capture.name.data(), name);
    } else if (!formatRawCaptureName(capture.name.data(), kNameBytes, localStart)) {
        return 1;
    }
    errno = 0;
    // Exclusive like the logs: a capture of an earlier run is never overwritten.
    capture.file = platform::createNewFile(capture.name.data());
    if (capture.file == nullptr) {
        noteFailure(capture, "creating", errno);
        return 1;
    }
    return 0;
}

void writeRawBytes(RawCapture& capture, const std::uint8_t* bytes, std::size_t count) {
    if (capture.file == nullptr || count == 0) {
        return;
    }
    capture.unflushed = true;
    errno = 0;
    if (std::fwrite(bytes, 1, count, capture.file) != count) {
        noteFailure(capture, "writing", errno);
    }
}

void rawCaptureSink(void* context, const std::uint8_t* bytes, std::size_t count) {
    writeRawBytes(*static_cast<RawCapture*>(context), bytes, count);
}

std::int64_t msUntilLogsOrCaptureDue(const LogFiles& logs, const RawCapture& capture,
                                     std::uint64_t nowMs) {
    const std::int64_t logsDue = msUntilFlushDue(logs, nowMs);
    if (!capture.unflushed || logsDue >= 0) {
        return logsDue;
    }
    // Only capture bytes wait (a board sending nothing the logs keep): the logs' clock decides.
    const std::uint64_t due = logs.lastFlushMs + kFlushIntervalMs;
    return nowMs >= due ? 0 : static_cast<std::int64_t>(due - nowMs);
}

void flushLogsAndCaptureIfDue(LogFiles& logs, RawCapture& capture, std::uint64_t nowMs) {
    if (msUntilLogsOrCaptureDue(logs, capture, nowMs) != 0) {
        return;
    }
    if (capture.file != nullptr && capture.unflushed) {
        errno = 0;
        if (std::fflush(capture.file) != 0) {
            noteFailure(capture, "writing", errno);
        }
    }
    capture.unflushed = false;
    // Forces the logs' flush too, so both share one clock and one pace.
    logs.unflushed = true;
    flushLogsIfDue(logs, nowMs);
}

int closeRawCapture(RawCapture& capture) {
    std::FILE* f = capture.file;
    if (f != nullptr) {
        capture.file = nullptr;
        if (std::ferror(f) != 0) {
            noteFailure(capture, "writing", EIO);
        }
        errno = 0;
        if (std::fclose(f) != 0) {
            noteFailure(capture, "closing", errno);
        }
    }
    capture.unflushed = false;
    return capture.failed ? -1 : 0;
}

void discardRawCapture(RawCapture& capture) {
    if (capture.file != nullptr) {
        std::fclose(capture.file);
        capture.file = nullptr;
        std::remove(capture.name.data());
    }
}

int openLogsAndCapture(LogFiles& logs, RawCapture& capture, bool raw, const char* rawName,
                       std::tm* stamp) {
    std::tm local{};
    if (!platform::toLocalTime(std::time(nullptr), local)) {
        return 1;
    }
    if (stamp != nullptr) {
        *stamp = local;
    }
    // One reading of the clock names all three, so the capture sits beside its logs.
    if (raw && openRawCapture(capture, rawName, local) != 0) {
        return 1;
    }
    if (openLogFilesAt(logs, local) != 0) {
        discardRawCapture(capture);
        return 1;
    }
    return 0;
}

}  // namespace vg::logging
