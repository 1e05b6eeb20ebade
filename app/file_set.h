// The set of files a run writes at once: the samples log, the misc log, the capture, the times
// file and the capture's times, each present or not. A set is opened whole or not at all,
// flushed together, checked together and closed samples log first, so the times file never
// holds a row whose line the samples log does not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "logging/capture_times.h"
#include "logging/logging.h"
#include "logging/raw_capture.h"
#include "logging/times_file.h"

namespace vg::app {

// The files of a set, in the order every list shows them.
enum SetSlot : std::size_t { kSamplesFile, kMiscFile, kCaptureFile, kTimesFile, kCaptureTimesFile };
inline constexpr std::size_t kSetFiles = 5;

// Which files a set holds and where they go.
struct SetPlan {
    const char* dir = nullptr;          // null: the current directory
    bool capture = false;               // a raw capture
    const char* captureName = nullptr;  // its name; null: raw.<stamp>.bin
    bool times = false;                 // a times file (and, with a capture, the capture's times)
    std::int64_t wallStartUs = 0;       // the run's start, for the capture's times
};

struct FileSet {
    logging::LogFiles logs;
    logging::RawCapture capture;
    logging::TimesFile times;
    logging::CaptureTimes captureTimes;
    std::tm stamp{};    // names the set
    unsigned take = 0;  // with this suffix to its names (see formatLogFileName); 0 for none
};

logging::OutputFile& setFile(FileSet& set, std::size_t slot);
const logging::OutputFile& setFile(const FileSet& set, std::size_t slot);
// The file's name as created; "" when the set has none in that slot.
const char* setFileName(const FileSet& set, std::size_t slot);

// Creates every file the plan asks for, named from stamp and take, at nowMs on the loop's clock
// (from when the flushes count). 0 when all are open; 1 when one could not be created (its reason
// said), with nothing of the set left behind.
int openFileSet(FileSet& set, const SetPlan& plan, const std::tm& stamp, std::uint64_t nowMs,
                unsigned take = 0);

// Flushes the set when due (once a second while anything waits) and looks at where its files
// are; milliseconds until that is due (0: now).
void flushFileSetIfDue(FileSet& set, std::uint64_t nowMs);
std::int64_t msUntilFileSetDue(const FileSet& set, std::uint64_t nowMs);

// True once a file of the set has failed (a write, or deleted and not put back): the run ends.
bool fileSetFailed(const FileSet& set);

// Closes the set, the samples log first. 0 when every file holds all it was handed.
int closeFileSet(FileSet& set);
// Removes a set this run created, for a start that failed after it.
void discardFileSet(FileSet& set);

// Makes next the current set (its files go on in current's place, ties included).
void replaceFileSet(FileSet& current, const FileSet& next);

// Says on standard error what happened to the set's files since the last call (a failed write,
// a file deleted and put back or lost, a failed close).
void sayFileNotes(FileSet& set);

// Moves the capture and its times from one set to the next (a named capture is never rotated).
void carryCapture(FileSet& from, FileSet& to);

}  // namespace vg::app
