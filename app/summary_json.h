// The run's summary as one JSON object for scripts (--summary-json FILE): written to FILE.tmp,
// which is created at start, and renamed over FILE at exit, so a reader never sees half of it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/recording.h"
#include "app/run_status.h"
#include "platform/file.h"

namespace vg::app {

struct RunSummary {
    bool running = false;  // a record of the run in progress, not of its end
    std::string device;    // empty: none (a replay)
    std::time_t startedUtc = 0;
    std::time_t endedUtc = 0;
    std::uint64_t durationMs = 0;
    int exitStatus = 0;
    RunCounters counters{};
    std::uint64_t samplesLogged = 0;  // lines the samples logs hold
    std::uint64_t deletedSets = 0;    // old sets removed under --keep
    std::vector<RunFile> files;
    // --mqtt: the broker's state at the end ("" without --mqtt), why it waited, and its counts.
    std::string mqttState;
    std::string mqttReason;
    std::uint64_t mqttPublished = 0, mqttDropped = 0;
    // Only in a running record: when it was written, and the link as the status line shows it.
    std::time_t updatedUtc = 0;
    bool linkUp = true;
    std::string linkReason;  // why the link is lost
    double samplesPerSecond = 0;
};

// The object on one line, ending in "\n".
std::string formatSummaryJson(const RunSummary& summary);

// The summary file (--summary-json FILE). FILE shows a record of this run from the start: a
// running record, refreshed while the run goes on, then the final one. Each record is written
// into a file of ours under FILE.tmp and swapped with FILE in one step, so a reader sees one
// whole record or another. Both files keep room set aside for a record several times the size
// of the last, so the next write (the final one above all) does not fail for want of space on
// a disk that has filled meanwhile. Where names cannot be swapped, FILE.tmp is renamed over FILE
// as before and made anew for the next record.
struct SummaryJsonFile {
    std::string path;
    std::string tmpPath;
    platform::FileHandle shown = platform::kNoFile;  // the file now under path
    platform::FileHandle spare = platform::kNoFile;  // under tmpPath: the next record goes in it
    std::uint64_t shownLength = 0;
    std::uint64_t spareLength = 0;
    std::uint64_t reserved = 0;  // room kept in each
    bool swaps = true;           // names can be swapped on this file system
    bool open = false;           // a record of this run is under path
};

// Replaces FILE with the first record (running, or a final one for a run that never starts),
// and sets room aside for the next. 0 on success; otherwise the reason on standard error and 1,
// with nothing of an earlier run left under FILE.
int openSummaryJson(SummaryJsonFile& out, const char* path, const RunSummary& first);

// Shows a running record in place of the last one. 0, or the system's reason (an errno value);
// reports nothing, and the last record stays.
int refreshSummaryJson(SummaryJsonFile& out, const RunSummary& summary);

// Shows the final record and lets go of the files. 0 on success; otherwise the reason on
// standard error and 1.
int writeSummaryJson(SummaryJsonFile& out, const RunSummary& summary);

}  // namespace vg::app
