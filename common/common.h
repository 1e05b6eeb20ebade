// Small helpers that no subsystem owns, one of each: a JSON string, a decimal number (and a port
// number), a UTC time and the earliest of several deadlines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vg::common {

// Appends text as a JSON string, quotes included. Quotes, backslashes and control characters
// are escaped, and so is every byte that is not part of valid UTF-8 (as \u00XX, the byte's own
// value), so that a strict parser takes whatever a file name holds.
void appendJsonString(std::string& out, std::string_view text);

// Reads the decimal digits at p (no sign, no space) into value, which keeps the low 64 bits of
// a longer number; returns the position after them. digits tells how many there were.
const char* readDecimal(const char* p, std::uint64_t& value, std::size_t& digits);

// A TCP port written as 1 to 5 decimal digits and nothing else, 0 to 65535, into port.
bool readPort(std::string_view text, std::uint16_t& port);

// "YYYY-MM-DDTHH:MM:SS" for seconds since 1970 UTC into buf (20 bytes with the terminator);
// false (buf "") for a time the system cannot convert or a year beyond four digits.
bool formatUtcSeconds(char* buf, std::int64_t seconds);

// The earliest of the deadlines (milliseconds from now; negative for none); -1 when none is.
std::int64_t earliestDue(std::initializer_list<std::int64_t> dues);

}  // namespace vg::common
