// Raw capture: every byte read from the port, exactly as received, in one file beside the logs,
// so a run can be decoded again later (vglog --replay).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "logging/logging.h"

namespace vg::logging {

struct RawCapture {
    std::FILE* file = nullptr;  // null while closed (or when no capture was asked for)
    std::array<char, kNameBytes> name{};
    bool failed = false;     // a write, flush or close failed (reported once)
    bool unflushed = false;  // written since the last flush
};

// Writes "raw.YYYYMonDD-HHMMSS.bin" for that local time into buf; false when it does not fit.
bool formatRawCaptureName(char* buf, std::size_t size, const std::tm& local);

// Creates the capture exclusively: under the given name, or (name null) as raw.<stamp>.bin for
// localStart. An existing file or link of that name is never replaced. 0 on success, 1 on
// failure with the reason on standard error.
int openRawCapture(RawCapture& capture, const char* name, const std::tm& localStart);

// Appends bytes; a failure is reported once on standard error and remembered for close.
void writeRawBytes(RawCapture& capture, const std::uint8_t* bytes, std::size_t count);

// The serial link's hook: context is a RawCapture.
void rawCaptureSink(void* context, const std::uint8_t* bytes, std::size_t count);

// The logs' flush, extended to the capture: both are flushed when either has waited a second.
void flushLogsAndCaptureIfDue(LogFiles& logs, RawCapture& capture, std::uint64_t nowMs);
// msUntilFlushDue of the logs, counting the capture's unflushed bytes as well.
std::int64_t msUntilLogsOrCaptureDue(const LogFiles& logs, const RawCapture& capture,
                                     std::uint64_t nowMs);

// Closes the capture if open. 0 when every byte reached the file, -1 when anything was lost.
int closeRawCapture(RawCapture& capture);
// Closes and removes a capture this run created, for a start that failed after it.
void discardRawCapture(RawCapture& capture);

// Creates the two logs and, when raw is set, the capture, all named from the local time now
// (a named capture keeps its name). 0 on success; 1 on failure, with nothing of this run left
// behind. stamp, when given, receives the local time the names were made from.
int openLogsAndCapture(LogFiles& logs, RawCapture& capture, bool raw, const char* rawName,
                       std::tm* stamp = nullptr);

}  // namespace vg::logging
