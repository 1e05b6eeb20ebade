// The times of a raw capture: a text file "NAME.times" beside the capture NAME, written with it
// under --times, so that a replay can give every packet the time it arrived live.
//
//   vglog capture times 2
//   start 1796771647123456 2026-12-08T23:14:07.123456Z
//   state 1 -7 65529 1520 0 ...
//   1520 115
//   11893 230
//   2051012 lost
//
// Line 1 names the format and its version. Line 2 is the run's start on the wall clock, in
// microseconds since 1970 UTC, then the same in ISO 8601 for people (the number is what
// counts). A set after a run's first (a rotation) then carries, in a "state" line of whole
// numbers, what the times of its samples follow on from (the index, the counter, the board's
// clock: see timing/sample_times.h); the reader hands them over as they are. Then one line per read
// that brought bytes, in the capture's order: when the read returned, in microseconds from the
// run's start on a monotonic clock, and how many bytes of the capture it brought. "lost" instead of
// a count marks the moment the link was lost (the packet then arriving was dropped). Lines end in
// "\n". Version 1 (without "state") is read as well.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "logging/times_file.h"

namespace vg::logging {

inline constexpr char kCaptureTimesMagic[] = "vglog capture times 2\n";
inline constexpr char kCaptureTimesMagicV1[] = "vglog capture times 1\n";
inline constexpr std::size_t kMaxCaptureState = 420;
inline constexpr char kCaptureTimesSuffix[] = ".times";

struct CaptureTimes {
    OutputFile file;  // closed until opened; a failed write latches it
    std::array<char, kTimesNameBytes> name{};
    bool stateNoted = false;  // the state line was written, or found not needed
};

// "NAME.times" for the capture NAME into buf; false when it does not fit.
bool captureTimesName(char* buf, std::size_t size, const char* captureName);

// Creates the companion of the capture captureName exclusively and writes its two header lines.
// 0 on success, 1 on failure with the reason on standard error.
int openCaptureTimes(CaptureTimes& times, const char* captureName, std::int64_t wallStartUs,
                     CreateFailure* failure = nullptr);
void noteCaptureRead(CaptureTimes& times, std::int64_t hostUs, std::size_t bytes);
void noteCaptureLoss(CaptureTimes& times, std::int64_t hostUs);
// The state line; only before the first read or loss, count at most kMaxCaptureState.
void noteCaptureState(CaptureTimes& times, const std::int64_t* values, std::size_t count);
// Flushed, closed and discarded as the OutputFile it is (times.file).

// Reading a companion back.
struct CaptureTimesReader {
    std::FILE* file = nullptr;
    std::int64_t wallStartUs = 0;
    std::uint64_t lineNumber = 0;  // of the last line read, for messages
    // Lines are cut from this buffer, refilled a block at a time: a replay reads millions.
    std::array<char, 16384> buffer{};
    std::size_t at = 0;             // the next line's start
    std::size_t have = 0;           // bytes in the buffer
    const char* pending = nullptr;  // a line read with the header that is an entry
    std::array<std::int64_t, kMaxCaptureState> state{};  // the state line's values
    std::size_t stateCount = 0;                          // 0: none
};

enum class CaptureTimesEntry { Read, Loss, End, Bad };

// Opens the companion of captureName and reads its header (with the state line, if any). 0 on
// success; -1 when there is no companion (errno tells why); 1 when it is not one (a wrong first
// or second line, or a state line that is not whole numbers).
int openCaptureTimesReader(CaptureTimesReader& reader, const char* captureName);
// The next entry: Read with its time and byte count, Loss with its time, End at the end of the
// file, Bad for a line that is none of these.
CaptureTimesEntry nextCaptureTimesEntry(CaptureTimesReader& reader, std::int64_t& hostUs,
                                        std::size_t& bytes);
void closeCaptureTimesReader(CaptureTimesReader& reader);

}  // namespace vg::logging
