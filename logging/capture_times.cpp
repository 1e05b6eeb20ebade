#include "logging/capture_times.h"

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "platform/file.h"

namespace vg::logging {

namespace {

void writeText(CaptureTimes& times, const char* text, std::size_t len) {
    if (times.file.handle != platform::kNoFile) {
        appendToFile(times.file, text, len);
    }
}

// Reads a decimal number without sign at p; false when there are no digits or too many.
bool readNumber(const char*& p, std::uint64_t& value) {
    std::size_t digits = 0;
    p = common::readDecimal(p, value, digits);
    return digits > 0 && digits <= 18;
}

constexpr std::size_t kMaxLine = 128;
// The state line: its word and every value at its longest, with the spaces.
constexpr std::size_t kMaxStateLine = 6 + kMaxCaptureState * 21;

// The next line, without its "\n" and terminated in place; null at the end. A line longer than
// maxLine comes back as "" (which no entry matches). The last line may lack its "\n".
char* nextLine(CaptureTimesReader& reader, std::size_t maxLine = kMaxLine) {
    char* const buf = reader.buffer.data();
    const std::size_t size = reader.buffer.size() - 1;  // room for a terminator
    for (;;) {
        char* const start = buf + reader.at;
        void* const end = std::memchr(start, '\n', reader.have - reader.at);
        if (end != nullptr) {
            char* const line = start;
            *static_cast<char*>(end) = '\0';
            reader.at = static_cast<std::size_t>(static_cast<char*>(end) - buf) + 1;
            ++reader.lineNumber;
            return static_cast<std::size_t>(static_cast<char*>(end) - line) <= maxLine
                       ? line
                       : static_cast<char*>(end);  // the "" at its end
        }
        const std::size_t rest = reader.have - reader.at;
        std::memmove(buf, start, rest);
        reader.at = 0;
        reader.have = rest;
        const std::size_t got = std::fread(buf + rest, 1, size - rest, reader.file);
        reader.have += got;
        if (got == 0) {
            if (rest == 0) {
                return nullptr;
            }
            buf[rest] = '\0';  // a last line without "\n"
            reader.at = reader.have = rest;
            ++reader.lineNumber;
            return rest <= maxLine ? buf : buf + rest;
        }
    }
}

// The values of a state line after its word: whole numbers, each after one space.
bool readState(const char* p, CaptureTimesReader& reader) {
    reader.stateCount = 0;
    while (*p == ' ') {
        ++p;
        const bool negative = *p == '-';
        p += negative ? 1 : 0;
        std::uint64_t v = 0;
        if (reader.stateCount == kMaxCaptureState || !readNumber(p, v)) {
            return false;
        }
        const auto value = static_cast<std::int64_t>(v);
        reader.state[reader.stateCount++] = negative ? -value : value;
    }
    return *p == '\0' && reader.stateCount > 0;
}

}  // namespace

bool captureTimesName(char* buf, std::size_t size, const char* captureName) {
    const int n = std::snprintf(buf, size, "%s%s", captureName, kCaptureTimesSuffix);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

int openCaptureTimes(CaptureTimes& times, const char* captureName, std::int64_t wallStartUs,
                     CreateFailure* failure) {
    if (times.file.handle != platform::kNoFile) {
        return 1;
    }
    times.name.fill('\0');
    if (!captureTimesName(times.name.data(), times.name.size(), captureName)) {
        return createFailed(failure, "capture times file", times.name.data(), false, ENAMETOOLONG);
    }
    const int err = createOutputFile(times.file, times.name.data(), "capture times file", true);
    if (err != 0) {
        return createFailed(failure, "capture times file", times.name.data(), false, err);
    }
    char header[128];
    UtcCache utc;
    char iso[28];
    formatUtc(iso, wallStartUs, utc);
    const int n = std::snprintf(header, sizeof header, "%sstart %lld %s\n", kCaptureTimesMagic,
                                static_cast<long long>(wallStartUs), iso);
    writeText(times, header, static_cast<std::size_t>(n));
    return 0;
}

void noteCaptureRead(CaptureTimes& times, std::int64_t hostUs, std::size_t bytes) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%lld %llu\n", static_cast<long long>(hostUs),
                                static_cast<unsigned long long>(bytes));
    writeText(times, line, static_cast<std::size_t>(n));
}

void noteCaptureState(CaptureTimes& times, const std::int64_t* values, std::size_t count) {
    writeText(times, "state", 5);
    for (std::size_t i = 0; i < count && i < kMaxCaptureState; ++i) {
        char number[24];
        const int n =
            std::snprintf(number, sizeof number, " %lld", static_cast<long long>(values[i]));
        writeText(times, number, static_cast<std::size_t>(n));
    }
    writeText(times, "\n", 1);
}

void noteCaptureLoss(CaptureTimes& times, std::int64_t hostUs) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%lld lost\n", static_cast<long long>(hostUs));
    writeText(times, line, static_cast<std::size_t>(n));
}

int openCaptureTimesReader(CaptureTimesReader& reader, const char* captureName) {
    reader = CaptureTimesReader{};
    char name[kTimesNameBytes];
    if (!captureTimesName(name, sizeof name, captureName)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    errno = 0;
    reader.file = std::fopen(name, "rb");
    if (reader.file == nullptr) {
        return -1;
    }
    const std::size_t magicLen = sizeof kCaptureTimesMagic - 2;  // without its "\n"
    const char* magic = nextLine(reader);
    const bool v2 = magic != nullptr && std::strlen(magic) == magicLen &&
                    std::strncmp(magic, kCaptureTimesMagic, magicLen) == 0;
    const bool v1 = magic != nullptr && std::strlen(magic) == magicLen &&
                    std::strncmp(magic, kCaptureTimesMagicV1, magicLen) == 0;
    const char* start = v1 || v2 ? nextLine(reader) : nullptr;
    if (start == nullptr || std::strncmp(start, "start ", 6) != 0) {
        closeCaptureTimesReader(reader);
        return 1;
    }
    const char* p = start + 6;
    std::uint64_t wallStart = 0;
    if (!readNumber(p, wallStart) || (*p != ' ' && *p != '\0')) {
        closeCaptureTimesReader(reader);
        return 1;
    }
    reader.wallStartUs = static_cast<std::int64_t>(wallStart);
    const char* third = v2 ? nextLine(reader, kMaxStateLine) : nullptr;
    if (third != nullptr && std::strncmp(third, "state", 5) == 0) {
        if (!readState(third + 5, reader)) {
            closeCaptureTimesReader(reader);
            return 1;
        }
    } else {
        reader.pending = third;  // an entry, or (too long) "" which none matches
    }
    return 0;
}

CaptureTimesEntry nextCaptureTimesEntry(CaptureTimesReader& reader, std::int64_t& hostUs,
                                        std::size_t& bytes) {
    const char* line = reader.pending;
    reader.pending = nullptr;
    if (line == nullptr && reader.file != nullptr) {
        line = nextLine(reader);
    }
    if (line == nullptr) {
        return CaptureTimesEntry::End;
    }
    const char* p = line;
    std::uint64_t us = 0;
    if (!readNumber(p, us) || *p++ != ' ') {
        return CaptureTimesEntry::Bad;
    }
    hostUs = static_cast<std::int64_t>(us);
    if (p[0] == 'l' && std::strcmp(p, "lost") == 0) {
        bytes = 0;
        return CaptureTimesEntry::Loss;
    }
    std::uint64_t count = 0;
    if (!readNumber(p, count) || *p != '\0' || count == 0) {
        return CaptureTimesEntry::Bad;
    }
    bytes = static_cast<std::size_t>(count);
    return CaptureTimesEntry::Read;
}

void closeCaptureTimesReader(CaptureTimesReader& reader) {
    if (reader.file != nullptr) {
        std::fclose(reader.file);
        reader.file = nullptr;
    }
}

}  // namespace vg::logging
