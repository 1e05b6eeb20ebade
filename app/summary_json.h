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

namespace vg::app {

struct RunSummary {
    std::string device;  // empty: none (a replay)
    std::time_t startedUtc = 0;
    std::time_t endedUtc = 0;
    std::uint64_t durationMs = 0;
    int exitStatus = 0;
    RunCounters counters{};
    std::uint64_t samplesLogged = 0;  // lines the samples logs hold
    std::vector<RunFile> files;
    // --mqtt: the broker's state at the end ("" without --mqtt), why it waited, and its counts.
    std::string mqttState;
    std::string mqttReason;
    std::uint64_t mqttPublished = 0, mqttDropped = 0;
};

// The object on one line, ending in "\n".
std::string formatSummaryJson(const RunSummary& summary);

struct SummaryJsonFile {
    const char* path = nullptr;
    std::string tmpPath;
    std::FILE* tmp = nullptr;
};

// Creates path.tmp now, so a place the summary cannot go is known before the run starts.
// 0 on success; otherwise the reason on standard error and 1.
int openSummaryJson(SummaryJsonFile& out, const char* path);

// Writes the summary into path.tmp and renames it over path. 0 on success; otherwise the
// reason on standard error, path.tmp removed, and 1.
int writeSummaryJson(SummaryJsonFile& out, const RunSummary& summary);

}  // namespace vg::app
