#include "logging/times_file.h"

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "logging/logging.h"
#include "platform/file.h"

namespace vg::logging {

namespace {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

std::size_t digitCount(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 10000; v /= 10000) {
        n += 4;
    }
    return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// Writes the decimal digits of v (any value) and gives the end; two digits a step, from the
// last.
char* putUnsigned(char* out, std::uint64_t v) {
    char* const end = out + digitCount(v);
    char* p = end;
    while (v >= 100) {
        const auto pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        *--p = kPairs[pair + 1];
        *--p = kPairs[pair];
    }
    if (v >= 10) {
        *--p = kPairs[v * 2 + 1];
        *--p = kPairs[v * 2];
    } else {
        *--p = static_cast<char>('0' + v);
    }
    return end;
}

char* putSigned(char* out, std::int64_t v) {
    if (v < 0) {
        *out++ = '-';
        return putUnsigned(out, 0 - static_cast<std::uint64_t>(v));
    }
    return putUnsigned(out, static_cast<std::uint64_t>(v));
}

// The six decimals of a microsecond count below a second.
char* putMicros(char* out, std::uint64_t v) {
    for (int i = 4; i >= 0; i -= 2) {
        const auto pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        out[i] = kPairs[pair];
        out[i + 1] = kPairs[pair + 1];
    }
    return out + 6;
}

// The text of v: one more than the last is a carry through the text, anything else is written
// anew.
char* putCounter(char* out, DecimalCounter& counter, std::uint64_t v) {
    if (counter.valid && v == counter.value + 1) {
        std::size_t i = counter.length;
        while (i > 0 && counter.text[i - 1] == '9') {
            counter.text[--i] = '0';
        }
        if (i > 0) {
            ++counter.text[i - 1];
        } else {
            std::memmove(counter.text.data() + 1, counter.text.data(), counter.length);
            counter.text[0] = '1';
            ++counter.length;
        }
    } else if (!counter.valid || v != counter.value) {
        counter.length =
            static_cast<std::size_t>(putUnsigned(counter.text.data(), v) - counter.text.data());
        counter.valid = true;
    }
    counter.value = v;
    // The whole text array at once (a fixed-size copy is a few moves); what lies beyond the
    // length is written over by what follows.
    std::memcpy(out, counter.text.data(), sizeof counter.text);
    return out + counter.length;
}

// Microseconds as seconds with six decimals; the whole seconds through their counter.
char* putSeconds(char* out, std::int64_t us, DecimalCounter& seconds) {
    std::uint64_t magnitude = static_cast<std::uint64_t>(us);
    if (us < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    out = putCounter(out, seconds, magnitude / 1000000);
    *out++ = '.';
    return putMicros(out, magnitude % 1000000);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

}  // namespace

std::size_t formatUtc(char* buf, std::int64_t wallUs, UtcCache& utc) {
    const std::int64_t second = floorDiv(wallUs, 1000000);
    if (second != utc.second) {
        if (!common::formatUtcSeconds(utc.text.data(), second)) {
            // A time the calendar cannot show (the clock far off): the form, not a wrong date.
            std::memcpy(utc.text.data(), "0000-00-00T00:00:00", 20);
        }
        utc.second = second;
    }
    std::memcpy(buf, utc.text.data(), 19);
    buf[19] = '.';
    putMicros(buf + 20, static_cast<std::uint64_t>(wallUs - second * 1000000));
    buf[26] = 'Z';
    buf[27] = '\0';
    return 27;
}

std::size_t formatTimesRow(char* buf, const TimesRow& row, TimesRowCache& cache) {
    char* p = putCounter(buf, cache.line, row.line);
    *p++ = ',';
    p = putSigned(p, row.sample);
    *p++ = ',';
    p = putCounter(p, cache.index, static_cast<std::uint64_t>(row.index));
    *p++ = ',';
    p += formatUtc(p, row.wallUs, cache.utc);
    *p++ = ',';
    p = putSeconds(p, row.hostUs, cache.hostSeconds);
    *p++ = ',';
    p = putSeconds(p, row.boardUs, cache.boardSeconds);
    *p++ = '\n';
    return static_cast<std::size_t>(p - buf);
}

bool formatTimesFileName(char* buf, std::size_t size, const std::tm& local, unsigned take) {
    if (!formatLogFileName(buf, size, "times", local, take)) {
        return false;
    }
    std::memcpy(buf + std::strlen(buf) - 3, "csv", 3);  // the logs' stamp, its own extension
    return true;
}

int openTimesFile(TimesFile& times, const char* dir, const std::tm& localStart,
                  CreateFailure* failure, unsigned take) {
    if (times.file.handle != platform::kNoFile) {
        return 1;
    }
    times.name.fill('\0');
    if (!formatTimesFileName(times.name.data(), times.name.size(), localStart, take)) {
        return 1;
    }
    if (!prependDir(times.name.data(), times.name.size(), dir)) {
        return createFailed(failure, "times file", dir, true, ENAMETOOLONG);
    }
    const int err = createOutputFile(times.file, times.name.data(), "times file", true);
    if (err != 0) {
        return createFailed(failure, "times file", times.name.data(), false, err);
    }
    appendToFile(times.file, kTimesHeader, sizeof kTimesHeader - 1);
    return 0;
}

void writeTimesRow(TimesFile& times, const TimesRow& row, TimesRowCache& cache) {
    if (times.file.handle == platform::kNoFile) {
        return;
    }
    char line[kMaxTimesRow];
    appendToFile(times.file, line, formatTimesRow(line, row, cache));
}

}  // namespace vg::logging
