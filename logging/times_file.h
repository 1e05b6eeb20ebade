// The times file "times.<stamp>.csv": one row per samples-log line, telling when that sample
// arrived (on the host's monotonic clock and in UTC) and when the board sent it (its own clock,
// estimated). LF line ends; the header names the columns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "logging/output_file.h"

namespace vg::logging {

inline constexpr char kTimesHeader[] = "line,sample,index,host_utc,host_s,board_s\n";
inline constexpr std::size_t kTimesNameBytes = kPathBytes;

struct TimesFile {
    OutputFile file;  // closed until opened; a failed write latches it (see output_file.h)
    std::array<char, kTimesNameBytes> name{};
};

// Writes "times.YYYYMonDD-HHMMSS.csv" for that local time into buf; false when it does not fit.
bool formatTimesFileName(char* buf, std::size_t size, const std::tm& local, unsigned take = 0);

// Creates "times.<stamp>.csv" for that local start time (the logs' stamp) in dir (null or "" for
// the current directory), exclusively like the logs, and writes the header. 0 on success, 1 on
// failure with the reason on standard error.
int openTimesFile(TimesFile& times, const char* dir, const std::tm& localStart,
                  CreateFailure* failure = nullptr, unsigned take = 0);

// One row's values. Times are microseconds: hostUs from the run's start, wallUs since 1970 UTC,
// boardUs on the hostUs scale.
struct TimesRow {
    std::uint64_t line = 0;
    std::int16_t sample = 0;
    std::int64_t index = 0;
    std::int64_t wallUs = 0;
    std::int64_t hostUs = 0;
    std::int64_t boardUs = 0;
};

// The UTC date and time of the last whole second formatted, kept so most rows reuse them.
struct UtcCache {
    std::int64_t second = -1;
    std::array<char, 20> text{};  // "YYYY-MM-DDTHH:MM:SS"
};

// A number's decimal text, kept so that the next number up is a step on the text.
struct DecimalCounter {
    bool valid = false;
    std::uint64_t value = 0;
    std::array<char, 24> text{};
    std::size_t length = 0;
};

// What the rows of one file share: the last second, and the texts of the line, the index and
// the whole seconds of both times.
struct TimesRowCache {
    UtcCache utc;
    DecimalCounter line;
    DecimalCounter index;
    DecimalCounter hostSeconds;
    DecimalCounter boardSeconds;
};

// The longest row is 134 bytes; a row is formatted in fields of up to 24 bytes at a time.
inline constexpr std::size_t kMaxTimesRow = 192;
// Formats one row with its "\n" into buf (kMaxTimesRow bytes) and gives its length:
// "12,-32768,32768,2026-12-08T23:14:07.123456Z,12.345678,12.340001". index must not be
// negative.
std::size_t formatTimesRow(char* buf, const TimesRow& row, TimesRowCache& cache);
// "2026-12-08T23:14:07.123456Z" for microseconds since 1970 into buf (28 bytes with the
// terminator); the length, 27.
std::size_t formatUtc(char* buf, std::int64_t wallUs, UtcCache& utc);

// Appends one row (handed to the file by the next flush at the latest); a failure is reported
// once and remembered for close.
// Flushed, closed and discarded as the OutputFile it is (times.file).
void writeTimesRow(TimesFile& times, const TimesRow& row, TimesRowCache& cache);

}  // namespace vg::logging
