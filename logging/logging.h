// Log files: the samples log (one fixed-width line per AngleAccel packet) and the misc log (one
// dump line per packet of a kind that is not decoded), named from the run's local start time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

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

struct LogFiles {
    std::array<std::FILE*, 2> logFiles{};  // null while closed
    std::array<bool, 2> failed{};          // a write, flush or close of that file failed
    bool unflushed = false;                // written since the last flush
    std::uint64_t lastFlushMs = 0;
};

// Writes "prefix.YYYYMonDD-HHMMSS.txt" into buf; false when it does not fit.
bool formatLogFileName(char* buf, std::size_t size, const char* prefix, const std::tm& local);

// Creates both logs in the current directory, named from the local time now (or the given
// broken-down time), and writes the header. 0 on success, 1 on failure; never overwrites.
int openLogFiles(LogFiles& logs);
int openLogFilesAt(LogFiles& logs, const std::tm& localStart);

int writeAngleAccelLine(LogFiles& logs, const AngleAccelRecord& record);
int dumpPacket(LogFiles& logs, const std::uint8_t* bytes, std::int32_t count);

// Flushes both logs when something is unflushed and at least a second has passed since the
// last flush; nowMs is a monotonic clock reading.
void flushLogsIfDue(LogFiles& logs, std::uint64_t nowMs);
// Milliseconds until flushLogsIfDue would flush, or -1 when nothing waits to be flushed.
std::int64_t msUntilFlushDue(const LogFiles& logs, std::uint64_t nowMs);

// Closes whatever is open. 0 when every line reached its file, -1 when anything was lost.
int closeLogFiles(LogFiles& logs);

}  // namespace vg::logging
