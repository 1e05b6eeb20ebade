#include "app/recording.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/app.h"
#include "app/retention.h"
#include "app/run_status.h"
#include "app/set_names.h"
#include "common/common.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

FileTally tallyOf(const logging::OutputFile& file) {
    return FileTally{file.heldBytes, file.heldLines, file.movedTo[0] != '\0', file.lost,
                     file.failed};
}

void addFile(std::vector<RunFile>& files, const std::string& path, const FileTally& t, bool text) {
    if (!path.empty()) {
        files.push_back(RunFile{path, "", t.bytes, text ? static_cast<std::int64_t>(t.lines) : -1,
                                t.moved, t.lost, t.failed});
    }
}

void addFile(std::vector<RunFile>& files, const logging::OutputFile& file) {
    if (file.name[0] != '\0') {
        addFile(files, file.name.data(), tallyOf(file), file.lines);
        files.back().movedTo = file.movedTo.data();
    }
}

// A closed set's file of that prefix, named as it was when it was created.
std::string nameOf(const char* prefix, const std::tm& stamp, const char* dir, unsigned take = 0) {
    char name[logging::kPathBytes];
    const std::string_view kind(prefix);
    const bool ok = kind == "raw" ? logging::formatRawCaptureName(name, sizeof name, stamp, take)
                    : kind == "times"
                        ? logging::formatTimesFileName(name, sizeof name, stamp, take)
                        : logging::formatLogFileName(name, sizeof name, prefix, stamp, take);
    return ok && logging::prependDir(name, sizeof name, dir) ? name : "";
}

struct NameCheck {
    const Recording& rec;
    const std::tm& stamp;
};

// Whether any file of the set of that stamp and take would take a name already there.
bool setNamesTaken(void* context, unsigned take) {
    const auto& check = *static_cast<const NameCheck*>(context);
    const Recording& rec = check.rec;
    const std::string names[] = {
        nameOf("anglesAndAccels", check.stamp, rec.dir, take),
        nameOf("misc", check.stamp, rec.dir, take),
        rec.rotateCapture ? nameOf("raw", check.stamp, rec.dir, take) : "",
        rec.times ? nameOf("times", check.stamp, rec.dir, take) : "",
        rec.times && rec.rotateCapture
            ? nameOf("raw", check.stamp, rec.dir, take) + logging::kCaptureTimesSuffix
            : ""};
    for (const std::string& name : names) {
        if (!name.empty() && platform::nameTaken(name.c_str())) {
            return true;
        }
    }
    return false;
}

// The next set's stamp: the local time it was due, wallMs, to the nearest second (a pass a
// little late or early names the set by its boundary), and the take that makes its names free.
// When the clock went back, that time's names may be this run's own: the set then takes a
// suffix rather than end the run. False when no name can be had.
bool nextSetName(const Recording& rec, std::uint64_t wallMs, std::tm& stamp, unsigned& take) {
    if (!platform::toLocalTime(static_cast<std::time_t>((wallMs + 500) / 1000), stamp)) {
        return false;
    }
    NameCheck check{rec, stamp};
    take = chooseTake(setNamesTaken, &check);
    if (take == kNoTake) {
        return false;
    }
    if (take != 0) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: the names of the next set of files are taken (has the "
                               "clock gone back?); its names end in -%u\n",
                               take);
    }
    return true;
}

}  // namespace

std::uint64_t rotateMinimumMs() {
    const char* env = std::getenv("VGLOG_ROTATE_MIN_S");
    if (env != nullptr && env[0] != '\0') {
        std::uint64_t s = 0;
        std::size_t digits = 0;
        if (*common::readDecimal(env, s, digits) == '\0' && digits <= 9) {
            return s * 1000;
        }
    }
    return kRotateMinMs;
}

std::uint64_t localMsOfDay() {
    const std::uint64_t wallMs = static_cast<std::uint64_t>(platform::wallClockUs()) / 1000;
    std::tm local{};
    if (!platform::toLocalTime(static_cast<std::time_t>(wallMs / 1000), local)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(local.tm_hour) * 3600 +
            static_cast<std::uint64_t>(local.tm_min) * 60 +
            static_cast<std::uint64_t>(local.tm_sec)) *
               1000 +
           wallMs % 1000;
}

void startRecording(Recording& rec, const Options& options, std::uint64_t startMs) {
    const bool replay = options.action == Action::Replay;
    rec.plan.dir = options.dir;
    rec.plan.capture = options.raw && !replay;
    rec.plan.captureName = options.rawFile;
    rec.plan.times = options.times;
    rec.dir = options.dir;
    rec.rotateCapture = rec.plan.capture && options.rawFile == nullptr;
    rec.times = options.times;
    rec.durationMs = options.durationMs;
    rec.sampleLimit = options.sampleLimit;
    rec.rotateMs = options.rotateMs;
    rec.keepSets = options.keepSets;
    restartRecordingClock(rec, startMs);
    if (options.rotateMs != 0) {
        // A bounded run needs no more sets than its duration makes.
        std::size_t sets = kMaxListedSets;
        if (options.durationMs != 0 && options.durationMs / options.rotateMs + 1 < sets) {
            sets = static_cast<std::size_t>(options.durationMs / options.rotateMs + 1);
        }
        rec.closedSets.reserve(sets);
    }
}

void restartRecordingClock(Recording& rec, std::uint64_t startMs, std::uint64_t msOfDay) {
    rec.startMs = startMs;
    rec.nextRotateMs = rec.rotateMs != 0 ? startMs + msToSetBoundary(msOfDay, rec.rotateMs) : 0;
}

bool sampleLimitReached(const App& app) {
    return app.recording.sampleLimit != 0 &&
           app.decoder.counts.angleAccel >= app.recording.sampleLimit;
}

bool durationReached(const Recording& rec, std::uint64_t nowMs) {
    return rec.durationMs != 0 && nowMs - rec.startMs >= rec.durationMs;
}

std::int64_t msUntilRecordingDue(const Recording& rec, std::uint64_t nowMs) {
    auto until = [nowMs](bool set, std::uint64_t at) -> std::int64_t {
        return !set ? -1 : at > nowMs ? static_cast<std::int64_t>(at - nowMs) : 0;
    };
    return common::earliestDue({until(rec.durationMs != 0, rec.startMs + rec.durationMs),
                                until(rec.rotateMs != 0, rec.nextRotateMs)});
}

Rotation rotateIfDue(App& app, std::uint64_t nowMs, std::uint64_t wallNowMs) {
    Recording& rec = app.recording;
    if (rec.rotateMs == 0 || nowMs < rec.nextRotateMs) {
        return Rotation::None;
    }
    const std::uint64_t dueMs = rec.nextRotateMs;
    // The next one is due a whole period after this one was, however late this pass came.
    while (rec.nextRotateMs <= nowMs) {
        rec.nextRotateMs += rec.rotateMs;
    }
    // The new set is made before the old one is closed: lines always have a file to go to. Its
    // buffers exist only while it is being opened; then it takes the current set's place.
    std::tm stamp{};
    unsigned take = 0;
    const auto next = std::make_unique<FileSet>();
    SetPlan plan = rec.plan;
    plan.capture = rec.rotateCapture;  // a named capture goes on across the sets
    plan.wallStartUs = app.times.wallStartUs;
    if (!nextSetName(rec, wallNowMs - (nowMs - dueMs), stamp, take) ||
        openFileSet(*next, plan, stamp, nowMs, take) != 0) {
        platform::consoleWrite(platform::ConsoleStream::Err,
                               "vglog: cannot start the next set of files; ending the run\n");
        return Rotation::Failed;
    }
    FileSet& current = app.files;
    if (!rec.rotateCapture) {
        carryCapture(current, *next);
    }
    sayFileNotes(current);  // what the pass before left unsaid
    if (closeFileSet(current) != 0) {
        rec.closeFailed = true;
    }
    sayFileNotes(current);
    const std::uint64_t held = logging::samplesHeld(current.logs);
    rec.earlierSamples += held;
    if (rec.closedSets.size() < rec.closedSets.capacity()) {
        ClosedSet closed{current.stamp, current.take, held, {}};
        for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
            closed.files[slot] = tallyOf(setFile(current, slot));
        }
        rec.closedSets.push_back(closed);
    } else {
        ++rec.unlistedSets;
    }
    replaceFileSet(current, *next);
    hookFileSet(app);
    // Line numbers start again at 1 with the new samples log; the row texts start afresh.
    app.times.rowCache = logging::TimesRowCache{};
    static char line[kSetFiles * logging::kPathBytes + 64];  // beside the set, not on the stack
    std::memcpy(line, "logging into ", 13);
    std::size_t n = 13;
    n += formatSetFiles(line + n, sizeof line - n - 1, current);
    line[n++] = '\n';
    platform::consoleWrite(platform::ConsoleStream::Err, line, n);
    if (rec.keepSets != 0) {
        rec.deletedSets += pruneSets(rec.dir, setKeyOf(current.stamp, current.take), rec.keepSets);
    }
    return Rotation::Done;
}

std::vector<RunFile> runFiles(const App& app) {
    const Recording& rec = app.recording;
    std::vector<RunFile> files;
    for (const ClosedSet& set : rec.closedSets) {
        addFile(files, nameOf("anglesAndAccels", set.stamp, rec.dir, set.take), set.files[0], true);
        addFile(files, nameOf("misc", set.stamp, rec.dir, set.take), set.files[1], true);
        if (rec.rotateCapture) {
            addFile(files, nameOf("raw", set.stamp, rec.dir, set.take), set.files[2], false);
        }
        if (rec.times) {
            addFile(files, nameOf("times", set.stamp, rec.dir, set.take), set.files[3], true);
            if (rec.rotateCapture) {
                addFile(files,
                        nameOf("raw", set.stamp, rec.dir, set.take) + logging::kCaptureTimesSuffix,
                        set.files[4], true);
            }
        }
    }
    // The set open last (the only one without --rotate).
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        addFile(files, setFile(app.files, slot));
    }
    return files;
}

std::uint64_t samplesLogged(const App& app) {
    return app.recording.earlierSamples + logging::samplesHeld(app.files.logs);
}

}  // namespace vg::app
