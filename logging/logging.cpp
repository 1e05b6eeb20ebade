#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace vg::logging {

namespace {

constexpr const char* kPrefixes[2] = {"anglesAndAccels", "misc"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int writeLine(LogFiles& logs, std::size_t slot, const char* line, std::size_t len) {
    logs.unflushed = true;
    return appendToFile(logs.files[slot], line, len) ? 0 : -1;
}

}  // namespace

bool formatLogFileName(char* buf, std::size_t size, const char* prefix, const std::tm& local,
                       unsigned take) {
    if (local.tm_mon < 0 || local.tm_mon > 11) {
        return false;
    }
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    char suffix[16] = "";
    if (take > 0) {
        std::snprintf(suffix, sizeof suffix, "-%u", take);
    }
    const int n = std::snprintf(buf, size, "%s.%4lld%s%02d-%02d%02d%02d%s.txt", prefix, year,
                                kMonthNames[local.tm_mon], local.tm_mday, local.tm_hour,
                                local.tm_min, local.tm_sec, suffix);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

bool prependDir(char* buf, std::size_t size, const char* dir) {
    if (dir == nullptr || dir[0] == '\0') {
        return true;
    }
    const std::size_t dirLen = std::strlen(dir);
    const bool hasSeparator = dir[dirLen - 1] == '/' || dir[dirLen - 1] == '\\';
    const std::size_t head = dirLen + (hasSeparator ? 0 : 1);
    const std::size_t nameLen = std::strlen(buf);
    if (head + nameLen + 1 > size) {
        return false;
    }
    std::memmove(buf + head, buf, nameLen + 1);
    std::memcpy(buf, dir, dirLen);
    if (!hasSeparator) {
        buf[dirLen] = '/';  // Windows takes it as well
    }
    return true;
}

int openLogFiles(LogFiles& logs) {
    std::tm local{};
    if (!platform::toLocalTime(std::time(nullptr), local)) {
        return 1;
    }
    return openLogFilesAt(logs, local);
}

int openLogFilesAt(LogFiles& logs, const std::tm& localStart, const char* dir,
                   CreateFailure* failure, unsigned take) {
    if (logs.files[kSamplesLog].handle != platform::kNoFile ||
        logs.files[kMiscLog].handle != platform::kNoFile) {
        return 1;  // already open: a second pair would leak the first
    }
#ifdef SIGXFSZ
    // A file-size limit would otherwise kill the process mid-line; as a write error it is
    // reported and the run ends with a failure status.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    logs = LogFiles{};
    for (std::size_t slot = 0; slot < 2; ++slot) {
        char name[kPathBytes];
        int err = ENAMETOOLONG;
        const bool named = formatLogFileName(name, kNameBytes, kPrefixes[slot], localStart, take) &&
                           prependDir(name, sizeof name, dir);
        if (named) {
            // Exclusive: never replace an existing file or follow a planted link.
            err = createOutputFile(logs.files[slot], name, "log file", true);
        }
        if (err != 0) {
            createFailed(failure, "log file", named ? name : dir, !named, err);
            // Leave nothing of this run behind; whatever exists under these names is not ours.
            for (std::size_t made = 0; made < slot; ++made) {
                discardOutputFile(logs.files[made]);
            }
            logs = LogFiles{};
            return 1;
        }
    }
    logs.lastFlushMs = logs.lastCheckMs = platform::monotonicMs();
    writeLine(logs, kSamplesLog, kSamplesHeader, sizeof kSamplesHeader - 1);
    return 0;
}

int writeAngleAccelLine(LogFiles& logs, const AngleAccelRecord& record) {
    char line[kMaxSampleLine];
    const std::size_t len = formatAngleAccelLine(line, record);
    if (writeLine(logs, kSamplesLog, line, len) != 0) {
        return -1;
    }
    ++logs.sampleLines;
    return 0;
}

int dumpPacket(LogFiles& logs, const std::uint8_t* bytes, std::int32_t count) {
    // Built in pieces of whole bytes, so a count of any size takes a fixed buffer; the decoder's
    // 14-byte dumps are a single write.
    constexpr std::int32_t kBytesPerPiece = 200;
    char line[5 * kBytesPerPiece + 2];
    std::int32_t done = 0;
    int result = 0;
    while (count - done > kBytesPerPiece) {
        const std::size_t len = formatDumpLine(line, bytes + done, kBytesPerPiece) - 2;
        result |= writeLine(logs, kMiscLog, line, len);
        done += kBytesPerPiece;
    }
    const std::size_t len = formatDumpLine(line, bytes + done, count - done);
    result |= writeLine(logs, kMiscLog, line, len);
    return result == 0 ? 0 : -1;
}

void flushLogsIfDue(LogFiles& logs, std::uint64_t nowMs) {
    if (msUntilFlushDue(logs, nowMs) != 0) {
        return;
    }
    flushLogsNow(logs);
    for (OutputFile& file : logs.files) {
        checkOutputFile(file);
    }
    logs.lastFlushMs = logs.lastCheckMs = nowMs;
}

void flushLogsNow(LogFiles& logs) {
    for (OutputFile& file : logs.files) {
        flushOutputFile(file);
    }
    logs.unflushed = false;
}

bool logsFailed(const LogFiles& logs) {
    return logs.files[kSamplesLog].failed || logs.files[kMiscLog].failed;
}

std::uint64_t samplesHeld(const LogFiles& logs) {
    const std::uint64_t lines = logs.files[kSamplesLog].heldLines;
    return lines > 0 ? lines - 1 : 0;
}

std::int64_t msUntilFlushDue(const LogFiles& logs, std::uint64_t nowMs) {
    if (!logs.unflushed) {
        return -1;
    }
    const std::uint64_t due = logs.lastFlushMs + kFlushIntervalMs;
    return nowMs >= due ? 0 : static_cast<std::int64_t>(due - nowMs);
}

int closeLogFiles(LogFiles& logs) {
    int result = 0;
    for (OutputFile& file : logs.files) {
        result |= closeOutputFile(file);
    }
    logs.unflushed = false;
    return result == 0 ? 0 : -1;
}

}  // namespace vg::logging
