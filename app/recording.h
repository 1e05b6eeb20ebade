// Unattended recording: a run that ends by itself (after a time or a number of samples), a new
// set of files every so often, and the list of every file the run wrote, for the summaries.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "app/file_set.h"
#include "app/options.h"

namespace vg::app {

struct App;

inline constexpr std::uint64_t kRotateMinMs = 60 * 1000;
// Sets of files listed in the summary at most: a year of hourly files. A run that outlives the
// list still rotates; the sets past it are only counted.
inline constexpr std::size_t kMaxListedSets = 366 * 24;

// What a closed file held when it was closed.
struct FileTally {
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    bool moved = false;   // it had been moved (to where is not kept)
    bool lost = false;    // deleted and not put back
    bool failed = false;  // writing it failed
};

// A set of files closed by a rotation: named by its stamp, so only the tallies are kept.
struct ClosedSet {
    std::tm stamp{};
    unsigned take = 0;          // its names' suffix (see formatLogFileName); 0 for none
    std::uint64_t samples = 0;  // sample lines the samples log held
    // Samples log, misc log, capture (when rotated), times file and the capture's times (under
    // --times).
    std::array<FileTally, 5> files{};
};

struct Recording {
    SetPlan plan;                   // the files of a set, and where they go
    const char* dir = nullptr;      // where every file is created; null: the current directory
    bool rotateCapture = false;     // a capture named by the stamp (a named one is never rotated)
    bool times = false;             // --times: a times file (and the capture's times) per set
    std::uint64_t durationMs = 0;   // 0: no limit
    std::uint64_t sampleLimit = 0;  // 0: no limit
    std::uint64_t rotateMs = 0;     // 0: one set for the whole run
    std::uint64_t keepSets = 0;     // --keep N: sets left in the folder after a rotation
    std::uint64_t startMs = 0;
    std::uint64_t nextRotateMs = 0;
    std::time_t startedWall = 0;
    std::uint64_t deletedSets = 0;      // old sets removed under --keep
    std::uint64_t earlierSamples = 0;   // sample lines the closed sets' samples logs hold
    std::vector<ClosedSet> closedSets;  // capacity reserved at start: never reallocated
    std::uint64_t unlistedSets = 0;
    bool closeFailed = false;  // a rotated set lost lines: the run ends with status 1
};

// One file of the run as both summaries show it: what reached it, from the data path.
struct RunFile {
    std::string path;     // as created
    std::string movedTo;  // where it is now, when it was moved and that is known
    std::uint64_t bytes = 0;
    std::int64_t lines = -1;  // -1 for the raw capture
    bool moved = false;
    bool lost = false;
    bool failed = false;
};

// The smallest --rotate: 60 s, or VGLOG_ROTATE_MIN_S seconds when that is set (tests).
std::uint64_t rotateMinimumMs();

// Takes the switches; the run's clock starts at startMs. A replay's set has no capture.
void startRecording(Recording& rec, const Options& options, std::uint64_t startMs);
// Starts the run's clock (the duration and the rotations count from it) again at startMs,
// msOfDay into the local day. The first rotation comes at the clock's next boundary of the
// period (see msToSetBoundary), so the first set is the shorter one.
void restartRecordingClock(Recording& rec, std::uint64_t startMs, std::uint64_t msOfDay = 0);
// Milliseconds since local midnight by the wall clock now.
std::uint64_t localMsOfDay();

// True once --samples N samples are decoded: nothing after the Nth is decoded.
bool sampleLimitReached(const App& app);
bool durationReached(const Recording& rec, std::uint64_t nowMs);
// Milliseconds until the run's end or next rotation is due; -1 for never.
std::int64_t msUntilRecordingDue(const Recording& rec, std::uint64_t nowMs);

enum class Rotation { None, Done, Failed };
// When due, opens a new set named by the local time it was due (wallNowMs less how late this
// pass is; a taken name gets a suffix, said on standard error), then closes the current one and
// deletes old sets under --keep: Done. Failed when the new set could not be created: the current
// set then stays open for the run's end. A closed set that lost lines sets closeFailed.
Rotation rotateIfDue(App& app, std::uint64_t nowMs, std::uint64_t wallNowMs);

// Every file of the run in the order written, with what each holds.
std::vector<RunFile> runFiles(const App& app);
// Sample lines the samples logs hold, every set together.
std::uint64_t samplesLogged(const App& app);

}  // namespace vg::app
