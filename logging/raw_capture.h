// Raw capture: every byte read from the port, exactly as received, in one file beside the logs,
// so a run can be decoded again later (vglog --replay).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "logging/logging.h"

namespace vg::logging {

struct RawCapture {
    OutputFile file;         // closed when no capture was asked for; name "" then
    bool unflushed = false;  // written since the last flush
};

// Writes "raw.YYYYMonDD-HHMMSS.bin" for that local time into buf; false when it does not fit.
bool formatRawCaptureName(char* buf, std::size_t size, const std::tm& local, unsigned take = 0);

// Creates the capture exclusively: under the given name (any path Linux takes, up to 4095
// bytes), or (name null) as raw.<stamp>.bin for localStart; either in dir when one is given (an
// absolute name stays where it says). An existing file or link of that name is never replaced.
// 0 on success, 1 on failure with the reason on standard error.
int openRawCapture(RawCapture& capture, const char* name, const std::tm& localStart,
                   const char* dir = nullptr, CreateFailure* failure = nullptr, unsigned take = 0);

// Appends bytes. After a failed write nothing more is appended: the file stays a prefix of the
// bytes received (see OutputFile).
void writeRawBytes(RawCapture& capture, const std::uint8_t* bytes, std::size_t count);

// The serial link's hook: context is a RawCapture.
void rawCaptureSink(void* context, const std::uint8_t* bytes, std::size_t count);

// The logs' flush, extended to the capture: all are flushed (and their places checked) when
// either has waited a second; with nothing to flush, their places are checked once a second.
// followers are files written at the logs' pace (the times file, the capture's times): they go
// out and are looked at with the logs; closed ones are passed over.
void flushLogsAndCaptureIfDue(LogFiles& logs, RawCapture& capture, std::uint64_t nowMs,
                              std::initializer_list<OutputFile*> followers = {});
// Milliseconds until flushLogsAndCaptureIfDue has work: a flush (msUntilFlushDue of the logs,
// counting the capture's unflushed bytes as well), or the once-a-second look at where the files
// are, which goes on while nothing is written.
std::int64_t msUntilLogsOrCaptureDue(const LogFiles& logs, const RawCapture& capture,
                                     std::uint64_t nowMs);

// True once a log or the capture has failed: the run must end (status 1).
bool logsOrCaptureFailed(const LogFiles& logs, const RawCapture& capture);

// Closes the capture if open. 0 when every byte reached the file, -1 when anything was lost.
int closeRawCapture(RawCapture& capture);
// Closes and removes a capture this run created, for a start that failed after it.
void discardRawCapture(RawCapture& capture);

// Creates the two logs and, when raw is set, the capture in dir (null: the current directory),
// all named from the local time given and the take (see formatLogFileName; a named capture keeps
// its name). 0 on success; 1 on failure, with nothing of this run left behind.
int openLogsAndCaptureAt(LogFiles& logs, RawCapture& capture, bool raw, const char* rawName,
                         const std::tm& local, const char* dir, CreateFailure* failure = nullptr,
                         unsigned take = 0);

}  // namespace vg::logging
