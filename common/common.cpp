#include "common/common.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace vg::common {

namespace {

// Length of the valid UTF-8 sequence at p (up to end), or 0 when it is none: overlong forms,
// surrogates and code points past U+10FFFF are refused, as a strict decoder does.
std::size_t utf8Length(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = p[0];
    std::size_t n = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < n || p[1] < low || p[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < n; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return n;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++p;
            continue;
        }
        const std::size_t n = c < 0x80 ? 1 : utf8Length(p, end);
        if (c < 0x20 || n == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
            ++p;
            continue;
        }
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
    }
    out += '"';
}

const char* readDecimal(const char* p, std::uint64_t& value, std::size_t& digits) {
    value = 0;
    digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        value = value * 10u + static_cast<std::uint64_t>(*p - '0');
    }
    return p;
}

bool readPort(std::string_view text, std::uint16_t& port) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    // The view need not end in a terminator: read a copy that does.
    char buf[8] = {};
    if (text.empty() || text.size() > 5) {
        return false;
    }
    text.copy(buf, text.size());
    if (readDecimal(buf, value, digits) != buf + text.size() || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool formatUtcSeconds(char* buf, std::int64_t seconds) {
    buf[0] = '\0';
    // Some systems (Windows) convert no time before 1970. 400 years later the calendar is the
    // same to the day, so such a time is converted that much later and its year taken back.
    constexpr std::int64_t k400Years = 146097LL * 86400;
    int yearsBack = 0;
    if (seconds < 0 && seconds > -k400Years * 5) {
        const std::int64_t cycles = (-seconds + k400Years - 1) / k400Years;
        seconds += cycles * k400Years;
        yearsBack = static_cast<int>(cycles * 400);
    }
    std::tm utc{};
    if (!platform::toUtcTime(static_cast<std::time_t>(seconds), utc)) {
        return false;
    }
    utc.tm_year -= yearsBack;
    if (utc.tm_year + 1900 < 0 || utc.tm_year + 1900 > 9999) {
        return false;
    }
    return std::strftime(buf, 20, "%Y-%m-%dT%H:%M:%S", &utc) == 19;
}

std::int64_t earliestDue(std::initializer_list<std::int64_t> dues) {
    std::int64_t due = -1;
    for (const std::int64_t d : dues) {
        if (d >= 0 && (due < 0 || d < due)) {
            due = d;
        }
    }
    return due;
}

}  // namespace vg::common
