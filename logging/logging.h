// Log files: the samples log (one fixed-width line per AngleAccel packet) and the misc log (one
// dump line per packet of a kind that is not decoded), named from the run's local start time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "logging/output_file.h"

namespace vg::logging {

struct AngleAccelRecord {
    std::uint16_t sample = 0;
    float phi = 0, theta = 0, psi = 0;
    float x = 0, y = 0, z = 0;
    float xWorld = 0, yWorld = 0, zWorld = 0;
    std::array<std::int32_t, 4> quatRaw{};  // never printed
    std::array<float, 4> quat{};
};

inline constexpr std::size_t kSamplesLog = 0;
inline constexpr std::size_t kMiscLog = 1;
// Room for a folder before the name (--dir).
inline constexpr std::size_t kNameBytes = 1024;
inline constexpr std::uint64_t kFlushIntervalMs = 1000;

// The first line of the samples log.
inline constexpr char kSamplesHeader[] =
    "Sample      Phi       Theta       Psi         X          Y          Z       Xworld     "
    "YWorld     ZWorld     Quat[0]    Quat[1]    Quat[2]    Quat[3]\r\n";

struct LogFiles {
    std::array<OutputFile, 2> files{};  // closed (handle kNoFile) until opened; name "" if never
    bool unflushed = false;             // written since the last flush
    std::uint64_t sampleLines = 0;      // data lines handed to the samples log (header not counted)
    std::uint64_t lastFlushMs = 0;
    std::uint64_t lastCheckMs = 0;  // of the files' places (see checkOutputFile)
};

inline const char* logName(const LogFiles& logs, std::size_t slot) {
    return logs.files[slot].name.data();
}
// True once either log has failed (a write, or deleted and not put back): the run must end.
bool logsFailed(const LogFiles& logs);
// Sample lines the samples log holds now (what reached the file, the header not counted).
std::uint64_t samplesHeld(const LogFiles& logs);

// Writes "prefix.YYYYMonDD-HHMMSS.txt" into buf; false when the time is out of range or the
// name does not fit. A take above 0 follows the time ("...-HHMMSS-2.txt"): a set whose time's
// names were already taken (the clock went back).
bool formatLogFileName(char* buf, std::size_t size, const char* prefix, const std::tm& local,
                       unsigned take = 0);

// Puts "dir/" before the name in buf (in place); nothing when dir is null or empty. False when
// the result does not fit.
bool prependDir(char* buf, std::size_t size, const char* dir);

// Creates both logs in the current directory (or in dir), named from the local time now (or the
// given broken-down time), and writes the header. 0 on success, 1 on failure. The files are created
// exclusively: an existing file or link of either name is a failure and is left untouched, and
// a log this call created before failing is removed again. On POSIX the first call also makes
// the process ignore SIGXFSZ, so a file-size limit surfaces as a write error.
int openLogFiles(LogFiles& logs);
// Why it failed goes into failure, when given; take > 0 suffixes the stamp (see formatLogFileName).
int openLogFilesAt(LogFiles& logs, const std::tm& localStart, const char* dir = nullptr,
                   CreateFailure* failure = nullptr, unsigned take = 0);

// Formats one samples-log line (with its "\r\n", no terminator) into buf and returns its
// length; buf must hold kMaxSampleLine bytes. Byte for byte the C library's
// "%6hd" and thirteen " %10.5f" of the same values.
inline constexpr std::size_t kMaxSampleLine = 1024;
std::size_t formatAngleAccelLine(char* buf, const AngleAccelRecord& record);

// One value as the samples log prints it, without the column's padding ("%.5f", e.g. "-0.01234")
// into buf (no terminator); the length. buf must hold kMaxValueText bytes.
inline constexpr std::size_t kMaxValueText = 64;
std::size_t formatLogValue(char* buf, float value);

// Formats one dump line of count bytes (none when count <= 0) into buf and returns its length;
// buf must hold 5 * count + 2 bytes.
std::size_t formatDumpLine(char* buf, const std::uint8_t* bytes, std::int32_t count);

// Each writes one line; 0 when it was handed to the file, -1 when the log has failed or is not
// open. After a failure nothing more is appended to that log (see OutputFile).
int writeAngleAccelLine(LogFiles& logs, const AngleAccelRecord& record);
int dumpPacket(LogFiles& logs, const std::uint8_t* bytes, std::int32_t count);

// Flushes both logs when something is unflushed and at least a second has passed since the
// last flush, and checks that each is still where it was created (see checkOutputFile); nowMs is
// a monotonic clock reading (platform::monotonicMs).
void flushLogsIfDue(LogFiles& logs, std::uint64_t nowMs);
// Writes out whatever is buffered, now.
void flushLogsNow(LogFiles& logs);
// Milliseconds until flushLogsIfDue would flush (0 when due), or -1 when nothing waits.
std::int64_t msUntilFlushDue(const LogFiles& logs, std::uint64_t nowMs);

// Closes whatever is open. 0 when every line reached its file, -1 when anything was lost.
int closeLogFiles(LogFiles& logs);

}  // namespace vg::logging
